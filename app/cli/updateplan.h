#pragma once

#include "firmwarefile.h"
#include "zelinterface.h"

#include <QJsonArray>
#include <QList>
#include <QMap>
#include <QString>

class QIODevice;
class CliOutput;

// A path given on the command line, as a path on disk: the toolkit would open a
// path beginning with ':' from the program's own resources instead.
QString diskPath(const QString &path);

// The firmware an update writes: the built-in image of each family, unless a
// file from disk was given for it. The file's family code, not the order or the
// name of the file, decides which boards it is for.
class FirmwareImages
{
public:
    FirmwareImages(); // the three built-in images

    // Loads the file at `path` in place of the built-in image of its family.
    // Fails, naming the file, when it does not load as Ok, when its family code
    // is none of the three, or when an earlier file was given for the same family.
    bool useFile(const QString &path, QString *error);

    // The image for a board (the sensor group, 0, takes the sensor boards' one).
    const FirmwareFile &image(zelInterface::PartType part) const;
    // "built-in" or the path of the file given for the board's family.
    QString source(zelInterface::PartType part) const;
    // The first file given that none of `parts` takes, or empty: a file meant for
    // one board must not go unused while another board gets the built-in image.
    QString unusedFile(const QList<zelInterface::PartType> &parts) const;

private:
    struct Slot
    {
        QString family;
        FirmwareFile file;
        QString path; // empty for the built-in image
    };
    const Slot &slot(zelInterface::PartType part) const;

    QList<Slot> slots_;
};

// One board of an update: what it runs now and what it will run.
struct PlanRow
{
    zelInterface::PartType part;
    QString current;
    QString next;
};

// The boards an update writes, in the window's order. `chosen` empty means every
// board that answered; a chosen board that did not answer fails the plan, since
// nothing can be written to a board that cannot be reached. `versions` holds the
// answers of the version request by part.
bool buildPlan(const QList<zelInterface::PartType> &chosen,
               const QMap<zelInterface::PartType, QString> &versions, const FirmwareImages &images,
               QList<PlanRow> *plan, QString *error);

QString planTable(const QList<PlanRow> &plan);
QJsonArray planJson(const QList<PlanRow> &plan);

// What to do before an update that was not given --yes: ask the person at the
// terminal, or, with no one to ask, refuse.
enum class Consent
{
    Proceed,
    Ask,
    Refuse,
};
Consent consent(bool yes, bool stdinIsTerminal);

// Prompts on the error device and reads one line from `in`: true only for y or
// yes, in any case. End of input counts as no.
bool askToProceed(CliOutput *output, QIODevice *in);

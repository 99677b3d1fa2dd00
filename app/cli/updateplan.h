#pragma once

#include "firmwareimages.h"
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

// Loads the file at `path` in place of the built-in image of its family in
// `images`. Fails, naming the file, when it does not load as Ok, when its family
// code is none of the three, or when an earlier file was given for the same family.
bool useFile(FirmwareImages *images, const QString &path, QString *error);

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

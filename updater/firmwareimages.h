#pragma once

#include "firmwarefile.h"
#include "zelinterface.h"

#include <QList>
#include <QString>

// The firmware an update writes: one image per board family (PKEYS, PCTRL,
// PBASE), the built-in one unless a file from disk was put in its place. The
// file's family code, not the name of the file or the button that chose it,
// decides which boards it is for. A value: a run takes a copy when it is made,
// so a file loaded while it goes on is for the next run.
class FirmwareImages
{
public:
    // The built-in images, from the program's resources.
    FirmwareImages();

    // The image of a family code; null for a family no board takes.
    const FirmwareFile *find(const QString &family) const;
    // The image of a board, or of a step's address (the sensor group's); an
    // empty image for a part without a board.
    const FirmwareFile &forBoard(zelInterface::PartType part) const;
    // Whether every family's image loaded as Ok.
    bool allLoaded() const;

    // Reads `path` into the image of `family` (one that find() knows), whatever
    // the result, and whatever family the file turns out to be.
    void load(const QString &family, const QString &path);
    // Puts `file`, read from `path`, in place of the image of its family; false
    // when no board takes that family.
    bool use(const FirmwareFile &file, const QString &path);
    // The file the image of `family` came from; empty for the built-in image.
    QString path(const QString &family) const;
    // The first file put in that none of `parts` takes, or empty: a file meant
    // for one board must not go unused while another gets the built-in image.
    QString unusedFile(const QList<zelInterface::PartType> &parts) const;

private:
    struct Slot
    {
        QString family;
        FirmwareFile file;
        QString path; // empty for the built-in image
    };
    Slot *slot(const QString &family);
    const Slot *slot(const QString &family) const;

    QList<Slot> slots_;
};

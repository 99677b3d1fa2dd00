#include "firmwareimages.h"
#include "boardtable.h"

FirmwareImages::FirmwareImages()
{
    // Each family once, in table order; its built-in image is the resource named
    // after it in lower case (resources/firmware).
    for (const BoardFacts &row : BoardTable::rows()) {
        const QString family = QLatin1String(row.family);
        if (slot(family))
            continue;
        slots_.append(Slot{family, FirmwareFile(), QString()});
        slots_.last().file.load(QStringLiteral(":/firmware/") + family.toLower());
    }
}

FirmwareImages::Slot *FirmwareImages::slot(const QString &family)
{
    for (Slot &s : slots_) {
        if (s.family == family)
            return &s;
    }
    return nullptr;
}

// A lookup must not detach: an image set that still shares its list with a copy
// would take a list of its own, and an image it had handed out before would be
// left in the copy's, which the window goes on changing.
const FirmwareImages::Slot *FirmwareImages::slot(const QString &family) const
{
    for (const Slot &s : slots_) {
        if (s.family == family)
            return &s;
    }
    return nullptr;
}

const FirmwareFile *FirmwareImages::find(const QString &family) const
{
    const Slot *s = slot(family);
    return s ? &s->file : nullptr;
}

const FirmwareFile &FirmwareImages::forBoard(zelInterface::PartType part) const
{
    static const FirmwareFile none;
    const BoardFacts *row = BoardTable::findBoardOrStep(part);
    const FirmwareFile *file = row ? find(QLatin1String(row->family)) : nullptr;
    return file ? *file : none;
}

bool FirmwareImages::allLoaded() const
{
    for (const Slot &s : slots_) {
        if (s.file.getStatus() != FirmwareFile::Ok)
            return false;
    }
    return true;
}

void FirmwareImages::load(const QString &family, const QString &path)
{
    if (Slot *s = slot(family)) {
        s->file.load(path);
        s->path = path;
    }
}

bool FirmwareImages::use(const FirmwareFile &file, const QString &path)
{
    Slot *s = slot(file.getFamilyCode());
    if (!s)
        return false;
    s->file = file;
    s->path = path;
    return true;
}

QString FirmwareImages::path(const QString &family) const
{
    const Slot *s = slot(family);
    return s ? s->path : QString();
}

QString FirmwareImages::unusedFile(const QList<zelInterface::PartType> &parts) const
{
    for (const Slot &s : slots_) {
        bool used = false;
        for (zelInterface::PartType part : parts)
            used = used || &forBoard(part) == &s.file;
        if (!s.path.isEmpty() && !used)
            return s.path;
    }
    return QString();
}

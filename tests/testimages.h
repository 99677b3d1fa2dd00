#pragma once

// Firmware images for the tests, on disk and as the reader under test loads them.

#include "firmwarefile.h"
#include "hexrecord.h"
#include "testfiles.h"

// Writes `text` to `path` and loads it, stamping it with its file checksum.
inline FirmwareFile loadImage(const QString &path, const QByteArray &text)
{
    writeFile(path, text);
    FirmwareFile image;
    image.load(path, true);
    return image;
}

// The built-in image of a board's family (needs the resources linked in).
inline FirmwareFile builtInImage(int part)
{
    FirmwareFile image;
    image.load(QStringLiteral(":/firmware/p") + (part == 7 ? "base" : part == 6 ? "ctrl" : "keys"));
    return image;
}

inline QByteArray checksumRecord(quint8 checksum)
{
    return hexRecord(0x80, 0, QByteArray(1, '\0') + char(checksum)) + "\r\n";
}

// `text` with its checksum record, as stamping would append it.
inline QByteArray stamped(const QByteArray &text)
{
    return text + checksumRecord(FirmwareFile::fileChecksum(text));
}

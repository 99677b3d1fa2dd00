#pragma once

// Building blocks for HEX files in the firmware tests.

#include "firmwarefile.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace hextext {

// One record with a correct record checksum, without line end.
inline QByteArray record(quint8 type, quint16 address, const QByteArray &data)
{
    quint8 sum = quint8(data.size()) + quint8(address >> 8) + quint8(address) + type;
    QByteArray line = ":" + QByteArray::number(data.size(), 16).rightJustified(2, '0') +
                      QByteArray::number(address, 16).rightJustified(4, '0') +
                      QByteArray::number(type, 16).rightJustified(2, '0');
    for (char c : data) {
        line += QByteArray::number(quint8(c), 16).rightJustified(2, '0');
        sum += quint8(c);
    }
    return (line + QByteArray::number(quint8(-sum), 16).rightJustified(2, '0')).toUpper();
}

inline QByteArray data(quint16 address, const QByteArray &bytes, const char *end = "\r\n")
{
    return record(0x00, address, bytes) + end;
}

inline QByteArray upper(quint16 bits, const char *end = "\r\n")
{
    return record(0x04, 0, QByteArray().append(char(bits >> 8)).append(char(bits & 0xFF))) + end;
}

inline QByteArray filler(int size, char seed)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char(seed + 7 * i));
    return bytes;
}

// The information block as the boards' build tools write it: two characters in
// each group of four bytes, four 16-byte records per text.
inline QByteArray infoBlock(const QByteArray &family, const QByteArray &version,
                            const QByteArray &date, const char *end = "\r\n")
{
    QByteArray lines;
    quint16 address = 0x800;
    for (const QByteArray &text : {family, version, date}) {
        QByteArray bytes(64, '\0');
        for (int i = 0; i < text.size(); ++i)
            bytes[(i / 2) * 4 + (i % 2)] = text.at(i);
        for (int r = 0; r < 4; ++r, address += 16)
            lines += data(address, bytes.mid(16 * r, 16), end);
    }
    return lines;
}

inline QByteArray defaultInfo(const char *end = "\r\n")
{
    return infoBlock("PKEYS", "v1.9", "Dec 03 2014 11:27:40", end);
}

const QByteArray endOfFile = ":00000001FF\r\n";

inline QByteArray checksumRecord(quint8 checksum)
{
    return record(0x80, 0, QByteArray().append('\0').append(char(checksum))) + "\r\n";
}

// `text` followed by its checksum record.
inline QByteArray stamped(const QByteArray &text)
{
    return text + checksumRecord(FirmwareFile::fileChecksum(text));
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace hextext

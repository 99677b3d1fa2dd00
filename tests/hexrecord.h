#pragma once

// Intel HEX text for the tests, built here rather than by the code under test, so
// that a fault in the tool's reader cannot hide in the files it is tested with.

#include <QByteArray>

// One record with its record checksum, hex digits in upper case, no line end.
inline QByteArray hexRecord(int type, int address, const QByteArray &data)
{
    QByteArray bytes =
        QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum - quint8(c));
    return ':' + (bytes + char(sum)).toHex().toUpper();
}

// The information block as the boards' build tools write it: each text two
// characters in each group of four bytes, four 16-byte data records per text, from
// 0x800 on (family code, then version, then build date).
inline QByteArray infoBlock(const QByteArray &family, const QByteArray &version,
                            const QByteArray &buildDate, const char *end = "\r\n")
{
    QByteArray lines;
    int address = 0x800;
    for (const QByteArray &text : {family, version, buildDate}) {
        QByteArray bytes(64, '\0');
        for (int i = 0; i < text.size() && i < 32; ++i)
            bytes[(i / 2) * 4 + (i % 2)] = text.at(i);
        for (int r = 0; r < 4; ++r, address += 16)
            lines += hexRecord(0x00, address, bytes.mid(16 * r, 16)) + end;
    }
    return lines;
}

// A firmware image as the boards' build tools write it: the information block,
// `lines` data records of `width` bytes from 0x1000 on, and the end-of-file
// record; no checksum record (loading with stamping adds it).
inline QByteArray hexImage(const QByteArray &family, const QByteArray &version, int lines = 8,
                           int width = 16)
{
    QByteArray text = infoBlock(family, version, "Mar 01 2016 10:00:00");
    for (int i = 0; i < lines; ++i)
        text += hexRecord(0x00, 0x1000 + i * width, QByteArray(width, char(i))) + "\r\n";
    return text + ":00000001FF\r\n";
}

#pragma once

// Building blocks for HEX files in the firmware tests.

#include "firmwarefile.h"

#include <QFile>
#include <QMetaType>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

Q_DECLARE_METATYPE(FirmwareFile::Status)

// One record with a correct record checksum, without line end.
inline QByteArray record(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray bytes =
        QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    quint8 sum = 0;
    for (char c : bytes)
        sum -= quint8(c);
    return ':' + (bytes + char(sum)).toHex().toUpper();
}

inline QByteArray data(quint16 address, const QByteArray &bytes, const char *end = "\r\n")
{
    return record(0x00, address, bytes) + end;
}

inline QByteArray upper(quint16 bits, const char *end = "\r\n")
{
    return record(0x04, 0, QByteArray(1, char(bits >> 8)) + char(bits)) + end;
}

// As the boards' build tools write it: two characters in each group of four
// bytes, four 16-byte records per text, from 0x800 on.
inline QByteArray defaultInfo(const char *end = "\r\n")
{
    QByteArray lines;
    quint16 address = 0x800;
    for (const QByteArray text : {"PKEYS", "v1.9", "Dec 03 2014 11:27:40"}) {
        QByteArray bytes(64, '\0');
        for (int i = 0; i < text.size(); ++i)
            bytes[(i / 2) * 4 + (i % 2)] = text.at(i);
        for (int r = 0; r < 4; ++r, address += 16)
            lines += data(address, bytes.mid(16 * r, 16), end);
    }
    return lines;
}

const QByteArray eof = ":00000001FF\r\n";

inline QByteArray checksumRecord(quint8 checksum)
{
    return record(0x80, 0, QByteArray(1, '\0') + char(checksum)) + "\r\n";
}

inline QByteArray stamped(const QByteArray &text)
{
    return text + checksumRecord(FirmwareFile::fileChecksum(text));
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The tests run as root, where permission bits stop nothing; the file size
// limit stops even root, as a full disk would.
template <typename F> auto withFileSizeLimit(qint64 limit, F run)
{
#ifdef Q_OS_UNIX
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = limit > 0 ? rlim_t(limit) : saved.rlim_cur;
    setrlimit(RLIMIT_FSIZE, &limited);
    const auto result = run();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    return result;
#else
    Q_UNUSED(limit);
    return run();
#endif
}

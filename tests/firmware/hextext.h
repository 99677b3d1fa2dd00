#pragma once

// Building blocks for HEX files in the firmware tests.

#include "testimages.h"

#include <QMetaType>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

Q_DECLARE_METATYPE(FirmwareFile::Status)

inline QByteArray data(quint16 address, const QByteArray &bytes, const char *end = "\r\n")
{
    return hexRecord(0x00, address, bytes) + end;
}

inline QByteArray upper(quint16 bits, const char *end = "\r\n")
{
    return hexRecord(0x04, 0, QByteArray(1, char(bits >> 8)) + char(bits)) + end;
}

inline QByteArray defaultInfo(const char *end = "\r\n")
{
    return infoBlock("PKEYS", "v1.9", "Dec 03 2014 11:27:40", end);
}

const QByteArray eof = ":00000001FF\r\n";

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

#include "filesizetext.h"

#include <QCoreApplication>

QString fileSizeText(qint64 bytes)
{
    constexpr qint64 kiB = 1024;
    constexpr qint64 miB = 1024 * 1024;
    if (bytes > miB)
        return QCoreApplication::translate("zelLoader", "%1 MB")
            .arg(double(bytes) / double(miB), 3, 'f', 0);
    if (bytes > kiB)
        return QCoreApplication::translate("zelLoader", "%1 kB")
            .arg(double(bytes) / double(kiB), 3, 'f', 0);
    return QCoreApplication::translate("zelLoader", "%1 Byte").arg(double(bytes), 3, 'f', 0);
}

#include "stylesheet.h"

#include <QByteArray>
#include <QFile>

QString loadStyleSheet()
{
    QFile file(QStringLiteral(":/css/stylesheet.css"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray css = file.readAll();
    const int end = css.indexOf('\0');
    return QString::fromLatin1(css.constData(), end < 0 ? css.size() : end);
}

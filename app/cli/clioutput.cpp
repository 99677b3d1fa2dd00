#include "clioutput.h"
#include "cliconsole.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>

#include <cstdio>

CliOutput::CliOutput() : outputMode(CliConsole::stdoutIsTerminal() ? Mode::Terminal : Mode::Plain)
{
    out.open(stdout, QIODevice::WriteOnly);
    err.open(stderr, QIODevice::WriteOnly);
}

void CliOutput::json(const QJsonObject &object, bool oneLine)
{
    QByteArray bytes =
        QJsonDocument(object).toJson(oneLine ? QJsonDocument::Compact : QJsonDocument::Indented);
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    write(&out, bytes);
}

QString CliOutput::table(const QList<QStringList> &rows, const QList<int> &rightAligned)
{
    QMap<int, int> widths; // by column
    for (const QStringList &row : rows) {
        for (int c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths.value(c), int(row[c].size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (int c = 0; c < row.size(); ++c)
            cells << (rightAligned.contains(c) ? row[c].rightJustified(widths[c])
                                               : row[c].leftJustified(widths[c]));
        text += cells.join("  ").remove(QRegularExpression(" +$")) + '\n';
    }
    return text;
}

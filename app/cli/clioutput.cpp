#include "clioutput.h"
#include "boardtable.h"
#include "cliboards.h"
#include "cliconsole.h"

#include <QFileDevice>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>

CliOutput::CliOutput(Mode mode, QIODevice *out, QIODevice *err)
    : outputMode(mode), out(out), err(err)
{}

void CliOutput::write(QIODevice *device, const QByteArray &bytes)
{
    device->write(bytes);
    // A person watching a progress bar or a prompt needs it now, not when a
    // buffer fills.
    if (auto *file = qobject_cast<QFileDevice *>(device))
        file->flush();
}

void CliOutput::write(QIODevice *device, const QString &text)
{
    write(device, CliConsole::encode(text));
}

void CliOutput::print(const QString &text)
{
    write(out, text);
}

void CliOutput::error(const QString &text)
{
    write(err, QStringLiteral("zelloader-cli: ") + text + QLatin1Char('\n'));
}

void CliOutput::note(const QString &text)
{
    write(err, text + QLatin1Char('\n'));
}

void CliOutput::prompt(const QString &text)
{
    write(err, text);
}

void CliOutput::json(const QJsonObject &object, bool oneLine)
{
    QByteArray bytes =
        QJsonDocument(object).toJson(oneLine ? QJsonDocument::Compact : QJsonDocument::Indented);
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    // JSON is UTF-8 whatever the console's encoding.
    write(out, bytes);
}

QString CliOutput::table(const QList<QStringList> &rows, const QList<int> &rightAligned)
{
    QList<int> widths;
    for (const QStringList &row : rows)
        for (int c = 0; c < row.size(); ++c) {
            if (c == widths.size())
                widths.append(0);
            widths[c] = qMax(widths[c], row[c].size());
        }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c) {
            if (c > 0)
                line += QLatin1String("  ");
            line += rightAligned.contains(c) ? row[c].rightJustified(widths[c])
                                             : row[c].leftJustified(widths[c]);
        }
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

ProgressPrinter::ProgressPrinter(CliOutput *output)
    : output(output), currentStep(-1), shownPercent(-1), drawnWidth(0)
{}

QString ProgressPrinter::bar(int permille, int width)
{
    permille = qBound(0, permille, 1000);
    const int filled = permille * width / 1000;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(width - filled, QLatin1Char('.')) +
           QStringLiteral("] %1%").arg(permille / 10, 3);
}

void ProgressPrinter::update(zelInterface::PartType step, int permille, const QString &text)
{
    permille = qBound(0, permille, 1000);
    const int percent = permille / 10;
    if (step != currentStep) {
        endLine();
        currentStep = step;
        shownPercent = -1;
        shownText.clear();
    }
    const bool newText = text != shownText;
    switch (output->mode()) {
    case CliOutput::Mode::Terminal:
        if (newText || percent != shownPercent)
            draw(BoardTable::boardName(step), permille, text);
        break;
    case CliOutput::Mode::Plain:
        if (newText)
            output->line(BoardTable::boardName(step) + QStringLiteral(": ") + text);
        // Tenths only once the step is under way; 0 % says nothing new.
        if (percent / 10 > qMax(shownPercent, 0) / 10)
            output->line(BoardTable::boardName(step) +
                         QStringLiteral(": %1%").arg(percent / 10 * 10));
        break;
    case CliOutput::Mode::Json:
        if (newText || percent != shownPercent)
            output->json({{QStringLiteral("event"), QStringLiteral("progress")},
                          {QStringLiteral("step"), stepName(step)},
                          {QStringLiteral("percent"), percent},
                          {QStringLiteral("text"), text}},
                         true);
        break;
    }
    shownPercent = percent;
    shownText = text;
}

void ProgressPrinter::finish(zelInterface::PartType step, bool ok, const QString &text)
{
    if (step != currentStep) {
        endLine();
        currentStep = step;
        shownPercent = 0;
    }
    switch (output->mode()) {
    case CliOutput::Mode::Terminal:
        draw(BoardTable::boardName(step), ok ? 1000 : shownPercent * 10, text);
        break;
    case CliOutput::Mode::Plain:
        output->line(BoardTable::boardName(step) + QStringLiteral(": ") + text);
        break;
    case CliOutput::Mode::Json:
        output->json({{QStringLiteral("event"), QStringLiteral("step")},
                      {QStringLiteral("step"), stepName(step)},
                      {QStringLiteral("ok"), ok},
                      {QStringLiteral("text"), text}},
                     true);
        break;
    }
    endLine();
    currentStep = -1;
}

void ProgressPrinter::breakLine()
{
    if (drawnWidth == 0)
        return;
    endLine();
    shownPercent = -1;
    shownText.clear();
}

void ProgressPrinter::draw(const QString &label, int permille, const QString &text)
{
    // Carriage return and spaces over whatever is left of the longer line before:
    // no terminal control sequences, so any console shows it right.
    const QString line =
        label.leftJustified(13) + QLatin1Char(' ') + bar(permille) + QLatin1Char(' ') + text;
    const int padding = qMax(0, drawnWidth - line.size());
    output->print(QLatin1Char('\r') + line + QString(padding, QLatin1Char(' ')));
    drawnWidth = line.size();
}

void ProgressPrinter::endLine()
{
    if (drawnWidth > 0)
        output->print(QStringLiteral("\n"));
    drawnWidth = 0;
}

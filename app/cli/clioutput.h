#pragma once

#include "zelinterface.h"

#include <QList>
#include <QString>
#include <QStringList>

class QIODevice;
class QJsonObject;

// Where the command line's results and messages go, and in which form: for a
// person at a terminal, as plain lines for a log or a pipe, or as JSON.
// Results go to the output device (stdout), messages to the error device
// (stderr), so that a script can take the one and show the other.
class CliOutput
{
public:
    enum class Mode
    {
        Terminal, // stdout is a terminal: progress is one line redrawn in place
        Plain,    // stdout is a file or a pipe: only whole lines
        Json,     // --json: JSON documents on stdout, messages still on stderr
    };

    CliOutput(Mode mode, QIODevice *out, QIODevice *err);

    Mode mode() const { return outputMode; }

    // Text as it is, flushed at once.
    void print(const QString &text);
    void line(const QString &text) { print(text + QLatin1Char('\n')); }
    // "zelloader-cli: text" on the error device.
    void error(const QString &text);
    // A message for the person waiting, as it is, on the error device.
    void note(const QString &text);
    // A question on the error device; the answer is typed on the same line.
    void prompt(const QString &text);
    // One document: indented for a command's result, one line per event.
    void json(const QJsonObject &object, bool oneLine = false);

    // Columns padded to their widest cell, two spaces apart; the columns listed in
    // `rightAligned` are padded on the left. No trailing spaces.
    static QString table(const QList<QStringList> &rows, const QList<int> &rightAligned = {});

private:
    void write(QIODevice *device, const QByteArray &bytes);
    void write(QIODevice *device, const QString &text);

    Mode outputMode;
    QIODevice *out;
    QIODevice *err;
};

// The progress of an update, step by step (the sensor group, the control panel,
// the main board). On a terminal one bar per step, redrawn in place; on plain
// output a line for each new state text and for each further tenth of the step;
// with JSON one object per change of the whole percent or of the text.
class ProgressPrinter
{
public:
    static constexpr int BarWidth = 30;

    explicit ProgressPrinter(CliOutput *output);

    // `permille` is the step's share done, 0 to 1000; `text` its state text.
    void update(zelInterface::PartType step, int permille, const QString &text);
    // The step has ended: its line is finished with `text` (the success or error text).
    void finish(zelInterface::PartType step, bool ok, const QString &text);

    // Ends a bar being drawn on a terminal, so that a message can take a line of
    // its own; the bar is drawn afresh below it at the next update.
    void breakLine();

    // "[#####.....] 50%" for a terminal's bar.
    static QString bar(int permille, int width = BarWidth);

private:
    void draw(const QString &label, int permille, const QString &text);
    void endLine();

    CliOutput *output;
    int currentStep;
    int shownPercent;
    QString shownText;
    int drawnWidth;
};

#pragma once

#include "cliconsole.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

class QJsonObject;

// Where the command line's results and messages go, and in which form: for a
// person at a terminal, as plain lines for a log or a pipe, or as JSON.
// Results go to stdout, messages to stderr, so that a script can take the one
// and show the other. Text is in the console's encoding (CliConsole::encode),
// JSON in UTF-8 whatever the console's.
class CliOutput
{
public:
    enum class Mode
    {
        Terminal, // stdout is a terminal: progress is one line redrawn in place
        Plain,    // stdout is a file or a pipe: only whole lines
        Json,     // --json: JSON documents on stdout, messages still on stderr
    };

    // Terminal or Plain, by what stdout is.
    CliOutput();

    Mode mode() const { return outputMode; }
    void useJson() { outputMode = Mode::Json; }

    void print(const QString &text) { write(&out, CliConsole::encode(text)); }
    void line(const QString &text) { print(text + '\n'); }
    // "zelloader-cli: text" on stderr.
    void error(const QString &text) { note("zelloader-cli: " + text); }
    // A message for the person waiting, on stderr.
    void note(const QString &text) { prompt(text + '\n'); }
    // A question on stderr; the answer is typed on the same line.
    void prompt(const QString &text) { write(&err, CliConsole::encode(text)); }
    // One document: indented for a command's result, one line per event.
    void json(const QJsonObject &object, bool oneLine = false);
    // The same facts for a script or for a person: `object` as json() prints it
    // with --json, `text` otherwise.
    void result(const QJsonObject &object, const QString &text, bool oneLine = false)
    {
        outputMode == Mode::Json ? json(object, oneLine) : print(text);
    }

    // Columns padded to their widest cell, two spaces apart; the columns listed in
    // `rightAligned` are padded on the left. No trailing spaces.
    static QString table(const QList<QStringList> &rows, const QList<int> &rightAligned = {});

private:
    // At once: a person watching a progress bar or a prompt needs it now, not
    // when a buffer fills.
    void write(QFile *file, const QByteArray &bytes)
    {
        file->write(bytes);
        file->flush();
    }

    Mode outputMode;
    QFile out;
    QFile err;
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The commands that steer and inspect the simulated instrument: one table
// (simcommands.cpp) for every way in. zelsim::Instrument runs them on the model
// in process, the hidraw rig's control socket runs them on the model its server
// serves, and the demo build of the command line takes its ZEL_SIM settings as
// them.
//
// A command is one line: its name, then its arguments separated by spaces.
// Numbers are decimal, a part number is 1 to 7, a flag 0 or 1, a step one of
// the names below, byte strings are hex, and a text takes the rest of the line.
// A name the table does not have, or arguments that do not fit it, are refused:
// a fault that was never set must not pass for one that was.
//
// A bench holds several instruments. "@N " in front of a line gives the command
// to instrument N ("@2 rejectLine 6 100"); a line without it is for the first,
// or, for the commands that say so (reset), for every one.
namespace zelsim {

struct Model;
struct Bench;

enum class Mode
{
    Normal,
    Update
};

// The request a board is answering; used to pick the moment a fault begins.
// Commands name them "version", "start", "data", "end", "versionAfterUpdate".
enum class Step
{
    Version,            // any version request
    Start,              // start request
    Data,               // data line (see silentFrom)
    End,                // end message
    VersionAfterUpdate, // version request after an accepted end message
};

// What a command answers: nothing (a setting or an action), a number, a byte
// string, or a list of byte strings.
enum class Answer
{
    Nothing,
    Number,
    Bytes,
    List
};

struct Value
{
    Answer kind = Answer::Nothing;
    int number = 0;
    QByteArray bytes;
    QList<QByteArray> list;

    // As the rig's control socket carries it: a number in decimal, a byte string
    // in hex, a list as hex items separated by spaces; nothing as nothing.
    QByteArray text() const;
    static Value fromText(Answer kind, const QByteArray &text);
};

QByteArray stepName(Step step);

// Runs one command line on the model; false with why for a command the table
// does not have or arguments that do not fit it, and then the model is as it was.
bool runCommand(Model &model, const QByteArray &line, Value *answer, QString *error);
// The same for a line that may carry an address, on the instrument it names.
bool runCommand(Bench &bench, const QByteArray &line, Value *answer, QString *error);

// Splits "@N command" into N and the command; 0 and the line as it is when it
// names no instrument. False with why for an instrument the bench does not have.
bool splitAddress(const QByteArray &line, int *number, QByteArray *command, QString *error);

// Whether the line names a command of the table that answers `kind`; false with
// why otherwise. Checked before a command is sent anywhere, so that a read-back
// taken as the wrong kind fails as loudly as a misspelt name.
bool answers(const QByteArray &line, Answer kind, QString *error);

} // namespace zelsim

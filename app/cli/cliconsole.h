#pragma once

#include <QByteArray>
#include <QString>

class CliOutput;

// What the command line needs from the console it runs in: whether a person is
// at the other end of stdin or stdout, the bytes its text is written in,
// questions to that person, and Ctrl+C. What touches the operating system for
// this lives in the system's own file (cliconsole_unix.cpp,
// cliconsole_windows.cpp); cliconsole.cpp is the same everywhere.
namespace CliConsole {

bool stdinIsTerminal();
bool stdoutIsTerminal();
// Text as the console and anything reading stdout or stderr expect it.
QByteArray encode(const QString &text);

// What to do before an update: go on (--yes), ask the person at the terminal,
// or, without --yes and with no one to ask on stdin, refuse.
enum class Consent
{
    Proceed,
    Ask,
    Refuse,
};
Consent consent(bool yes);

// Prompts on stderr and reads one line from stdin: true only for y or yes, in
// any case. End of input counts as no.
bool askToProceed(CliOutput *output);

// How a press of Ctrl+C is taken.
enum class InterruptMode
{
    // The process ends on the spot with exit code 5 ("interrupted"). For the
    // times when stopping cannot harm anything: waiting for the instrument,
    // asking its boards, a question to the user.
    ExitAtOnce,
    // Presses are only counted (interruptCount); the command stops where it is
    // safe to: after the file it is rewriting, or, during an update, after the
    // message in flight.
    Deferred,
};

// Catches Ctrl+C from now on, in ExitAtOnce mode; once per process, before the
// first command runs.
void installInterruptHandler();
void setInterruptMode(InterruptMode mode);
// Presses of Ctrl+C since the handler was installed. The handler may touch
// nothing but this counter, so the event loop looks at it from a timer.
int interruptCount();

// For the system's handler: counts a press and tells whether the process must end
// at once (ExitAtOnce), with InterruptedExitCode. It touches nothing but atomics, so
// a signal handler may call it.
bool countInterrupt();
// ExitInterrupted of cliapp.h, repeated here so the handler needs nothing else.
constexpr int InterruptedExitCode = 5;

} // namespace CliConsole

#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;

// What the command line needs from the console it runs in: whether a person is
// at the other end of stdin or stdout, the bytes its text is written in, and
// Ctrl+C. What touches the operating system for this lives in the system's own
// file (cliconsole_unix.cpp, cliconsole_windows.cpp); cliconsole.cpp is the same
// everywhere.
namespace CliConsole {

bool stdinIsTerminal();
bool stdoutIsTerminal();
// Text as the console and anything reading stdout or stderr expect it.
QByteArray encode(const QString &text);

// How a press of Ctrl+C is taken.
enum class InterruptMode
{
    // The process ends on the spot with exit code 5 ("interrupted"). For the
    // times when stopping cannot harm anything: waiting for the instrument,
    // asking its boards, a question to the user.
    ExitAtOnce,
    // Presses are only counted (interruptCount, InterruptWatcher); the command
    // stops where it is safe to: after the file it is rewriting, or, during an
    // update, after the message in flight.
    Deferred,
};

// Catches Ctrl+C from now on, in ExitAtOnce mode; once per process, before the
// first command runs.
void installInterruptHandler();
void setInterruptMode(InterruptMode mode);
// Presses of Ctrl+C since the handler was installed.
int interruptCount();

// For the system's handler: counts a press and tells whether the process must end
// at once (ExitAtOnce), with InterruptedExitCode. It touches nothing but atomics, so
// a signal handler may call it.
bool countInterrupt();
// ExitInterrupted of cliapp.h, repeated here so the handler needs nothing else.
constexpr int InterruptedExitCode = 5;

} // namespace CliConsole

// Turns presses of Ctrl+C in Deferred mode into a signal on the thread of the
// event loop. The handler itself may only touch an atomic counter, so the
// counter is looked at from a short timer.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);

signals:
    // Once per press made after the watcher was created; `presses` counts them.
    void interrupted(int presses);

private:
    void check();

    QTimer *timer;
    int start;
    int handled;
};

#include "cliconsole.h"
#include "clioutput.h"

#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <io.h>
#define ZEL_ISATTY _isatty
#define ZEL_FILENO _fileno
#else
#include <unistd.h>
#define ZEL_ISATTY isatty
#define ZEL_FILENO fileno
#endif

namespace {

// Lock-free, so the signal handler may touch them (std::signal runs the handler
// on a thread of its own on Windows).
std::atomic<int> presses{0};
std::atomic<int> mode{int(CliConsole::InterruptMode::ExitAtOnce)};

// The exit code for "interrupted" (cliapp.h), repeated here so the handler calls
// nothing but signal-safe functions.
constexpr int InterruptedExitCode = 5;

extern "C" void onInterrupt(int signalNumber)
{
    // Windows resets the handler to the default before calling it.
    std::signal(signalNumber, onInterrupt);
    presses.fetch_add(1);
    if (mode.load() == int(CliConsole::InterruptMode::ExitAtOnce))
        std::_Exit(InterruptedExitCode);
}

} // namespace

namespace CliConsole {

bool stdinIsTerminal()
{
    return ZEL_ISATTY(ZEL_FILENO(stdin)) != 0;
}

bool stdoutIsTerminal()
{
    return ZEL_ISATTY(ZEL_FILENO(stdout)) != 0;
}

Consent consent(bool yes)
{
    if (yes)
        return Consent::Proceed;
    return stdinIsTerminal() ? Consent::Ask : Consent::Refuse;
}

bool askToProceed(CliOutput *output)
{
    output->prompt("Update these boards? [y/N] ");
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    const QString answer = QString::fromLocal8Bit(in.readLine()).trimmed().toLower();
    return answer == "y" || answer == "yes";
}

void installInterruptHandler()
{
    static_assert(std::atomic<int>::is_always_lock_free,
                  "the signal handler needs a lock-free counter");
    std::signal(SIGINT, onInterrupt);
}

void setInterruptMode(InterruptMode m)
{
    mode.store(int(m));
}

int interruptCount()
{
    return presses.load();
}

} // namespace CliConsole

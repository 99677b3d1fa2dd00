// The console on Unix: terminals, SIGINT, and text in the locale's encoding.
#include "cliconsole.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

extern "C" void onInterrupt(int signalNumber)
{
    // System V's signal() resets the handler before calling it.
    std::signal(signalNumber, onInterrupt);
    if (CliConsole::countInterrupt())
        std::_Exit(CliConsole::InterruptedExitCode);
}

} // namespace

namespace CliConsole {

bool stdinIsTerminal()
{
    return isatty(fileno(stdin)) != 0;
}

bool stdoutIsTerminal()
{
    return isatty(fileno(stdout)) != 0;
}

QByteArray encode(const QString &text)
{
    // UTF-8 on any current system.
    return text.toLocal8Bit();
}

void installInterruptHandler()
{
    std::signal(SIGINT, onInterrupt);
}

} // namespace CliConsole

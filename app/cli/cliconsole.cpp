#include "cliconsole.h"
#include "clioutput.h"

#include <QFile>

#include <atomic>

namespace {

// Lock-free, so the handler may touch them (on Windows it runs on a thread of its own).
std::atomic<int> presses{0};
std::atomic<int> mode{int(CliConsole::InterruptMode::ExitAtOnce)};

} // namespace

namespace CliConsole {

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

void setInterruptMode(InterruptMode m)
{
    mode.store(int(m));
}

int interruptCount()
{
    return presses.load();
}

bool countInterrupt()
{
    static_assert(std::atomic<int>::is_always_lock_free,
                  "the interrupt handler needs a lock-free counter");
    presses.fetch_add(1);
    return mode.load() == int(InterruptMode::ExitAtOnce);
}

} // namespace CliConsole

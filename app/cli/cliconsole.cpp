#include "cliconsole.h"

#include <QTimer>

#include <atomic>

namespace {

// Lock-free, so the handler may touch them (on Windows it runs on a thread of its own).
std::atomic<int> presses{0};
std::atomic<int> mode{int(CliConsole::InterruptMode::ExitAtOnce)};

} // namespace

namespace CliConsole {

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

InterruptWatcher::InterruptWatcher(QObject *parent)
    : QObject(parent), timer(new QTimer(this)), start(CliConsole::interruptCount()), handled(start)
{
    connect(timer, &QTimer::timeout, this, &InterruptWatcher::check);
    // Fast enough to feel immediate, slow enough to cost nothing.
    timer->start(50);
}

void InterruptWatcher::check()
{
    const int count = CliConsole::interruptCount();
    while (handled < count) {
        ++handled;
        emit interrupted(handled - start);
    }
}

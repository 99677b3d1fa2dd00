#pragma once

// Waiting in tests for what the simulated instrument does.

#include <QEventLoop>
#include <QTimer>

#include <functional>

// Runs the event loop until `done` holds or `timeoutMs` have gone by, looking every
// 5 ms; true if `done` holds. QTRY_* naps 10 ms between its looks, and the link's
// 1 ms poll would nap with it.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs = 20000)
{
    for (int waited = 0; waited < timeoutMs && !done(); waited += 5) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

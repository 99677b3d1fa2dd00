#include "cliconsole.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

class TestCliConsole : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Deferred presses reach the event loop one by one, counted from each
    // watcher's own start; the process goes on.
    void deferredPresses()
    {
        CliConsole::installInterruptHandler();
        CliConsole::setInterruptMode(CliConsole::InterruptMode::Deferred);
        InterruptWatcher first;
        QSignalSpy firstSpy(&first, &InterruptWatcher::interrupted);
        std::raise(SIGINT);
        std::raise(SIGINT);
        QTRY_COMPARE(firstSpy.count(), 2);
        QCOMPARE(firstSpy.at(0).at(0).toInt(), 1);
        QCOMPARE(firstSpy.at(1).at(0).toInt(), 2);

        InterruptWatcher second;
        QSignalSpy secondSpy(&second, &InterruptWatcher::interrupted);
        std::raise(SIGINT);
        QTRY_COMPARE(secondSpy.count(), 1);
        QCOMPARE(secondSpy.at(0).at(0).toInt(), 1);
        QTRY_COMPARE(firstSpy.count(), 3);
        QCOMPARE(CliConsole::interruptCount(), 3);
    }
};

QTEST_GUILESS_MAIN(TestCliConsole)
#include "tst_cliconsole.moc"

#pragma once

// A command the simulated instrument cannot run ends the process that gave it, in
// process (tst_siminstrument) as in the hidraw rig (tst_hidrig): a test must not
// pass because a fault was never set.

#include "siminstrument.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <functional>

using Setup = std::function<void(zelsim::Instrument &)>;
Q_DECLARE_METATYPE(Setup)

inline void loudFailureRows()
{
    QTest::addColumn<Setup>("command");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("misspelt") << Setup([](auto &s) { s.run("rejectLin", 6, 100); })
                              << QByteArray("unknown command 'rejectLin'");
    QTest::newRow("no such board")
        << Setup([](auto &s) { s.run("absent", 8); }) << QByteArray("absent takes part [on]");
    QTest::newRow("wrong kind") << Setup([](auto &s) { s.value("installedImage", 6); })
                                << QByteArray("installedImage answers bytes, not a number");
}

// Runs the current row again in a child process, where it gives the command, and
// checks that the child was ended, saying why.
inline void checkLoudFailure()
{
    QFETCH(Setup, command);
    QFETCH(QByteArray, message);
    if (qEnvironmentVariableIsSet("ZEL_LOUD_CHILD")) {
        command(zelsim::Instrument::instance());
        return; // still here: the parent sees a normal exit
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZEL_LOUD_CHILD"), QStringLiteral("1"));
    // Without a console a Windows program's messages go to the debugger.
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("%1:%2").arg(QTest::currentTestFunction(), QTest::currentDataTag())});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    // abort() ends a Windows program with exit code 3, a normal exit to QProcess.
#ifdef Q_OS_WIN
    const bool aborted = child.exitCode() == 3 || child.exitStatus() == QProcess::CrashExit;
#else
    const bool aborted = child.exitStatus() == QProcess::CrashExit;
#endif
    QVERIFY2(aborted && output.contains(message), output.constData());
}

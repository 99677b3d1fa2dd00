#pragma once

// For the tests that drive the Windows programs from the build machine, through Wine.
// They are built in the Linux build and started by the Windows build's ctest, which
// says in the environment where its parts are:
//   ZEL_WINE_RUN     its wine-run (tools/wine-run.sh.in)
//   ZEL_WIN_DEPLOY   the deploy folder: the programs and what they need
//   ZEL_WIN_ZIP, ZEL_WIN_INSTALLER   the portable zip and the installer
//   ZEL_WIN_DEMO     zelloader-cli-demo.exe, the command line with the simulated instrument
//   ZEL_WIN_RIG      the deployed programs with the rig's scaffolding beside them
//   ZEL_WIN_PREFIXES a folder for the tests' own Wine prefixes

#include "testfiles.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTest>

inline QString fromWindowsBuild(const char *name)
{
    return qEnvironmentVariable(name);
}

// Why these tests cannot run here; empty where they can.
inline QString wineUnavailable()
{
    if (QStandardPaths::findExecutable(QStringLiteral("wine")).isEmpty())
        return QStringLiteral("Wine unavailable: the Windows programs run under Wine (Debian: "
                              "wine, wine64)");
    if (fromWindowsBuild("ZEL_WINE_RUN").isEmpty())
        return QStringLiteral("not started by the Windows build's ctest (make windows-test)");
    return QString();
}

#define WINE_REQUIRE()                                                                             \
    do {                                                                                           \
        const QString wineWhy = wineUnavailable();                                                 \
        if (!wineWhy.isEmpty())                                                                    \
            QSKIP(qPrintable(wineWhy));                                                            \
    } while (false)

// A host path as a Windows program under Wine names it: drive Z: is the host's root.
inline QString windowsPath(const QString &hostPath)
{
    return QStringLiteral("Z:") + QString(hostPath).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// What the programs need beside them, and the programs: the deploy folder's files.
inline QStringList deployedFiles()
{
    return {"Qt5Core.dll",
            "Qt5Gui.dll",
            "Qt5Widgets.dll",
            "libgcc_s_seh-1.dll",
            "libhidapi.dll",
            "libstdc++-6.dll",
            "libwinpthread-1.dll",
            "platforms/qwindows.dll",
            "styles/qwindowsvistastyle.dll",
            "zelLoader.exe",
            "zelloader-cli.exe"};
}

// wine-run with its options (--bare, --rig, --exec), then the program and its arguments.
inline QStringList wineCommand(const QStringList &options, const QString &program,
                               const QStringList &arguments = {})
{
    return QStringList{fromWindowsBuild("ZEL_WINE_RUN")} + options + QStringList{program} +
           arguments;
}

inline Ran runWine(const QStringList &options, const QString &program,
                   const QStringList &arguments = {},
                   const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                   const QString &workingDirectory = QString())
{
    QStringList command = wineCommand(options, program, arguments);
    Ran ran = runProcess(command.takeFirst(), command, env, workingDirectory);
    // What a Windows program writes ends its lines with CR LF.
    ran.out.replace("\r\n", "\n");
    ran.err.replace("\r\n", "\n");
    return ran;
}

// The environment for a prefix of the test's own, from Wine's first start on.
inline QProcessEnvironment withPrefix(const QString &prefix)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZEL_WINEPREFIX"), prefix);
    return env;
}

// Waits until every program of the prefix, and its Wine server, has ended; or, with
// `now`, ends them.
inline bool waitForWine(const QString &prefix, bool now = false)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), prefix);
    return runProcess(QStringLiteral("wineserver"),
                      {now ? QStringLiteral("-k") : QStringLiteral("-w")}, env)
               .code == 0;
}

// Xvfb on a display it chooses itself: the display's name (":N"), empty if it did not
// start.
inline QString startXvfb(QProcess &xvfb)
{
    xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-nolock", "-ac", "-screen", "0",
                        "1024x768x24"});
    return xvfb.waitForReadyRead(10000)
               ? ':' + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed()
               : QString();
}

// The tool's window on the display of `env`, found by its title within `timeoutMs` and
// given the focus, as a click would give it (there is no window manager): its id, empty
// if it is not there.
inline QString focusToolWindow(const QProcessEnvironment &env, int timeoutMs)
{
    const Ran found = runProcess(
        "xdotool",
        {"search", "--sync", "--onlyvisible", "--name", "^Zelora HR36 Firmware Update Tool$"}, env,
        QString(), timeoutMs);
    const QString id = QString::fromLatin1(found.out).split('\n').first();
    return found.code == 0 && runProcess("xdotool", {"windowfocus", "--sync", id}, env).code == 0
               ? id
               : QString();
}

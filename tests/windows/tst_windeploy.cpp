// The deploy folder and the zip made of it: exactly what the programs need, and enough
// for both to run in a fresh Wine prefix with nothing else on the path, the window with
// the windows platform and the windowsvista style as users see it.
#include "winehost.h"
#include "zelproject.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>

class tst_WinDeploy : public QObject
{
    Q_OBJECT

    QString deploy;
    QTemporaryDir prefixes;
    QProcess xvfb;
    QString display;

private slots:
    void initTestCase()
    {
        WINE_REQUIRE();
        deploy = fromWindowsBuild("ZEL_WIN_DEPLOY");
        QVERIFY(QFileInfo(deploy).isDir());
        QVERIFY(prefixes.isValid());
    }

    void cleanupTestCase()
    {
        xvfb.kill();
        xvfb.waitForFinished();
    }

    void folderHoldsWhatIsNeeded() { QCOMPARE(filesUnder(deploy), deployedFiles()); }

    // The zip unpacks to one folder: the deploy folder's files and the licence.
    void zip()
    {
        const Ran listing = runProcess(QStringLiteral(ZEL_CMAKE),
                                       {"-E", "tar", "tf", fromWindowsBuild("ZEL_WIN_ZIP")});
        QCOMPARE(listing.code, 0);
        const QString top = QStringLiteral("zelloader-" ZEL_VERSION "-windows-x64/");
        QStringList files;
        for (const QString &entry : QString::fromUtf8(listing.out).split('\n', Qt::SkipEmptyParts))
            if (!entry.endsWith('/'))
                files << entry;
        QStringList expected;
        for (const QString &file : deployedFiles() + QStringList{"LICENSE.txt"})
            expected << top + file;
        files.sort();
        expected.sort();
        QCOMPARE(files, expected);
    }

    // Each program started from the folder in a prefix of its own, with Wine telling
    // which DLLs it loaded: the folder's, and Wine's own, nothing else.
    void programsRun_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("mustLoad");
        QTest::newRow("command line")
            << "zelloader-cli.exe" << QStringList{"Qt5Core.dll", "libhidapi.dll"};
        QTest::newRow("window") << "zelLoader.exe"
                                << QStringList{"Qt5Widgets.dll", "libhidapi.dll",
                                               "platforms\\qwindows.dll",
                                               "styles\\qwindowsvistastyle.dll"};
    }
    void programsRun()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, mustLoad);
        const QString prefix = prefixes.filePath(program);
        QProcessEnvironment env = withPrefix(prefix);
        // Made before the program starts, so that only the program's loading is traced.
        QCOMPARE(runProcess(fromWindowsBuild("ZEL_WINE_RUN"), {"--bare", "--init"}, env).code, 0);
        env.insert("WINEDEBUG", "-all,+loaddll");
        const bool window = program == "zelLoader.exe";
        QProcess process;
        if (window) {
            if (display.isEmpty())
                display = startXvfb(xvfb);
            QVERIFY(!display.isEmpty());
            env.insert("DISPLAY", display);
        }
        process.setProcessEnvironment(env);
        QStringList command = wineCommand({"--bare", "--exec"}, deploy + '/' + program,
                                          window ? QStringList() : QStringList{"--version"});
        process.start(command.takeFirst(), command);
        QVERIFY(process.waitForStarted());
        // The window appears, takes the focus and closes at Alt+F4, as a user closes it.
        if (window) {
            const QString id = focusToolWindow(env, 60000);
            QVERIFY(!id.isEmpty());
            QCOMPARE(runProcess("xdotool", {"key", "--window", id, "alt+F4"}, env).code, 0);
        }
        QVERIFY(process.waitForFinished(60000));
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString trace = QString::fromUtf8(process.readAllStandardError());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        if (!window)
            QCOMPARE(out.trimmed(), QStringLiteral("zelloader-cli " ZEL_VERSION));

        // trace:loaddll:build_module Loaded L"Z:\\...\\deploy\\Qt5Core.dll" at ...: native
        const QString folder = windowsPath(deploy).replace('\\', "\\\\") + "\\\\";
        QStringList fromFolder, elsewhere;
        const QRegularExpression loaded("Loaded L\"([^\"]+)\" at \\S+: native");
        for (auto it = loaded.globalMatch(trace); it.hasNext();) {
            const QString path = it.next().captured(1);
            if (path.startsWith(folder, Qt::CaseInsensitive))
                fromFolder << path.mid(folder.size()).replace("\\\\", "\\");
            else
                elsewhere << path;
        }
        QVERIFY2(elsewhere.isEmpty(), qPrintable(elsewhere.join(", ")));
        for (const QString &dll : mustLoad)
            QVERIFY2(fromFolder.contains(dll),
                     qPrintable(dll + " not in " + fromFolder.join(", ")));
        QVERIFY(waitForWine(prefix));
    }
};

QTEST_GUILESS_MAIN(tst_WinDeploy)
#include "tst_windeploy.moc"

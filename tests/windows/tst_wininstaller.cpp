// The installer in a fresh Wine prefix, silently, as an administrator's script runs it:
// the programs in Program Files, a Start-menu shortcut, an entry in installed programs
// with version and publisher, the command line working from there; then the silent
// uninstall, which leaves nothing of its own behind.
#include "winehost.h"
#include "zelproject.h"

#include <QDirIterator>
#include <QTemporaryDir>

namespace {

const QString uninstallKey =
    QStringLiteral("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\zelLoader");

} // namespace

class tst_WinInstaller : public QObject
{
    Q_OBJECT

    QTemporaryDir prefixes;
    QString prefix;
    QProcessEnvironment env;

    QString programFolder() const { return prefix + "/drive_c/Program Files/zelLoader"; }
    QString shortcut() const
    {
        return prefix + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/zelLoader.lnk";
    }
    // A value of the installed-programs entry, empty if there is none.
    QString registryValue(const QString &name)
    {
        const Ran query = runWine({"--bare"}, "reg", {"query", uninstallKey, "/v", name}, env);
        const int at = query.out.indexOf("REG_");
        return query.code != 0 || at < 0
                   ? QString()
                   : QString::fromUtf8(query.out.mid(query.out.indexOf(' ', at))).trimmed();
    }

private slots:
    void initTestCase()
    {
        WINE_REQUIRE();
        QVERIFY(QFile::exists(fromWindowsBuild("ZEL_WIN_INSTALLER")));
        QVERIFY(prefixes.isValid());
    }

    // Each row installs into a prefix of its own, checks the installation and uninstalls;
    // a firmware file the user kept in the program folder outlives the uninstall.
    void installAndUninstall_data()
    {
        QTest::addColumn<bool>("userFile");
        QTest::newRow("the installation alone") << false;
        QTest::newRow("with a file of the user's in the folder") << true;
    }
    void installAndUninstall()
    {
        QFETCH(bool, userFile);
        prefix = prefixes.filePath(QTest::currentDataTag());
        env = withPrefix(prefix);
        const Ran install = runWine({"--bare"}, fromWindowsBuild("ZEL_WIN_INSTALLER"), {"/S"}, env);
        QVERIFY2(install.code == 0, install.err);
        QVERIFY(waitForWine(prefix));

        QStringList installed = deployedFiles() + QStringList{"LICENSE.txt", "uninstall.exe"};
        installed.sort();
        QCOMPARE(filesUnder(programFolder()), installed);
        QVERIFY(QFile::exists(shortcut()));
        QCOMPARE(registryValue("DisplayName"), QStringLiteral("zelLoader"));
        QCOMPARE(registryValue("DisplayVersion"), QStringLiteral(ZEL_VERSION));
        QCOMPARE(registryValue("Publisher"), QStringLiteral("Brasel"));
        QCOMPARE(registryValue("UninstallString"),
                 QStringLiteral("\"C:\\Program Files\\zelLoader\\uninstall.exe\""));

        const Ran version = runWine({"--bare"}, "C:\\Program Files\\zelLoader\\zelloader-cli.exe",
                                    {"--version"}, env);
        QCOMPARE(version.code, 0);
        QCOMPARE(version.out, QByteArray("zelloader-cli " ZEL_VERSION "\n"));

        if (userFile)
            QVERIFY(writeFile(programFolder() + "/keys.hex", ":00000001FF\r\n"));
        // The uninstaller runs from a copy of itself in the temporary folder and returns at
        // once; the Wine server ends when it has.
        const Ran uninstall =
            runWine({"--bare"}, "C:\\Program Files\\zelLoader\\uninstall.exe", {"/S"}, env);
        QCOMPARE(uninstall.code, 0);
        QVERIFY(waitForWine(prefix));
        QCOMPARE(filesUnder(programFolder()), userFile ? QStringList{"keys.hex"} : QStringList());
        QCOMPARE(QFileInfo::exists(programFolder()), userFile);
        QVERIFY(!QFile::exists(shortcut()));
        QCOMPARE(registryValue("DisplayName"), QString());
    }
};

QTEST_GUILESS_MAIN(tst_WinInstaller)
#include "tst_wininstaller.moc"

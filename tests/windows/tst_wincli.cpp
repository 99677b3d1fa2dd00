// The command line as a Windows program, where it differs from Linux: Ctrl+C arrives as
// a console control event (Wine turns SIGINT into one, as a console does the key), and
// file names come as Windows gives them, with backslashes and in any script. Run through
// wine-run with the demo build's simulated instrument.
#include "testimages.h"
#include "winehost.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>

static QProcessEnvironment simulated(const QString &sim)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZEL_SIM", sim);
    return env;
}

class tst_WinCli : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString demo;

    // A folder and file names in three scripts, with spaces.
    QString folder() const { return dir.filePath(QStringLiteral("Prüfungen ключи")); }

private slots:
    void initTestCase()
    {
        WINE_REQUIRE();
        demo = fromWindowsBuild("ZEL_WIN_DEMO");
        QVERIFY(QFile::exists(demo));
        QVERIFY(dir.isValid());
        QVERIFY(writeFile(folder() + "/panel ø.hex", readFile(":/firmware/pctrl")));
    }

    // Ctrl+C while waiting ends the command at once; during an update the first one only
    // warns, a second one within 3 s stops it after the message in flight.
    void interrupt_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("sim");
        QTest::addColumn<QByteArray>("shownFirst");
        QTest::addColumn<int>("presses");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("waiting for the instrument")
            << QStringList{"list", "--wait", "600"} << "unplugged" << QByteArray("Waiting") << 1
            << 5 << QByteArray();
        const QStringList update{"update", "--yes", "--board", "panel"};
        QTest::newRow("one press: the update goes on")
            << update << "latencyMs=2" << QByteArray("Transferring firmware file") << 1 << 0
            << QByteArray("Stopping now may leave a board without firmware");
        QTest::newRow("two presses: it stops")
            << update << "latencyMs=2" << QByteArray("Transferring firmware file") << 2 << 5
            << QByteArray("interrupted during the update of the Control Panel");
    }
    void interrupt()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, sim);
        QFETCH(QByteArray, shownFirst);
        QFETCH(int, presses);
        QFETCH(int, code);
        QFETCH(QByteArray, said);
        const QString report = dir.filePath("report.json");
        QFile::remove(report);
        QProcess process;
        process.setProcessEnvironment(simulated(sim + ";report=" + windowsPath(report)));
        QStringList command = wineCommand({"--exec"}, demo, arguments);
        process.start(command.takeFirst(), command);
        QVERIFY(process.waitForStarted());
        QByteArray out, err;
        const auto read = [&] {
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
        };
        QTRY_VERIFY_WITH_TIMEOUT((read(), (out + err).contains(shownFirst)), 60000);
        for (int press = 1; press <= presses; ++press) {
            ::kill(pid_t(process.processId()), SIGINT);
            // Presses sent together could merge into one.
            if (press < presses)
                QTRY_VERIFY_WITH_TIMEOUT((read(), err.contains("Stopping now")), 30000);
        }
        const bool finished = process.waitForFinished(60000);
        read();
        QVERIFY2(finished, out + err);
        QCOMPARE(process.exitCode(), code);
        QVERIFY2(err.contains(said), err);
        if (arguments.first() == "list") {
            QCOMPARE(out, QByteArray());
            return;
        }
        const QJsonObject panel = QJsonDocument::fromJson(readFile(report))
                                      .object()
                                      .value("boards")
                                      .toObject()
                                      .value("6")
                                      .toObject();
        QCOMPARE(panel.value("installed").toBool(), code == 0);
        QCOMPARE(panel.value("mode").toString(), code == 0 ? "normal" : "update");
    }

    // A file named as Windows names it: an absolute path with backslashes, or one relative
    // to the working folder; in text and in JSON the command names it as it was given.
    void fileNames_data()
    {
        QTest::addColumn<bool>("relative");
        QTest::newRow("absolute, with backslashes") << false;
        QTest::newRow("relative, with backslashes") << true;
    }
    void fileNames()
    {
        QFETCH(bool, relative);
        const QString given = relative ? QStringLiteral("Prüfungen ключи\\panel ø.hex")
                                       : windowsPath(folder() + "/panel ø.hex");
        const QString workingFolder = relative ? dir.path() : QString();
        const QProcessEnvironment env = simulated(QString());

        const Ran text = runWine({}, demo, {"info", given}, env, workingFolder);
        QVERIFY2(text.code == 0, text.out + text.err);
        QCOMPARE(QString::fromUtf8(text.out.left(text.out.indexOf('\n'))), given);
        QVERIFY(text.out.contains("Firmware file is OK"));

        const Ran json = runWine({}, demo, {"info", "--json", given}, env, workingFolder);
        QCOMPARE(json.code, 0);
        const QJsonObject file =
            QJsonDocument::fromJson(json.out).object().value("files").toArray().at(0).toObject();
        QCOMPARE(file.value("path").toString(), given);
        QCOMPARE(file.value("family").toString(), QStringLiteral("PCTRL"));

        const Ran update = runWine(
            {}, demo, {"update", "--yes", "--board", "panel", "--file", given}, env, workingFolder);
        QVERIFY2(update.code == 0, update.out + update.err);
        QVERIFY(update.out.endsWith("Firmware update successfull\n"));
    }

    // Stamping rewrites the file in place under its own name, however it is spelt.
    void stamp()
    {
        const QString path = folder() + "/ключ ø.hex";
        QByteArray text = builtInImage(1).getHexText();
        text.truncate(text.lastIndexOf(":00000001FF") + 13); // no checksum record
        QVERIFY(writeFile(path, text));
        const QString given = windowsPath(path);
        const Ran stamped = runWine({}, demo, {"stamp", given});
        QCOMPARE(stamped.code, 0);
        QVERIFY2(stamped.out.startsWith((given + ": Firmware file is OK").toUtf8()), stamped.out);
        QStringList files = QDir(folder()).entryList(QDir::Files);
        files.sort();
        QCOMPARE(files, QStringList({"panel ø.hex", "ключ ø.hex"}));
        FirmwareFile file;
        QCOMPARE(file.load(path), FirmwareFile::Ok);
    }
};

QTEST_GUILESS_MAIN(tst_WinCli)
#include "tst_wincli.moc"

// The product zelloader-cli through the system's HIDAPI. The simulated instrument
// lives in the rig's server, so what one command writes the next one sees.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "stranger.h"
#include "testimages.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

namespace {

zelsim::Instrument &sim = zelsim::Instrument::instance();
zelsim::Instrument &second = zelsim::Instrument::instance(2);

Ran runCli(const QStringList &arguments, bool stranger = false)
{
    QStringList command = stranger ? asStranger() : QStringList();
    command << ZEL_CLI << arguments;
    return runProcess(command.takeFirst(), command);
}

} // namespace

class tst_CliProduct : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        ZELRIG_REQUIRE();
        QVERIFY(QFile::exists(ZEL_CLI));
    }

    void init() { sim.run("reset"); }
    void cleanup() { zelrig::setNodeMode(0666); }

    // A full update, the main board's restart and its return through the real
    // library included; a later list shows what the boards now run.
    void updateThenList()
    {
        sim.run("restartMs", 300);
        const Ran update = runCli({"update", "--yes"});
        QVERIFY2(update.code == 0, update.err);
        QVERIFY(update.out.endsWith("Firmware update successfull\n"));
        QCOMPARE(sim.value("restartCount"), 1);

        const Ran list = runCli({"list", "--json"});
        QCOMPARE(list.code, 0);
        const QJsonArray boards = QJsonDocument::fromJson(list.out).object()["boards"].toArray();
        QCOMPARE(boards.size(), 7);
        for (const QJsonValue value : boards) {
            const QJsonObject board = value.toObject();
            const int part = board["part"].toInt();
            const FirmwareFile image = builtInImage(part);
            QCOMPARE(board["version"].toString(), image.getVersion());
            QVERIFY2(sim.bytes("installedImage", part) == image.getHexText(),
                     qPrintable(QString::number(part)));
        }
    }

    // A user without rights on the node is told to install the udev rule; with
    // the rights, the same user finds the instrument.
    void accessDenied_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("code");
        QTest::newRow("no rights") << 0600 << 4;
        QTest::newRow("rights granted") << 0666 << 0;
    }

    void accessDenied()
    {
        QFETCH(int, mode);
        QFETCH(int, code);
        if (!strangersExist())
            QSKIP("running as another user needs the rig set up by root");
        ZELRIG_REQUIRE("setpriv");
        zelrig::setNodeMode(mode);
        const Ran result = runCli({"list", "--wait", "1"}, true);
        QCOMPARE(result.code, code);
        QCOMPARE(result.err.contains("install the udev rule 70-zelora-hr36.rules"), code == 4);
        QCOMPARE(sim.value("openCount"), code == 4 ? 0 : 1);
    }

    // Two instruments, the second with serial number B-2: update needs --device, and updates
    // only the one chosen; by serial number it is found again after the main board's restart.
    // `updated`: the instrument sent anything but version requests (0 for neither).
    void severalInstruments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("shown"); // in stdout, or in stderr where the code is not 0
        QTest::addColumn<int>("updated");
        QTest::newRow("list: each one")
            << QStringList{"list"} << 0 << "Instrument /dev/hidraw0, serial number none\nBOARD"
            << 0;
        QTest::newRow("update: choose one")
            << QStringList{"update", "--yes"} << 2
            << "choose one with --device PATH or --device SERIAL:\n  /dev/hidraw0, serial number "
               "none\n  /dev/hidraw1, serial number B-2\n"
            << 0;
        QTest::newRow("by serial number")
            << QStringList{"update", "--yes", "--board", "main", "--device", "B-2"} << 0
            << "Firmware update successfull" << 2;
        QTest::newRow("by path") << QStringList{"update", "--yes",    "--board",
                                                "panel",  "--device", "/dev/hidraw0"}
                                 << 0 << "Firmware update successfull" << 1;
    }

    void severalInstruments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, shown);
        QFETCH(int, updated);
        second.run("plug");
        second.run("serial", "B-2");
        second.run("restartMs", 300);
        QTRY_VERIFY(QFile::exists("/dev/hidraw1"));
        const Ran result = runCli(arguments);
        QCOMPARE(result.code, code);
        QVERIFY2((code ? result.err : result.out).contains(shown.toUtf8()), result.err);
        for (int n : {1, 2}) {
            int sent = 0;
            for (const QByteArray &message : zelsim::Instrument::instance(n).list("messages"))
                sent += message.at(0) != '\x01';
            QCOMPARE(sent > 0, n == updated);
        }
        QCOMPARE(second.value("restartCount"), int(arguments.contains("main")));
    }

    // The service bench: three instruments plugged in one after another, the second, without
    // a serial number, refusing its main-board image; each plugged in once the one before
    // is gone. A line for each, Ctrl+C, the summary; exit 1, since one failed.
    void repeat()
    {
        zelsim::Instrument &third = zelsim::Instrument::instance(3);
        sim.run("serial", "A-1");
        third.run("serial", "C-3");
        second.run("rejectEnd", 7);
        for (zelsim::Instrument *each : {&sim, &second, &third})
            each->run("restartMs", 300);
        QProcess cli;
        cli.start(ZEL_CLI, {"update", "--yes", "--repeat", "--board", "main"});
        QByteArray out, err;
        for (int n = 1; n <= 3; ++n) {
            QTRY_VERIFY_WITH_TIMEOUT((out += cli.readAllStandardOutput()).count(" -> ") == n,
                                     60000);
            zelsim::Instrument::instance(n).run("unplug");
            if (n < 3) {
                QTRY_COMPARE((err += cli.readAllStandardError()).count("Waiting for the next"), n);
                zelsim::Instrument::instance(n + 1).run("plug");
            }
        }
        ::kill(pid_t(cli.processId()), SIGINT);
        QVERIFY(cli.waitForFinished(30000));
        QCOMPARE(cli.exitCode(), 1);
        QStringList results;
        for (const QString &line : QString::fromUtf8(out + cli.readAllStandardOutput()).split('\n'))
            if (line.contains(" -> ") || line.startsWith("Summary"))
                results << QString(line).replace(QRegularExpression("^/dev/hidraw\\d+"), "PATH");
        QCOMPARE(results,
                 QStringList({"A-1: Firmware update successfull; main v3.1 -> v3.3",
                              "PATH: failed: Main Board: Invalid firmware file; main v3.1 -> v3.1",
                              "C-3: Firmware update successfull; main v3.1 -> v3.3",
                              "Summary: 2 updated, 1 failed"}));
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(zelsim::Instrument::instance(n).value("restartCount"), int(n != 2));
    }
};

QTEST_GUILESS_MAIN(tst_CliProduct)
#include "tst_cliproduct.moc"

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

namespace {

zelsim::Instrument &sim = zelsim::Instrument::instance();

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
};

QTEST_GUILESS_MAIN(tst_CliProduct)
#include "tst_cliproduct.moc"

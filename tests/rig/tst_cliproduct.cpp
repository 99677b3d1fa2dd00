// The product zelloader-cli through the system's HIDAPI. The simulated instrument
// lives in the rig's server, so what one command writes the next one sees.
#include "firmwarefile.h"
#include "rigcontrol.h"
#include "siminstrument.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

// A user id nobody on the machine has, for running the product without rights on the node.
constexpr int StrangerId = 47111;

zelsim::Instrument &sim = zelsim::Instrument::instance();

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Result runCli(const QStringList &arguments, bool asStranger = false)
{
    QProcess process;
    if (asStranger) {
        const QString id = QString::number(StrangerId);
        process.start("setpriv",
                      QStringList{"--reuid", id, "--regid", id, "--clear-groups", ZEL_CLI} +
                          arguments);
    } else {
        process.start(ZEL_CLI, arguments);
    }
    Result result;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

FirmwareFile builtInImage(int part)
{
    FirmwareFile image;
    image.load(QStringLiteral(":/firmware/p") + (part == 7 ? "base" : part == 6 ? "ctrl" : "keys"));
    return image;
}

} // namespace

class tst_CliProduct : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString why = zelrig::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("hidrig unavailable: " + why));
        QVERIFY(QFile::exists(ZEL_CLI));
    }

    void init() { sim.reset(); }
    void cleanup() { zelrig::setNodeMode(0666); }

    // A full update, the main board's restart and its return through the real
    // library included; a later list shows what the boards now run.
    void updateThenList()
    {
        sim.setRestartDelayMs(300);
        const Result update = runCli({"update", "--yes"});
        QVERIFY2(update.code == 0, update.err);
        QVERIFY(update.out.endsWith("Firmware update successfull\n"));
        QCOMPARE(sim.restartCount(), 1);

        const Result list = runCli({"list", "--json"});
        QCOMPARE(list.code, 0);
        const QJsonArray boards = QJsonDocument::fromJson(list.out).object()["boards"].toArray();
        QCOMPARE(boards.size(), 7);
        for (const QJsonValue value : boards) {
            const QJsonObject board = value.toObject();
            const int part = board["part"].toInt();
            const FirmwareFile image = builtInImage(part);
            QCOMPARE(board["version"].toString(), image.getVersion());
            QVERIFY2(sim.installedImage(part) == image.getHexText(),
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
        // Another user exists only where the rig's root is the machine's (no user namespace).
        QFile idMap("/proc/self/uid_map");
        if (!idMap.open(QIODevice::ReadOnly) ||
            idMap.readAll().simplified() != QByteArray("0 0 4294967295"))
            QSKIP("running as another user needs the rig set up by root");
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("hidrig unavailable: setpriv is not installed");
        zelrig::setNodeMode(mode);
        const Result result = runCli({"list", "--wait", "1"}, true);
        QCOMPARE(result.code, code);
        QCOMPARE(result.err.contains("install the udev rule 70-zelora-hr36.rules"), code == 4);
        QCOMPARE(sim.openCount(), code == 4 ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(tst_CliProduct)
#include "tst_cliproduct.moc"

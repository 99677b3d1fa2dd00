// The unchanged Windows programs, as deployed, updating the simulated instrument of the
// hidraw rig through HIDAPI's Windows backend and Wine's HID stack: hid.dll and
// SetupAPI in the program, Wine's HID bus reading /dev/hidraw0. The window runs on Xvfb
// with the windows platform, keyed with xdotool and read through the rig's probe,
// which it loads as a plugin ("-plugin zelrigprobe"); the rig's control socket says
// what the boards hold.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "testimages.h"
#include "winehost.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

const QString ready = QStringLiteral("Ready to start firmware update");
const QString success = QStringLiteral("Firmware update successfull");
// A full update at one report per USB frame, the main board's restart included, with
// Wine's slower start on top.
constexpr int UpdateMs = 180000;

zelsim::Instrument &sim = zelsim::Instrument::instance();

// Wine 8's HID class driver can hold an input report back: a read that finds no report
// waiting is queued a moment later, with no lock held across both steps, and a report
// arriving in between stays in the queue until the next one comes. That happens about
// once in 10,000 answers, and an update of every board takes some 7,000. An empty report
// every 100 ms, which the tool drops as it drops any stray input, releases such an answer
// long before the tool would give up on it. (On Windows the class driver has no such gap.)
// Only while a program runs: with no one holding the device, the reports would pile up
// in front of the answers.
class Nudger
{
public:
    Nudger()
        : thread([this] {
              while (!stop) {
                  sim.run("injectInputReport", QByteArray(64, '\0'));
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          })
    {}
    ~Nudger()
    {
        stop = true;
        thread.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

} // namespace

class tst_WinProduct : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void commandLineUpdatesAllBoards();
    void windowUpdatesAllBoards();
    void windowLosesTheInstrument();

private:
    Ran runCli(const QStringList &arguments);
    void startWindow();
    QStringList shown(const QString &name) const;
    QString total() const { return shown(QStringLiteral("totalProgress")).value(0); }
    void pressReturn();
    void verifyAllBoardsUpdated();

    QString prefix;
    QProcessEnvironment env;
    std::unique_ptr<Nudger> nudger;
    QString programs;
    QProcess xvfb;
    QProcess window;
    QString probeFile;
};

void tst_WinProduct::initTestCase()
{
    QString why = zelrig::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable("hidrig unavailable: " + why));
    why = wineUnavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    for (const char *tool : {"Xvfb", "xdotool"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QStringLiteral("hidrig unavailable: %1 is not installed").arg(tool)));
    programs = fromWindowsBuild("ZEL_WIN_RIG");
    QVERIFY(QFile::exists(programs + "/zelLoader.exe"));
    prefix = fromWindowsBuild("ZEL_WIN_PREFIXES") + "/rig-product";
    env = withPrefix(prefix);

    env.insert("DISPLAY", startXvfb(xvfb));
    QVERIFY(!env.value("DISPLAY").isEmpty());
    const QString folder = qEnvironmentVariable("ZEL_RIG_DIR") + "/probe";
    QVERIFY(QDir().mkpath(folder));
    probeFile = folder + "/shown";
    env.insert("ZEL_PROBE_FILE", windowsPath(probeFile));
    // Made once, before the clock of any test runs.
    QCOMPARE(runProcess(fromWindowsBuild("ZEL_WINE_RUN"), {"--bare", "--rig", "--init"}, env,
                        QString(), 300000)
                 .code,
             0);
}

// Each test with the instrument as it comes new, and with no Wine program left from the
// last: Wine's HID bus keeps the device open as long as its server runs, and the reset
// ends the handles the device had.
void tst_WinProduct::init()
{
    waitForWine(prefix, true);
    sim.run("reset");
}

void tst_WinProduct::cleanupTestCase()
{
    xvfb.kill();
    xvfb.waitForFinished();
}

void tst_WinProduct::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << "window output:\n" + window.readAll() + "\nshown:\n" +
                                    readFile(probeFile);
    window.kill();
    window.waitForFinished();
    nudger.reset();
    QFile::remove(probeFile);
}

Ran tst_WinProduct::runCli(const QStringList &arguments)
{
    // Wine's HID bus starts with the first program, and lists the instrument a moment later.
    const Nudger nudging;
    return runWine({"--bare", "--rig"}, programs + "/zelloader-cli.exe",
                   arguments + QStringList{"--wait", "30"}, env);
}

// The update run of the command line, the main board's restart and its return through
// Wine's HID stack included; a later list shows what the boards now run.
void tst_WinProduct::commandLineUpdatesAllBoards()
{
    sim.run("restartMs", 300);
    const Ran update = runCli({"update", "--yes"});
    QVERIFY2(update.code == 0, update.out + update.err);
    QVERIFY(update.out.endsWith("Firmware update successfull\n"));
    QCOMPARE(sim.value("restartCount"), 1);
    STEP(verifyAllBoardsUpdated());

    const Ran list = runCli({"list", "--json"});
    QCOMPARE(list.code, 0);
    const QJsonArray boards = QJsonDocument::fromJson(list.out).object()["boards"].toArray();
    QCOMPARE(boards.size(), 7);
    for (const QJsonValue value : boards)
        QCOMPARE(value["version"].toString(), builtInImage(value["part"].toInt()).getVersion());
}

void tst_WinProduct::startWindow()
{
    window.setProcessEnvironment(env);
    window.setProcessChannelMode(QProcess::MergedChannels);
    QStringList command = wineCommand({"--bare", "--rig", "--exec"}, programs + "/zelLoader.exe",
                                      {"-plugin", "zelrigprobe"});
    window.start(command.takeFirst(), command);
    QVERIFY(window.waitForStarted());
    nudger.reset(new Nudger);
    QTRY_VERIFY_WITH_TIMEOUT(!shown("window").isEmpty(), 60000);
}

QStringList tst_WinProduct::shown(const QString &name) const
{
    QFile file(probeFile);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        QStringList fields = line.split('\t');
        if (fields.takeFirst() == name)
            return fields;
    }
    return QStringList();
}

// Wine makes the window the active one once it has the focus.
void tst_WinProduct::pressReturn()
{
    QTRY_COMPARE_WITH_TIMEOUT(shown("startUpdate").value(0), QStringLiteral("1"), 30000);
    QVERIFY(!focusToolWindow(env, 10000).isEmpty());
    QTRY_COMPARE(shown("window").value(1), QStringLiteral("1"));
    QCOMPARE(runProcess("xdotool", {"key", "Return"}, env).code, 0);
}

void tst_WinProduct::verifyAllBoardsUpdated()
{
    for (int part = 1; part <= 7; ++part)
        QVERIFY2(sim.bytes("installedImage", part) == builtInImage(part).getHexText(),
                 qPrintable(QString::number(part)));
}

// Return starts the update of every board; the window shows success.
void tst_WinProduct::windowUpdatesAllBoards()
{
    STEP(startWindow());
    QTRY_COMPARE_WITH_TIMEOUT(total(), ready, 60000);
    STEP(pressReturn());
    QTRY_COMPARE_WITH_TIMEOUT(total(), success, UpdateMs);
    QCOMPARE(shown("totalProgress").value(2), QStringLiteral("0")); // not coloured as failed
    STEP(verifyAllBoardsUpdated());
    QCOMPARE(sim.value("restartCount"), 1);
}

// Unplugged during the transfer, the step ends with its failure shown instead of hanging;
// plugged in again, the instrument is found and a new run succeeds.
void tst_WinProduct::windowLosesTheInstrument()
{
    STEP(startWindow());
    QTRY_COMPARE_WITH_TIMEOUT(total(), ready, 60000);
    sim.run("unplugAfterLine", 300);
    STEP(pressReturn());
    QTRY_COMPARE_WITH_TIMEOUT(total(), QStringLiteral("Sensor Boards: No response from device"),
                              30000);
    QCOMPARE(shown("totalProgress").value(2), QStringLiteral("1"));
    sim.run("plug");
    QTRY_COMPARE_WITH_TIMEOUT(total(), ready, 30000);
    STEP(pressReturn());
    QTRY_COMPARE_WITH_TIMEOUT(total(), success, UpdateMs);
    STEP(verifyAllBoardsUpdated());
}

QTEST_GUILESS_MAIN(tst_WinProduct)
#include "tst_winproduct.moc"

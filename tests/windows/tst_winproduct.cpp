// The unchanged Windows programs, as deployed, updating the simulated instrument of the
// hidraw rig through HIDAPI's Windows backend and Wine's HID stack: hid.dll and
// SetupAPI in the program, Wine's HID bus reading /dev/hidraw0. The window runs with the
// windows platform and loads the probe as a plugin ("-plugin zelrigprobe").
#include "rig/productrig.h"
#include "winehost.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <memory>
#include <thread>

namespace {

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
                  zelsim::Instrument::instance().run("injectInputReport", QByteArray(64, '\0'));
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

} // namespace

class tst_WinProduct : public QObject, ProductRig
{
    Q_OBJECT

    QString prefix;
    QString programs;
    std::unique_ptr<Nudger> nudger;

public:
    // A full update at one report per USB frame, the main board's restart included, with
    // Wine's slower start on top.
    tst_WinProduct() : ProductRig(60000, 180000) {}

private:
    void startWindow() override
    {
        window.setProcessEnvironment(env);
        window.setProcessChannelMode(QProcess::MergedChannels);
        QStringList command = wineCommand({"--bare", "--rig", "--exec"},
                                          programs + "/zelLoader.exe", {"-plugin", "zelrigprobe"});
        window.start(command.takeFirst(), command);
        QVERIFY(window.waitForStarted());
        nudger.reset(new Nudger);
        QTRY_VERIFY_WITH_TIMEOUT(!shown("window").isEmpty(), waitMs);
    }

    // Wine makes the window the active one once it has the focus.
    void focusWindow() override { QVERIFY(!focusToolWindow(env, 10000).isEmpty()); }

    Ran runCli(const QStringList &arguments)
    {
        // Wine's HID bus starts with the first program, and lists the instrument a moment later.
        const Nudger nudging;
        return runWine({"--bare", "--rig"}, programs + "/zelloader-cli.exe",
                       arguments + QStringList{"--wait", "30"}, env);
    }

private slots:
    void initTestCase()
    {
        ZELRIG_REQUIRE("Xvfb", "xdotool");
        WINE_REQUIRE();
        programs = fromWindowsBuild("ZEL_WIN_RIG");
        QVERIFY(QFile::exists(programs + "/zelLoader.exe"));
        STEP(setUpScreen());
        prefix = fromWindowsBuild("ZEL_WIN_PREFIXES") + "/rig-product";
        env.insert("ZEL_WINEPREFIX", prefix);
        env.insert("ZEL_PROBE_FILE", windowsPath(probeFile));
        // Made once, before the clock of any test runs.
        QCOMPARE(runProcess(fromWindowsBuild("ZEL_WINE_RUN"), {"--bare", "--rig", "--init"}, env,
                            QString(), 300000)
                     .code,
                 0);
    }

    // Each test with the instrument as it comes new, and with no Wine program left from
    // the last: Wine's HID bus keeps the device open as long as its server runs, and the
    // reset ends the handles the device had.
    void init()
    {
        waitForWine(prefix, true);
        zelsim::Instrument::instance().run("reset");
    }

    void cleanup()
    {
        endWindow();
        nudger.reset();
    }

    // The update run of the command line, the main board's restart and its return through
    // Wine's HID stack included; a later list shows what the boards now run.
    void commandLineUpdatesAllBoards()
    {
        zelsim::Instrument &sim = zelsim::Instrument::instance();
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

    void windowUpdatesAllBoards_data()
    {
        QTest::addColumn<QString>("loss");
        QTest::newRow("all boards") << "";
        QTest::newRow("unplugged") << "unplug";
    }

    void windowUpdatesAllBoards()
    {
        QFETCH(QString, loss);
        ProductRig::update(loss, false);
    }
};

QTEST_GUILESS_MAIN(tst_WinProduct)
#include "tst_winproduct.moc"

// The unchanged product, driven from outside as a user would drive it: Xvfb for
// a screen, xdotool for the keyboard (Return presses the default button "Start
// Update"), the probe preloaded into it to read what the window shows, and the
// rig's control socket to see what the instrument's boards hold.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "stranger.h"
#include "testimages.h"
#include "usbhid.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

const QString ready = QStringLiteral("Ready to start firmware update");
const QString success = QStringLiteral("Firmware update successfull");
const QString denied =
    QStringLiteral("Instrument found, but access was denied: install the udev rule (see README)");
// Long enough for a full update at one report per USB frame with the main board's restart.
constexpr int UpdateMs = 120000;

zelsim::Instrument &sim = zelsim::Instrument::instance();

// The helpers check with QVERIFY and QTRY_*, which return from the helper only.
#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

} // namespace

class tst_Product : public QObject
{
    Q_OBJECT

    QProcess xvfb;
    QProcess product;
    QString display;
    QString probeFile;

    void startProduct(bool stranger = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("ZEL_PROBE_FILE", probeFile);
        env.insert("HOME", QFileInfo(probeFile).path());
        product.setProcessEnvironment(env);
        product.setProcessChannelMode(QProcess::MergedChannels);
        // The probe goes into the product alone, through env after setpriv: a probe built
        // with sanitizers cannot load into programs built without them.
        QStringList command = (stranger ? asStranger() : QStringList()) +
                              QStringList{"env", "LD_PRELOAD=" ZEL_PROBE, ZEL_PRODUCT};
        product.start(command.takeFirst(), command);
        QVERIFY(product.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!shown("window").isEmpty(), 20000);
    }

    // What the probe last saw of a widget: its fields after the name, none if not shown.
    QStringList shown(const QString &name) const
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

    QString total() const { return shown(QStringLiteral("totalProgress")).value(0); }

    bool run(const QString &program, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        return runProcess(program, arguments, env, QString(), 10000).code == 0;
    }

    // With no window manager in the rig, the window gets the focus from xdotool too.
    void pressReturn()
    {
        QTRY_COMPARE_WITH_TIMEOUT(shown("startUpdate").value(0), QStringLiteral("1"), 20000);
        QVERIFY(run("xdotool", {"windowfocus", "--sync", shown("window").value(0)}));
        QTRY_COMPARE(shown("window").value(1), QStringLiteral("1"));
        QVERIFY(run("xdotool", {"key", "Return"}));
    }

private slots:
    void initTestCase()
    {
        ZELRIG_REQUIRE("Xvfb", "xdotool", "setpriv");
        QVERIFY(QFile::exists(ZEL_PRODUCT) && QFile::exists(ZEL_PROBE));
        // The rig's X socket folder is its own, so the first free display is free indeed;
        // no lock file, which would land in the /tmp shared with the machine.
        xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-nolock", "-ac",
                                            "-screen", "0", "1024x768x24"});
        QVERIFY(xvfb.waitForReadyRead(10000));
        display = ':' + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed();
        const QString folder = qEnvironmentVariable("ZEL_RIG_DIR") + "/probe";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        probeFile = folder + "/shown";
    }

    void cleanupTestCase()
    {
        xvfb.kill();
        xvfb.waitForFinished();
    }

    void init() { sim.run("reset"); }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "product output:\n" + product.readAll();
        product.kill();
        product.waitForFinished();
        QFile::remove(probeFile);
        zelrig::setNodeMode(0666);
    }

    // With a loss, the step ends with its failure shown instead of hanging; plugged in
    // again, the instrument is found and a new run succeeds.
    void update_data()
    {
        QTest::addColumn<QString>("loss");
        QTest::newRow("all boards") << ""; // first: at the bus's pace
        QTest::newRow("unplugged") << "unplug";
        QTest::newRow("the server dies") << "kill";
    }

    void update()
    {
        QFETCH(QString, loss);
        STEP(startProduct());
        QTRY_COMPARE_WITH_TIMEOUT(total(), ready, 20000);
        if (loss == "unplug")
            sim.run("unplugAfterLine", 300);
        STEP(pressReturn());
        if (loss == "kill") {
            QTRY_VERIFY_WITH_TIMEOUT(sim.bytes("receivedText", 1).size() > 10000, UpdateMs);
            QCOMPARE(::kill(pid_t(zelrig::serverPid()), SIGKILL), 0);
        }
        if (!loss.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(
                total(), QStringLiteral("Sensor Boards: No response from device"), 20000);
            QCOMPARE(shown("totalProgress").value(2), QStringLiteral("1")); // coloured as failed
            if (loss == "kill")
                QVERIFY(zelrig::startServer());
            else
                sim.run("plug");
            // The full update at the bus's pace has been shown; this one only has to succeed.
            zelrig::setUsbTiming(false);
            QTRY_COMPARE_WITH_TIMEOUT(total(), ready, 20000);
            STEP(pressReturn());
        }
        QTRY_COMPARE_WITH_TIMEOUT(total(), success, UpdateMs);
        QCOMPARE(shown("totalProgress").value(2), QStringLiteral("0"));
        for (int part = 1; part <= 7; ++part)
            QVERIFY2(sim.bytes("installedImage", part) == builtInImage(part).getHexText(),
                     qPrintable(QString::number(part)));
        QCOMPARE(sim.value("restartCount"), 1);
    }

    // A user without rights on the node is told so, and the window connects as soon
    // as the rights are there: granted after the product's first seconds of frequent
    // attempts, and long before its next safety attempt, the change it sees in /dev
    // is what finds the instrument.
    void accessDenied()
    {
        if (!strangersExist())
            QSKIP("running as another user needs the rig set up by root");
        zelrig::setNodeMode(0600);
        STEP(startProduct(true));
        QTRY_COMPARE_WITH_TIMEOUT(total(), denied, 20000);
        QCOMPARE(shown("startUpdate").value(0), QStringLiteral("0"));
        QCOMPARE(sim.value("openCount"), 0);
        QTest::qWait(UsbHid::FrequentAfterStartMs);
        zelrig::setNodeMode(0666);
        QTRY_COMPARE_WITH_TIMEOUT(total(), ready, UsbHid::SafetyIntervalMs / 3);
        QCOMPARE(sim.value("openCount"), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Product)
#include "tst_product.moc"

// The unchanged product, driven from outside as a user would drive it: the window on
// Xvfb with the xcb platform, the probe preloaded into it.
#include "productrig.h"
#include "stranger.h"
#include "usbhid.h"

class tst_Product : public QObject, ProductRig
{
    Q_OBJECT

    bool stranger = false;

public:
    // A full update at one report per USB frame with the main board's restart.
    tst_Product() : ProductRig(20000, 120000) {}

private:
    void startWindow() override
    {
        QProcessEnvironment productEnv = env;
        productEnv.insert("QT_QPA_PLATFORM", "xcb");
        productEnv.insert("ZEL_PROBE_FILE", probeFile);
        productEnv.insert("HOME", QFileInfo(probeFile).path());
        window.setProcessEnvironment(productEnv);
        window.setProcessChannelMode(QProcess::MergedChannels);
        // The probe goes into the product alone, through env after setpriv: a probe built
        // with sanitizers cannot load into programs built without them.
        QStringList command = (stranger ? asStranger() : QStringList()) +
                              QStringList{"env", "LD_PRELOAD=" ZEL_PROBE, ZEL_PRODUCT};
        window.start(command.takeFirst(), command);
        QVERIFY(window.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!shown("window").isEmpty(), waitMs);
    }

    void focusWindow() override
    {
        QCOMPARE(
            runProcess("xdotool", {"windowfocus", "--sync", shown("window").value(0)}, env).code,
            0);
    }

private slots:
    void initTestCase()
    {
        ZELRIG_REQUIRE("Xvfb", "xdotool", "setpriv");
        QVERIFY(QFile::exists(ZEL_PRODUCT) && QFile::exists(ZEL_PROBE));
        setUpScreen();
    }

    void init() { zelsim::Instrument::instance().run("reset"); }

    void cleanup()
    {
        endWindow();
        stranger = false;
        zelrig::setNodeMode(0666);
    }

    void update_data()
    {
        QTest::addColumn<QString>("loss");
        QTest::newRow("all boards") << ""; // first: at the bus's pace
        QTest::newRow("unplugged") << "unplug";
        QTest::newRow("the server dies") << "kill";
    }

    // The full update at the bus's pace has been shown; after a loss the next one only
    // has to succeed.
    void update()
    {
        QFETCH(QString, loss);
        ProductRig::update(loss, true);
    }

    // A user without rights on the node is told so, and the window connects as soon
    // as the rights are there: granted after the product's first seconds of frequent
    // attempts, and long before its next safety attempt, the change it sees in /dev
    // is what finds the instrument.
    void accessDenied()
    {
        if (!strangersExist())
            QSKIP("running as another user needs the rig set up by root");
        zelsim::Instrument &sim = zelsim::Instrument::instance();
        zelrig::setNodeMode(0600);
        stranger = true;
        STEP(startWindow());
        QTRY_COMPARE_WITH_TIMEOUT(total(),
                                  QStringLiteral("Instrument found, but access was denied: "
                                                 "install the udev rule (see README)"),
                                  waitMs);
        QCOMPARE(shown("startUpdate").value(0), QStringLiteral("0"));
        QCOMPARE(sim.value("openCount"), 0);
        QTest::qWait(UsbHid::FrequentAfterStartMs);
        zelrig::setNodeMode(0666);
        QTRY_COMPARE_WITH_TIMEOUT(total(), QStringLiteral("Ready to start firmware update"),
                                  UsbHid::SafetyIntervalMs / 3);
        QCOMPARE(sim.value("openCount"), 1);
    }
};

QTEST_GUILESS_MAIN(tst_Product)
#include "tst_product.moc"

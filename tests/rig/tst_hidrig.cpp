// The rig's device node as the system's HIDAPI sees it: what the product and
// the window's rig tests rely on it to do like a kernel's hidraw node.
#include "rigcontrol.h"
#include "sim/benchrows.h"
#include "sim/loudfailure.h"
#include "siminstrument.h"
#include "usbhid.h"

#include <QFileSystemWatcher>
#include <QtTest>

#include <hidapi.h>

namespace {

zelsim::Instrument &sim = zelsim::Instrument::instance();
const QString node = QStringLiteral("/dev/hidraw0");

// The link's clock: stands still unless the test moves it.
qint64 linkNow = 0;

// A link whose timer never runs: whatever it opens, it opens at a change notice.
class NoticedLink : public UsbHid
{
public:
    NoticedLink() : UsbHid(0x04D8, 0xF93C)
    {
        clockMs = [] { return linkNow; };
        pollTimer->stop();
    }
    using UsbHid::polling;
    bool opened() const { return isOpen; }
};

int writeMessage(hid_device *dev, std::initializer_list<unsigned char> message)
{
    unsigned char report[65] = {};
    std::copy(message.begin(), message.end(), report + 1);
    return hid_write(dev, report, sizeof(report));
}

QString text(const wchar_t *error)
{
    return error ? QString::fromWCharArray(error) : QString();
}

} // namespace

class tst_HidRig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ZELRIG_REQUIRE(); }
    void init()
    {
        sim.run("reset");
        zelrig::setUsbTiming(false);
        zelrig::setNodeMode(0666);
    }

    // A command the table does not take ends the test that gave it, refused by the
    // client (a name, the kind of answer) or by the server (its arguments).
    void failsLoudly_data() { loudFailureRows(); }
    void failsLoudly() { checkLoudFailure(); }

    // Several instruments as the system's HIDAPI lists them: a node each, numbered as
    // the kernel numbers them, in the order of their USB ports, with the serial
    // numbers they report.
    void bench_data() { benchRows(); }
    void bench() { checkBench("/dev/"); }

    // A reader waiting for a report is woken when the answer comes, later or at a
    // frame, and so by a report the device sends by itself: in poll (a timeout of a
    // day, so a lost wake-up hangs the test) or in a blocking read (timeout -1).
    void blockingRead_data()
    {
        QTest::addColumn<bool>("usbTiming");
        QTest::addColumn<int>("latencyMs");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("ownReport");
        const int day = 24 * 3600 * 1000;
        QTest::newRow("poll, late answer") << false << 40 << day << false;
        QTest::newRow("poll, USB frames") << true << 0 << day << false;
        QTest::newRow("poll, USB frames, late answer") << true << 40 << day << false;
        QTest::newRow("read, late answer") << false << 40 << -1 << false;
        QTest::newRow("read, USB frames") << true << 0 << -1 << false;
        QTest::newRow("poll, USB frames, the device's own report") << true << 0 << day << true;
        QTest::newRow("read, USB frames, the device's own report") << true << 0 << -1 << true;
    }
    void blockingRead()
    {
        QFETCH(bool, usbTiming);
        QFETCH(int, latencyMs);
        QFETCH(int, timeoutMs);
        QFETCH(bool, ownReport);
        zelrig::setUsbTiming(usbTiming);
        sim.run("latencyMs", latencyMs);
        hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
        QVERIFY(dev);
        if (ownReport)
            sim.run("injectInputReport", QByteArray("\x02\x06\x01", 3));
        else
            QCOMPARE(writeMessage(dev, {0x01, 7, 0x01, 6}), 65);
        unsigned char report[65] = {};
        const int n = hid_read_timeout(dev, report, sizeof(report), timeoutMs);
        QCOMPARE(n, ownReport ? 3 : 64);
        QCOMPARE(answers(report, n),
                 ownReport ? QStringLiteral("2.6.1") : QStringLiteral("1.7.31 1.6.22"));
        QCOMPARE(hid_read_timeout(dev, report, sizeof(report), 0), 0); // nothing more
        hid_close(dev);
    }

    // Every report waits for its reader, in order, whole; injected ones as they are.
    void reportsQueue()
    {
        hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
        QVERIFY(dev && hid_set_nonblocking(dev, 1) == 0);
        sim.run("injectInputReport", QByteArray("\x02\x06\x01", 3));
        QCOMPARE(writeMessage(dev, {0x01, 5}), 65);
        unsigned char report[65] = {};
        QCOMPARE(hid_read(dev, report, sizeof(report)), 3);
        QCOMPARE(answers(report, 3), QStringLiteral("2.6.1"));
        QCOMPARE(hid_read(dev, report, sizeof(report)), 64);
        QCOMPARE(answers(report, 64), QStringLiteral("1.5.17"));
        QCOMPARE(hid_read(dev, report, sizeof(report)), 0);
        QCOMPARE(sim.list("writtenReports").value(0),
                 QByteArray("\0\x01\x05", 3).leftJustified(65, '\0'));
        hid_close(dev);
    }

    void restart()
    {
        checkRestart([](hid_device *dev) {
            QCOMPARE(text(hid_error(dev)), QStringLiteral("hid_read_timeout: unexpected poll "
                                                          "error (device disconnected)"));
        });
    }

    // The node in /dev as a program watching the folder sees it: there exactly while the
    // instrument is, and touched when its permissions change, as udev would.
    void nodeInDev_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("there");
        QTest::newRow("unplugged") << "unplug" << false;
        QTest::newRow("plugged in") << "replug" << true;
        QTest::newRow("the main board restarts") << "restart" << true;
        QTest::newRow("mode 0600") << "mode" << true;
        QTest::newRow("refused") << "deny" << true;
    }
    void nodeInDev()
    {
        QFETCH(QString, change);
        QFETCH(bool, there);
        QVERIFY(QFile::exists(node));
        if (change == "replug") {
            sim.run("unplug");
            QTRY_VERIFY(!QFile::exists(node));
        }
        QFileSystemWatcher watcher({"/dev"});
        QSignalSpy notices(&watcher, &QFileSystemWatcher::directoryChanged);
        if (change == "unplug") {
            sim.run("unplug");
        } else if (change == "replug") {
            sim.run("plug");
        } else if (change == "restart") {
            sim.run("restartMs", 200);
            hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
            QVERIFY(dev);
            QCOMPARE(writeMessage(dev, {0x05, 7}), 65);
            hid_close(dev);
            QTRY_VERIFY(!QFile::exists(node));
            QTRY_COMPARE(sim.value("restartCount"), 1);
        } else if (change == "mode") {
            zelrig::setNodeMode(0600);
        } else {
            sim.run("accessDenied");
        }
        QTRY_VERIFY(!notices.isEmpty());
        QTRY_COMPARE(QFile::exists(node), there);
    }

    // The link, its timer stopped and its clock long past the first seconds of waiting,
    // still opens the instrument: at the change notice, with no tick and no time passing,
    // which is how it finds an instrument within a moment of its appearing while it waits
    // quietly.
    void openedAtNotice_data()
    {
        QTest::addColumn<QString>("before");
        QTest::newRow("plugged in") << "unplugged";
        QTest::newRow("access granted") << "denied";
        QTest::newRow("back after a loss") << "lost";
    }
    void openedAtNotice()
    {
        QFETCH(QString, before);
        linkNow = 0;
        if (before == "unplugged")
            sim.run("unplug");
        else if (before == "denied")
            sim.run("accessDenied");
        NoticedLink link;
        link.setAutoOpen(true);
        for (int i = 1; i < UsbHid::RefusalsBeforeDenied && before == "denied"; ++i) {
            linkNow += UsbHid::WaitIntervalMs;
            link.polling();
        }
        QCOMPARE(link.accessDenied(), before == "denied");
        QCOMPARE(link.opened(), before == "lost");
        if (before == "lost") {
            sim.run("unplug");
            link.polling(); // the read fails
            QVERIFY(!link.opened());
        }
        QTest::qWait(100); // whatever the watcher has to say about the time before
        linkNow += 60000;
        if (before == "denied")
            sim.run("accessDenied", false);
        else
            sim.run("plug");
        QTRY_VERIFY(link.opened());
        QVERIFY(!link.accessDenied());
    }

    // Kept through its main board's restart, among two instruments, the link opens the
    // same one again, found by its serial number through the system's HIDAPI; without
    // serial numbers, neither.
    void keptAcrossRestart_data()
    {
        QTest::addColumn<bool>("serials");
        QTest::newRow("serial numbers") << true;
        QTest::newRow("none") << false;
    }
    void keptAcrossRestart()
    {
        QFETCH(bool, serials);
        zelsim::Instrument &kept = zelsim::Instrument::instance(2);
        sim.run("unplug");
        kept.run("plug");
        kept.run("restartMs", 200);
        if (serials) {
            sim.run("serial", "HR36-0001");
            kept.run("serial", "HR36-0002");
        }
        UsbHid link(0x04D8, 0xF93C);
        QSignalSpy connected(&link, &UsbHid::connected);
        link.setAutoOpen(true);
        QCOMPARE(connected.count(), 1);
        link.keepDevice(true);
        sim.run("plug"); // listed first from now on
        link.send(QByteArray("\x05\x07", 2));
        QTRY_COMPARE(kept.value("restartCount"), 1);
        QTRY_COMPARE(kept.value("attached"), 1);
        if (serials) {
            QTRY_COMPARE(connected.count(), 2);
            QCOMPARE(link.current().serial, QStringLiteral("HR36-0002"));
        } else {
            QTRY_VERIFY(link.ambiguous() && link.attached().size() == 2);
        }
        QCOMPARE(sim.value("openCount"), 0);
    }

    // Listed but refused: what the link tells from absence.
    void accessDenied()
    {
        sim.run("accessDenied");
        hid_device_info *found = hid_enumerate(0x04D8, 0xF93C);
        QVERIFY(found);
        QCOMPARE(QByteArray(found->path), QByteArray("/dev/hidraw0"));
        QVERIFY(!hid_open_path(found->path));
        hid_free_enumeration(found);
        QCOMPARE(text(hid_error(nullptr)),
                 QStringLiteral("Failed to open a device with path '/dev/hidraw0': "
                                "Permission denied"));
        sim.run("unplug");
        QVERIFY(!hid_open(0x04D8, 0xF93C, nullptr));
        QCOMPARE(text(hid_error(nullptr)),
                 QStringLiteral("No HID devices with requested VID/PID found in the system."));
    }
};

QTEST_GUILESS_MAIN(tst_HidRig)
#include "tst_hidrig.moc"

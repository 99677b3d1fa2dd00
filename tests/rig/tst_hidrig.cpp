// The rig's device node as the system's HIDAPI sees it: what the product and
// the window's rig tests rely on it to do like a kernel's hidraw node.
#include "rigcontrol.h"
#include "siminstrument.h"

#include <QtTest>

#include <hidapi.h>

namespace {

zelsim::Instrument &sim = zelsim::Instrument::instance();

// Answers of an input report as "command.part.value", up to the zero padding.
QString answers(const unsigned char *report, int size)
{
    QStringList out;
    for (int k = 0; k + 3 <= size && report[k]; k += 3)
        out << QStringLiteral("%1.%2.%3").arg(report[k]).arg(report[k + 1]).arg(report[k + 2]);
    return out.join(' ');
}

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
    void initTestCase()
    {
        const QString why = zelrig::unavailableReason();
        if (!why.isEmpty())
            QSKIP(qPrintable("hidrig unavailable: " + why));
    }
    void init()
    {
        sim.reset();
        zelrig::setUsbTiming(false);
    }

    // A reader waiting for a report is woken when the answer comes, later or at a
    // frame: in poll (a timeout of a day, so a lost wake-up hangs the test) or in
    // a blocking read (timeout -1).
    void blockingRead_data()
    {
        QTest::addColumn<bool>("usbTiming");
        QTest::addColumn<int>("latencyMs");
        QTest::addColumn<int>("timeoutMs");
        const int day = 24 * 3600 * 1000;
        QTest::newRow("poll, late answer") << false << 40 << day;
        QTest::newRow("poll, USB frames") << true << 0 << day;
        QTest::newRow("poll, USB frames, late answer") << true << 40 << day;
        QTest::newRow("read, late answer") << false << 40 << -1;
        QTest::newRow("read, USB frames") << true << 0 << -1;
    }
    void blockingRead()
    {
        QFETCH(bool, usbTiming);
        QFETCH(int, latencyMs);
        QFETCH(int, timeoutMs);
        zelrig::setUsbTiming(usbTiming);
        sim.setAnswerLatencyMs(latencyMs);
        hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
        QVERIFY(dev);
        QCOMPARE(writeMessage(dev, {0x01, 7, 0x01, 6}), 65);
        unsigned char report[65] = {};
        const int n = hid_read_timeout(dev, report, sizeof(report), timeoutMs);
        QCOMPARE(n, 64);
        QCOMPARE(answers(report, n), QStringLiteral("1.7.31 1.6.22"));
        QCOMPARE(hid_read_timeout(dev, report, sizeof(report), 0), 0); // nothing more
        hid_close(dev);
    }

    // Every report waits for its reader, in order, whole; injected ones as they are.
    void reportsQueue()
    {
        hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
        QVERIFY(dev && hid_set_nonblocking(dev, 1) == 0);
        sim.injectInputReport(QByteArray("\x02\x06\x01", 3));
        QCOMPARE(writeMessage(dev, {0x01, 5}), 65);
        unsigned char report[65] = {};
        QCOMPARE(hid_read(dev, report, sizeof(report)), 3);
        QCOMPARE(answers(report, 3), QStringLiteral("2.6.1"));
        QCOMPARE(hid_read(dev, report, sizeof(report)), 64);
        QCOMPARE(answers(report, 64), QStringLiteral("1.5.17"));
        QCOMPARE(hid_read(dev, report, sizeof(report)), 0);
        QCOMPARE(sim.writtenReports().value(0),
                 QByteArray("\0\x01\x05", 3).leftJustified(65, '\0'));
        hid_close(dev);
    }

    // A restart takes the device off the bus: its handle fails from then on, the
    // library finds nothing until it is back, and then a new handle works.
    void restart()
    {
        sim.setRestartDelayMs(200);
        hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
        QVERIFY(dev && hid_set_nonblocking(dev, 1) == 0);
        QCOMPARE(writeMessage(dev, {0x05, 7}), 65);
        unsigned char report[65] = {};
        // The server takes the device away once it has handled the write, which
        // may come after our first look.
        QTRY_COMPARE(hid_read(dev, report, sizeof(report)), -1);
        QCOMPARE(text(hid_error(dev)),
                 QStringLiteral("hid_read_timeout: unexpected poll error (device disconnected)"));
        QCOMPARE(writeMessage(dev, {0x01, 7}), -1);
        QVERIFY(!hid_enumerate(0x04D8, 0xF93C));
        hid_close(dev);
        // QTRY_VERIFY evaluates its condition once more after it held: open only once.
        hid_device *again = nullptr;
        const auto reopened = [&] {
            if (!again)
                again = hid_open(0x04D8, 0xF93C, nullptr);
            return again != nullptr;
        };
        QTRY_VERIFY(reopened());
        QCOMPARE(writeMessage(again, {0x01, 7}), 65);
        QCOMPARE(hid_read_timeout(again, report, sizeof(report), 10000), 64);
        QCOMPARE(answers(report, 64), QStringLiteral("1.7.31"));
        hid_close(again);
        QCOMPARE(sim.restartCount(), 1);
    }

    // Listed but refused: what the link tells from absence.
    void accessDenied()
    {
        sim.setAccessDenied(true);
        hid_device_info *found = hid_enumerate(0x04D8, 0xF93C);
        QVERIFY(found);
        QCOMPARE(QByteArray(found->path), QByteArray("/dev/hidraw0"));
        QVERIFY(!hid_open_path(found->path));
        hid_free_enumeration(found);
        QCOMPARE(text(hid_error(nullptr)),
                 QStringLiteral("Failed to open a device with path '/dev/hidraw0': "
                                "Permission denied"));
        sim.unplug();
        QVERIFY(!hid_open(0x04D8, 0xF93C, nullptr));
        QCOMPARE(text(hid_error(nullptr)),
                 QStringLiteral("No HID devices with requested VID/PID found in the system."));
    }
};

QTEST_GUILESS_MAIN(tst_HidRig)
#include "tst_hidrig.moc"

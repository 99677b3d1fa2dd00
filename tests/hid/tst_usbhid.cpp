#include "siminstrument.h"
#include "usbhid.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {
constexpr quint16 Vendor = 0x04D8;
constexpr quint16 Product = 0xF93C;

// Runs poll steps by hand so that each step's report can be checked; the
// link's own timer is stopped.
class Link : public UsbHid
{
public:
    explicit Link(quint16 vendor = Vendor, quint16 product = Product) : UsbHid(vendor, product)
    {
        findChild<QTimer *>()->stop();
        connect(this, &UsbHid::connected, this, [this] { events << QStringLiteral("c"); });
        connect(this, &UsbHid::disconnected, this, [this] { events << QStringLiteral("d"); });
    }
    // The base destructor still emits disconnected(), after `events` is gone.
    ~Link() override { disconnect(this, nullptr, this, nullptr); }
    using UsbHid::polling;
    QStringList events;
};

QByteArray filled(int size, char c)
{
    return QByteArray(size, c);
}

// The 64 data bytes of a report carrying `payload`, padded with zeros.
QByteArray reportData(const QByteArray &payload)
{
    return payload + QByteArray(64 - payload.size(), '\0');
}

QList<QByteArray> reportsData()
{
    QList<QByteArray> result;
    for (const QByteArray &report : zelsim::Instrument::instance().writtenReports()) {
        result << report.mid(1);
    }
    return result;
}
} // namespace

class TestUsbHid : public QObject
{
    Q_OBJECT

private slots:
    void init() { zelsim::Instrument::instance().reset(); }

    void packing_data()
    {
        QTest::addColumn<QList<QByteArray>>("messages");
        QTest::addColumn<QList<QByteArray>>("reports");

        const QByteArray a40 = filled(40, 'a'), b20 = filled(20, 'b'), c10 = filled(10, 'c');
        QTest::newRow("40+20+10: third waits for the next report")
            << QList<QByteArray>{a40, b20, c10}
            << QList<QByteArray>{reportData(a40 + b20), reportData(c10)};
        const QByteArray full = filled(64, 'f');
        QTest::newRow("exactly 64 bytes fill one report")
            << QList<QByteArray>{full, c10} << QList<QByteArray>{full, reportData(c10)};
        QTest::newRow("oversize dropped, does not block")
            << QList<QByteArray>{filled(65, 'x'), b20, filled(200, 'y'), c10}
            << QList<QByteArray>{reportData(b20 + c10)};
        QTest::newRow("empty dropped") << QList<QByteArray>{QByteArray(), c10, QByteArray()}
                                       << QList<QByteArray>{reportData(c10)};
        QTest::newRow("order kept across reports")
            << QList<QByteArray>{filled(30, 'a'), filled(30, 'b'), filled(30, 'c'), filled(4, 'd')}
            << QList<QByteArray>{reportData(filled(30, 'a') + filled(30, 'b')),
                                 reportData(filled(30, 'c') + filled(4, 'd'))};
    }

    void packing()
    {
        QFETCH(QList<QByteArray>, messages);
        QFETCH(QList<QByteArray>, reports);
        Link link;
        link.open();
        for (const QByteArray &message : messages) {
            link.send(message);
        }
        for (int i = 0; i <= reports.size(); ++i) {
            link.polling();
        }
        for (const QByteArray &report : zelsim::Instrument::instance().writtenReports()) {
            QCOMPARE(report.size(), 65);
            QCOMPARE(report.at(0), '\0');
        }
        QCOMPARE(reportsData(), reports);
    }

    void openClose_data()
    {
        QTest::addColumn<bool>("startOpen");
        QTest::addColumn<bool>("attached");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("opens");

        QTest::newRow("close on closed") << false << true << "close" << QStringList{"d"} << 0;
        QTest::newRow("close on open") << true << true << "close" << QStringList{"d"} << 1;
        QTest::newRow("open on open") << true << true << "open" << QStringList{"d", "c"} << 2;
        QTest::newRow("open on open, device gone")
            << true << false << "open" << QStringList{"d"} << 1;
        QTest::newRow("open while absent") << false << false << "open" << QStringList{} << 0;
        QTest::newRow("reopen on closed")
            << false << true << "reopen" << QStringList{"d", "c"} << 1;
        QTest::newRow("reopen on open") << true << true << "reopen" << QStringList{"d", "c"} << 2;
    }

    void openClose()
    {
        QFETCH(bool, startOpen);
        QFETCH(bool, attached);
        QFETCH(QString, action);
        QFETCH(QStringList, events);
        QFETCH(int, opens);
        auto &sim = zelsim::Instrument::instance();
        Link link;
        if (startOpen) {
            link.open();
            QCOMPARE(link.events, QStringList{"c"});
            link.events.clear();
        }
        if (!attached) {
            sim.unplug();
        }
        if (action == QLatin1String("open")) {
            link.open();
        } else if (action == QLatin1String("close")) {
            link.close();
        } else {
            link.reopen();
        }
        QCOMPARE(link.events, events);
        QCOMPARE(sim.openCount(), opens);
    }

    void wrongIdsFindNothing()
    {
        Link link(Vendor, Product + 1);
        link.open();
        QVERIFY(link.events.isEmpty());
        QCOMPARE(zelsim::Instrument::instance().openCount(), 0);
    }

    void autoOpen()
    {
        auto &sim = zelsim::Instrument::instance();
        Link link;
        link.setAutoOpen(true);
        // Opened inside the call, not on a later tick.
        QCOMPARE(link.events, QStringList{"c"});
        link.setAutoOpen(true);
        QCOMPARE(link.events, QStringList{"c"});

        // Another id reopens at once; with nothing found under it, the link waits.
        link.setProductId(Product + 1);
        QCOMPARE(link.events, (QStringList{"c", "d"}));
        link.setProductId(Product);
        QCOMPARE(link.events, (QStringList{"c", "d", "d", "c"}));
        QCOMPARE(sim.openCount(), 2);
    }

    void autoOpenWaitsForDevice()
    {
        auto &sim = zelsim::Instrument::instance();
        sim.unplug();
        UsbHid link(Vendor, Product);
        QSignalSpy connected(&link, &UsbHid::connected);
        link.setAutoOpen(true);
        QCOMPARE(connected.count(), 0);
        sim.plug();
        // The link's own timer finds the device.
        QTRY_COMPARE(connected.count(), 1);
    }

    void autoOpenOffStaysClosed()
    {
        Link link;
        link.polling();
        link.polling();
        QVERIFY(link.events.isEmpty());
        QCOMPARE(zelsim::Instrument::instance().openCount(), 0);
    }

    void pollInterval_data()
    {
        QTest::addColumn<int>("ms");
        QTest::addColumn<int>("expected");
        QTest::newRow("zero ignored") << 0 << 15;
        QTest::newRow("negative ignored") << -5 << 15;
        QTest::newRow("taken") << 7 << 7;
    }

    void pollInterval()
    {
        QFETCH(int, ms);
        QFETCH(int, expected);
        UsbHid link(Vendor, Product);
        auto *timer = link.findChild<QTimer *>();
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 15);
        link.setPollInterval(ms);
        QCOMPARE(timer->interval(), expected);
        QVERIFY(timer->isActive());
    }

    void linkFailure_data()
    {
        QTest::addColumn<bool>("readFails");
        QTest::newRow("read") << true;
        QTest::newRow("write") << false;
    }

    // The device fails while messages are queued: error text, disconnected,
    // reconnection on a later tick, and what was still queued goes out only then.
    void linkFailure()
    {
        QFETCH(bool, readFails);
        auto &sim = zelsim::Instrument::instance();
        Link link;
        QSignalSpy errors(&link, &UsbHid::error);
        link.setAutoOpen(true);
        const QByteArray first = filled(40, 'a'), second = filled(40, 'b');
        link.send(first);
        link.send(second);
        if (readFails) {
            sim.failRead(QStringLiteral("read went wrong"));
        } else {
            sim.failWrite(QStringLiteral("write went wrong"));
        }
        link.polling();
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), readFails ? QStringLiteral("read went wrong")
                                                          : QStringLiteral("write went wrong"));
        QCOMPARE(link.events, (QStringList{"c", "d"}));

        link.polling(); // reopens
        QCOMPARE(link.events, (QStringList{"c", "d", "c"}));
        const int reportsBefore = sim.writtenReports().size();
        link.polling();
        link.polling();
        const QList<QByteArray> after = sim.writtenReports().mid(reportsBefore);
        QCOMPARE(after.size(), 1);
        QCOMPARE(after.at(0).mid(1), reportData(second));
        if (readFails) {
            // The first message had left before the read failed.
            QCOMPARE(reportsData().first(), reportData(first));
        }
    }

    void nonblockingFailure()
    {
        auto &sim = zelsim::Instrument::instance();
        sim.failSetNonblocking(QStringLiteral("no nonblocking"));
        Link link;
        QSignalSpy errors(&link, &UsbHid::error);
        link.open();
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("no nonblocking"));
        QCOMPARE(link.events, QStringList{"d"});
        link.send("x");
        link.polling();
        QVERIFY(sim.writtenReports().isEmpty());
        link.open();
        QCOMPARE(link.events, (QStringList{"d", "c"}));
    }

    void sendWhileClosedIsDropped()
    {
        Link link;
        link.send("hello");
        link.open();
        link.polling();
        QVERIFY(zelsim::Instrument::instance().writtenReports().isEmpty());
    }

    void inputReportHandedOn()
    {
        Link link;
        QSignalSpy received(&link, &UsbHid::dataReceived);
        link.open();
        link.polling();
        QCOMPARE(received.count(), 0);
        const QByteArray report = QByteArray("\x01\x07\x1d", 3) + QByteArray(61, '\0');
        zelsim::Instrument::instance().injectInputReport(report);
        link.polling();
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.at(0).at(0).toByteArray(), report);
    }

    void destruction_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<int>("disconnects");
        QTest::newRow("open link is closed") << true << 1;
        QTest::newRow("closed link") << false << 0;
    }

    // The library's global state goes with the link, open or not.
    void destruction()
    {
        QFETCH(bool, open);
        QFETCH(int, disconnects);
        auto &sim = zelsim::Instrument::instance();
        const int exits = sim.exitCount();
        auto *link = new UsbHid(Vendor, Product);
        if (open) {
            link->open();
        }
        QSignalSpy disconnected(link, &UsbHid::disconnected);
        delete link;
        QCOMPARE(disconnected.count(), disconnects);
        QCOMPARE(sim.exitCount(), exits + 1);
    }
};

QTEST_GUILESS_MAIN(TestUsbHid)
#include "tst_usbhid.moc"

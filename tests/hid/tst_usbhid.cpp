#include "siminstrument.h"
#include "usbhid.h"

#include <QTest>

namespace {
constexpr quint16 Vendor = 0x04D8;
constexpr quint16 Product = 0xF93C;

// Poll steps run by hand (no event loop runs) so that each report can be checked. Connection events
// are logged in order: "c" connected, "d" disconnected, "<text>" error.
class Link : public UsbHid
{
public:
    Link() : UsbHid(Vendor, Product)
    {
        connect(this, &UsbHid::connected, this, [this] { events += 'c'; });
        connect(this, &UsbHid::disconnected, this, [this] { events += 'd'; });
        connect(this, &UsbHid::error, this, [this](const QString &t) { events += '<' + t + '>'; });
    }
    // The base destructor still emits disconnected(), after `events` is gone.
    ~Link() override { disconnect(this, nullptr, this, nullptr); }
    using UsbHid::polling;
    QString events;
};

// A whole output report as written: report id 0, the payload, zero padding.
QByteArray report(const QByteArray &payload)
{
    return (QByteArray(1, '\0') + payload).leftJustified(65, '\0');
}
} // namespace

class TestUsbHid : public QObject
{
    Q_OBJECT

private slots:
    void init() { zelsim::Instrument::instance().reset(); }
    // Each test's link is gone by now and has released the library.
    void cleanup() { QCOMPARE(zelsim::Instrument::instance().exitCount(), 1); }

    void packing_data()
    {
        QTest::addColumn<QList<QByteArray>>("messages");
        QTest::addColumn<QList<QByteArray>>("sent");
        const QByteArray a(40, 'a'), b(20, 'b'), c(10, 'c'), full(64, 'f');
        QTest::newRow("40+20+10") << QList<QByteArray>{a, b, c}
                                  << QList<QByteArray>{report(a + b), report(c)};
        QTest::newRow("64 fills one report")
            << QList<QByteArray>{full, c} << QList<QByteArray>{report(full), report(c)};
        QTest::newRow("oversize and empty dropped, the rest not held back")
            << QList<QByteArray>{QByteArray(65, 'x'), b, QByteArray(), c}
            << QList<QByteArray>{report(b + c)};
    }

    void packing()
    {
        QFETCH(QList<QByteArray>, messages);
        QFETCH(QList<QByteArray>, sent);
        Link link;
        link.send("lost"); // nothing is queued while closed
        link.open();
        for (const QByteArray &message : messages)
            link.send(message);
        for (int i = 0; i <= sent.size(); ++i)
            link.polling();
        QCOMPARE(zelsim::Instrument::instance().writtenReports(), sent);
    }

    // Close on closed: d; open: c; open on open: dc; open with the device gone: d (nothing
    // found, no signal); reopen on closed: dc.
    void openClose()
    {
        Link link;
        link.close();
        link.open();
        link.open();
        zelsim::Instrument::instance().unplug();
        link.open();
        zelsim::Instrument::instance().plug();
        link.reopen();
        QCOMPARE(link.events, QStringLiteral("dcdcddc"));
    }

    // Connected inside setAutoOpen(); after a failed read the link reconnects on a later
    // tick, and what was still queued goes out only then.
    void autoOpenAndReadFailure()
    {
        auto &sim = zelsim::Instrument::instance();
        Link link;
        link.setAutoOpen(true);
        QCOMPARE(link.events, QStringLiteral("c"));
        link.send(QByteArray(40, 'a'));
        link.send(QByteArray(40, 'b'));
        sim.failRead("gone");
        link.polling(); // 'a' goes out, then the read fails
        link.polling(); // reconnects
        QCOMPARE(link.events, QStringLiteral("c<gone>dc"));
        QCOMPARE(sim.writtenReports().size(), 1);
        link.polling();
        QCOMPARE(sim.writtenReports().last(), report(QByteArray(40, 'b')));
    }
};

QTEST_GUILESS_MAIN(TestUsbHid)
#include "tst_usbhid.moc"

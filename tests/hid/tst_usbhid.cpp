#include "siminstrument.h"
#include "usbhid.h"

#include <QTest>
#include <QTimer>

#include <hidapi.h>

// hid_close is wrapped at link time (tests/hid/CMakeLists.txt), so that the handles the
// link gives back can be counted.
static int hidCloses = 0;
extern "C" void __real_hid_close(hid_device *dev);
extern "C" void __wrap_hid_close(hid_device *dev)
{
    ++hidCloses;
    __real_hid_close(dev);
}

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
        connect(this, &UsbHid::accessDeniedChanged, this,
                [this](bool denied) { events += denied ? 'D' : 'A'; });
    }
    // The base destructor still emits disconnected(), after `events` is gone.
    ~Link() override { disconnect(this, nullptr, this, nullptr); }
    using UsbHid::polling;
    bool opened() const { return isOpen && device; }
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
    void init()
    {
        zelsim::Instrument::instance().reset();
        hidCloses = 0;
    }
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
        QCOMPARE(hidCloses, 2); // each open() on an open link gives the handle back first
    }

    // A device that cannot be read without blocking is given back at once: a blocking
    // read would freeze the window whenever the instrument has nothing to say.
    void nonblockingFails()
    {
        zelsim::Instrument::instance().failSetNonblocking("no non-blocking mode");
        Link link;
        link.open();
        QCOMPARE(link.events, QStringLiteral("<no non-blocking mode>d"));
        QVERIFY(!link.opened());
        QCOMPARE(hidCloses, 1);
        link.setAutoOpen(true); // the device itself is fine
        QCOMPARE(link.events.right(1), QStringLiteral("c"));
    }

    // Destroying the link gives the device back and says so, once, if it is open.
    void destructor_data()
    {
        QTest::addColumn<int>("opens");
        QTest::addColumn<bool>("lost");
        QTest::addColumn<int>("closes"); // disconnected() and hid_close each
        QTest::newRow("open") << 1 << false << 1;
        QTest::newRow("never opened") << 0 << false << 0;
        QTest::newRow("device lost before") << 1 << true << 0;
    }

    void destructor()
    {
        QFETCH(int, opens);
        QFETCH(bool, lost);
        QFETCH(int, closes);
        auto *link = new UsbHid(Vendor, Product);
        for (int i = 0; i < opens; ++i)
            link->open();
        if (lost) {
            zelsim::Instrument::instance().failRead("gone");
            QMetaObject::invokeMethod(link, "polling");
        }
        QObject observer;
        int seen = 0;
        connect(link, &UsbHid::disconnected, &observer, [&] { ++seen; });
        const int before = hidCloses;
        delete link;
        QCOMPARE(seen, closes);
        QCOMPARE(hidCloses - before, closes);
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

    // Each open attempt lists every HID device of the system, so the timer slows down while
    // the device is closed; once open it polls at the poll interval again.
    void timerPace_data()
    {
        QTest::addColumn<int>("pollInterval");
        QTest::addColumn<int>("waiting");
        QTest::newRow("1 ms") << 1 << 50;
        QTest::newRow("15 ms, as constructed") << 0 << 50;
        QTest::newRow("100 ms is never hurried") << 100 << 100;
    }
    void timerPace()
    {
        QFETCH(int, pollInterval);
        QFETCH(int, waiting);
        auto &sim = zelsim::Instrument::instance();
        Link link;
        link.setPollInterval(pollInterval);
        const int open = pollInterval > 0 ? pollInterval : 15;
        auto *timer = link.findChild<QTimer *>();
        QVERIFY(timer && timer->isActive());
        QCOMPARE(timer->interval(), waiting); // idle
        sim.unplug();
        link.setAutoOpen(true);
        QCOMPARE(timer->interval(), waiting);
        sim.plug();
        link.polling();
        QCOMPARE(link.events, QStringLiteral("c"));
        QCOMPARE(timer->interval(), open);
        sim.unplug();
        link.polling(); // the read fails
        QCOMPARE(link.events, QStringLiteral("c<Device disconnected>d"));
        QCOMPARE(timer->interval(), waiting);
    }

    // Steps, one after another, starting unplugged and waiting: 'p' plug, 'u' unplug,
    // 'x' deny access, 'g' grant it, '.' one poll tick. Events as above, plus 'D' access
    // denied and 'A' no longer denied.
    void accessDenied_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("events");
        QTest::newRow("four refusals are no denial yet") << "px....g."
                                                         << "c";
        QTest::newRow("the fifth in a row is") << "px....."
                                               << "D";
        QTest::newRow("said once however long it lasts") << "px.........."
                                                         << "D";
        QTest::newRow("granted: cleared before connecting") << "px.....g."
                                                            << "DAc";
        QTest::newRow("unplugged: cleared, still waiting") << "px.....u."
                                                           << "DA";
        QTest::newRow("absence starts the count again") << "px..u.p...."
                                                        << "";
        QTest::newRow("back after absence") << "px..u.p....."
                                            << "D";
    }
    void accessDenied()
    {
        QFETCH(QString, steps);
        QFETCH(QString, events);
        auto &sim = zelsim::Instrument::instance();
        sim.unplug();
        Link link;
        link.setAutoOpen(true);
        for (QChar step : steps) {
            switch (step.toLatin1()) {
            case 'p':
                sim.plug();
                break;
            case 'u':
                sim.unplug();
                break;
            case 'x':
            case 'g':
                sim.setAccessDenied(step == 'x');
                break;
            default:
                link.polling();
            }
        }
        QCOMPARE(link.events, events);
        QCOMPARE(link.accessDenied(), events.endsWith('D'));
    }
};

QTEST_GUILESS_MAIN(TestUsbHid)
#include "tst_usbhid.moc"

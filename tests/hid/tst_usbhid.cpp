#include "siminstrument.h"
#include "usbhid.h"

#include <QFileSystemWatcher>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <hidapi.h>

#include <algorithm>

// The link's clock in these tests: milliseconds that pass only when a test says so.
static qint64 fakeNow = 0;

// hid_close and hid_enumerate are wrapped at link time (tests/hid/CMakeLists.txt), so that
// the handles the link gives back and its open attempts (each lists the devices) can be
// counted.
static int hidCloses = 0;
static QList<qint64> attemptTimes;
extern "C" void __real_hid_close(hid_device *dev);
extern "C" void __wrap_hid_close(hid_device *dev)
{
    ++hidCloses;
    __real_hid_close(dev);
}
extern "C" hid_device_info *__real_hid_enumerate(unsigned short vendor, unsigned short product);
extern "C" hid_device_info *__wrap_hid_enumerate(unsigned short vendor, unsigned short product)
{
    attemptTimes << fakeNow;
    return __real_hid_enumerate(vendor, product);
}

namespace {
constexpr quint16 Vendor = 0x04D8;
constexpr quint16 Product = 0xF93C;

// Poll steps run by hand (no event loop runs) so that each report can be checked. Connection events
// are logged in order: "c" connected, "d" disconnected, "<text>" error, "D" access denied, "A"
// no longer denied, "?" ambiguous, "=" no longer ambiguous.
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
        connect(this, &UsbHid::ambiguousChanged, this,
                [this](bool unclear) { events += unclear ? '?' : '='; });
    }
    // The base destructor still emits disconnected(), after `events` is gone.
    ~Link() override { disconnect(this, nullptr, this, nullptr); }
    using UsbHid::polling;
    bool opened() const { return isOpen && device; }
    QString events;
};

// A link on the fake clock, whose timer the test runs: time passes by advance(), and
// the timer fires whenever it falls due meanwhile. Every poll step and every change
// notice (re)arms the timer from that moment.
class PacedLink : public Link
{
public:
    PacedLink()
    {
        clockMs = [] { return fakeNow; };
        rearm();
    }
    QFileSystemWatcher *watcher() const { return findChild<QFileSystemWatcher *>(); }
    bool waiting() const { return autoOpen && !isOpen; }
    int interval() const { return pollTimer->interval(); }
    void rearm() { due = fakeNow + pollTimer->interval(); }
    void advance(qint64 ms)
    {
        const qint64 end = fakeNow + ms;
        while (due <= end) {
            fakeNow = due;
            polling();
            rearm();
        }
        fakeNow = end;
    }
    // What the device folder's watcher says when a node comes, goes or changes; where
    // the link watches nothing, nothing says it.
    void notice()
    {
        if (!watcher())
            return;
        QMetaObject::invokeMethod(watcher(), "directoryChanged", Q_ARG(QString, "/dev"));
        rearm();
    }
    qint64 due = 0;
};

// The link loses its device folder (as when it is unmounted); where it watches none, it
// has nothing to lose.
void unwatch(PacedLink &link)
{
    if (link.watcher())
        link.watcher()->removePath("/dev");
}

// Attempt times, compactly: the first, then "+gap" or "+gap*count" for each run of equal gaps.
QString gaps(const QList<qint64> &times)
{
    QStringList out;
    for (int i = 0; i < times.size(); ++i) {
        if (i == 0) {
            out << QString::number(times[0]);
            continue;
        }
        const qint64 gap = times[i] - times[i - 1];
        int run = 1;
        while (i + 1 < times.size() && times[i + 1] - times[i] == gap)
            ++run, ++i;
        out << (run == 1 ? QStringLiteral("+%1").arg(gap)
                         : QStringLiteral("+%1*%2").arg(gap).arg(run));
    }
    return out.join(' ');
}

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
        zelsim::Instrument::instance().run("reset");
        hidCloses = 0;
        attemptTimes.clear();
        fakeNow = 0;
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
        QCOMPARE(zelsim::Instrument::instance().list("writtenReports"), sent);
    }

    // Close on closed: d; open: c; open on open: dc; open with the device gone: d (nothing
    // found, no signal); reopen on closed: dc.
    void openClose()
    {
        Link link;
        link.close();
        link.open();
        link.open();
        zelsim::Instrument::instance().run("unplug");
        link.open();
        zelsim::Instrument::instance().run("plug");
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
            zelsim::Instrument::instance().run("failRead", 0, "gone");
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
        sim.run("failRead", 0, "gone");
        link.polling(); // 'a' goes out, then the read fails
        link.polling(); // reconnects
        QCOMPARE(link.events, QStringLiteral("c<gone>dc"));
        QCOMPARE(sim.list("writtenReports").size(), 1);
        link.polling();
        QCOMPARE(sim.list("writtenReports").last(), report(QByteArray(40, 'b')));
    }

    // When the link tries to open the device that is not there (or not its to open), on a
    // timeline of steps: "auto" switches automatic opening on, "+N" lets N ms pass, "notice"
    // is a change in the device folder, "plug", "unplug", "deny" and "grant" change the
    // simulated device (which has no node, so a row adds the notice a real one would bring),
    // "unwatched" takes the folder from the watcher, "poll N" sets the poll interval.
    void pace_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("attempts");
        QTest::addColumn<QString>("events");
        // clang-format off
        QTest::newRow("idle: none, notices or not") << "+40000 notice +1000" << "" << "";
        QTest::newRow("after start every 50 ms for 5 s, then every 30 s")
            << "unplug auto +66000" << "0 +50*100 +30000*2" << "";
        QTest::newRow("a notice: one at once, then every 50 ms for 1 s")
            << "unplug auto +40000 notice +31000" << "0 +50*100 +30000 +5000 +50*20 +30000" << "";
        QTest::newRow("notices close together: one attempt a 50 ms")
            << "unplug auto +6000 notice +10 notice +10 notice +10 notice +100" << "0 +50*100 +1000 +50*2" << "";
        QTest::newRow("a notice just after a quiet attempt waits its 50 ms")
            << "unplug auto +5010 notice +1100" << "0 +50*121" << "";
        QTest::newRow("plugged in: found at the notice")
            << "unplug auto +40000 plug notice +40000" << "0 +50*100 +30000 +5000" << "c";
        QTest::newRow("lost: every 50 ms for 10 s, then every 30 s")
            << "unplug auto +6000 plug notice unplug +41000" << "0 +50*100 +1000 +50*201 +30000" << "c<Device disconnected>d";
        QTest::newRow("nothing to watch: every 50 ms throughout")
            << "unwatched unplug auto +40000" << "0 +50*800" << "";
        QTest::newRow("a longer poll interval sets the pace")
            << "unwatched unplug poll 100 auto +1000" << "0 +100*10" << "";
        // Refused five times in a row is denied: said once however long it lasts, and
        // cleared as access is granted or the device goes; an absence starts the count again.
        QTest::newRow("four refusals are no denial yet")
            << "deny auto +150 grant +50" << "0 +50*4" << "c";
        QTest::newRow("denied: quiet too, and found once permissions change")
            << "deny auto +36000 grant notice +100" << "0 +50*100 +30000 +1000" << "DAc";
        QTest::newRow("denied, then unplugged: cleared, still waiting")
            << "deny auto +200 unplug +50" << "0 +50*5" << "DA";
        QTest::newRow("absence starts the count again")
            << "deny auto +50 unplug +50 plug +200" << "0 +50*6" << "";
        QTest::newRow("denied again after an absence")
            << "deny auto +50 unplug +50 plug +250" << "0 +50*7" << "D";
        // clang-format on
    }
    void pace()
    {
        QFETCH(QString, steps);
        QFETCH(QString, attempts);
        QFETCH(QString, events);
        auto &sim = zelsim::Instrument::instance();
        PacedLink link;
        if (!link.watcher() && !steps.startsWith("unwatched"))
            QSKIP("this system has no device folder to watch");
        const QStringList words = steps.split(' ');
        for (int i = 0; i < words.size(); ++i) {
            const QString &word = words[i];
            if (word == "auto")
                link.setAutoOpen(true), link.rearm();
            else if (word.startsWith('+'))
                link.advance(word.toLongLong());
            else if (word == "notice")
                link.notice();
            else if (word == "plug" || word == "unplug")
                word == "plug" ? sim.run("plug") : sim.run("unplug");
            else if (word == "deny" || word == "grant")
                sim.run("accessDenied", word == "deny");
            else if (word == "unwatched")
                unwatch(link);
            else if (word == "poll")
                link.setPollInterval(words[++i].toInt()), link.rearm();
            else
                QFAIL(qPrintable("unknown step " + word));
        }
        QCOMPARE(gaps(attemptTimes), attempts);
        QCOMPARE(link.events, events);
    }

    // Several instruments attached, on a timeline of steps as in pace(), and: "@N plug" and the
    // like for instrument N, "serial X", "choose X" (a path or serial number), "keep" and
    // "release" the device, "restart" the open one's main board (back at once). Then what the
    // link has open ("-" for nothing) and how many instruments it last listed.
    void several_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("events");
        QTest::addColumn<int>("open");
        QTest::addColumn<int>("listed");
        // clang-format off
        QTest::newRow("two: neither opened") << "@2 plug auto +1000" << "?" << 0 << 2;
        QTest::newRow("one of two left: opened")
            << "@2 plug auto +100 unplug notice +100" << "?=c" << 2 << 1;
        QTest::newRow("one chosen by serial number")
            << "@2 plug @2 serial B-2 choose B-2 auto" << "c" << 2 << 2;
        QTest::newRow("one chosen by path")
            << "@2 plug choose zelsim:hidraw0 auto" << "c" << 1 << 2;
        QTest::newRow("the chosen one not attached: waiting")
            << "choose B-2 auto +1000 @2 plug @2 serial B-2 notice +50" << "c" << 2 << 2;
        QTest::newRow("two with the chosen serial number")
            << "@2 plug serial S @2 serial S choose S auto" << "?" << 0 << 2;
        QTest::newRow("a second one plugged in: listed at the notice, the first kept open")
            << "auto +6000 @2 plug notice +50" << "c" << 1 << 2;
        QTest::newRow("... and listed within 2 s where nothing is watched")
            << "unwatched auto +6000 @2 plug +2000" << "c" << 1 << 2;
        // The kept instrument's main board restarts (and is back at once); the other one,
        // plugged in meanwhile, is listed first.
        QTest::newRow("kept, with a serial number: the same one again")
            << "unplug @2 plug @2 serial B-2 @2 restartMs 0 auto keep plug notice +100 restart +100"
            << "c<Device disconnected>dc" << 2 << 2;
        QTest::newRow("kept, without: neither opened")
            << "unplug @2 plug @2 restartMs 0 auto keep plug restart +100"
            << "c<Device disconnected>d?" << 0 << 2;
        QTest::newRow("kept, without, and alone: the same one again")
            << "restartMs 0 auto keep restart +100" << "c<Device disconnected>dc" << 1 << 1;
        QTest::newRow("released: opened once it is the only one")
            << "unplug @2 plug @2 restartMs 0 auto keep plug restart +100 release +100 @2 unplug +100"
            << "c<Device disconnected>d?=c" << 1 << 1;
        // clang-format on
    }
    void several()
    {
        QFETCH(QString, steps);
        QFETCH(QString, events);
        QFETCH(int, open);
        QFETCH(int, listed);
        PacedLink link;
        const QStringList words = steps.split(' ');
        for (int i = 0; i < words.size(); ++i) {
            const QString &word = words[i];
            const bool addressed = word.startsWith('@');
            auto &sim = addressed ? zelsim::Instrument::instance(word.mid(1).toInt())
                                  : zelsim::Instrument::instance();
            const QString step = addressed ? words[++i] : word;
            if (step == "auto")
                link.setAutoOpen(true), link.rearm();
            else if (step.startsWith('+'))
                link.advance(step.toLongLong());
            else if (step == "notice")
                link.notice();
            else if (step == "unwatched")
                unwatch(link);
            else if (step == "plug" || step == "unplug")
                sim.run(qPrintable(step));
            else if (step == "serial" || step == "restartMs")
                sim.run(qPrintable(step), qPrintable(words[++i]));
            else if (step == "choose")
                link.setChoice(words[++i]);
            else if (step == "keep" || step == "release")
                link.keepDevice(step == "keep");
            else if (step == "restart")
                link.send(QByteArray("\x05\x07", 2));
            else
                QFAIL(qPrintable("unknown step " + step));
        }
        QCOMPARE(link.events, events);
        const auto node = [](int n) {
            return "zelsim:hidraw" + QString::number(zelsim::Instrument::instance(n).value("node"));
        };
        QCOMPARE(link.opened() ? link.current().path : QString(), open ? node(open) : QString());
        QCOMPARE(link.attached().size(), listed);
    }

    // Whatever happens, in any order: never two attempts within 50 ms, so never more than 20
    // a second; every notice while waiting is followed by an attempt within 50 ms; and
    // without a watch, no pause longer than 50 ms while waiting.
    void neverTooOften_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<bool>("watched");
        for (quint32 seed = 1; seed <= 6; ++seed)
            QTest::addRow("seed %u%s", seed, seed % 3 ? "" : ", unwatched")
                << seed << bool(seed % 3);
    }
    void neverTooOften()
    {
        QFETCH(quint32, seed);
        QFETCH(bool, watched);
        auto &sim = zelsim::Instrument::instance();
        QRandomGenerator rng(seed);
        PacedLink link;
        if (watched && !link.watcher())
            QSKIP("this system has no device folder to watch");
        if (!watched)
            unwatch(link);
        link.setAutoOpen(true);
        link.rearm();
        QList<qint64> notices; // while waiting
        for (int step = 0; step < 2000; ++step) {
            if (!watched && link.waiting())
                QVERIFY(link.interval() <= UsbHid::WaitIntervalMs);
            switch (rng.bounded(8)) {
            case 0:
                link.advance(rng.bounded(2) ? rng.bounded(40000) : rng.bounded(1000));
                break;
            case 1:
            case 2:
                link.advance(rng.bounded(60));
                break;
            case 3:
            case 4:
                if (link.waiting())
                    notices << fakeNow;
                link.notice();
                break;
            case 5:
                rng.bounded(2) ? sim.run("plug") : sim.run("unplug");
                break;
            case 6:
                sim.run("accessDenied", rng.bounded(4) == 0);
                break;
            default:
                sim.run("failRead", rng.bounded(3), "gone");
            }
        }
        link.advance(60);
        QVERIFY(attemptTimes.size() > 100);
        for (int i = 1; i < attemptTimes.size(); ++i)
            QVERIFY2(
                attemptTimes[i] - attemptTimes[i - 1] >= UsbHid::WaitIntervalMs,
                qPrintable(
                    QStringLiteral("%1 then %2").arg(attemptTimes[i - 1]).arg(attemptTimes[i])));
        for (qint64 notice : notices) {
            const auto next = std::lower_bound(attemptTimes.begin(), attemptTimes.end(), notice);
            QVERIFY2(next != attemptTimes.end() && *next - notice <= UsbHid::WaitIntervalMs,
                     qPrintable(QStringLiteral("notice at %1").arg(notice)));
        }
    }
};

QTEST_GUILESS_MAIN(TestUsbHid)
#include "tst_usbhid.moc"

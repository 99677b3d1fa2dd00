#include "siminstrument.h"
#include "usbhid.h"

#include <QFileSystemWatcher>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <hidapi.h>

#include <algorithm>
#include <memory>

// The link's clock in these tests: milliseconds that pass only when a test says so.
static qint64 fakeNow = 0;

// hid_close and hid_enumerate are wrapped at link time (tests/hid/CMakeLists.txt), so that
// the handles the link gives back and its open attempts (each lists the devices) can be
// counted.
static int hidCloses = 0;
static QList<qint64> attemptTimes;
static QString logged; // the links' connection events, as Link spells them
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

// A link on the fake clock, whose timer the test runs: time passes by advance(), and the
// timer fires whenever it falls due meanwhile; every poll step and change notice (re)arms it
// from that moment. Poll steps run by hand, so each report can be checked. Connection events
// are logged in order: "c" connected, "d" disconnected, "<text>" error, "D" access denied, "A"
// no longer denied, "?" ambiguous, "=" no longer ambiguous.
class Link : public UsbHid
{
public:
    Link() : UsbHid(Vendor, Product)
    {
        clockMs = [] { return fakeNow; };
        rearm();
        connect(this, &UsbHid::connected, this, [] { logged += 'c'; });
        connect(this, &UsbHid::disconnected, this, [] { logged += 'd'; });
        connect(this, &UsbHid::error, this, [](const QString &t) { logged += '<' + t + '>'; });
        connect(this, &UsbHid::accessDeniedChanged, this,
                [](bool denied) { logged += denied ? 'D' : 'A'; });
        connect(this, &UsbHid::ambiguousChanged, this,
                [](bool unclear) { logged += unclear ? '?' : '='; });
    }
    using UsbHid::polling;
    bool opened() const { return isOpen && device; }
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
    // The link loses its device folder (as when it is unmounted); where it watches
    // none, it has nothing to lose.
    void unwatch()
    {
        if (watcher())
            watcher()->removePath("/dev");
    }
    qint64 due = 0;
};

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

// The instrument whose device the link has open, 0 for none.
int openInstrument(const Link &link)
{
    for (int n = 1; link.opened() && n <= 4; ++n) {
        auto &sim = zelsim::Instrument::instance(n);
        if (sim.value("attached") &&
            link.current().path == "zelsim:hidraw" + QString::number(sim.value("node")))
            return n;
    }
    return 0;
}

// The first byte of each report written.
QString written()
{
    QString out;
    for (const QByteArray &report : zelsim::Instrument::instance().list("writtenReports"))
        out += report.at(1);
    return out;
}

// Plays a timeline of steps, separated by spaces, on `link`, adding to `logged` what the
// steps that look ask for. On the link: "auto" switches automatic opening on, "+N" lets N ms
// pass, "tick" runs one poll step, "notice" is a change in the device folder, "unwatched"
// takes the folder from the watcher, "poll N" sets the poll interval; "open", "close",
// "reopen", "send X" (40 bytes of X), "choose X" (a path or serial number), "keep",
// "release", "restart" (the main board's restart message) and "end" (destroys it). On the
// simulated instrument, or the Nth after "@N": "plug", "unplug", "deny", "grant", "serial
// X", "restartMs N", "failRead", "failNonblocking". Its device has no node, so a row adds
// the notice a real one would bring. Looks: "tries" logs the open attempts (see gaps()),
// "state" the instrument open (0: none) and how many were last listed, "closed" the
// handles given back, "written" the first byte of each report.
void play(std::unique_ptr<Link> &link, const QString &steps)
{
    const QStringList words = steps.split(' ', Qt::SkipEmptyParts);
    for (int i = 0; i < words.size(); ++i) {
        const bool addressed = words[i].startsWith('@');
        auto &sim = addressed ? zelsim::Instrument::instance(words[i].mid(1).toInt())
                              : zelsim::Instrument::instance();
        const QString step = addressed ? words[++i] : words[i];
        if (step == "auto")
            link->setAutoOpen(true), link->rearm();
        else if (step.startsWith('+'))
            link->advance(step.toLongLong());
        else if (step == "tick")
            link->polling();
        else if (step == "notice")
            link->notice();
        else if (step == "unwatched")
            link->unwatch();
        else if (step == "poll")
            link->setPollInterval(words[++i].toInt()), link->rearm();
        else if (step == "open" || step == "close" || step == "reopen")
            step == "open" ? link->open() : step == "close" ? link->close() : link->reopen();
        else if (step == "send")
            link->send(QByteArray(40, words[++i].at(0).toLatin1()));
        else if (step == "choose")
            link->setChoice(words[++i]);
        else if (step == "keep" || step == "release")
            link->keepDevice(step == "keep");
        else if (step == "restart")
            link->send(QByteArray("\x05\x07", 2));
        else if (step == "end")
            link.reset();
        else if (step == "plug" || step == "unplug")
            sim.run(qPrintable(step));
        else if (step == "deny" || step == "grant")
            sim.run("accessDenied", step == "deny");
        else if (step == "serial" || step == "restartMs")
            sim.run(qPrintable(step), qPrintable(words[++i]));
        else if (step == "failRead")
            sim.run("failRead", 0, "gone");
        else if (step == "failNonblocking")
            sim.failSetNonblocking("no non-blocking mode");
        else if (step == "tries")
            logged += '[' + gaps(attemptTimes) + ']';
        else if (step == "state")
            logged +=
                QStringLiteral("[%1/%2]").arg(openInstrument(*link)).arg(link->attached().size());
        else if (step == "closed")
            logged += QStringLiteral("[%1 closed]").arg(hidCloses);
        else if (step == "written")
            logged += '[' + written() + ']';
        else
            QFAIL(qPrintable("unknown step " + step));
    }
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
        logged.clear();
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

    // What the link does, on a timeline of steps as play() takes them, and what it logs.
    //
    // Destroying the link gives the device back and says so, once, if it is open. A device
    // that cannot be read without blocking is given back at once: a blocking read would
    // freeze the window whenever the instrument has nothing to say. After a failed read the
    // link reconnects on a later tick, and what was still queued goes out only then.
    //
    // The pace at which it tries to open the device that is not there (or not its to open).
    // Refused five times in a row is denied: said once however long it lasts, and cleared
    // as access is granted or the device goes; an absence starts the count again.
    //
    // Several instruments attached. The kept instrument's main board restarts (and is back
    // at once); the other one, plugged in meanwhile, is listed first.
    void timeline_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("log");
        // clang-format off
        QTest::newRow("never opened") << "end closed" << "[0 closed]";
        QTest::newRow("close, open, open again, open while gone, reopen")
            << "close open open unplug open plug reopen end closed" << "dcdcddcd[3 closed]";
        QTest::newRow("device lost before the end") << "open failRead tick end closed" << "c<gone>d[1 closed]";
        QTest::newRow("no non-blocking mode, then fine")
            << "failNonblocking open closed auto end closed" << "<no non-blocking mode>d[1 closed]cd[2 closed]";
        QTest::newRow("read fails: the queue waits for the reconnection, then goes out")
            << "auto send a send b failRead tick tick written tick written"
            << "c<gone>dc[a][ab]";

        QTest::newRow("idle: none, notices or not") << "+40000 notice +1000 tries" << "[]";
        QTest::newRow("after start every 50 ms for 5 s, then every 30 s")
            << "unplug auto +66000 tries" << "[0 +50*100 +30000*2]";
        QTest::newRow("a notice: one at once, then every 50 ms for 1 s")
            << "unplug auto +40000 notice +31000 tries" << "[0 +50*100 +30000 +5000 +50*20 +30000]";
        QTest::newRow("notices close together: one attempt a 50 ms")
            << "unplug auto +6000 notice +10 notice +10 notice +10 notice +100 tries" << "[0 +50*100 +1000 +50*2]";
        QTest::newRow("a notice just after a quiet attempt waits its 50 ms")
            << "unplug auto +5010 notice +1100 tries" << "[0 +50*121]";
        QTest::newRow("plugged in: found at the notice")
            << "unplug auto +40000 plug notice +40000 tries" << "c[0 +50*100 +30000 +5000]";
        QTest::newRow("lost: every 50 ms for 10 s, then every 30 s")
            << "unplug auto +6000 plug notice unplug +41000 tries" << "c<Device disconnected>d[0 +50*100 +1000 +50*201 +30000]";
        QTest::newRow("nothing to watch: every 50 ms throughout")
            << "unwatched unplug auto +40000 tries" << "[0 +50*800]";
        QTest::newRow("a longer poll interval sets the pace")
            << "unwatched unplug poll 100 auto +1000 tries" << "[0 +100*10]";
        QTest::newRow("four refusals are no denial yet")
            << "deny auto +150 grant +50 tries" << "c[0 +50*4]";
        QTest::newRow("denied: quiet too, and found once permissions change")
            << "deny auto +36000 grant notice +100 tries" << "DAc[0 +50*100 +30000 +1000]";
        QTest::newRow("denied, then unplugged: cleared, still waiting")
            << "deny auto +200 unplug +50 tries" << "DA[0 +50*5]";
        QTest::newRow("absence starts the count again")
            << "deny auto +50 unplug +50 plug +200 tries" << "[0 +50*6]";
        QTest::newRow("denied again after an absence")
            << "deny auto +50 unplug +50 plug +250 tries" << "D[0 +50*7]";

        QTest::newRow("two: neither opened") << "@2 plug auto +1000 state" << "?[0/2]";
        QTest::newRow("one of two left: opened")
            << "@2 plug auto +100 unplug notice +100 state" << "?=c[2/1]";
        QTest::newRow("one chosen by serial number")
            << "@2 plug @2 serial B-2 choose B-2 auto state" << "c[2/2]";
        QTest::newRow("one chosen by path")
            << "@2 plug choose zelsim:hidraw0 auto state" << "c[1/2]";
        QTest::newRow("the chosen one not attached: waiting")
            << "choose B-2 auto +1000 @2 plug @2 serial B-2 notice +50 state" << "c[2/2]";
        QTest::newRow("two with the chosen serial number")
            << "@2 plug serial S @2 serial S choose S auto state" << "?[0/2]";
        QTest::newRow("a second one plugged in: listed at the notice, the first kept open")
            << "auto +6000 @2 plug notice +50 state" << "c[1/2]";
        QTest::newRow("... and listed within 2 s where nothing is watched")
            << "unwatched auto +6000 @2 plug +2000 state" << "c[1/2]";
        QTest::newRow("kept, with a serial number: the same one again")
            << "unplug @2 plug @2 serial B-2 @2 restartMs 0 auto keep plug notice +100 restart +100 state"
            << "c<Device disconnected>dc[2/2]";
        QTest::newRow("kept, with a serial number: not the other one that took its node")
            << "unplug @2 plug @2 serial B-2 auto keep @2 unplug +100 plug notice +100 @2 plug notice +100 state"
            << "c<Device disconnected>dc[2/2]";
        QTest::newRow("kept, without: neither opened")
            << "unplug @2 plug @2 restartMs 0 auto keep plug restart +100 state"
            << "c<Device disconnected>d?[0/2]";
        QTest::newRow("kept, without, and alone: the same one again")
            << "restartMs 0 auto keep restart +100 state" << "c<Device disconnected>dc[1/1]";
        QTest::newRow("released: opened once it is the only one")
            << "unplug @2 plug @2 restartMs 0 auto keep plug restart +100 release +100 @2 unplug +100 state"
            << "c<Device disconnected>d?=c[1/1]";
        // clang-format on
    }
    void timeline()
    {
        QFETCH(QString, steps);
        QFETCH(QString, log);
        auto link = std::make_unique<Link>();
        // Where the link watches no device folder (Windows), the rows on its pace while
        // watching and on what a notice brings do not apply; the unwatched rows do.
        if (!link->watcher() && !steps.startsWith("unwatched") &&
            (steps.contains("tries") || QByteArray(QTest::currentDataTag()).contains("notice")))
            QSKIP("this system has no device folder to watch");
        play(link, steps);
        QCOMPARE(logged, log);
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
        Link link;
        if (watched && !link.watcher())
            QSKIP("this system has no device folder to watch");
        if (!watched)
            link.unwatch();
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

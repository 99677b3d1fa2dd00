// The update state machine against the real protocol object and link, with the
// simulated instrument standing in for the boards.

#include "siminstrument.h"
#include "testimages.h"
#include "zelinterface.h"
#include "zelupdater.h"

#include <QtTest>

#include <functional>

using Part = zelInterface::PartType;
using S = zelUpdater::State;
using E = zelUpdater::Err;
using Expired = QList<QPair<S, int>>;

namespace {

// The instrument the updater works on: the bench's first, unless a test says otherwise.
int driven = 0;
zelsim::Instrument &sim()
{
    return driven ? zelsim::Instrument::instance(driven) : zelsim::Instrument::instance();
}

int versionByte(const FirmwareFile &image)
{
    return image.getVersion().at(1).digitValue() * 10 + image.getVersion().at(3).digitValue();
}

constexpr int Panel = 0, Main = 1, Group = 2; // kinds of update step
const Part partOf[] = {zelInterface::Terminal, zelInterface::Mainboard, zelInterface::Sensors};
const QList<int> boardsOf[] = {{6}, {7}, {2, 4}};

// A link the test ticks itself: the simulated boards answer within the tick that
// carried the request, so a few quiet ticks mean no answer is on its way.
class ManualLink : public zelInterface
{
public:
    ManualLink() { pollTimer->stop(), setAutoOpen(true); }
    void tick() { polling(); }
};

struct Outcome
{
    QList<S> states;
    QList<E> cancels;
    QList<QPair<int, int>> ranges;
    QList<int> progress;
    Expired expired; // state and armed interval of each time-out made to expire
    int dones = 0;
    bool late = false; // signals or an armed time-out after the end
};

// Runs an update of `boards` to its end on a virtual clock. Whenever nothing moves, the
// clock jumps to the next event: the armed time-out, made to expire at once, or the next of
// `bounces`, the moments after the main board's restart message at which the device comes
// back, goes again, comes back... `watch` sees every state and, in Transferring, the index
// of each line about to go out.
Outcome drive(const FirmwareFile *image, int kind, QList<int> boards = {},
              const QList<int> &bounces = {1500}, const std::function<void(S, int)> &watch = {},
              const std::function<void(int)> &onTick = {}, bool device = true)
{
    Outcome out;
    ManualLink link;
    zelUpdater updater(device ? &link : nullptr, image, partOf[kind]);
    for (int b : boards.isEmpty() ? boardsOf[kind] : boards)
        updater.addPart(Part(b));
    const auto see = [&](S s, int line) { watch ? watch(s, line) : void(); };
    auto *u = &updater;
    QObject::connect(u, &zelUpdater::currentState, [&](S s) { out.states << s, see(s, -1); });
    QObject::connect(u, &zelUpdater::canceled, [&](E e) { out.cancels << e; });
    QObject::connect(u, &zelUpdater::done, [&] { ++out.dones; });
    QObject::connect(u, &zelUpdater::range, [&](int a, int b) { out.ranges << qMakePair(a, b); });
    QObject::connect(u, &zelUpdater::process, [&](int n) {
        out.progress << n, see(S::Transferring, out.progress.size() - 1);
    });
    const auto count = [&] {
        return out.states.size() + out.cancels.size() + out.ranges.size() + out.progress.size() +
               out.dones;
    };
    QTimer *timer = updater.findChild<QTimer *>();
    int fired = 0;
    QObject::connect(timer, &QTimer::timeout, [&] { ++fired; });
    const auto state = [&] { return out.states.isEmpty() ? S::Connecting : out.states.last(); };
    qint64 clock = 0, armedAt = 0, restartAt = -1;
    int bounce = 0;
    updater.start();
    for (int tick = 0, idle = 0, last = -1;
         tick < 100000 && state() != S::Success && state() != S::Error; ++tick) {
        onTick ? onTick(tick) : void();
        link.tick(), QCoreApplication::processEvents();
        const int now = sim().list("messages").size() + count();
        if (now != last)
            armedAt = clock; // whatever moves re-arms the time-out, at the present moment
        idle = std::exchange(last, now) == now ? idle + 1 : 0;
        if (restartAt < 0 && sim().value("restartCount") > 0)
            restartAt = clock;
        if (idle < 3 || !timer->isActive())
            continue;
        idle = 0;
        const qint64 due = armedAt + timer->interval();
        if (restartAt >= 0 && bounce < bounces.size() && restartAt + bounces[bounce] < due) {
            clock = restartAt + bounces[bounce];
            bounce++ % 2 ? sim().run("unplug") : sim().run("plug");
            continue;
        }
        clock = armedAt = due;
        out.expired << qMakePair(state(), timer->interval());
        timer->start(1);
        static_cast<void>(QTest::qWaitFor([&] { return fired == out.expired.size(); }, 2000));
    }
    const int final = count();
    for (int i = 0; i < 10; ++i)
        link.tick(), QCoreApplication::processEvents();
    out.late = count() != final || timer->isActive();
    return out;
}

// The fault matrix: for each phase, what each fault that applies there leads to. A fault
// begins with the first request of the phase (in Transferring with data line `at`: 0
// first, 1 middle, 2 last) at the last board of the step.
constexpr int Silence = 0, Unplug = 2, WrongVersion = 3, Faults = 7; // columns
const char *const faultNames[] = {"silence",      "negative",  "unplug",   "wrong version",
                                  "foreign part", "duplicate", "clean run"};
constexpr E ok = E::NoError, no = E::NoResponse, na = E(-1), refused = E::StartFailed;
constexpr E rejected = E::TransferFailed, invalid = E::InvalidFile, wrong = E::NotFinished;
// clang-format off
const struct { const char *name; int kind; S phase; int at; E result[Faults]; } faultTable[] = {
    {"check", Panel, S::CheckCompatibility, 0, {no, na, no, ok, no, ok, ok}},
    {"check group", Group, S::CheckCompatibility, 0, {no, na, na, na, na, na, ok}},
    {"start", Panel, S::StartMode, 0, {no, refused, no, na, no, ok, na}},
    {"start group", Group, S::StartMode, 0, {na, refused, na, na, no, na, na}},
    {"first line", Panel, S::Transferring, 0, {no, rejected, no, na, no, ok, na}},
    {"middle line", Panel, S::Transferring, 1, {no, rejected, no, na, no, ok, na}},
    {"middle line group", Group, S::Transferring, 1, {no, rejected, na, na, na, ok, na}},
    {"last line", Panel, S::Transferring, 2, {no, rejected, no, na, no, ok, na}},
    {"finish", Panel, S::Finishing, 0, {no, invalid, no, na, no, ok, na}},
    {"finish main", Main, S::Finishing, 0, {na, invalid, na, na, na, na, na}},
    {"finish group", Group, S::Finishing, 0, {na, invalid, na, na, na, na, na}},
    {"restart", Main, S::Restarting, 0, {no, na, no, na, na, na, na}},
    {"reconnect", Main, S::WaitReconnect, 0, {na, na, no, na, na, na, na}},
    {"verify", Main, S::VerifyVersion, 0, {no, na, no, wrong, no, ok, ok}},
    {"response", Panel, S::WaitResponse, 0, {no, na, no, wrong, no, ok, na}},
    {"response group", Group, S::WaitResponse, 0, {no, na, na, wrong, na, na, na}},
};
// clang-format on

} // namespace

class TestZelUpdater : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    FirmwareFile images[3];

    FirmwareFile load(const QString &name, const QByteArray &text)
    {
        return loadImage(dir.filePath(name), text);
    }

    // The updated boards hold exactly the image and report its version; the others
    // were not touched.
    void checkBoards(const FirmwareFile &image, const QList<int> &updated)
    {
        static const int defaults[] = {0, 17, 17, 17, 17, 17, 22, 31};
        for (int p = 1; p <= 7; ++p) {
            const QByteArray text = updated.contains(p) ? image.getHexText() : QByteArray();
            QCOMPARE(sim().bytes("installedImage", p), text);
            QCOMPARE(sim().bytes("receivedText", p), text);
            QCOMPARE(sim().value("boardVersion", p),
                     text.isEmpty() ? defaults[p] : versionByte(image));
        }
    }

private slots:
    void initTestCase()
    {
        images[Panel] = load("ctrl.hex", hexImage("PCTRL", "v5.1", 20, 16));
        images[Main] = load("base.hex", hexImage("PBASE", "v6.0", 24, 16));
        images[Group].load(ZEL_FIRMWARE_DIR "/pkeys"); // one built-in image is enough
        for (const FirmwareFile &image : images)
            QCOMPARE(image.getStatus(), FirmwareFile::Ok);
    }

    void init()
    {
        driven = 0;
        sim().run("reset");
        sim().run("restartMs", 3600 * 1000); // the device is back only when drive() plugs it
    }

    void faults_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("fault");
        for (const auto &r : faultTable)
            for (int f = 0; f < Faults; ++f)
                if (r.result[f] != na)
                    QTest::addRow("%s: %s", r.name, faultNames[f]) << int(&r - faultTable) << f;
    }

    void faults()
    {
        QFETCH(int, row);
        QFETCH(int, fault);
        const auto &r = faultTable[row];
        const E result = r.result[fault];
        const FirmwareFile &image = images[r.kind];
        const int board = boardsOf[r.kind].last(), foreign = r.kind == Group ? 3 : 5;
        const int line = r.at * (image.getHexText().count('\n') - 1) / 2;
        const std::function<void()> inject[Faults] = {
            [&] { sim().run("absent", board); },
            [&] {
                sim().run("refuseStart", board);
                sim().run("rejectLine", board, line);
                sim().run("rejectEnd", board);
            },
            [&] { sim().run("unplug"); },
            [&] { sim().run("version", board, 99); },
            [&] { sim().run("answerAs", board, foreign); },
            [&] { sim().run("duplicateAcks", board); },
            [] {},
        };
        // The version a board reports after the update is settled when it installs the image.
        if (fault == WrongVersion && r.phase != S::CheckCompatibility)
            sim().run("versionAfterUpdate", board, 99);
        int injected = 0;
        const auto watch = [&](S s, int sent) {
            if (s == r.phase && (s != S::Transferring || sent == line) && ++injected)
                inject[fault]();
        };
        // Unplugged while restarting, the device never comes back.
        const QList<int> bounces =
            fault == Unplug && r.phase >= S::Restarting ? QList<int>{} : QList<int>{1500};
        const int opens = sim().value("openCount");
        const Outcome out = drive(&image, r.kind, {}, bounces, watch);

        QVERIFY(injected == 1 && !out.late);
        const QMap<S, int> armed{{S::WaitReconnect, 10000}, {S::VerifyVersion, 500}};
        for (const auto &e : out.expired)
            QCOMPARE(e.second, armed.value(e.first, 1000));
        QCOMPARE(out.dones, int(result == ok));
        QCOMPARE(out.cancels, result == ok ? QList<E>{} : QList<E>{result});
        QCOMPARE(out.states.last(), result == ok ? S::Success : S::Error);
        if (result == ok) {
            QList<S> states{S::CheckCompatibility, S::StartMode, S::Transferring, S::Finishing};
            states << (r.kind == Main ? QList<S>{S::Restarting, S::WaitReconnect, S::VerifyVersion}
                                      : QList<S>{S::WaitResponse})
                   << S::Success;
            QCOMPARE(out.states, states);
            const QByteArray text = image.getHexText();
            QCOMPARE(out.ranges, (QList<QPair<int, int>>{{0, text.size()}}));
            QList<int> progress; // after each line, and once more when the text is exhausted
            for (int i = text.indexOf('\n'); i >= 0; i = text.indexOf('\n', i + 1))
                progress << i + 1;
            QCOMPARE(out.progress, progress << text.size());
            checkBoards(image, boardsOf[r.kind]);
            // The main board restarts, drops off the bus and is opened again.
            QCOMPARE(sim().value("openCount") - opens, r.kind == Main ? 2 : 1);
            QCOMPARE(out.expired,
                     r.kind == Main ? Expired{qMakePair(S::Restarting, 1000)} : Expired());
        }
        if (result == no)
            QCOMPARE(out.expired.last().first,
                     r.phase == S::Restarting ? S::WaitReconnect : r.phase);
        if (result == ok || (r.kind == Main && r.phase <= S::Finishing))
            QCOMPARE(sim().value("restartCount"), int(r.kind == Main && result == ok));
        // A board busy installing may not answer at once: ten re-requests, then give up.
        if (r.phase == S::WaitResponse && result == no)
            QCOMPARE(out.expired.size(), 11);
        if (r.phase == S::WaitResponse && fault == Silence)
            QCOMPARE(sim().list("messages").count(QByteArray(1, 0x01) + char(partOf[r.kind])), 12);
    }

    // A board must never be put into update mode with an image that cannot reach it whole.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("device");
        QTest::addColumn<E>("result");
        const QByteArray good = hexImage("PCTRL", "v5.1", 6, 16);
        QTest::newRow("61-byte lines") << hexImage("PCTRL", "v5.1", 6, 24) << true << ok;
        QTest::newRow("63-byte lines")
            << hexImage("PCTRL", "v5.1", 6, 25) << true << E::InvalidFile;
        QTest::newRow("wrong file checksum") << good + ":0200008000007E\n"
                                             << true << E::InvalidFile;
        QTest::newRow("no device") << good << false << E::InternalError;
        QTest::newRow("no firmware") << QByteArray() << true << E::InternalError;
    }

    void refused()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, device);
        QFETCH(E, result);
        const FirmwareFile image = text.isEmpty() ? FirmwareFile() : load("refused.hex", text);
        const Outcome out =
            drive(text.isEmpty() ? nullptr : &image, Panel, {}, {1500}, {}, {}, device);
        QCOMPARE(out.dones, int(result == ok));
        QCOMPARE(out.cancels, result == ok ? QList<E>{} : QList<E>{result});
        QCOMPARE(out.states.size() == 1 && out.ranges.isEmpty(), result != ok);
        QCOMPARE(sim().list("messages").isEmpty(), result != ok); // not even a version request
    }

    // The main board may be back on USB well within the second it gets after its restart
    // message, or long after it; it may even come and go. That second is always waited
    // out, and the version is asked for as soon as the device is there after it.
    void restartDelays_data()
    {
        QTest::addColumn<QList<int>>("bounces");
        QTest::addColumn<E>("result");
        for (int ms : {100, 500, 999, 1001, 1500, 9000})
            QTest::addRow("back after %d ms", ms) << QList<int>{ms} << ok;
        QTest::newRow("back, gone, back") << QList<int>{300, 600, 1500} << ok;
        QTest::newRow("never back") << QList<int>{} << no;
    }

    void restartDelays()
    {
        QFETCH(QList<int>, bounces);
        QFETCH(E, result);
        const Outcome out = drive(&images[Main], Main, {}, bounces);
        QCOMPARE(out.cancels, result == ok ? QList<E>{} : QList<E>{result});
        QList<S> states{S::Restarting, S::WaitReconnect};
        states << (result == ok ? QList<S>{S::VerifyVersion, S::Success} : QList<S>{S::Error});
        QCOMPARE(out.states.mid(4), states);
        Expired expired{{S::Restarting, 1000}};
        if (result != ok)
            expired << qMakePair(S::WaitReconnect, 10000);
        QCOMPARE(out.expired, expired);
        QCOMPARE(sim().bytes("installedImage", 7), images[Main].getHexText());
    }

    // Another instrument, plugged in during the update, is listed first when the main board
    // comes back from its restart; it may already run the new firmware. The main board
    // updated is the one checked, or none is, and nothing is ever sent to the other one.
    void anotherInstrument_data()
    {
        QTest::addColumn<bool>("serials");
        QTest::addColumn<int>("otherVersion");
        QTest::addColumn<QList<int>>("bounces");
        QTest::addColumn<E>("result");
        const int updated = versionByte(images[Main]);
        const QList<int> back{1500};
        QTest::newRow("serial numbers: the same one checked") << true << updated << back << ok;
        QTest::newRow("none: not checked") << false << updated << back << E::NotChecked;
        QTest::newRow("none, the other one's firmware older")
            << false << 31 << back << E::NotChecked;
        QTest::newRow("none, and never back") << false << updated << QList<int>{} << E::NotChecked;
    }

    void anotherInstrument()
    {
        QFETCH(bool, serials);
        QFETCH(int, otherVersion);
        QFETCH(QList<int>, bounces);
        QFETCH(E, result);
        auto &other = zelsim::Instrument::instance(1);
        other.run("version", 7, otherVersion);
        other.run("unplug");
        driven = 2;
        sim().run("plug");
        sim().run("restartMs", 3600 * 1000);
        if (serials) {
            other.run("serial", "HR36-0001");
            sim().run("serial", "HR36-0002");
        }
        const Outcome out = drive(&images[Main], Main, {}, bounces, {}, [&](int tick) {
            if (tick == 0)
                other.run("plug");
        });
        QCOMPARE(out.cancels, result == ok ? QList<E>{} : QList<E>{result});
        QCOMPARE(out.dones, int(result == ok));
        QVERIFY(!out.late);
        QCOMPARE(sim().bytes("installedImage", 7), images[Main].getHexText());
        QCOMPARE(other.list("messages"), QList<QByteArray>());
        // Not checked: once the board is back beside the other one, or at the end of the wait.
        QCOMPARE(out.expired.size(), result == ok || !bounces.isEmpty() ? 1 : 2);
    }

    // The window may load another file into the image while its update runs; the
    // board must still get one consistent image: text, checksum and version together.
    void imageReplacedDuringTransfer()
    {
        FirmwareFile image = images[Panel];
        const QByteArray sent = image.getHexText();
        const QString other = dir.filePath("other.hex");
        load("other.hex", hexImage("PCTRL", "v5.7", 3, 8));
        const Outcome out = drive(&image, Panel, {}, {1500}, [&](S s, int line) {
            if (s == S::Transferring && line == 1)
                QCOMPARE(image.load(other), FirmwareFile::Ok);
        });
        QCOMPARE(image.getVersion(), QStringLiteral("v5.7"));
        QCOMPARE(out.dones, 1);
        QCOMPARE(sim().bytes("installedImage", 6), sent);
        QCOMPARE(sim().value("boardVersion", 6), 51);
    }

    // Random faults at random moments: done() may only come when every addressed board
    // holds the whole image and reports its version.
    void soak()
    {
        QRandomGenerator rng(0x5eed2016);
        int successes = 0;
        for (int run = 0; run < 300; ++run) {
            init();
            const int kind = rng.bounded(3), lines = images[kind].getHexText().count('\n');
            const int version = versionByte(images[kind]);
            const QList<int> boards =
                kind == Group && rng.bounded(2) ? QList<int>{1, 2, 3, 4, 5} : boardsOf[kind];
            const auto any = [&] { return boards.at(rng.bounded(boards.size())); };
            const std::function<void()> inject[] = {
                [&] {
                    sim().run("silentFrom", any(), zelsim::Step(rng.bounded(5)),
                              rng.bounded(lines));
                },
                [&] { sim().run("refuseStart", any()); },
                [&] { sim().run("rejectLine", any(), rng.bounded(lines)); },
                [&] { sim().run("rejectEnd", any()); },
                [&] { sim().run("versionAfterUpdate", any(), version + rng.bounded(2)); },
                [&] { sim().run("duplicateAcks", any()); },
                [&] { sim().run("answerAs", any(), rng.bounded(8)); },
                [&] { sim().run("unplugAfterLine", rng.bounded(lines)); },
                [&] { sim().run("failWrite", rng.bounded(lines + 6), "write failed"); },
                [&] { sim().run("failRead", rng.bounded(3 * lines), "read failed"); },
                [&] { sim().run("absent", any()); },
                [&] { sim().run("version", any(), version); }, // must still get the image
            };
            for (int f = rng.bounded(3); f > 0; --f)
                inject[rng.bounded(12)]();
            // A lost message, a stray answer nobody asked for (a refusal from anyone or a
            // consent from a board outside the step), and the device coming back late.
            const int lostAt = rng.bounded(2) ? rng.bounded(lines + 8) : -1;
            const int strayAt = rng.bounded(3) ? -1 : rng.bounded(3 * lines);
            const int plugAfter = rng.bounded(1, 30), outsider = rng.bounded(1, 8);
            sim().setMessageHook(
                [&, seen = 0](const QByteArray &) mutable { return seen++ != lostAt; });
            const QByteArray stray = QByteArray(1, char(rng.bounded(2, 5))) + char(outsider) +
                                     char(!boards.contains(outsider)) + QByteArray(61, '\0');
            const Outcome out = drive(&images[kind], kind, boards, {1500}, {}, [&](int t) {
                if (t == strayAt)
                    sim().run("injectInputReport", stray);
                if (t % plugAfter == 0)
                    sim().run("plug");
            });
            sim().setMessageHook(nullptr);
            QVERIFY(!out.late && out.dones + out.cancels.size() == 1);
            for (int b : boards)
                QVERIFY(!out.dones ||
                        (sim().bytes("installedImage", b) == images[kind].getHexText() &&
                         sim().value("boardVersion", b) == version));
            successes += out.dones;
        }
        // A soak in which everything fails, or nothing does, proves little.
        QVERIFY2(successes > 30 && successes < 270, qPrintable(QString::number(successes)));
    }
};

QTEST_GUILESS_MAIN(TestZelUpdater)
#include "tst_zelupdater.moc"

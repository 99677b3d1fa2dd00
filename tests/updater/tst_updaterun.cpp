// Whole update runs as any front end sees them, through the real protocol object
// and link, with the simulated instrument standing in for the boards.
#include "boardtable.h"
#include "siminstrument.h"
#include "testimages.h"
#include "updaterun.h"
#include "waitfor.h"

#include <QtTest>

#include <algorithm>
#include <memory>
#include <type_traits>

using Part = zelInterface::PartType;
using S = zelUpdater::State;
using E = zelUpdater::Err;
using Parts = QList<int>;
using Run = UpdateRun;
Q_DECLARE_METATYPE(UpdateRun::Look)

// A value outside the enumerators must be a defined value of these types.
static_assert(std::is_same<std::underlying_type<S>::type, int>::value, "");
static_assert(std::is_same<std::underlying_type<E>::type, int>::value, "");

namespace {

zelsim::Instrument &sim = zelsim::Instrument::instance();
const Parts allBoards = {5, 1, 2, 3, 4, 6, 7};

QList<Part> parts(const Parts &values)
{
    QList<Part> out;
    for (int v : values)
        out << Part(v);
    return out;
}

// Everything a front end is told about one run.
struct Watch
{
    explicit Watch(Run &run)
    {
        QObject::connect(&run, &Run::boardState, &scope, [this](Part b, S s) { states[b] << s; });
        QObject::connect(&run, &Run::boardRange, &scope, [this](Part b, int m) { maxima[b] << m; });
        QObject::connect(&run, &Run::boardProgress, &scope,
                         [this](Part b, int v) { value[b] = v; });
        QObject::connect(&run, &Run::totalProgress, &scope, [this](int v) { total << v; });
        QObject::connect(&run, &Run::finished, &scope, [this, &run](bool ok, Part step, E e) {
            ends << QStringLiteral("%1 %2 %3").arg(int(ok)).arg(int(step)).arg(int(e));
            updatersAtEnd = run.findChildren<zelUpdater *>().size();
        });
        QObject::connect(&run, &Run::stepStarted, &scope, [this, &run](int i) {
            story << QStringLiteral("start %1").arg(i);
            updaters << run.findChildren<zelUpdater *>().size(); // its own, and the last one
        });
        QObject::connect(&run, &Run::stepState, &scope, [this](int i, S s) { stepStates[i] << s; });
        QObject::connect(&run, &Run::stepProgress, &scope,
                         [this](int i, int p) { shares[i] << p; });
        QObject::connect(&run, &Run::stepEnded, &scope, [this](int i, bool ok, E e) {
            story << (ok ? QStringLiteral("end %1").arg(i)
                         : QStringLiteral("fail %1 %2").arg(i).arg(e));
        });
    }
    QObject scope;
    QMap<int, QList<S>> states;
    QMap<int, QList<int>> maxima;
    QMap<int, int> value;
    QList<int> total;
    QStringList ends;
    QList<int> updaters;
    int updatersAtEnd = -1;
    QStringList story;
    QMap<int, QList<S>> stepStates;
    QMap<int, QList<int>> shares;

    // The steps' story, then the steps the run did not run and the step it ended in.
    QString told(const Run &run) const
    {
        QStringList all = story;
        for (const Run::Step &step : run.stepsNotRun())
            all << QStringLiteral("not run %1").arg(step.part);
        return (all << QStringLiteral("current %1").arg(run.currentStep())).join('|');
    }
};

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    FirmwareImages images; // one good image per family
    std::unique_ptr<zelInterface> device;

    // `images` with `text` as the image of `family`, or with none that loads.
    FirmwareImages with(const QString &family, const QByteArray &text)
    {
        FirmwareImages changed = images;
        const QString path = dir.filePath(family + QString::number(text.size()) + ".hex");
        if (!text.isEmpty())
            loadImage(path, text);
        changed.load(family, path);
        return changed;
    }

private slots:
    void initTestCase()
    {
        images = with("PKEYS", hexImage("PKEYS", "v2.1", 10));
        images = with("PCTRL", hexImage("PCTRL", "v3.2", 12));
        images = with("PBASE", hexImage("PBASE", "v4.3", 14));
        QVERIFY(images.allLoaded());
    }

    void init()
    {
        sim.run("reset");
        device.reset(new zelInterface);
        device->setAutoOpen(true); // connected at once: the instrument is attached
    }

    void cleanup() { device.reset(); }

    // The steps: the chosen sensor boards as one group, then the control panel, then
    // the main board; the group's progress is that of its highest-numbered member.
    void plan_data()
    {
        QTest::addColumn<Parts>("chosen");
        QTest::addColumn<QString>("plan"); // address:boards>step board, per step
        QTest::newRow("all") << Parts{7, 6, 4, 3, 2, 1, 5} << "0:5,1,2,3,4>5 6:6>6 7:7>7";
        QTest::newRow("sensors 2 and 4") << Parts{4, 2} << "0:2,4>4";
        QTest::newRow("main board and one sensor") << Parts{7, 3} << "0:3>3 7:7>7";
        QTest::newRow("repeats and strangers") << Parts{6, 0, 6, 8, -1} << "6:6>6";
        QTest::newRow("none") << Parts{} << "";
    }

    void plan()
    {
        QFETCH(Parts, chosen);
        QFETCH(QString, plan);
        Run run(device.get(), parts(chosen), images);
        QStringList steps;
        for (const Run::Step &step : run.plan()) {
            QStringList boards;
            for (Part b : step.boards)
                boards << QString::number(int(b));
            steps << QStringLiteral("%1:%2>%3")
                         .arg(int(step.part))
                         .arg(boards.join(','))
                         .arg(int(step.stepBoard));
        }
        QCOMPARE(steps.join(' '), plan);
        QCOMPARE(run.start(), !plan.isEmpty());
        QCOMPARE(run.start(), false); // once only
    }

    // A whole run of all seven boards, the main board back on USB well before the
    // second it is given after its restart.
    void wholeRun()
    {
        sim.run("restartMs", 100);
        Run run(device.get(), parts(allBoards), images);
        Watch w(run);
        QVERIFY(run.start() && run.isRunning());
        QVERIFY(waitFor([&] { return !w.ends.isEmpty(); }));
        QCOMPARE(w.ends, QStringList{"1 7 0"});
        QVERIFY(!run.isRunning());

        const QList<S> transfer{S::CheckCompatibility, S::StartMode, S::Transferring, S::Finishing};
        for (int p : allBoards) {
            const QList<S> tail =
                p == 7 ? QList<S>{S::Restarting, S::WaitReconnect, S::VerifyVersion, S::Success}
                       : QList<S>{S::WaitResponse, S::Success};
            QCOMPARE(w.states[p], transfer + tail);
            const FirmwareFile &image = images.forBoard(Part(p));
            QCOMPARE(w.maxima[p], QList<int>{int(image.getHexText().size())});
            QCOMPARE(w.value[p], int(image.getHexText().size()));
        }
        // Step by step the same: each step starts, goes through its step board's
        // states and ends; its share rises from the first line sent to 1000.
        QCOMPARE(w.told(run), "start 0|end 0|start 1|end 1|start 2|end 2|current 2");
        QList<int> fromSteps;
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(w.stepStates[i] + QList<S>{S::Success}, w.states[run.plan()[i].stepBoard]);
            const QList<int> &share = w.shares[i];
            QVERIFY2(share.first() > 0 && share.first() < 1000 && share.last() == 1000 &&
                         std::is_sorted(share.begin(), share.end()),
                     qPrintable(QString::number(i)));
            for (int value : share)
                fromSteps << i * 1000 + value;
        }
        // The total rises with them, each step filling its 1000.
        QCOMPARE(w.total, fromSteps);

        // A finished updater is still inside its own signal when the next step starts
        // or the run ends: it may only go later, but go it must.
        QCOMPARE(w.updaters, QList<int>({1, 2, 2}));
        QCOMPARE(w.updatersAtEnd, 1);
        QVERIFY(waitFor([&] { return run.findChildren<zelUpdater *>().isEmpty(); }));
    }

    // Every image the run needs is checked before the first message leaves; the
    // run ends at once with the first step whose image is unusable.
    void imagesCheckedFirst_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QByteArray>("text"); // empty: no image at all
        QTest::addColumn<Parts>("chosen");
        QTest::addColumn<QString>("failedStep");                       // empty: the run goes ahead
        QTest::addColumn<QString>("story");                            // as Watch::told() tells it
        const QByteArray longLines = hexImage("PBASE", "v4.4", 6, 25); // 63 bytes per line
        QTest::newRow("main board: lines too long")
            << "PBASE" << longLines << allBoards << "Main Board"
            << "start 2|fail 2 5|current 2";
        QTest::newRow("main board: not chosen") << "PBASE" << longLines << Parts{6} << ""
                                                << "";
        QTest::newRow("control panel: other family")
            << "PCTRL" << hexImage("PKEYS", "v2.2") << Parts{1, 6} << "Control Panel"
            << "start 1|fail 1 5|current 1";
        QTest::newRow("sensors: no image")
            << "PKEYS" << QByteArray() << Parts{4, 7} << "Sensor Boards"
            << "start 0|fail 0 5|not run 7|current 0";
        QTest::newRow("sensors: wrong file checksum")
            << "PKEYS" << QByteArray(hexImage("PKEYS", "v2.2") + ":0200008000007E\r\n") << allBoards
            << "Sensor Boards"
            << "start 0|fail 0 5|not run 6|not run 7|current 0";
    }

    void imagesCheckedFirst()
    {
        QFETCH(QString, family);
        QFETCH(QByteArray, text);
        QFETCH(Parts, chosen);
        QFETCH(QString, failedStep);
        QFETCH(QString, story);
        Run run(device.get(), parts(chosen), with(family, text));
        Watch w(run);
        // A front end can tell before the start, to spare the question whether to go on.
        const int unusable = run.unusableStep();
        QCOMPARE(unusable < 0 ? QString() : BoardTable::boardName(run.plan()[unusable].stepBoard),
                 failedStep);
        QVERIFY(run.start());
        if (failedStep.isEmpty()) {
            QVERIFY(waitFor([&] { return !w.ends.isEmpty(); }));
            QCOMPARE(w.ends.value(0).left(1), QStringLiteral("1"));
            return;
        }
        QCOMPARE(w.ends.size(), 1); // within start()
        QVERIFY(w.ends[0].startsWith("0 ") && w.ends[0].endsWith(" 5"));
        QCOMPARE(w.told(run), story);
        for (int p : chosen) // every board of the failed step, and no other
            QCOMPARE(w.states[p], BoardTable::boardName(Part(p)) == failedStep ? QList<S>{S::Error}
                                                                               : QList<S>{});
        QVERIFY(run.findChildren<zelUpdater *>().isEmpty());
        QTest::qWait(20);
        QCOMPARE(sim.list("messages"), QList<QByteArray>{}); // the instrument has received nothing
    }

    // What a board's row shows while it works, and for values outside the enumerators.
    // (Success, failure, the waiting states' texts and looks are the window's to show.)
    void boardText_data()
    {
        QTest::addColumn<S>("state");
        QTest::addColumn<E>("error");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Run::Look>("look");
        const E none = E::NoError;
        // clang-format off
        QTest::newRow("transfer") << S::Transferring << none << "Transferring firmware file (%p%)" << Run::Working;
        QTest::newRow("error -1") << S::Error << E(-1) << "Unknown error (%p%)" << Run::Failed;
        QTest::newRow("state 11") << S(11) << none << "Unknown state (%p%)" << Run::Working;
        // clang-format on
    }

    void boardText()
    {
        QFETCH(S, state);
        QFETCH(E, error);
        QFETCH(QString, text);
        QFETCH(Run::Look, look);
        QCOMPARE(Run::boardText(state, error), text);
        QCOMPARE(Run::look(state), look);
    }
};

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"

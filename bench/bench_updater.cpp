// Updates every built-in firmware image through the simulated instrument, whose
// boards answer at once, and prints how long the transfer took. The protocol
// keeps one line in flight and the link polls once a millisecond, so one line
// per tick is the best an update can do; the ratio shows how far off it is.

#include "firmwarefile.h"
#include "siminstrument.h"
#include "zelinterface.h"
#include "zelupdater.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

struct Figures
{
    bool ok = false;
    int lines = 0;
    qint64 transferMs = 0;
    qint64 totalMs = 0;
    int transferTicks = 0;
    int transferReports = 0;
};

// Counts the link's poll ticks, to tell a slow clock from a lost tick.
class CountingLink : public zelInterface
{
public:
    CountingLink()
    {
        connect(pollTimer, &QTimer::timeout, this, [this] { ++ticks; });
    }
    int ticks = 0;
};

Figures runOne(const FirmwareFile &image, zelInterface::PartType part, const QList<int> &members)
{
    Figures f;
    f.lines = image.getHexText().count('\n');
    zelsim::Instrument &sim = zelsim::Instrument::instance();
    sim.run("reset");
    sim.run("latencyMs", 0);

    CountingLink link;
    link.setAutoOpen(true);
    zelUpdater updater(&link, &image, part);
    for (int m : members)
        updater.addPart(zelInterface::PartType(m));

    QEventLoop loop;
    QElapsedTimer total, transfer;
    int ticksAtStart = 0, reportsAtStart = 0;
    QObject::connect(&updater, &zelUpdater::currentState, &loop,
                     [&](zelUpdater::State s, zelUpdater::Err) {
                         if (s == zelUpdater::Transferring) {
                             transfer.start();
                             ticksAtStart = link.ticks;
                             reportsAtStart = sim.list("writtenReports").size();
                         } else if (s == zelUpdater::Finishing) {
                             f.transferMs = transfer.elapsed();
                             f.transferTicks = link.ticks - ticksAtStart;
                             f.transferReports = sim.list("writtenReports").size() - reportsAtStart;
                         }
                     });
    QObject::connect(&updater, &zelUpdater::done, &loop, [&] {
        f.ok = true;
        loop.quit();
    });
    QObject::connect(&updater, &zelUpdater::canceled, &loop, [&](zelUpdater::Err e) {
        std::fprintf(stderr, "update failed: %s\n", qPrintable(zelUpdater::errorText(e)));
        loop.quit();
    });
    total.start();
    updater.start();
    loop.exec();
    f.totalMs = total.elapsed();
    return f;
}

// The pace of a bare 1 ms timer in this event loop: the floor the link's poll
// timer cannot beat, whatever the link does per tick.
double bareTickMs(int ticks)
{
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1);
    int count = 0;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        if (++count == ticks)
            loop.quit();
    });
    QElapsedTimer clock;
    clock.start();
    timer.start();
    loop.exec();
    return double(clock.nsecsElapsed()) / 1e6 / ticks;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    struct Job
    {
        const char *path;
        zelInterface::PartType part;
        QList<int> members;
    };
    const Job jobs[] = {
        {":/firmware/pbase", zelInterface::Mainboard, {}},
        {":/firmware/pctrl", zelInterface::Terminal, {}},
        {":/firmware/pkeys", zelInterface::Sensors, {5, 1, 2, 3, 4}},
    };
    QTextStream out(stdout);
    out << QStringLiteral("bare 1 ms timer: %1 ms/tick\n").arg(bareTickMs(2000), 0, 'f', 3);
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
               .arg("image", -8)
               .arg("lines", 6)
               .arg("transfer ms", 12)
               .arg("ms/line", 8)
               .arg("ratio", 6)
               .arg("ticks", 6)
               .arg("ticks/line", 10)
               .arg("ms/tick", 8)
               .arg("total ms", 9);
    int failures = 0;
    for (const Job &job : jobs) {
        FirmwareFile image;
        if (image.load(job.path) != FirmwareFile::Ok) {
            out << job.path << ": " << image.statusText() << "\n";
            ++failures;
            continue;
        }
        const Figures f = runOne(image, job.part, job.members);
        if (!f.ok) {
            ++failures;
            continue;
        }
        // One line per 1 ms poll tick is the limit.
        const double perLine = f.lines ? double(f.transferMs) / f.lines : 0.0;
        const double ticksPerLine = f.lines ? double(f.transferTicks) / f.lines : 0.0;
        const double msPerTick = f.transferTicks ? double(f.transferMs) / f.transferTicks : 0.0;
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9\n")
                   .arg(QString(job.path).section('/', -1), -8)
                   .arg(f.lines, 6)
                   .arg(f.transferMs, 12)
                   .arg(perLine, 8, 'f', 3)
                   .arg(perLine / 1.0, 6, 'f', 3)
                   .arg(f.transferTicks, 6)
                   .arg(ticksPerLine, 10, 'f', 3)
                   .arg(msPerTick, 8, 'f', 3)
                   .arg(f.totalMs, 9);
        out.flush();
    }
    return failures ? 1 : 0;
}

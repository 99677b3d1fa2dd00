// How fast a command-line product moves HEX lines to the simulated instrument of the
// hidraw rig, timed from outside: for each board family, from the step's "Transferring
// firmware file" line to its next state line, over the image's lines. The same for the
// Linux product and, through Wine, the Windows one; in the rig:
//
//   rig="tools/hidrig/run-in-rig.sh --server build/tools/hidrig/hidrig"
//   $rig [--usb-timing] -- build/bench/bench_cli_rig -- build/app/cli/zelloader-cli
//   export ZEL_WINEPREFIX=<a prefix of the rig's own>
//   win="build-windows/wine-run --bare --rig --exec build-windows/tests/windows/rig"
//   $rig [--usb-timing] -- build/bench/bench_cli_rig --nudge -- $win/zelloader-cli.exe
//
// --nudge sends an empty report every 100 ms while a command runs, as the Windows tests
// do for Wine's HID class driver (tests/windows/tst_winproduct.cpp). Each family is
// updated three times; the figure is the middle one. Prints figures, asserts nothing.
#include "firmwarefile.h"
#include "siminstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

struct Family
{
    const char *board;    // --board
    const char *step;     // the step's name in the output
    const char *resource; // its built-in image
};

// Milliseconds from the start of the transfer to the step's next state, or -1 if the
// command failed.
double transferMs(const QStringList &command, const Family &family)
{
    QProcess process;
    QStringList arguments = command.mid(1);
    arguments << "update"
              << "--yes"
              << "--board" << family.board << "--wait"
              << "30";
    QElapsedTimer clock;
    clock.start();
    process.start(command.first(), arguments);
    const QString started = QString::fromLatin1(family.step) + ": Transferring firmware file";
    qint64 begin = -1, end = -1;
    QByteArray pending;
    while (process.state() != QProcess::NotRunning || process.bytesAvailable() > 0) {
        process.waitForReadyRead(100);
        // A line is timed when it is read: the product flushes each as it writes it.
        const qint64 now = clock.elapsed();
        pending += process.readAllStandardOutput();
        for (int eol; (eol = pending.indexOf('\n')) >= 0; pending.remove(0, eol + 1)) {
            const QString line = QString::fromUtf8(pending.left(eol)).trimmed();
            if (!line.startsWith(QLatin1String(family.step) + ": ") || line.endsWith('%'))
                continue;
            if (line == started)
                begin = now;
            else if (begin >= 0 && end < 0)
                end = now;
        }
    }
    return process.exitCode() == 0 && end >= 0 ? double(end - begin) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool nudge = arguments.removeAll("--nudge") > 0;
    const int dashes = arguments.indexOf("--");
    if (dashes < 0 || dashes + 1 >= arguments.size()) {
        std::fprintf(stderr, "usage: bench_cli_rig [--nudge] -- COMMAND...\n");
        return 2;
    }
    const QStringList command = arguments.mid(dashes + 1);

    zelsim::Instrument &sim = zelsim::Instrument::instance();
    sim.run("reset");
    std::atomic<bool> stop{false};
    std::thread nudger([&] {
        while (nudge && !stop) {
            sim.run("injectInputReport", QByteArray(64, '\0'));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    const Family families[] = {{"main", "Main Board", ":/firmware/pbase"},
                               {"panel", "Control Panel", ":/firmware/pctrl"},
                               {"sensors", "Sensor Boards", ":/firmware/pkeys"}};
    QTextStream out(stdout);
    out << "image   lines   ms per line (middle of 3)   runs in ms\n";
    for (const Family &family : families) {
        FirmwareFile image;
        image.load(QString::fromLatin1(family.resource));
        const int lines = image.getHexText().count('\n');
        QList<double> runs;
        for (int i = 0; i < 3; ++i)
            runs << transferMs(command, family);
        QList<double> sorted = runs;
        std::sort(sorted.begin(), sorted.end());
        QStringList shown;
        for (double ms : runs)
            shown << (ms < 0 ? QStringLiteral("failed") : QString::number(ms, 'f', 0));
        out << QString::fromLatin1(family.resource).mid(11).leftJustified(8)
            << QString::number(lines).leftJustified(8)
            << (sorted[1] < 0 ? QStringLiteral("-") : QString::number(sorted[1] / lines, 'f', 3))
                   .leftJustified(28)
            << shown.join(' ') << '\n';
        out.flush();
    }
    stop = true;
    nudger.join();
    return 0;
}

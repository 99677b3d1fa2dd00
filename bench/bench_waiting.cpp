// What the product costs while it waits for the instrument, and how soon it
// finds it. Runs in the hidraw rig with the instrument unplugged, usually among
// other HID devices:
//   tools/hidrig/run-in-rig.sh --server build/tools/hidrig/hidrig --others 20
//       --unplugged -- build/bench/bench_waiting build/app/zelLoader
// It starts the given product on a virtual screen (Xvfb) and measures it in each
// of the phases its waiting goes through (see UsbHid):
// - the first seconds after start and after a loss, when it tries every 50 ms;
// - the quiet phase after them, with one safety attempt every 30 s and an attempt
//   whenever /dev changes;
// CPU use from the scheduler's accounting (all threads), system calls a second
// counted by perf (the kernel's raw_syscalls:sys_enter tracepoint), then which
// calls they are (strace -c, which slows the product down), and the time from
// plugging the instrument in to the product opening it, over 20 plugs in each
// phase.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "usbhid.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <csignal>

namespace {

QTextStream out(stdout);
zelsim::Instrument &sim = zelsim::Instrument::instance();
qint64 pid = 0;

// Nanoseconds on the CPU so far, by thread.
QMap<QString, qint64> cpuNs()
{
    QMap<QString, qint64> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(tid + "/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            threads[tid] = f.readAll().split(' ').value(0).toLongLong();
    }
    return threads;
}

// What all threads together spent since `before`. A thread that ended meanwhile (Qt's
// pool lets idle threads go after 30 s) takes its share with it; one that began counts whole.
qint64 cpuNsSince(const QMap<QString, qint64> &before)
{
    qint64 sum = 0;
    const QMap<QString, qint64> now = cpuNs();
    for (auto it = now.begin(); it != now.end(); ++it)
        sum += it.value() - before.value(it.key(), 0);
    return sum;
}

void sleepMs(qint64 ms)
{
    if (ms > 0)
        QThread::msleep(ulong(ms));
}

void say(const QString &line)
{
    out << line << '\n';
    out.flush();
}

// CPU use over `seconds`, in windows of `window` seconds; the whole and each window.
void cpu(const QString &phase, int seconds, int window)
{
    QList<double> windows;
    const auto first = cpuNs();
    QElapsedTimer all;
    all.start();
    for (int done = 0; done < seconds; done += window) {
        const auto before = cpuNs();
        QElapsedTimer clock;
        clock.start();
        sleepMs(qint64(qMin(window, seconds - done)) * 1000);
        windows << double(cpuNsSince(before)) / double(clock.nsecsElapsed()) * 100;
    }
    QStringList each;
    for (double w : windows)
        each << QString::number(w, 'f', 3);
    say(QStringLiteral("%1, CPU over %2 s: %3 % of one core%4")
            .arg(phase)
            .arg(all.elapsed() / 1000.0, 0, 'f', 1)
            .arg(double(cpuNsSince(first)) / double(all.nsecsElapsed()) * 100, 0, 'f', 3)
            .arg(windows.size() > 1
                     ? " (each " + QString::number(window) + " s: " + each.join(", ") + ")"
                     : QString()));
}

// System calls a second over `seconds`, counted by perf in windows of `window` seconds.
void syscalls(const QString &phase, int seconds, int window)
{
    QProcess perf;
    QStringList arguments{
        "stat", "-x", ",", "-e", "raw_syscalls:sys_enter", "-p", QString::number(pid)};
    if (window < seconds)
        arguments << "-I" << QString::number(window * 1000);
    perf.start("perf", arguments << "--"
                                 << "sleep" << QString::number(seconds));
    if (!perf.waitForFinished(seconds * 1000 + 20000) || perf.exitCode() != 0) {
        say("perf cannot count system calls here");
        return;
    }
    // With -I one line per window, "seconds,count,..." (a window in which the product
    // made no call at all counts as "<not counted>"); without, one line "count,...".
    double sum = 0, last = 0;
    QStringList each;
    const QRegularExpression line(window < seconds ? "^\\s*([\\d.]+),(\\d+|<not counted>),"
                                                   : "^()(\\d+),");
    for (const QString &l : QString::fromLocal8Bit(perf.readAllStandardError()).split('\n')) {
        const auto m = line.match(l);
        if (!m.hasMatch())
            continue;
        const double count = m.captured(2).toDouble(), at = m.captured(1).toDouble();
        sum += count;
        if (at - last > window / 2.0) // not the sliver perf reports after the last window
            each << QString::number(count / (at - last), 'f', 0);
        last = at;
    }
    say(QStringLiteral("%1, system calls over %2 s (perf): %3 a second%4")
            .arg(phase)
            .arg(seconds)
            .arg(sum / seconds, 0, 'f', 0)
            .arg(each.size() > 1
                     ? " (each " + QString::number(window) + " s: " + each.join(", ") + ")"
                     : QString()));
}

void strace(const QString &phase, int seconds)
{
    QProcess strace;
    strace.start("strace", {"-c", "-f", "-qq", "-p", QString::number(pid)});
    strace.waitForStarted();
    sleepMs(500); // attached to every thread by now
    QElapsedTimer clock;
    clock.start();
    sleepMs(seconds * 1000);
    const double elapsed = clock.elapsed() / 1000.0;
    ::kill(pid_t(strace.processId()), SIGINT);
    strace.waitForFinished();
    const QString table = QString::fromLocal8Bit(strace.readAllStandardError());
    const auto total = QRegularExpression("^[\\d.]+\\s+[\\d.]+\\s+\\d+\\s+(\\d+)\\s+\\d*\\s*total$",
                                          QRegularExpression::MultilineOption)
                           .match(table);
    say(QStringLiteral("%1, system calls over %2 s under strace, which slows it: %3 a second")
            .arg(phase)
            .arg(elapsed, 0, 'f', 1)
            .arg(total.captured(1).toDouble() / elapsed, 0, 'f', 0));
    say(table);
}

// Plugs the instrument in and returns the milliseconds until the product opened it (5 s at
// most); leaves it plugged in.
double plugAndWait()
{
    const int opens = sim.value("openCount");
    QElapsedTimer sincePlug;
    sim.run("plug");
    sincePlug.start();
    while (sim.value("openCount") == opens && sincePlug.elapsed() < 5000)
        sleepMs(1);
    return sincePlug.nsecsElapsed() / 1e6;
}

// Unplugged; the product notices at its next read (1 ms) and waits again.
void unplug()
{
    sim.run("unplug");
    sleepMs(20);
}

void latency(const QString &phase, const QList<double> &ms)
{
    QList<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double m : sorted)
        sum += m;
    say(QStringLiteral("%1: found after plugging in, over %2 plugs: mean %3 ms, max %4 ms")
            .arg(phase)
            .arg(sorted.size())
            .arg(sum / sorted.size(), 0, 'f', 1)
            .arg(sorted.last(), 0, 'f', 1));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2 || !zelrig::unavailableReason().isEmpty()) {
        say("usage (in the hidraw rig): bench_waiting PRODUCT\n" + zelrig::unavailableReason());
        return 2;
    }
    sim.run("unplug");

    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-ac"});
    if (!xvfb.waitForReadyRead(10000)) {
        say("Xvfb did not start");
        return 1;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ':' + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed());
    env.insert("QT_QPA_PLATFORM", "xcb");
    QProcess product;
    product.setProcessEnvironment(env);
    product.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer sinceStart;
    product.start(argv[1], QStringList());
    sinceStart.start();
    if (!product.waitForStarted()) {
        say(QStringLiteral("cannot start %1").arg(argv[1]));
        return 1;
    }
    pid = product.processId();
    QRandomGenerator &rng = *QRandomGenerator::global();

    // The first seconds: the window is up after about one of them.
    const int frequentS = UsbHid::FrequentAfterStartMs / 1000;
    sleepMs(2000);
    cpu(QStringLiteral("first %1 s after start (every 50 ms), from 2 s").arg(frequentS),
        frequentS - 2, frequentS - 2);

    // Quiet: windows of 10 s, over two safety periods, so that the whole counts each
    // safety attempt as often as it comes.
    sleepMs(UsbHid::FrequentAfterStartMs + 1000 - sinceStart.elapsed());
    const int quietS = 2 * UsbHid::SafetyIntervalMs / 1000;
    cpu("quiet", quietS, 10);
    syscalls("quiet", quietS, 10);
    strace("quiet", UsbHid::SafetyIntervalMs / 1000);

    // After a loss: every 50 ms for a while; measured from 0.5 s after the loss to 0.5 s
    // before its end, once for the CPU and once for perf.
    const int lossS = UsbHid::FrequentAfterLossMs / 1000 - 1;
    for (int pass = 0; pass < 2; ++pass) {
        plugAndWait();
        unplug();
        sleepMs(480);
        pass ? syscalls("after a loss (every 50 ms)", lossS, lossS)
             : cpu("after a loss (every 50 ms)", lossS, lossS);
        sleepMs(UsbHid::FrequentAfterLossMs - lossS * 1000);
    }

    // Plugged in at a random moment, in either phase.
    QList<double> quiet, frequent;
    for (int i = 0; i < 20; ++i) {
        sleepMs(UsbHid::FrequentAfterLossMs + 500 + rng.bounded(1000));
        quiet << plugAndWait();
        unplug();
    }
    for (int i = 0; i < 20; ++i) {
        sleepMs(rng.bounded(200));
        frequent << plugAndWait();
        unplug();
    }
    latency("quiet (at the change in /dev)", quiet);
    latency("after a loss (every 50 ms)", frequent);

    product.kill();
    product.waitForFinished();
    xvfb.kill();
    xvfb.waitForFinished();
    return 0;
}

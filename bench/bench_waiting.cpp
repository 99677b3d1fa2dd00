// What the product costs while it waits for the instrument, and how soon it
// finds it. Runs in the hidraw rig with the instrument unplugged, usually among
// other HID devices:
//   tools/hidrig/run-in-rig.sh --server build/tools/hidrig/hidrig --others 20
//       --unplugged -- build/bench/bench_waiting build/app/zelLoader
// It starts the given product on a virtual screen (Xvfb), lets it settle, and
// prints its CPU use over 10 s (all threads, from the scheduler's accounting),
// its system calls a second over another 10 s (perf; then strace -c -f for which
// they are), and the time from plugging the instrument in to the product opening
// it, over 20 plugs.
#include "rigcontrol.h"
#include "siminstrument.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <csignal>

namespace {

QTextStream out(stdout);

// Nanoseconds on the CPU, all threads of the process together.
qint64 cpuNs(qint64 pid)
{
    qint64 sum = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(tid + "/schedstat"));
        if (f.open(QIODevice::ReadOnly))
            sum += f.readAll().split(' ').value(0).toLongLong();
    }
    return sum;
}

void sleepMs(int ms)
{
    QThread::msleep(ulong(ms));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2 || !zelrig::unavailableReason().isEmpty()) {
        out << "usage (in the hidraw rig): bench_waiting PRODUCT\n"
            << zelrig::unavailableReason() << '\n';
        return 2;
    }
    auto &sim = zelsim::Instrument::instance();
    sim.unplug();

    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-ac"});
    if (!xvfb.waitForReadyRead(10000)) {
        out << "Xvfb did not start\n";
        return 1;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ':' + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed());
    env.insert("QT_QPA_PLATFORM", "xcb");
    QProcess product;
    product.setProcessEnvironment(env);
    product.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    product.start(argv[1], QStringList());
    if (!product.waitForStarted()) {
        out << "cannot start " << argv[1] << '\n';
        return 1;
    }
    const qint64 pid = product.processId();
    sleepMs(2000);

    const qint64 cpuBefore = cpuNs(pid);
    QElapsedTimer clock;
    clock.start();
    sleepMs(10000);
    const double cpu = double(cpuNs(pid) - cpuBefore) / double(clock.nsecsElapsed()) * 100;
    out << QStringLiteral("waiting, CPU over %1 s: %2 % of one core\n")
               .arg(clock.elapsed() / 1000.0, 0, 'f', 1)
               .arg(cpu, 0, 'f', 3);
    out.flush();

    // Counted by the kernel's tracepoint (perf), which does not slow the product
    // down; strace, which does, shows which calls they are.
    QProcess perf;
    perf.start("perf", {"stat", "-x", ",", "-e", "raw_syscalls:sys_enter", "-p",
                        QString::number(pid), "--", "sleep", "10"});
    if (perf.waitForFinished(20000) && perf.exitCode() == 0) {
        const QString csv = QString::fromLocal8Bit(perf.readAllStandardError());
        const auto count = QRegularExpression("^(\\d+),").match(csv);
        out << QStringLiteral("waiting, system calls over 10 s (perf): %1 a second\n")
                   .arg(count.captured(1).toDouble() / 10, 0, 'f', 0);
    } else {
        out << "perf cannot count system calls here\n";
    }
    out.flush();

    QProcess strace;
    strace.start("strace", {"-c", "-f", "-qq", "-p", QString::number(pid)});
    strace.waitForStarted();
    sleepMs(500); // attached to every thread by now
    clock.start();
    sleepMs(10000);
    const double seconds = clock.elapsed() / 1000.0;
    ::kill(pid_t(strace.processId()), SIGINT);
    strace.waitForFinished();
    const QString table = QString::fromLocal8Bit(strace.readAllStandardError());
    const auto total = QRegularExpression("^[\\d.]+\\s+[\\d.]+\\s+\\d+\\s+(\\d+)\\s+\\d*\\s*total$",
                                          QRegularExpression::MultilineOption)
                           .match(table);
    out << QStringLiteral("waiting, system calls over %1 s under strace, which slows it: "
                          "%2 a second\n")
               .arg(seconds, 0, 'f', 1)
               .arg(total.captured(1).toDouble() / seconds, 0, 'f', 0);
    out << table << '\n';
    out.flush();

    // Plugged in at a random moment of the product's waiting rhythm each time.
    QList<double> found;
    for (int i = 0; i < 20; ++i) {
        const int opens = sim.openCount();
        sleepMs(QRandomGenerator::global()->bounded(200));
        QElapsedTimer sincePlug;
        sim.plug();
        sincePlug.start();
        while (sim.openCount() == opens && sincePlug.elapsed() < 5000)
            sleepMs(1);
        found << sincePlug.nsecsElapsed() / 1e6;
        sim.unplug();
        sleepMs(100); // the product notices at its next read and waits again
    }
    std::sort(found.begin(), found.end());
    double sum = 0;
    for (double ms : found)
        sum += ms;
    out << QStringLiteral("found after plugging in, over %1 plugs: mean %2 ms, max %3 ms\n")
               .arg(found.size())
               .arg(sum / found.size(), 0, 'f', 1)
               .arg(found.last(), 0, 'f', 1);
    product.kill();
    product.waitForFinished();
    xvfb.kill();
    xvfb.waitForFinished();
    return 0;
}

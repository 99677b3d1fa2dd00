// Loading and sorting HEX files of 1 to 64 MiB: throughput, and peak memory as
// a multiple of the file size, beside srec_cat on the same files when it is
// installed. The files are generated here from a fixed seed: random data, 16
// bytes per line, CR LF; ascending and stamped for loading (so the load reads
// all of it), shuffled for sorting. Our peak is what the data adds to the
// process (each measured in a fresh process); srec_cat's is its whole resident
// set. Prints figures and asserts nothing.
//
//   bench_hex [sizes in MiB, default 1 2 4 8 16 32 64]

#include "firmwarefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

constexpr int runs = 3; // the best of these counts

QByteArray record(int type, quint16 address, const QByteArray &data)
{
    QByteArray bytes =
        QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(type) + data;
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum - quint8(c));
    return ':' + (bytes + char(sum)).toHex().toUpper() + "\r\n";
}

// The information block, so that loading goes all the way to Ok.
QByteArray infoData(quint32 address)
{
    static const QByteArray texts[] = {"PBASE", "v9.9", "Jan 01 2020 00:00:00"};
    const int field = int(address - 0x800) / 0x40;
    QByteArray bytes(16, '\0');
    const QByteArray &text = texts[field];
    const int first = int((address - 0x800) % 0x40) / 4 * 2; // two characters per four bytes
    for (int i = 0; i < 8 && first + i < text.size(); ++i)
        bytes[(i / 2) * 4 + i % 2] = text.at(first + i);
    return bytes;
}

// Writes `loadPath` (ascending, stamped) and `sortPath` (the same records,
// shuffled: the 64 KiB regions in random order, each led by its 0x04 record, and
// the records inside each region too) of at most `size` bytes.
void generate(qint64 size, const QString &loadPath, const QString &sortPath)
{
    QRandomGenerator rng(20150212);
    QVector<QVector<QByteArray>> regions;
    // Room for the last 0x04 record, the end-of-file and the checksum record: the
    // file never exceeds `size`, so a 64 MiB one is still loaded.
    const qint64 room = size - 80;
    qint64 written = 0;
    for (quint32 address = 0; written + 45 <= room; address += 16) {
        if ((address & 0xFFFF) == 0) {
            regions.append(QVector<QByteArray>{
                record(0x04, 0, QByteArray(1, char(address >> 24)) + char(address >> 16))});
            written += regions.last().first().size();
        }
        QByteArray bytes(16, '\0');
        if (address >= 0x800 && address < 0x8C0) {
            bytes = infoData(address);
        } else {
            for (char &b : bytes)
                b = char(rng.bounded(256));
        }
        regions.last().append(record(0x00, quint16(address), bytes));
        written += regions.last().last().size();
    }
    const QByteArray eof = ":00000001FF\r\n";

    QByteArray ascending;
    ascending.reserve(int(written + 64));
    for (const auto &region : qAsConst(regions))
        for (const QByteArray &line : region)
            ascending += line;
    ascending += eof;
    const quint8 c = FirmwareFile::fileChecksum(ascending);
    ascending += record(0x80, 0, QByteArray(1, '\0') + char(c));
    QFile load(loadPath);
    load.open(QIODevice::WriteOnly);
    load.write(ascending);
    load.close();
    ascending.clear();

    std::shuffle(regions.begin(), regions.end(), rng);
    QFile sort(sortPath);
    sort.open(QIODevice::WriteOnly);
    for (auto &region : regions) {
        std::shuffle(region.begin() + 1, region.end(), rng);
        for (const QByteArray &line : qAsConst(region))
            sort.write(line);
    }
    sort.write(eof);
}

bool copy(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

// Seconds of the fastest of `runs` runs of `work`, with `prepare` untimed before each.
template <typename Prepare, typename Work> double best(Prepare prepare, Work work)
{
    double fastest = 1e9;
    for (int i = 0; i < runs; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        work();
        fastest = std::min(fastest, timer.nsecsElapsed() / 1e9);
    }
    return fastest;
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// In a fresh process: how far the resident set grew above where it stood
// before `op` (load or sort) ran on `path`, in bytes: the memory of the data.
int measurePeak(const QString &op, const QString &path)
{
    // A first run on a small file pages in the code (Qt's file classes among
    // it), which belongs to no file size.
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small.hex"));
    QFile warm(small);
    warm.open(QIODevice::WriteOnly);
    warm.write(record(0x00, 0, "x") + ":00000001FF\r\n");
    warm.close();
    if (op == QLatin1String("load"))
        FirmwareFile().load(small);
    else
        sortHexFile(small);

    // Reset the high-water mark to the current resident set (Linux 4.0 on).
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    const qint64 before = statusKiB("VmRSS:");
    if (op == QLatin1String("load")) {
        FirmwareFile firmware;
        firmware.load(path);
    } else {
        sortHexFile(path);
    }
    const qint64 peak = statusKiB("VmHWM:");
    std::printf("%lld\n", (peak - before) * 1024);
    return 0;
}

// In a fresh process: the peak resident set of a child program, in bytes.
int measureChildPeak(const QStringList &command)
{
#ifdef Q_OS_UNIX
    QProcess child;
    child.start(command.first(), command.mid(1));
    child.waitForFinished(-1);
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("%lld\n", qint64(usage.ru_maxrss) * 1024);
#else
    Q_UNUSED(command);
    std::printf("-1\n");
#endif
    return 0;
}

qint64 peakOf(const QStringList &arguments)
{
    QProcess self;
    self.start(QCoreApplication::applicationFilePath(), arguments);
    self.waitForFinished(-1);
    return self.readAllStandardOutput().trimmed().toLongLong();
}

bool runSrecCat(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--peak"))
        return measurePeak(args.value(1), args.value(2));
    if (args.value(0) == QLatin1String("--child-peak"))
        return measureChildPeak(args.mid(1));

    QList<int> sizes;
    for (const QString &arg : args)
        sizes << arg.toInt();
    if (sizes.isEmpty())
        sizes = {1, 2, 4, 8, 16, 32, 64};

    const QString srecCat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    QTemporaryDir dir;
    const QString loadFile = dir.filePath(QStringLiteral("load.hex"));
    const QString sortFile = dir.filePath(QStringLiteral("sort.hex"));
    const QString work = dir.filePath(QStringLiteral("work.hex"));
    const QString srecOut = dir.filePath(QStringLiteral("srec.hex"));

    QTextStream out(stdout);
    out << "HEX load and sort, best of " << runs << " runs; MiB/s, and peak memory above the "
        << "process's own as a multiple of the file size\n";
    if (srecCat.isEmpty())
        out << "srec_cat is not installed (package srecord): no comparison\n";
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11\n")
               .arg("MiB", 4)
               .arg("load", 8)
               .arg("srec", 8)
               .arg("ratio", 6)
               .arg("sort", 8)
               .arg("srec", 8)
               .arg("ratio", 6)
               .arg("peak L", 7)
               .arg("peak S", 7)
               .arg("srec L", 7)
               .arg("srec S", 7);
    out.flush();

    for (int mib : qAsConst(sizes)) {
        const qint64 size = qint64(mib) << 20;
        generate(size, loadFile, sortFile);
        const double loadMiB = QFileInfo(loadFile).size() / 1048576.0;
        const double sortMiB = QFileInfo(sortFile).size() / 1048576.0;

        FirmwareFile firmware;
        const double load = best([] {}, [&] { firmware.load(loadFile); });
        const bool loadOk = firmware.getStatus() == FirmwareFile::Ok;
        int sorted = -1;
        const double sort =
            best([&] { copy(sortFile, work); }, [&] { sorted = sortHexFile(work); });
        if (!loadOk || sorted != FirmwareFile::Ok)
            out << "warning: load gave " << firmware.getStatus() << ", sort " << sorted << '\n';
        copy(sortFile, work);
        const double peakLoad = peakOf({"--peak", "load", loadFile}) / (loadMiB * 1048576);
        const double peakSort = peakOf({"--peak", "sort", work}) / (sortMiB * 1048576);

        QString srec[4] = {"-", "-", "-", "-"};
        QString ratio[2] = {"-", "-"};
        QString srecPeak[2] = {"-", "-"};
        if (!srecCat.isEmpty()) {
            const QStringList read{loadFile, "-Intel", "-o", "/dev/null", "-Intel"};
            const QStringList rewrite{sortFile, "-Intel", "-o", srecOut, "-Intel"};
            const double srecLoad = best([] {}, [&] { runSrecCat(srecCat, read); });
            const double srecSort = best([] {}, [&] { runSrecCat(srecCat, rewrite); });
            srec[0] = QString::number(loadMiB / srecLoad, 'f', 1);
            srec[1] = QString::number(sortMiB / srecSort, 'f', 1);
            ratio[0] = QString::number(srecLoad / load, 'f', 1);
            ratio[1] = QString::number(srecSort / sort, 'f', 1);
            srecPeak[0] = QString::number(
                peakOf(QStringList{"--child-peak", srecCat} + read) / (loadMiB * 1048576), 'f', 2);
            srecPeak[1] = QString::number(peakOf(QStringList{"--child-peak", srecCat} + rewrite) /
                                              (sortMiB * 1048576),
                                          'f', 2);
        }
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11\n")
                   .arg(mib, 4)
                   .arg(loadMiB / load, 8, 'f', 1)
                   .arg(srec[0], 8)
                   .arg(ratio[0], 6)
                   .arg(sortMiB / sort, 8, 'f', 1)
                   .arg(srec[1], 8)
                   .arg(ratio[1], 6)
                   .arg(peakLoad, 7, 'f', 2)
                   .arg(peakSort, 7, 'f', 2)
                   .arg(srecPeak[0], 7)
                   .arg(srecPeak[1], 7);
        out.flush();
    }
    return 0;
}

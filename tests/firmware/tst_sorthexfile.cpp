#include "firmwarefile.h"
#include "hextext.h"

#include <QDir>
#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace hextext;

namespace {

// Address -> byte, as a board would end up with it.
using MemoryImage = QMap<quint32, quint8>;

bool decode(const QByteArray &content, MemoryImage &memory)
{
    quint32 upperBits = 0;
    for (const QByteArray &line : content.split('\n')) {
        if (line.isEmpty())
            continue;
        const FirmwareFile::HexRecord record = FirmwareFile::parseHexLine(line + '\n');
        if (!record.valid)
            return false;
        if (record.type == 0x04)
            upperBits = quint8(record.data.at(0)) * 256u + quint8(record.data.at(1));
        if (record.type != 0x00)
            continue;
        for (int i = 0; i < record.data.size(); ++i)
            memory.insert(upperBits * 65536u + record.address + quint32(i),
                          quint8(record.data.at(i)));
    }
    return true;
}

} // namespace

class TestSortHexFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void sort_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");

        const QByteArray a = data(0x0000, filler(16, 1));
        const QByteArray b = data(0x0010, filler(16, 2));
        const QByteArray c = data(0x0020, filler(8, 3));
        const QByteArray first = ":020000040000fa\r\n";
        const QByteArray second = ":020000040001f9\r\n";
        const QByteArray eof = ":00000001FF\r\n";

        QTest::newRow("descending") << (c + b + a + eof) << (first + a + b + c + eof);
        QTest::newRow("two 64 KiB regions") << (upper(1) + c + upper(0) + b + upper(0) + a + eof)
                                            << (first + a + b + second + c + eof);
        QTest::newRow("unneeded 0x04 records dropped")
            << (upper(0) + a + upper(0) + b + upper(7) + upper(0) + c + eof)
            << (first + a + b + c + eof);
        const QByteArray later = data(0x0010, filler(16, 9));
        QTest::newRow("later duplicate wins") << (b + a + later) << (first + a + later + eof);
        QTest::newRow("same low address in two regions")
            << (upper(1) + a + upper(0) + a) << (first + a + second + a + eof);
        QTest::newRow("other record types dropped")
            << (record(0x02, 0, QByteArray("\x10\x00", 2)) + "\r\n" + a +
                record(0x03, 0, QByteArray(4, '\1')) + "\r\n" +
                record(0x05, 0, QByteArray(4, '\2')) + "\r\n" + eof + checksumRecord(0x42) + b)
            << (first + a + b + eof);
        QTest::newRow("LF lines keep LF")
            << (data(0x10, filler(16, 2), "\n") + data(0, filler(16, 1), "\n"))
            << (first + data(0, filler(16, 1), "\n") + data(0x10, filler(16, 2), "\n") + eof);
        QTest::newRow("lines kept as written")
            << (b.toLower() + a + QByteArray("\0ignored\r\n", 10))
            << (first + a + b.toLower() + eof);
        QTest::newRow("no terminator on the last line")
            << (b + a.left(a.size() - 2)) << (first + a.left(a.size() - 2) + b + eof);
        QTest::newRow("no data records") << (upper(3) + eof + checksumRecord(0x11)) << eof;
        QTest::newRow("empty file") << QByteArray() << eof;
    }

    void sort()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);

        const QString file = path(QStringLiteral("sort.hex"));
        QVERIFY(writeFile(file, input));
        QCOMPARE(sortHexFile(file), int(FirmwareFile::Ok));
        QCOMPARE(readFile(file), output);
    }

    void stampAfterSorting_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("expected");
        QTest::newRow("LF lines with info block")
            << (data(0x900, filler(16, 1), "\n") + defaultInfo("\n")) << int(FirmwareFile::Ok);
        QTest::newRow("no data records") << QByteArray() << int(FirmwareFile::NoFirmware);
        // Overlapping records are kept by the sort; the stamping load then
        // refuses them before appending anything.
        QTest::newRow("overlap") << (defaultInfo() + data(0x900, filler(16, 1)) +
                                     data(0x908, filler(16, 2)))
                                 << int(FirmwareFile::InvalidOrder);
    }

    void stampAfterSorting()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, expected);

        const QString file = path(QStringLiteral("stamp.hex"));
        QVERIFY(writeFile(file, input));
        QCOMPARE(sortHexFile(file), int(FirmwareFile::Ok));
        const QByteArray sorted = readFile(file);
        QVERIFY(sorted.endsWith(":00000001FF\r\n"));

        FirmwareFile firmware;
        QCOMPARE(int(firmware.load(file, true)), expected);
        const QByteArray after = readFile(file);
        if (expected == FirmwareFile::InvalidOrder) {
            QCOMPARE(after, sorted);
            return;
        }
        const quint8 c = FirmwareFile::fileChecksum(sorted);
        QCOMPARE(after, sorted + QStringLiteral(":0200008000%1%2\n")
                                     .arg(c, 2, 16, QLatin1Char('0'))
                                     .arg(quint8(0x7E - c), 2, 16, QLatin1Char('0'))
                                     .toLatin1());
        QCOMPARE(firmware.getHexText(), sorted);
    }

    void restamp()
    {
        // Stamped by another tool with an upper-case 0x04 record: the rewrite
        // lowers it, so the text and with it the checksum change.
        const QByteArray body = ":020000040000FA\r\n" + defaultInfo() + endOfFile;
        const QString file = path(QStringLiteral("restamp.hex"));
        QVERIFY(writeFile(file, stamped(body)));
        FirmwareFile before;
        QCOMPARE(before.load(file), FirmwareFile::Ok);

        QCOMPARE(sortHexFile(file), int(FirmwareFile::Ok));
        const QByteArray sorted = readFile(file);
        QCOMPARE(sorted, ":020000040000fa\r\n" + defaultInfo() + endOfFile);

        FirmwareFile after;
        QCOMPARE(after.load(file, true), FirmwareFile::Ok);
        QVERIFY(after.getChecksum() != before.getChecksum());
        QCOMPARE(after.getChecksum(), FirmwareFile::fileChecksum(sorted));
        // Exactly one checksum record: the old one went with the rewrite.
        QCOMPARE(readFile(file).count(":02000080"), 1);
    }

    void invalidLineLeavesFile_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("bad record checksum") << (data(0x10, filler(16, 1)) + ":0100000001\r\n");
        // Twelve bytes are one too few for a record, also for this one.
        QTest::newRow("end of file with LF only") << (data(0x10, filler(16, 1)) + ":00000001FF\n");
        QTest::newRow("CR LF line") << (data(0x10, filler(16, 1)) + "\r\n" + endOfFile);
        QTest::newRow("after end of file") << (endOfFile + "garbage garbage\r\n");
    }

    void invalidLineLeavesFile()
    {
        QFETCH(QByteArray, input);
        const QString file = path(QStringLiteral("invalid.hex"));
        QVERIFY(writeFile(file, input));
        QCOMPARE(sortHexFile(file), int(FirmwareFile::InvalidData));
        QCOMPARE(readFile(file), input);
    }

    void missingFile()
    {
        QCOMPARE(sortHexFile(path(QStringLiteral("missing.hex"))), int(FirmwareFile::AccessDenied));
        QVERIFY(!QFile::exists(path(QStringLiteral("missing.hex"))));
    }

    // The tests run as root, where permission bits stop nothing. What does stop
    // the rewrite even then: a name that leaves no room for the temporary
    // file's suffix, and the process's file size limit (a full disk).
    void failedRewriteLeavesFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("sizeLimit");
        QTest::newRow("no room for the temporary name") << QString(250, QLatin1Char('a')) << 0;
#ifdef Q_OS_LINUX
        QTest::newRow("disk full half-way") << QStringLiteral("limited.hex") << 1000;
#endif
    }

    void failedRewriteLeavesFile()
    {
        QFETCH(QString, name);
        QFETCH(int, sizeLimit);

        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString file = folder.filePath(name);
        QByteArray input;
        for (int i = 99; i >= 0; --i)
            input += data(quint16(16 * i), filler(16, char(i)));
        QVERIFY(writeFile(file, input));
        QVERIFY(input.size() > sizeLimit);

        int result = -1;
#ifdef Q_OS_LINUX
        rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (sizeLimit > 0) {
            rlimit limited = saved;
            limited.rlim_cur = rlim_t(sizeLimit);
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        }
        result = sortHexFile(file);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
#else
        result = sortHexFile(file);
#endif
        QCOMPARE(result, int(FirmwareFile::AccessDenied));
        QCOMPARE(readFile(file), input);
        // Nothing half-written is left beside it.
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
    }

    // Any valid file, in any order, describes the same memory after sorting,
    // and stamping it then gives a file the tool accepts.
    void sortingKeepsMemory()
    {
        QRandomGenerator rng(20150212);
        for (int run = 0; run < 300; ++run) {
            struct Line
            {
                quint16 upperBits;
                QByteArray text;
            };
            QVector<Line> lines;
            MemoryImage expected;
            const auto end = [&rng] { return rng.bounded(2) ? "\r\n" : "\n"; };

            const bool withInfo = rng.bounded(2);
            if (withInfo) {
                for (const QByteArray &line : defaultInfo(end()).split('\n')) {
                    if (!line.isEmpty())
                        lines.append({0, line + '\n'});
                }
                decode(defaultInfo(), expected);
            }
            // A few regions in up to three 64 KiB areas, clear of the
            // information block.
            quint32 address = 0x1000 + 16 * rng.bounded(64);
            const int regions = rng.bounded(1, 6);
            for (int r = 0; r < regions; ++r) {
                const int records = rng.bounded(1, 12);
                for (int i = 0; i < records; ++i) {
                    const int size = rng.bounded(1, 33);
                    QByteArray bytes;
                    for (int k = 0; k < size; ++k)
                        bytes.append(char(rng.bounded(256)));
                    // Records do not cross a 64 KiB boundary.
                    if ((address & 0xFFFF) + quint32(size) > 0x10000)
                        address = (address & 0xFFFF0000u) + 0x10000;
                    QByteArray line = data(quint16(address & 0xFFFF), bytes, end());
                    if (rng.bounded(2))
                        line = line.toLower();
                    lines.append({quint16(address >> 16), line});
                    for (int k = 0; k < size; ++k)
                        expected.insert(address + quint32(k), quint8(bytes.at(k)));
                    address += quint32(size);
                }
                address += rng.bounded(2) ? 16 * rng.bounded(1, 40) : 0x10000 - 0x100;
            }
            std::shuffle(lines.begin(), lines.end(), rng);

            QByteArray input;
            for (const Line &line : lines)
                input += upper(line.upperBits, end()) + line.text;
            input += endOfFile;

            const QString file = path(QStringLiteral("random.hex"));
            QVERIFY(writeFile(file, input));
            QCOMPARE(sortHexFile(file), int(FirmwareFile::Ok));
            MemoryImage sorted;
            QVERIFY(decode(readFile(file), sorted));
            QVERIFY2(sorted == expected, qPrintable(QStringLiteral("run %1").arg(run)));

            FirmwareFile firmware;
            QCOMPARE(firmware.load(file, true),
                     withInfo ? FirmwareFile::Ok : FirmwareFile::NoFirmware);
            FirmwareFile reloaded;
            QCOMPARE(reloaded.load(file), firmware.getStatus());
        }
    }
};

QTEST_GUILESS_MAIN(TestSortHexFile)
#include "tst_sorthexfile.moc"

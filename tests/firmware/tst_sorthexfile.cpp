#include "firmwarefile.h"
#include "hextext.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

// Address -> byte, as a board would end up with it.
using Memory = QMap<quint32, quint8>;

bool decode(const QByteArray &content, Memory &memory)
{
    quint32 upperBits = 0;
    for (const QByteArray &line : content.split('\n')) {
        const FirmwareFile::HexRecord record = FirmwareFile::parseHexLine(line + '\n');
        if (line.isEmpty())
            break; // behind the last line end
        if (!record.valid)
            return false;
        if (record.type == 0x04)
            upperBits = quint8(record.data.at(0)) * 256u + quint8(record.data.at(1));
        for (int i = 0; record.type == 0 && i < record.data.size(); ++i)
            memory.insert(upperBits * 65536u + record.address + i, quint8(record.data.at(i)));
    }
    return true;
}

} // namespace

class TestSortHexFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private Q_SLOTS:
    void sort_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        const QByteArray a = data(0, "a"), b = data(0x10, "b"), c = data(0x20, "c");
        const QByteArray later = data(0x10, "B"), lfA = data(0, "a", "\n"),
                         lfB = data(0x10, "b", "\n");
        const QByteArray first = ":020000040000fa\r\n", second = ":020000040001f9\r\n";

        QTest::newRow("descending") << (c + b + a + eof) << (first + a + b + c + eof);
        QTest::newRow("two 64 KiB regions")
            << (upper(1) + c + upper(0) + b + upper(0) + a) << (first + a + b + second + c + eof);
        QTest::newRow("later duplicate wins") << (b + a + later) << (first + a + later + eof);
        QTest::newRow("mixed line ends") << (lfB + lfA) << (first + lfA + lfB + eof);
        QTest::newRow("checksum record dropped, records after end")
            << (a + eof + checksumRecord(0x42) + b) << (first + a + b + eof);
        QTest::newRow("no data records") << (upper(3) + eof + checksumRecord(0x11)) << eof;
    }

    void sort()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        const QString file = dir.filePath(QStringLiteral("sort.hex"));
        QVERIFY(writeFile(file, input));
        QCOMPARE(sortHexFile(file), int(FirmwareFile::Ok));
        QCOMPARE(readFile(file), output);
    }

    // Nothing may cost the user the original: neither a bad line nor a rewrite
    // that fails half-way (a name too long for the temporary file, a full disk).
    void failureLeavesFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<QByteArray>("bad");
        QTest::newRow("invalid line") << QString("a.hex") << 0 << QByteArray(":0100000001\r\n");
        QTest::newRow("no room for the temporary name") << QString(250, 'a') << 0 << QByteArray();
#ifdef Q_OS_UNIX
        QTest::newRow("disk full half-way") << QString("a.hex") << 1000 << QByteArray();
#endif
    }

    void failureLeavesFile()
    {
        QFETCH(QString, name);
        QFETCH(int, sizeLimit);
        QFETCH(QByteArray, bad);
        QTemporaryDir folder;
        const QString file = folder.filePath(name);
        QByteArray input;
        for (int i = 99; i >= 0; --i)
            input += data(quint16(16 * i), QByteArray(16, char(i)));
        QVERIFY(writeFile(file, input + bad));
        QCOMPARE(withFileSizeLimit(sizeLimit, [&] { return sortHexFile(file); }),
                 int(bad.isEmpty() ? FirmwareFile::AccessDenied : FirmwareFile::InvalidData));
        QCOMPARE(readFile(file), input + bad);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
    }

    // Any valid file, in any order, describes the same memory after sorting,
    // and stamping it then gives a file the tool accepts.
    void sortingKeepsMemory()
    {
        QRandomGenerator rng(20150212);
        const QString file = dir.filePath(QStringLiteral("random.hex"));
        for (int run = 0; run < 100; ++run) {
            const auto end = [&rng] { return rng.bounded(2) ? "\r\n" : "\n"; };
            QVector<QByteArray> lines{upper(0) + defaultInfo(end())}; // each led by its 0x04 record
            quint32 address = 0x1000;
            for (int i = rng.bounded(1, 40); i > 0; --i) {
                QByteArray bytes(rng.bounded(1, 33), '\0');
                for (char &byte : bytes)
                    byte = char(rng.bounded(256));
                // Now and then another 64 KiB region; no record crosses into one.
                if (rng.bounded(8) == 0 || (address & 0xFFFF) + bytes.size() > 0x10000)
                    address = (address & 0xFFFF0000u) + 0x10000;
                const QByteArray line = data(quint16(address), bytes, end());
                lines.append(upper(quint16(address >> 16), end()) +
                             (rng.bounded(2) ? line.toLower() : line));
                address += bytes.size() + 16 * rng.bounded(2); // a gap or none
            }
            std::shuffle(lines.begin(), lines.end(), rng);
            const QByteArray input = lines.toList().join() + eof;

            Memory expected, sorted;
            QVERIFY(writeFile(file, input) && decode(input, expected));
            QCOMPARE(sortHexFile(file), int(FirmwareFile::Ok));
            QVERIFY(decode(readFile(file), sorted));
            QVERIFY2(sorted == expected, qPrintable(QStringLiteral("run %1").arg(run)));
            QCOMPARE(FirmwareFile().load(file, true), FirmwareFile::Ok);
            QCOMPARE(FirmwareFile().load(file), FirmwareFile::Ok);
        }
    }
};

QTEST_GUILESS_MAIN(TestSortHexFile)
#include "tst_sorthexfile.moc"

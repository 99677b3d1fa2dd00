#include "firmwarefile.h"
#include "hextext.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

inline QByteArray segment(quint16 segment, const char *end = "\r\n")
{
    return hexRecord(0x02, 0, QByteArray(1, char(segment >> 8)) + char(segment)) + end;
}

// A record the sort moved to another 16-bit address: rebuilt in lower case.
inline QByteArray moved(quint16 address, const QByteArray &bytes, const char *end = "\r\n")
{
    return hexRecord(0x00, address, bytes).toLower() + end;
}

// A Python that can import intelhex, the independent reader of the tests.
QString intelHexPython()
{
    for (const char *python : {"python3", "/usr/bin/python3"}) {
        if (runProcess(QString::fromLatin1(python), {"-c", "import intelhex"}).code == 0)
            return QString::fromLatin1(python);
    }
    return QString();
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

        // A line without its end is given CR LF, or the next line would be glued on.
        const QByteArray ones = data(0x10, QByteArray(16, 0x11), ""),
                         twos = data(0, QByteArray(16, 0x22), "");
        QTest::newRow("unended line sorted first")
            << (ones + "\r\n" + twos) << (first + twos + "\r\n" + ones + "\r\n" + eof);
        QTest::newRow("unended line sorted last")
            << (a + data(0x10, "b", "")) << (first + a + b + eof);
        // Data under 0x02 records goes to segment * 16 + address, under 0x04 records.
        QTest::newRow("segments at the same 16-bit address")
            << (segment(0x2000) + a + segment(0x1000) + a)
            << (second + a + ":020000040002f8\r\n" + a + eof);
        QTest::newRow("segment not on 64 KiB")
            << (segment(0x3E00) + data(0x1FF0, "x") + segment(0x3E00, "\n") + data(0, "y", "\n"))
            << (":020000040003f7\r\n" + moved(0xE000, "y", "\n") + moved(0xFFF0, "x") + eof);
        QTest::newRow("moved empty record keeps 13 bytes")
            << (segment(0x100, "\n") + data(0x20, "", "  \n")) << (first + moved(0x1020, "") + eof);
        QTest::newRow("the last of 0x02 and 0x04 counts")
            << (segment(0x3E00) + upper(0) + a + upper(5) + segment(0x100) + b)
            << (first + a + moved(0x1010, "b") + eof);
        QTest::newRow("LF-only file") << (lfA + ":00000001FF\n") << (first + lfA + eof);
        const QByteArray sixteen = data(0, QByteArray(16, 'a')), inside = data(8, "zz");
        QTest::newRow("overlap keeps its winner")
            << (sixteen + inside) << (first + sixteen + inside + eof);
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
        QTest::addColumn<int>("result");
        const int invalid = FirmwareFile::InvalidData, denied = FirmwareFile::AccessDenied;
        const QString name("a.hex");
        QTest::newRow("invalid line") << name << 0 << QByteArray(":0100000001\r\n") << invalid;
        QTest::newRow("LF-only record other than end of file")
            << name << 0 << QByteArray(":00000005FB\n") << invalid;
        QTest::newRow("no room for the temporary name")
            << QString(250, 'a') << 0 << QByteArray() << denied;
#ifdef Q_OS_UNIX
        QTest::newRow("disk full half-way") << name << 1000 << QByteArray() << denied;
#endif
        // The rewrite would not hold what the file holds: a later record at the
        // same address is shorter, or the winner of an overlap changes.
        QTest::newRow("shorter record replaces") << name << 0 << data(0x10, "z") << denied;
        QTest::newRow("overlap changes its winner") << name << 0 << data(0x0F, "zz") << denied;
    }

    void failureLeavesFile()
    {
        QFETCH(QString, name);
        QFETCH(int, sizeLimit);
        QFETCH(QByteArray, bad);
        QFETCH(int, result);
        QTemporaryDir folder;
        const QString file = folder.filePath(name);
        QByteArray input;
        for (int i = 99; i >= 0; --i)
            input += data(quint16(16 * i), QByteArray(16, char(i)));
        QVERIFY(writeFile(file, input + bad));
        QCOMPARE(withFileSizeLimit(sizeLimit, [&] { return sortHexFile(file); }), result);
        QCOMPARE(readFile(file), input + bad);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
    }

    // Any valid file, in any order, under 0x02 and 0x04 records, describes the
    // same memory after sorting, as an independent reader sees it, and stamping
    // it then gives a file the tool accepts.
    void sortingKeepsMemory()
    {
        QRandomGenerator rng(20150212);
        QTemporaryDir folder;
        QStringList pairs;
        for (int run = 0; run < 100; ++run) {
            const auto end = [&rng] { return rng.bounded(2) ? "\r\n" : "\n"; };
            QVector<QByteArray> lines{upper(0) + defaultInfo(end())}; // each led by its base
            quint32 address = 0x1000;
            for (int i = rng.bounded(1, 40); i > 0; --i) {
                QByteArray bytes(rng.bounded(1, 33), '\0');
                for (char &byte : bytes)
                    byte = char(rng.bounded(256));
                // Now and then another 64 KiB region; no record crosses into one.
                if (rng.bounded(8) == 0 || (address & 0xFFFF) + bytes.size() > 0x10000)
                    address = (address & 0xFFFF0000u) + 0x10000;
                // A segment reaches 1 MiB and a bit; its offset may be anything
                // that keeps the record inside it.
                QByteArray base = upper(quint16(address >> 16), end());
                quint32 offset = address & 0xFFFF;
                if (address < 0x100000 && rng.bounded(2)) {
                    const quint32 room = qMin<quint32>(address, 0xFFFF - bytes.size()) / 16;
                    const quint32 seg = (address / 16) - rng.bounded(room + 1);
                    base = segment(quint16(seg), end());
                    offset = address - seg * 16;
                }
                const QByteArray line = data(quint16(offset), bytes, end());
                lines.append(base + (rng.bounded(2) ? line.toLower() : line));
                address += bytes.size() + 16 * rng.bounded(2); // a gap or none
            }
            std::shuffle(lines.begin(), lines.end(), rng);
            QByteArray input = lines.toList().join();
            const int ending = rng.bounded(3);
            if (ending == 0)
                input += eof;
            else if (ending == 1)
                input += ":00000001FF\n";
            else
                input.chop(input.endsWith("\r\n") ? 2 : 1); // no end-of-file record, nor line end

            const QString in = folder.filePath(QStringLiteral("%1.in.hex").arg(run));
            const QString out = folder.filePath(QStringLiteral("%1.out.hex").arg(run));
            QVERIFY(writeFile(in, input) && writeFile(out, input));
            QCOMPARE(sortHexFile(out), int(FirmwareFile::Ok));
            QCOMPARE(FirmwareFile().load(out, true), FirmwareFile::Ok);
            QCOMPARE(FirmwareFile().load(out), FirmwareFile::Ok);
            // The reader takes no checksum record, and none was there before.
            const QByteArray stampedText = readFile(out);
            QVERIFY(writeFile(out, stampedText.left(stampedText.lastIndexOf(':'))));
            pairs << in << out;
        }

        const QString python = intelHexPython();
        if (python.isEmpty())
            QSKIP("python3-intelhex is not installed (apt-get install python3-intelhex)");
        const Ran reader = runProcess(
            python, QStringList{"-c", "import sys\n"
                                      "from intelhex import IntelHex\n"
                                      "def image(name):\n"
                                      "    d = IntelHex(name).todict()\n"
                                      "    d.pop('start_addr', None)\n"
                                      "    return d\n"
                                      "for i in range(1, len(sys.argv), 2):\n"
                                      "    if image(sys.argv[i]) != image(sys.argv[i + 1]):\n"
                                      "        print(sys.argv[i])\n"} +
                        pairs);
        QVERIFY2(reader.code == 0, reader.err.constData());
        QCOMPARE(reader.out, QByteArray());
        QVERIFY(!pairs.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSortHexFile)
#include "tst_sorthexfile.moc"

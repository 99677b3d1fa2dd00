#include "firmwarefile.h"
#include "hextext.h"
#include "stamphexfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

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
            << (segment(0x100, "\n") + data(0x20, "", "\n")) << (first + moved(0x1020, "") + eof);
        QTest::newRow("the last of 0x02 and 0x04 counts")
            << (segment(0x3E00) + upper(0) + a + upper(5) + segment(0x100) + b)
            << (first + a + moved(0x1010, "b") + eof);
        QTest::newRow("LF-only file") << (lfA + ":00000001FF\n") << (first + lfA + eof);
        QTest::newRow("end-of-file last line without line end")
            << (a + ":00000001FF") << (first + a + eof);
        QTest::newRow("empty lines") << ("\r\n" + a + "\n\r\n" + b) << (first + a + b + eof);
        QTest::newRow("zero padding after end of file")
            << (a + eof + QByteArray(5, '\0') + "\n" + b + QByteArray(9, '\0'))
            << (first + a + b + eof);
        // Loading for an update takes no line shorter than 13 bytes.
        QTest::newRow("empty record with LF alone")
            << (a + data(0x10, "", "\n")) << (first + a + moved(0x10, "") + eof);
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

    // Nothing may cost the user the original: neither a line that standard
    // readers refuse or read otherwise, nor a rewrite that would change the data
    // or fails half-way (a name too long for the temporary file, a full disk).
    // The user is told why, never that a permission is missing where none is.
    void failureLeavesFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("text");
        const int invalid = FirmwareFile::InvalidData, denied = FirmwareFile::AccessDenied;
        const QString name("a.hex"), invalidText("Firmware file contains invalid data");
        const QByteArray record = hexRecord(0x00, 0x2000, "abc");
        const auto row = [&](const char *tag, const QByteArray &bad) {
            QTest::newRow(tag) << name << 0 << bad << invalid << invalidText;
        };
        row("record checksum wrong", ":0100000001FF\r\n");
        // Counted as 0, the missing digits make the checksum come out right.
        row("fewer digits than the byte count", ":04001000AB41\r\n");
        row("no digit, counted as 0", ":01001000G0EF\r\n");
        row("a digit after the checksum", record + "0\r\n");
        row("a bar after the checksum", record + "|\r\n");
        row("a record glued on after a lone CR", record + "\r" + data(0x3000, "d"));
        row("a CR alone at the end", record + "\r");
        row("0x04 record of 4 bytes", hexRecord(0x04, 0, QByteArray(4, '\0')) + "\r\n");
        row("0x02 record of 1 byte", hexRecord(0x02, 0, "\x10") + "\r\n");
        row("0x04 record at address 0x0010", hexRecord(0x04, 0x10, QByteArray(2, '\0')) + "\r\n");
        row("0x02-based record crossing 0xFFFF",
            segment(0x1000) + data(0xFFF8, QByteArray(16, 'x')));
        row("end-of-file record with data", hexRecord(0x01, 0, "x") + "\r\n");
        row("zero bytes before the end of file", QByteArray(3, '\0') + "\r\n" + eof);
        // Linux writes the rewrite as an unnamed file and fails only when it takes its name;
        // elsewhere making the named temporary file fails, and the system's reason follows.
        QTest::newRow("no room for the temporary name")
            << QString(250, 'a') << 0 << QByteArray() << denied
#ifdef Q_OS_LINUX
            << "The file was left unchanged: its rewrite could not be put in its place";
#else
            << "The file was left unchanged: writing its rewrite failed (";
#endif
#ifdef Q_OS_UNIX
        QTest::newRow("disk full half-way")
            << name << 1000 << QByteArray() << denied
            << "The file was left unchanged: writing its rewrite failed (File too large)";
#endif
        // The rewrite would not hold what the file holds: a later record at the
        // same address is shorter, or the winner of an overlap changes.
        const QString overlap("The file was left unchanged: its data records overlap, and "
                              "sorted by address they would hold other data");
        QTest::newRow("shorter record replaces")
            << name << 0 << data(0x10, "z") << denied << overlap;
        QTest::newRow("overlap changes its winner")
            << name << 0 << data(0x0F, "zz") << denied << overlap;
    }

    void failureLeavesFile()
    {
        QFETCH(QString, name);
        QFETCH(int, sizeLimit);
        QFETCH(QByteArray, bad);
        QFETCH(int, result);
        QFETCH(QString, text);
        QTemporaryDir folder;
        const QString file = folder.filePath(name);
        QByteArray input;
        for (int i = 99; i >= 0; --i)
            input += data(quint16(16 * i), QByteArray(16, char(i)));
        QVERIFY(writeFile(file, input + bad));
        const StampResult stamped =
            withFileSizeLimit(sizeLimit, [&] { return stampHexFile(file); });
        QCOMPARE(stamped.status, result);
        QCOMPARE(text.endsWith('(') ? stamped.text.left(text.size()) : stamped.text, text);
        QVERIFY(!stamped.rewritten);
        QCOMPARE(readFile(file), input + bad);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
    }
};

QTEST_GUILESS_MAIN(TestSortHexFile)
#include "tst_sorthexfile.moc"

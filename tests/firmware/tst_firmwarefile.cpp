#include "firmwarefile.h"
#include "hextext.h"
#include "simhex.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

// The file checksum as the boards compute it, apart from the reader under test.
const auto checksumOf = zelsim::hex::fileChecksum;

class TestFirmwareFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }

private Q_SLOTS:
    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<FirmwareFile::Status>("expected");
        const QByteArray info = defaultInfo(), code = data(0x900, QByteArray(16, 1));
        const QByteArray body = info + code + eof, nul("\0:garbage\r\n", 11);
        using F = FirmwareFile;

        QTest::newRow("stamped with info") << stamped(body) << F::Ok;
        QTest::newRow("lower case digits") << stamped(body.toLower()) << F::Ok;
        QTest::newRow("end of file, LF only") << stamped(info + ":00000001FF\n") << F::InvalidData;
        QTest::newRow("last line of 11 characters") << (info + ":00000001FF") << F::InvalidData;
        QTest::newRow("CR LF line") << stamped(info + "\r\n" + eof) << F::InvalidData;
        QTest::newRow("CR LF line after end") << (stamped(body) + "\r\n") << F::InvalidData;
        QTest::newRow("NUL line skipped")
            << (info + nul + code + eof + checksumRecord(checksumOf(body))) << F::Ok;
        QTest::newRow("empty file") << QByteArray() << F::Corrupted;
        QTest::newRow("checksum wrong")
            << (body + checksumRecord(checksumOf(body) ^ 1)) << F::Corrupted;
        QTest::newRow("short checksum record")
            << (body + hexRecord(0x80, 0, "\x01") + "\r\n") << F::Corrupted;
        QTest::newRow("no information block") << stamped(code + eof) << F::NoFirmware;
        QTest::newRow("info block after end of file") << (stamped(eof) + info) << F::Ok;
        QTest::newRow("overlap") << stamped(info + code + data(0x90F, "x") + eof)
                                 << F::InvalidOrder;
        QTest::newRow("equal start and previous end, gap")
            << stamped(info + code + data(0x910, "x") + data(0x2000, "y") + eof) << F::Ok;
        QTest::newRow("below previous end across 0x04")
            << stamped(info + upper(1) + data(0x1000, "x") + upper(0) + data(0x2000, "y") + eof)
            << F::InvalidOrder;
        QTest::newRow("order after end of file")
            << (stamped(body) + data(0x100, "x")) << F::InvalidOrder;
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(FirmwareFile::Status, expected);
        QVERIFY(writeFile(path("load.hex"), content));
        FirmwareFile firmware;
        QCOMPARE(firmware.load(path("load.hex")), expected);
        QCOMPARE(firmware.getStatus(), expected);
        QCOMPARE(readFile(path("load.hex")), content); // never writes unasked
    }

    void reloadReplacesEverything()
    {
        QVERIFY(writeFile(path("first.hex"), stamped(defaultInfo() + eof)));
        QVERIFY(writeFile(path("second.hex"), stamped(data(0x900, "x") + eof)));
        FirmwareFile firmware;
        QCOMPARE(firmware.load(path("first.hex")), FirmwareFile::Ok);
        QCOMPARE(firmware.load(path("second.hex")), FirmwareFile::NoFirmware);
        QCOMPARE(firmware.displayName(), QStringLiteral("-.hex ()")); // nothing stale
        QCOMPARE(firmware.load(path("missing.hex")), FirmwareFile::AccessDenied);
        QCOMPARE(firmware.statusText(), QStringLiteral("File access denied"));
        QCOMPARE(FirmwareFile::statusText(7), QStringLiteral("Unknown state"));
    }

    void stamp_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<FirmwareFile::Status>("expected");
        QTest::addColumn<QByteArray>("appended");
        // The file checksums: 0xDA of body, 0x7A of eof alone, 0x3A of info + unended + CR LF.
        const QByteArray info = defaultInfo(), body = info + eof, unended = ":00000001FFXX";
        const QByteArray line = ":0200008000daa4\n";
        using F = FirmwareFile;
        QTest::newRow("with info block") << body << 0 << F::Ok << line;
        // The record goes in before the information block is looked at.
        QTest::newRow("without info block")
            << eof << 0 << F::NoFirmware << QByteArray(":02000080007a04\n");
        QTest::newRow("already stamped")
            << (body + checksumRecord(checksumOf(body) + 1)) << 0 << F::Corrupted << QByteArray();
        // The record gets a line of its own, whatever the last line lacks.
        QTest::newRow("last line without line end")
            << (body + unended) << 0 << F::Ok << "\r\n" + line;
        QTest::newRow("end-of-file line without line end")
            << (info + unended) << 0 << F::Ok << QByteArray("\r\n:02000080003a44\n");
        // Without an end-of-file record the new record would count into its own
        // checksum: it is taken back.
        QTest::newRow("no end-of-file record") << info << 0 << F::Corrupted << QByteArray();
#ifdef Q_OS_UNIX
        // Root writes anywhere, but a full disk leaves no half record behind either.
        QTest::newRow("disk full") << body << body.size() + 4 << F::WriteDenied << QByteArray();
#endif
    }

    void stamp()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, sizeLimit);
        QFETCH(FirmwareFile::Status, expected);
        QFETCH(QByteArray, appended);
        QVERIFY(!content.isEmpty() && writeFile(path("stamp.hex"), content));
        FirmwareFile firmware;
        QCOMPARE(
            withFileSizeLimit(sizeLimit, [&] { return firmware.load(path("stamp.hex"), true); }),
            expected);
        QCOMPARE(readFile(path("stamp.hex")), content + appended);
        if (!appended.isEmpty())
            QCOMPARE(FirmwareFile().load(path("stamp.hex")), expected);
    }

    // Files that are not read whole are refused, by loading and sorting alike,
    // and left as they are.
    void unreadable_data()
    {
        QTest::addColumn<QString>("file"); // empty: a sparse file of `size` bytes
        QTest::addColumn<qint64>("size");
        QTest::addColumn<FirmwareFile::Status>("loaded");
        QTest::addColumn<int>("sorted");
        const qint64 limit = 64 * 1024 * 1024;
        using F = FirmwareFile;
        QTest::newRow("exactly 64 MiB") << QString() << limit << F::Corrupted << int(F::Ok);
        QTest::newRow("one byte more") << QString() << limit + 1 << F::InvalidData << 1;
        QTest::newRow("2 GiB") << QString() << (qint64(2) << 30) << F::InvalidData << 1;
        QTest::newRow("4 GiB and a bit")
            << QString() << (qint64(4) << 30) + 13 << F::InvalidData << 1;
#ifdef Q_OS_LINUX
        QTest::newRow("the read fails") << "/proc/self/mem" << qint64(0) << F::AccessDenied << 1;
        QTest::newRow("shorter than its size")
            << "/sys/devices/system/cpu/online" << qint64(0) << F::AccessDenied << 1;
#endif
    }

    void unreadable()
    {
        QFETCH(QString, file);
        QFETCH(qint64, size);
        QFETCH(FirmwareFile::Status, loaded);
        QFETCH(int, sorted);
        // Zero bytes after the end-of-file record are padding.
        const QByteArray head = data(0x10, "a") + eof + QByteArray(1, '\0');
        if (file.isEmpty()) {
            file = path("big.hex");
            QVERIFY(writeFile(file, head) && QFile::resize(file, size));
        } else if (!QFile::exists(file)) {
            QSKIP("not on this system");
        }
        QCOMPARE(FirmwareFile().load(file), loaded);
        QCOMPARE(FirmwareFile::isTooLarge(file), loaded == FirmwareFile::InvalidData);
        QCOMPARE(sortHexFile(file), sorted);
        if (!file.startsWith(dir.path()))
            return;
        if (sorted == FirmwareFile::Ok) { // the NUL padding is no line
            QCOMPARE(readFile(file), ":020000040000fa\r\n" + data(0x10, "a") + eof);
        } else {
            QFile big(file);
            QVERIFY(big.open(QIODevice::ReadOnly));
            QCOMPARE(big.size(), size);
            QCOMPARE(big.read(head.size()), head);
        }
        QFile::remove(file);
    }

    // The committed images are what the generator makes of them now, byte for byte.
    void builtInImagesRegenerate()
    {
        QTemporaryDir out;
        QCOMPARE(runProcess(QStringLiteral(MKFIRMWARE), {out.path()}).code, 0);
        for (const char *image : {"pbase", "pctrl", "pkeys"}) {
            const QByteArray made = readFile(out.filePath(image));
            QVERIFY2(
                !made.isEmpty() &&
                    made == readFile(QStringLiteral(ZEL_SOURCE_DIR "/resources/firmware/") + image),
                image);
        }
    }
};

QTEST_GUILESS_MAIN(TestFirmwareFile)
#include "tst_firmwarefile.moc"

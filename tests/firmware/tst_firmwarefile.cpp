#include "firmwarefile.h"
#include "hextext.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace hextext;

class TestFirmwareFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void parseHexLine_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("upper case")
            << QByteArray(":02123400ABCD40\r\n") << true << QByteArray("\xAB\xCD");
        QTest::newRow("lower case")
            << QByteArray(":02123400abcd40\r\n") << true << QByteArray("\xAB\xCD");
        QTest::newRow("no line end")
            << QByteArray(":02123400ABCD40") << true << QByteArray("\xAB\xCD");
        QTest::newRow("record checksum wrong")
            << QByteArray(":02123400ABCD41\r\n") << false << QByteArray("\xAB\xCD");
        // A non-hex character reads as 0; only the record checksum can catch it.
        QTest::newRow("non-hex digit as zero")
            << QByteArray(":02123400AGCD40\r\n") << false << QByteArray("\xA0\xCD");
        QTest::newRow("non-hex digit balanced")
            << QByteArray(":02123400AGCD4B\r\n") << true << QByteArray("\xA0\xCD");
        // Past the end of the line everything reads as '0'.
        QTest::newRow("cut short")
            << QByteArray(":02000000FE\r\n") << true << QByteArray("\xFE\x00", 2);
        QTest::newRow("12 bytes") << QByteArray(":00000001FF\n") << false << QByteArray();
        QTest::newRow("no colon") << QByteArray("00000001FF\r\n\r\n") << false << QByteArray();
    }

    void parseHexLine()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, valid);
        QFETCH(QByteArray, bytes);

        const FirmwareFile::HexRecord record = FirmwareFile::parseHexLine(line);
        QCOMPARE(record.valid, valid);
        if (bytes.isEmpty()) {
            QVERIFY(record.data.isEmpty());
            return;
        }
        QCOMPARE(record.byteCount, quint8(2));
        QCOMPARE(record.address, quint16(line.at(3) == '1' ? 0x1234 : 0));
        QCOMPARE(record.type, quint8(0));
        QCOMPARE(record.data, bytes);
    }

    void fileChecksum_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("checksum");
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("abc") << QByteArray("abc") << 0x1F;
    }

    void fileChecksum()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, checksum);
        QCOMPARE(int(FirmwareFile::fileChecksum(text)), checksum);
    }

    void lineEndsCount()
    {
        // The same records with other line ends are another file to the boards.
        const QByteArray crlf = data(0x900, filler(16, 1));
        const QByteArray lf = data(0x900, filler(16, 1), "\n");
        QVERIFY(FirmwareFile::fileChecksum(crlf) != FirmwareFile::fileChecksum(lf));
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("expected");

        const QByteArray info = defaultInfo();
        const QByteArray code = data(0x900, filler(16, 1)) + data(0x910, filler(16, 2));
        const QByteArray body = info + code + endOfFile;

        QTest::newRow("stamped with info") << stamped(body) << int(FirmwareFile::Ok);
        QTest::newRow("lower case digits") << stamped(body.toLower()) << int(FirmwareFile::Ok);
        QTest::newRow("LF data lines")
            << stamped(defaultInfo("\n") + endOfFile) << int(FirmwareFile::Ok);
        QTest::newRow("end of file with LF only")
            << stamped(info + ":00000001FF\n") << int(FirmwareFile::InvalidData);
        QTest::newRow("last line of 11 characters")
            << (info + ":00000001FF") << int(FirmwareFile::InvalidData);
        QTest::newRow("CR LF line before end")
            << stamped(info + "\r\n" + endOfFile) << int(FirmwareFile::InvalidData);
        QTest::newRow("CR LF line after end")
            << (stamped(body) + "\r\n") << int(FirmwareFile::InvalidData);
        QTest::newRow("LF line") << stamped(info + "\n" + endOfFile)
                                 << int(FirmwareFile::InvalidData);
        QTest::newRow("NUL line skipped")
            << (info + QByteArray("\0:garbage\r\n", 11) + code + endOfFile +
                checksumRecord(FirmwareFile::fileChecksum(body)))
            << int(FirmwareFile::Ok);
        QTest::newRow("empty file") << QByteArray() << int(FirmwareFile::Corrupted);
        QTest::newRow("no checksum record") << body << int(FirmwareFile::Corrupted);
        QTest::newRow("checksum wrong")
            << (body + checksumRecord(FirmwareFile::fileChecksum(body) ^ 1))
            << int(FirmwareFile::Corrupted);
        QTest::newRow("no information block")
            << stamped(code + endOfFile) << int(FirmwareFile::NoFirmware);
        QTest::newRow("no build date")
            << stamped(infoBlock("PKEYS", "v1.9", "") + endOfFile) << int(FirmwareFile::NoFirmware);
        QTest::newRow("no version") << stamped(infoBlock("PKEYS", "", "Dec 03 2014") + endOfFile)
                                    << int(FirmwareFile::NoFirmware);
        QTest::newRow("overlap") << stamped(info + data(0x900, filler(16, 1)) +
                                            data(0x90F, filler(4, 2)) + endOfFile)
                                 << int(FirmwareFile::InvalidOrder);
        QTest::newRow("descending")
            << stamped(info + data(0x910, filler(16, 1)) + data(0x900, filler(16, 2)) + endOfFile)
            << int(FirmwareFile::InvalidOrder);
        QTest::newRow("equal start and previous end, gap")
            << stamped(info + data(0x900, filler(16, 1)) + data(0x910, filler(3, 2)) +
                       data(0x2000, filler(16, 3)) + endOfFile)
            << int(FirmwareFile::Ok);
        QTest::newRow("below previous end across 0x04")
            << stamped(info + upper(1) + data(0x0000, filler(16, 1)) + upper(0) +
                       data(0x2000, filler(16, 2)) + endOfFile)
            << int(FirmwareFile::InvalidOrder);
        QTest::newRow("above 64 KiB through 0x04")
            << stamped(info + upper(1) + data(0x0000, filler(16, 1)) + upper(2) +
                       data(0x0000, filler(16, 2)) + endOfFile)
            << int(FirmwareFile::Ok);
        QTest::newRow("info block above 64 KiB is no info block")
            << stamped(upper(1) + info + endOfFile) << int(FirmwareFile::NoFirmware);
        // An extended segment address record moves nothing: the info block
        // behind it is still found at 0x800.
        QTest::newRow("types 02 03 05 without effect")
            << stamped(record(0x02, 0, QByteArray("\x10\x00", 2)) + "\r\n" +
                       record(0x03, 0, QByteArray("\0\0\x12\x34", 4)) + "\r\n" +
                       record(0x05, 0, QByteArray("\0\0\x12\x34", 4)) + "\r\n" + info + endOfFile)
            << int(FirmwareFile::Ok);
        QTest::newRow("first failing line wins: order")
            << stamped(info + data(0x910, filler(16, 1)) + data(0x900, filler(16, 2)) +
                       ":0100000000\r\n" + endOfFile)
            << int(FirmwareFile::InvalidOrder);
        QTest::newRow("first failing line wins: data")
            << stamped(info + ":0100000000\r\n" + data(0x910, filler(16, 1)) +
                       data(0x900, filler(16, 2)) + endOfFile)
            << int(FirmwareFile::InvalidData);
        QTest::newRow("order checked after end of file")
            << (stamped(info + data(0x900, filler(16, 1)) + endOfFile) + data(0x100, filler(16, 2)))
            << int(FirmwareFile::InvalidOrder);
        QTest::newRow("info block after end of file")
            << (stamped(endOfFile) + info) << int(FirmwareFile::Ok);
        QTest::newRow("short checksum record")
            << (body + record(0x80, 0, "\x01") + "\r\n") << int(FirmwareFile::Corrupted);
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, expected);

        const QString file = path(QStringLiteral("load.hex"));
        QVERIFY(writeFile(file, content));
        FirmwareFile firmware;
        QCOMPARE(int(firmware.load(file)), expected);
        QCOMPARE(int(firmware.getStatus()), expected);
        // Loading never writes without being asked to.
        QCOMPARE(readFile(file), content);
    }

    void keptText_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("hexText");

        const QByteArray info = defaultInfo();
        const QByteArray typeTwo = record(0x02, 0, QByteArray("\x10\x00", 2)) + "\r\n";
        QTest::newRow("up to the end of file")
            << (stamped(info + endOfFile) + info) << (info + endOfFile);
        QTest::newRow("records of other types kept")
            << stamped(typeTwo + info + endOfFile) << (typeTwo + info + endOfFile);
        QTest::newRow("failing line included")
            << (info + ":0100000000\r\n" + endOfFile) << (info + ":0100000000\r\n");
        QTest::newRow("NUL line left out")
            << (info + QByteArray("\0\r\n", 3) + endOfFile) << (info + endOfFile);
        QTest::newRow("no end of file record") << info << info;
    }

    void keptText()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, hexText);

        const QString file = path(QStringLiteral("kept.hex"));
        QVERIFY(writeFile(file, content));
        FirmwareFile firmware;
        firmware.load(file);
        QCOMPARE(firmware.getHexText(), hexText);
    }

    void informationBlock_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("familyCode");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("buildDate");

        QTest::newRow("built like the images")
            << infoBlock("PKEYS", "v1.9", "Dec 03 2014 11:27:40") << "PKEYS"
            << "v1.9"
            << "Dec 03 2014 11:27:40";
        // Bytes 2 and 3 of each group carry no text, zero or not.
        QTest::newRow("padding bytes ignored")
            << (data(0x800, "PBxxASxxE\0xx\0\0\0\0\0", "\r\n") +
                data(0x840, QByteArray("v3\xFF\xFF.3\x01\x02\0\0\0\0\0\0\0\0", 16)) +
                data(0x880, QByteArray("Fe??b ??1\0", 10)))
            << "PBASE"
            << "v3.3"
            << "Feb 1";
        // Each record's text ends at its first zero; the next record goes on.
        QTest::newRow("records concatenated")
            << (data(0x800, QByteArray("PC\0\0T\0\0\0", 8)) + data(0x808, "RL") +
                data(0x840, "v2") + data(0x860, ".4") + data(0x8BE, "Ja"))
            << "PCTRL"
            << "v2.4"
            << "Ja";
        QTest::newRow("UTF-8") << (data(0x800, "PK") + data(0x840, "v1") + data(0x880, "\xC3\xBC"))
                               << "PK"
                               << "v1" << QStringLiteral("\u00FC");
        // Only the start address of a record decides where its text goes.
        QTest::newRow("record reaching into the next range")
            << (data(0x7F8, filler(8, 1)) + data(0x830, QByteArray(16, 'A')) + data(0x840, "v1") +
                data(0x880, "Ma"))
            << "AAAAAAAA"
            << "v1"
            << "Ma";
    }

    void informationBlock()
    {
        QFETCH(QByteArray, block);
        QFETCH(QString, familyCode);
        QFETCH(QString, version);
        QFETCH(QString, buildDate);

        const QString file = path(QStringLiteral("info.hex"));
        QVERIFY(writeFile(file, stamped(block + endOfFile)));
        FirmwareFile firmware;
        QCOMPARE(firmware.load(file), FirmwareFile::Ok);
        QCOMPARE(firmware.getFamilyCode(), familyCode);
        QCOMPARE(firmware.getVersion(), version);
        QCOMPARE(firmware.getBuildDate(), buildDate);
        QCOMPARE(firmware.displayName(),
                 QStringLiteral("%1-%2.hex (%3)").arg(familyCode, version, buildDate));
    }

    void reloadReplacesEverything()
    {
        const QString first = path(QStringLiteral("first.hex"));
        const QString second = path(QStringLiteral("second.hex"));
        QVERIFY(writeFile(first, stamped(defaultInfo() + endOfFile)));
        QVERIFY(writeFile(second, stamped(data(0x900, filler(16, 1)) + endOfFile)));

        FirmwareFile firmware;
        QCOMPARE(firmware.getStatus(), FirmwareFile::AccessDenied);
        QCOMPARE(firmware.getChecksum(), quint8(0));
        QCOMPARE(firmware.load(first), FirmwareFile::Ok);
        QCOMPARE(firmware.load(second), FirmwareFile::NoFirmware);
        QVERIFY(firmware.getFamilyCode().isEmpty());
        QVERIFY(firmware.getBuildDate().isEmpty());
        QCOMPARE(firmware.getHexText(), data(0x900, filler(16, 1)) + endOfFile);

        // A failed open only changes the status.
        QCOMPARE(firmware.load(first), FirmwareFile::Ok);
        const quint8 checksum = firmware.getChecksum();
        QCOMPARE(firmware.load(path(QStringLiteral("missing.hex"))), FirmwareFile::AccessDenied);
        QCOMPARE(firmware.getStatus(), FirmwareFile::AccessDenied);
        QCOMPARE(firmware.getFamilyCode(), QStringLiteral("PKEYS"));
        QCOMPARE(firmware.getChecksum(), checksum);
    }

    void stamp_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("reloaded");
        QTest::newRow("with info block")
            << (defaultInfo() + endOfFile) << int(FirmwareFile::Ok) << int(FirmwareFile::Ok);
        // The checksum record is appended before the information block is
        // looked at.
        QTest::newRow("without info block")
            << (data(0x900, filler(16, 3)) + endOfFile) << int(FirmwareFile::NoFirmware)
            << int(FirmwareFile::NoFirmware);
        // Without an end-of-file record the appended record itself joins the
        // text on the next load, so the file never matches its checksum.
        QTest::newRow("no end of file record")
            << defaultInfo() << int(FirmwareFile::Ok) << int(FirmwareFile::Corrupted);
    }

    void stamp()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, expected);
        QFETCH(int, reloaded);

        const QString file = path(QStringLiteral("stamp.hex"));
        QVERIFY(writeFile(file, body));
        FirmwareFile firmware;
        QCOMPARE(int(firmware.load(file, true)), expected);
        const quint8 c = FirmwareFile::fileChecksum(body);
        QCOMPARE(firmware.getChecksum(), c);
        const QByteArray line = QStringLiteral(":0200008000%1%2\n")
                                    .arg(c, 2, 16, QLatin1Char('0'))
                                    .arg(quint8(0x7E - c), 2, 16, QLatin1Char('0'))
                                    .toLatin1();
        QCOMPARE(readFile(file), body + line);

        FirmwareFile again;
        QCOMPARE(int(again.load(file)), reloaded);
        QCOMPARE(again.getChecksum(), c);
    }

    void stampLineIsLowerCase()
    {
        // Tune one data byte until the file checksum is 0x3D.
        QByteArray body;
        for (int b = 0; b < 256; ++b) {
            body = defaultInfo() + data(0x900, QByteArray(1, char(b))) + endOfFile;
            if (FirmwareFile::fileChecksum(body) == 0x3D)
                break;
        }
        QCOMPARE(int(FirmwareFile::fileChecksum(body)), 0x3D);

        const QString file = path(QStringLiteral("stamp3d.hex"));
        QVERIFY(writeFile(file, body));
        FirmwareFile firmware;
        QCOMPARE(firmware.load(file, true), FirmwareFile::Ok);
        QCOMPARE(readFile(file), body + ":02000080003d41\n");
    }

    void stampKeepsExistingRecord_data()
    {
        QTest::addColumn<bool>("matching");
        QTest::addColumn<int>("expected");
        QTest::newRow("matching") << true << int(FirmwareFile::Ok);
        QTest::newRow("not matching") << false << int(FirmwareFile::Corrupted);
    }

    void stampKeepsExistingRecord()
    {
        QFETCH(bool, matching);
        QFETCH(int, expected);

        const QByteArray body = defaultInfo() + endOfFile;
        const quint8 c = FirmwareFile::fileChecksum(body);
        const QByteArray content = body + checksumRecord(matching ? c : quint8(c + 1));
        const QString file = path(QStringLiteral("restamp.hex"));
        QVERIFY(writeFile(file, content));
        FirmwareFile firmware;
        QCOMPARE(int(firmware.load(file, true)), expected);
        QCOMPARE(readFile(file), content);
    }

    void stampWriteDenied()
    {
#ifdef Q_OS_LINUX
        // Root may write anywhere, but not beyond the file size limit: the
        // appended record cannot be written, and none of it may stay behind.
        const QByteArray body = defaultInfo() + endOfFile;
        const QString file = path(QStringLiteral("limited.hex"));
        QVERIFY(writeFile(file, body));

        rlimit saved;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(body.size() + 4);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        FirmwareFile firmware;
        const FirmwareFile::Status result = firmware.load(file, true);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(result, FirmwareFile::WriteDenied);
        QCOMPARE(readFile(file), body);
#else
        QSKIP("needs a file size limit");
#endif
    }

    void stampResource()
    {
        // Resources read like files but take no appended record.
        const QString resource = QStringLiteral(":/tests/unstamped.hex");
        FirmwareFile firmware;
        QCOMPARE(firmware.load(resource), FirmwareFile::Corrupted);
        QCOMPARE(firmware.getFamilyCode(), QStringLiteral("PKEYS"));
        QCOMPARE(firmware.load(resource, true), FirmwareFile::WriteDenied);
        QCOMPARE(firmware.getStatus(), FirmwareFile::WriteDenied);
    }

    void statusText_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "Firmware file is OK";
        QTest::newRow("1") << 1 << "File access denied";
        QTest::newRow("2") << 2 << "Firmware file contains invalid data";
        QTest::newRow("3") << 3 << "Firmware file has been corrupted";
        QTest::newRow("4") << 4 << "Write access denied";
        QTest::newRow("5") << 5 << "Firmware file is in an invalid order";
        QTest::newRow("6") << 6 << "No valid firmware file";
        QTest::newRow("7") << 7 << "Unknown state";
        QTest::newRow("-1") << -1 << "Unknown state";
    }

    void statusText()
    {
        QFETCH(int, status);
        QFETCH(QString, text);
        QCOMPARE(FirmwareFile::statusText(status), text);
    }

    void memberStatusText()
    {
        FirmwareFile firmware;
        QCOMPARE(firmware.statusText(), QStringLiteral("File access denied"));
        const QString file = path(QStringLiteral("member.hex"));
        QVERIFY(writeFile(file, defaultInfo() + endOfFile));
        firmware.load(file);
        QCOMPARE(firmware.statusText(), QStringLiteral("Firmware file has been corrupted"));
    }

    void builtInImages_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("familyCode");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("buildDate");
        QTest::addColumn<int>("checksum");
        QTest::newRow("main board") << "pbase"
                                    << "PBASE"
                                    << "v3.3"
                                    << "Feb 12 2015 09:48:59" << 0x3D;
        QTest::newRow("control panel") << "pctrl"
                                       << "PCTRL"
                                       << "v2.4"
                                       << "Jan 20 2015 14:02:11" << 0x1C;
        QTest::newRow("sensor boards") << "pkeys"
                                       << "PKEYS"
                                       << "v1.9"
                                       << "Dec 03 2014 11:27:40" << 0x30;
    }

    void builtInImages()
    {
        QFETCH(QString, name);
        QFETCH(QString, familyCode);
        QFETCH(QString, version);
        QFETCH(QString, buildDate);
        QFETCH(int, checksum);

        FirmwareFile firmware;
        QCOMPARE(firmware.load(QStringLiteral(ZEL_SOURCE_DIR "/resources/firmware/") + name),
                 FirmwareFile::Ok);
        QCOMPARE(firmware.getFamilyCode(), familyCode);
        QCOMPARE(firmware.getVersion(), version);
        QCOMPARE(firmware.getBuildDate(), buildDate);
        QCOMPARE(int(firmware.getChecksum()), checksum);
        const QByteArray &text = firmware.getHexText();
        QVERIFY(text.endsWith(endOfFile));
        QCOMPARE(text.count("\r\n"), text.count('\n'));
        if (name == QLatin1String("pbase")) {
            QCOMPARE(qRound(text.size() / 1024.0), 197);
            QVERIFY(text.contains(upper(1)));
        }
    }

    void generatorReproducesImages()
    {
        QTemporaryDir out;
        QVERIFY(out.isValid());
        QProcess generator;
        generator.start(QStringLiteral(MKFIRMWARE), {out.path()});
        QVERIFY(generator.waitForFinished(60000));
        QCOMPARE(generator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(generator.exitCode(), 0);
        for (const char *name : {"pbase", "pctrl", "pkeys"}) {
            const QByteArray made = readFile(out.filePath(QLatin1String(name)));
            QVERIFY2(!made.isEmpty(), name);
            QVERIFY2(made == readFile(QStringLiteral(ZEL_SOURCE_DIR "/resources/firmware/") +
                                      QLatin1String(name)),
                     name);
        }
    }
};

QTEST_GUILESS_MAIN(TestFirmwareFile)
#include "tst_firmwarefile.moc"

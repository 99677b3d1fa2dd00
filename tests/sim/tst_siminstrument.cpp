#include "siminstrument.h"

#include <QTest>

#include <hidapi.h>

using zelsim::Instrument;
using zelsim::Mode;
using zelsim::Step;

Q_DECLARE_METATYPE(std::function<void(Instrument &)>)

namespace {

constexpr unsigned short Vid = 0x04D8;
constexpr unsigned short Pid = 0xF93C;

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b.append(char(v));
    return b;
}

// One Intel HEX record with CR LF, its checksum computed here rather than by
// anything under test.
QByteArray record(int type, int address, const QByteArray &data)
{
    QByteArray raw = bytes({data.size(), address >> 8, address & 0xFF, type}) + data;
    quint8 sum = 0;
    for (char c : raw)
        sum = quint8(sum + quint8(c));
    raw.append(char(quint8(-sum)));
    return ":" + raw.toHex().toUpper() + "\r\n";
}

// Text stored the way the information block keeps it: two characters in every
// four bytes, zero filled to 16 bytes.
QByteArray infoRecord(int address, const QByteArray &text)
{
    QByteArray data(16, '\0');
    for (int i = 0; i < text.size() && i < 8; ++i)
        data[(i / 2) * 4 + i % 2] = text.at(i);
    return record(0x00, address, data);
}

QList<QByteArray> image(const QByteArray &version)
{
    return {record(0x04, 0, bytes({0, 0})), record(0x00, 0x0000, QByteArray(16, '\x5A')),
            infoRecord(0x800, "PCTRL"),     infoRecord(0x840, version),
            infoRecord(0x880, "Jan 1 20"),  record(0x01, 0, QByteArray())};
}

quint8 rotateAddChecksum(const QByteArray &text)
{
    quint8 c = 0;
    for (char b : text) {
        const quint8 inv = quint8(~c);
        c = quint8(quint8(inv << 1 | inv >> 7) + quint8(b));
    }
    return c;
}

QByteArray join(const QList<QByteArray> &lines)
{
    QByteArray text;
    for (const QByteArray &l : lines)
        text += l;
    return text;
}

QByteArray dataMessage(int part, const QByteArray &line)
{
    return bytes({0x03, part, line.size()}) + line;
}

int writeReport(hid_device *dev, const QByteArray &messages)
{
    QByteArray report(65, '\0');
    report.replace(1, messages.size(), messages);
    return hid_write(dev, reinterpret_cast<const unsigned char *>(report.constData()), 65);
}

// Every answer that is due now, as 3-byte strings, read report by report.
QList<QByteArray> readAnswers(hid_device *dev, int *reports = nullptr)
{
    QList<QByteArray> answers;
    unsigned char buf[65];
    int n = 0;
    while ((n = hid_read(dev, buf, sizeof buf)) > 0) {
        if (reports)
            ++*reports;
        for (int k = 0; k + 3 <= n && buf[k] != 0; k += 3)
            answers.append(QByteArray(reinterpret_cast<const char *>(buf + k), 3));
    }
    return answers;
}

// Sends one message and returns what came back for it.
QList<QByteArray> exchange(hid_device *dev, const QByteArray &message)
{
    if (writeReport(dev, message) != 65)
        return {};
    return readAnswers(dev);
}

QString errorText(hid_device *dev)
{
    const wchar_t *text = hid_error(dev);
    return text ? QString::fromWCharArray(text) : QString();
}

} // namespace

class TestSimInstrument : public QObject
{
    Q_OBJECT

private:
    Instrument &sim = Instrument::instance();
    hid_device *dev = nullptr;

    // Start, every line, end: the answers to the end message.
    QList<QByteArray> update(int part, const QList<QByteArray> &lines, quint8 checksum)
    {
        if (exchange(dev, bytes({0x02, part})) != QList<QByteArray>{bytes({0x02, part, 1})})
            return {};
        for (const QByteArray &line : lines)
            exchange(dev, dataMessage(part, line));
        return exchange(dev, bytes({0x04, part, checksum}));
    }

private slots:
    void init()
    {
        sim.reset();
        dev = hid_open(Vid, Pid, nullptr);
        QVERIFY(dev);
        QCOMPARE(hid_set_nonblocking(dev, 1), 0);
    }

    void cleanup()
    {
        hid_close(dev);
        dev = nullptr;
    }

    void fileChecksumOfTheWorkedExample() { QCOMPARE(rotateAddChecksum("abc"), quint8(0x1F)); }

    void acceptedUpdateInstallsTheImage_data()
    {
        QTest::addColumn<int>("part");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<int>("expected");
        QTest::newRow("control panel") << 6 << QByteArray("v4.2") << 42;
        QTest::newRow("main board") << 7 << QByteArray("v3.3") << 33;
        QTest::newRow("sensor 5") << 5 << QByteArray("v1.9") << 19;
        QTest::newRow("two-digit major") << 6 << QByteArray("v11.0") << 110;
        QTest::newRow("unreadable version keeps old") << 6 << QByteArray("x4.2") << 22;
    }

    void acceptedUpdateInstallsTheImage()
    {
        QFETCH(int, part);
        QFETCH(QByteArray, version);
        QFETCH(int, expected);
        const QList<QByteArray> lines = image(version);
        const QByteArray text = join(lines);

        QCOMPARE(exchange(dev, bytes({0x02, part})), QList<QByteArray>{bytes({0x02, part, 1})});
        QCOMPARE(sim.mode(part), Mode::Update);
        for (const QByteArray &line : lines)
            QCOMPARE(exchange(dev, dataMessage(part, line)),
                     QList<QByteArray>{bytes({0x03, part, 1})});
        QCOMPARE(sim.receivedText(part), text);
        QCOMPARE(exchange(dev, bytes({0x04, part, rotateAddChecksum(text)})),
                 QList<QByteArray>{bytes({0x04, part, 1})});

        QCOMPARE(sim.installedImage(part), text);
        QCOMPARE(sim.mode(part), Mode::Normal);
        QCOMPARE(sim.boardVersion(part), expected);
        QCOMPARE(exchange(dev, bytes({0x01, part})),
                 QList<QByteArray>{bytes({0x01, part, expected})});
    }

    void rejectedUpdateKeepsTheOldFirmware_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<int>("checksumDelta");
        QTest::addColumn<QList<int>>("dataAcks");

        const QList<QByteArray> good = image("v4.2");
        QTest::newRow("wrong file checksum") << good << 1 << QList<int>{1, 1, 1, 1, 1, 1};

        QList<QByteArray> badRecord = good;
        badRecord[1].replace(9, 2, "5B"); // one data byte changed, record checksum now wrong
        QTest::newRow("bad record checksum") << badRecord << 0 << QList<int>{1, 0, 1, 1, 1, 1};

        QList<QByteArray> badLength = good;
        badLength[1].remove(9, 2); // a byte fewer than the length field says
        QTest::newRow("length mismatch") << badLength << 0 << QList<int>{1, 0, 1, 1, 1, 1};

        QList<QByteArray> noColon = good;
        noColon[2][0] = ';';
        QTest::newRow("no start colon") << noColon << 0 << QList<int>{1, 1, 0, 1, 1, 1};

        QList<QByteArray> noEof = good;
        noEof.removeLast();
        QTest::newRow("no end-of-file record") << noEof << 0 << QList<int>{1, 1, 1, 1, 1};
    }

    void rejectedUpdateKeepsTheOldFirmware()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(int, checksumDelta);
        QFETCH(QList<int>, dataAcks);

        QCOMPARE(exchange(dev, bytes({0x02, 6})), QList<QByteArray>{bytes({0x02, 6, 1})});
        QList<int> acks;
        for (const QByteArray &line : lines) {
            const QList<QByteArray> a = exchange(dev, dataMessage(6, line));
            QCOMPARE(a.size(), 1);
            acks.append(a.first().at(2));
        }
        QCOMPARE(acks, dataAcks);
        // Checksum over what the tool meant to send, as the tool would compute it.
        const quint8 checksum = quint8(rotateAddChecksum(join(lines)) + checksumDelta);
        QCOMPARE(exchange(dev, bytes({0x04, 6, checksum})), QList<QByteArray>{bytes({0x04, 6, 0})});
        QCOMPARE(sim.mode(6), Mode::Update);
        QVERIFY(sim.installedImage(6).isEmpty());
        QCOMPARE(sim.boardVersion(6), 22);
    }

    void versionTakenFromTheInformationBlock_data()
    {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<int>("expected");
        const QByteArray eof = record(0x01, 0, QByteArray());
        QTest::newRow("at 0x840") << QList<QByteArray>{infoRecord(0x840, "v5.1"), eof} << 51;
        QTest::newRow("split over two records")
            << QList<QByteArray>{infoRecord(0x840, "v1"), infoRecord(0x850, "2.5"), eof} << 125;
        QTest::newRow("above 0x87F ignored")
            << QList<QByteArray>{infoRecord(0x880, "v5.1"), eof} << 22;
        QTest::newRow("behind an upper address")
            << QList<QByteArray>{record(0x04, 0, bytes({0, 1})), infoRecord(0x840, "v5.1"), eof}
            << 22;
        QTest::newRow("upper address back to 0")
            << QList<QByteArray>{record(0x04, 0, bytes({0, 1})), record(0x04, 0, bytes({0, 0})),
                                 infoRecord(0x860, "v6.3"), eof}
            << 63;
        QTest::newRow("skipped bytes do not count")
            << QList<QByteArray>{record(0x00, 0x840, QByteArray("v7XX.2\0\0", 8)), eof} << 72;
    }

    void versionTakenFromTheInformationBlock()
    {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(int, expected);
        QCOMPARE(update(6, lines, rotateAddChecksum(join(lines))),
                 QList<QByteArray>{bytes({0x04, 6, 1})});
        QCOMPARE(exchange(dev, bytes({0x01, 6})), QList<QByteArray>{bytes({0x01, 6, expected})});
    }

    void sensorGroupVersionAnsweredByEachBoard()
    {
        sim.setBoardVersion(3, 45);
        QCOMPARE(exchange(dev, bytes({0x01, 0})),
                 (QList<QByteArray>{bytes({1, 1, 17}), bytes({1, 2, 17}), bytes({1, 3, 45}),
                                    bytes({1, 4, 17}), bytes({1, 5, 17})}));
        sim.setBoardPresent(2, false);
        QCOMPARE(exchange(dev, bytes({0x01, 0})).size(), 4);
    }

    void sensorGroupDataReachesStartedBoardsOnly()
    {
        for (int p : {1, 4})
            QCOMPARE(exchange(dev, bytes({0x02, p})), QList<QByteArray>{bytes({0x02, p, 1})});
        const QByteArray line = record(0x00, 0, QByteArray(16, 'x'));
        QCOMPARE(exchange(dev, dataMessage(0, line)),
                 (QList<QByteArray>{bytes({3, 1, 1}), bytes({3, 4, 1})}));
        QCOMPARE(sim.receivedText(4), line);
        QVERIFY(sim.receivedText(2).isEmpty());
        // Addressed on its own, a board outside update mode says no.
        QCOMPARE(exchange(dev, dataMessage(2, line)), QList<QByteArray>{bytes({3, 2, 0})});
    }

    void answersShareReports()
    {
        // The tool's opening burst: seven requests in one report.
        int reports = 0;
        writeReport(dev, bytes({1, 6, 1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 7}));
        unsigned char buf[65];
        memset(buf, 0xEE, sizeof buf);
        QCOMPARE(hid_read(dev, buf, sizeof buf), 64);
        const QByteArray report(reinterpret_cast<const char *>(buf), 64);
        QCOMPARE(report.left(21),
                 bytes({1, 6, 22, 1, 1, 17, 1, 2, 17, 1, 3, 17, 1, 4, 17, 1, 5, 17, 1, 7, 31}));
        QCOMPARE(report.mid(21), QByteArray(43, '\0'));
        QCOMPARE(hid_read(dev, buf, sizeof buf), 0);

        // 25 answers are due: 21 fill the first report, the rest go in the next.
        writeReport(dev, bytes({1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
        QCOMPARE(readAnswers(dev, &reports).size(), 25);
        QCOMPARE(reports, 2);
    }

    void messagesRunUntilZeroOrUnknownCommand_data()
    {
        QTest::addColumn<QByteArray>("messages");
        QTest::addColumn<int>("decoded");
        QTest::addColumn<int>("answers");
        QTest::newRow("zero ends") << bytes({1, 6, 0, 1, 7}) << 1 << 1;
        QTest::newRow("unknown ends") << bytes({1, 6, 0x09, 1, 7}) << 1 << 1;
        QTest::newRow("unknown part ignored") << bytes({1, 9, 1, 7}) << 2 << 1;
        QTest::newRow("data cut off by report end")
            << bytes({1, 6}) + bytes({3, 6, 62}) + QByteArray(59, ':') << 1 << 1;
    }

    void messagesRunUntilZeroOrUnknownCommand()
    {
        QFETCH(QByteArray, messages);
        QFETCH(int, decoded);
        QFETCH(int, answers);
        QCOMPARE(exchange(dev, messages).size(), answers);
        QCOMPARE(sim.messages().size(), decoded);
    }

    void mainBoardRestartDropsTheDevice()
    {
        sim.setRestartDelayMs(50);
        writeReport(dev, bytes({1, 6, 5, 7}));
        unsigned char buf[65];
        QCOMPARE(hid_read(dev, buf, sizeof buf), -1); // the version answer died with the device
        QVERIFY(errorText(dev).contains("disconnected"));
        QCOMPARE(writeReport(dev, bytes({1, 7})), -1);
        QCOMPARE(sim.restartCount(), 1);
        QVERIFY(!sim.attached());
        QVERIFY(!hid_open(Vid, Pid, nullptr));

        hid_device *again = nullptr;
        for (int i = 0; i < 200 && !again; ++i) {
            QTest::qWait(5);
            again = hid_open(Vid, Pid, nullptr);
        }
        QVERIFY(again);
        QCOMPARE(exchange(again, bytes({1, 7})), QList<QByteArray>{bytes({1, 7, 31})});
        QCOMPARE(hid_read(dev, buf, sizeof buf), -1); // a handle of before stays dead
        QCOMPARE(sim.openCount(), 2);
        hid_close(again);
    }

    void restartOfAnotherBoardIsIgnored()
    {
        QVERIFY(exchange(dev, bytes({5, 6})).isEmpty());
        QVERIFY(sim.attached());
        QCOMPARE(sim.restartCount(), 0);
        QCOMPARE(exchange(dev, bytes({1, 6})).size(), 1);
    }

    void boardFaults_data()
    {
        using Setup = std::function<void(Instrument &)>;
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QByteArray line = record(0x00, 0, QByteArray(4, 'a'));

        QTest::newRow("absent") << Setup([](Instrument &s) { s.setBoardPresent(6, false); })
                                << bytes({1, 6}) << QList<QByteArray>{};
        QTest::newRow("refuses start") << Setup([](Instrument &s) { s.setRefuseStart(6, true); })
                                       << bytes({2, 6}) << QList<QByteArray>{bytes({2, 6, 0})};
        QTest::newRow("silent from start")
            << Setup([](Instrument &s) { s.setSilentFrom(6, Step::Start); }) << bytes({2, 6})
            << QList<QByteArray>{};
        QTest::newRow("answers as another board")
            << Setup([](Instrument &s) { s.setAnswerAs(6, 2); }) << bytes({1, 6})
            << QList<QByteArray>{bytes({1, 2, 22})};
        QTest::newRow("duplicate answers")
            << Setup([](Instrument &s) { s.setDuplicateAcks(7, true); }) << bytes({1, 7})
            << QList<QByteArray>{bytes({1, 7, 31}), bytes({1, 7, 31})};
        QTest::newRow("rejects line 1") << Setup([](Instrument &s) { s.setRejectLine(6, 1); })
                                        << dataMessage(6, line) + dataMessage(6, line)
                                        << QList<QByteArray>{bytes({3, 6, 1}), bytes({3, 6, 0})};
        QTest::newRow("silent from line 1")
            << Setup([](Instrument &s) { s.setSilentFrom(6, Step::Data, 1); })
            << dataMessage(6, line) + dataMessage(6, line) + bytes({1, 6})
            << QList<QByteArray>{bytes({3, 6, 1})};
        QTest::newRow("hook swallows version requests") << Setup([](Instrument &s) {
            s.setMessageHook([](const QByteArray &m) { return m.at(0) != 1; });
        }) << dataMessage(6, line) + bytes({1, 6}) << QList<QByteArray>{bytes({3, 6, 1})};
    }

    void boardFaults()
    {
        QFETCH(std::function<void(Instrument &)>, setup);
        QFETCH(QByteArray, message);
        QFETCH(QList<QByteArray>, expected);
        exchange(dev, bytes({2, 6})); // the control panel is ready for data
        setup(sim);
        QCOMPARE(exchange(dev, message), expected);
    }

    void faultsAfterAnAcceptedEnd_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<int>("versionAfter");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::newRow("silent afterwards") << true << -1 << QList<QByteArray>{};
        QTest::newRow("other version") << false << 40 << QList<QByteArray>{bytes({1, 6, 40})};
    }

    void faultsAfterAnAcceptedEnd()
    {
        QFETCH(bool, silent);
        QFETCH(int, versionAfter);
        QFETCH(QList<QByteArray>, expected);
        if (silent)
            sim.setSilentFrom(6, Step::VersionAfterUpdate);
        sim.setVersionAfterUpdate(6, versionAfter);
        QCOMPARE(exchange(dev, bytes({1, 6})), QList<QByteArray>{bytes({1, 6, 22})});
        const QList<QByteArray> lines = image("v4.2");
        QCOMPARE(update(6, lines, rotateAddChecksum(join(lines))),
                 QList<QByteArray>{bytes({4, 6, 1})});
        QCOMPARE(exchange(dev, bytes({1, 6})), expected);
    }

    void rejectEndEvenWhenAllIsRight()
    {
        sim.setRejectEnd(7, true);
        const QList<QByteArray> lines = image("v4.2");
        QCOMPARE(update(7, lines, rotateAddChecksum(join(lines))),
                 QList<QByteArray>{bytes({4, 7, 0})});
        QCOMPARE(sim.mode(7), Mode::Update);
    }

    void linkFaults_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("after");
        QTest::newRow("write at once") << true << 0;
        QTest::newRow("third write") << true << 2;
        QTest::newRow("read at once") << false << 0;
        QTest::newRow("second read") << false << 1;
    }

    void linkFaults()
    {
        QFETCH(bool, write);
        QFETCH(int, after);
        if (write)
            sim.failWrite("broken pipe", after);
        else
            sim.failRead("broken pipe", after);
        unsigned char buf[65] = {};
        int failedAt = -1;
        for (int i = 0; i < 5 && failedAt < 0; ++i) {
            const int r = write ? hid_write(dev, buf, 65) : hid_read(dev, buf, 65);
            if (r == -1)
                failedAt = i;
        }
        QCOMPARE(failedAt, after);
        QCOMPARE(errorText(dev), QString("broken pipe"));
        // One failed call; the device itself is still there.
        QVERIFY(sim.attached());
        QCOMPARE(exchange(dev, bytes({1, 7})), QList<QByteArray>{bytes({1, 7, 31})});
    }

    void setNonblockingFailsOnce()
    {
        sim.failSetNonblocking("no mode");
        QCOMPARE(hid_set_nonblocking(dev, 1), -1);
        QCOMPARE(errorText(dev), QString("no mode"));
        QCOMPARE(hid_set_nonblocking(dev, 1), 0);
    }

    void unplugKillsHandlesForGood()
    {
        sim.unplug();
        unsigned char buf[65] = {};
        QCOMPARE(hid_read(dev, buf, 65), -1);
        QVERIFY(!errorText(dev).isEmpty());
        QVERIFY(!hid_open(Vid, Pid, nullptr));
        sim.plug();
        QCOMPARE(hid_write(dev, buf, 65), -1);
        hid_device *again = hid_open(Vid, Pid, nullptr);
        QVERIFY(again);
        QVERIFY(again != dev);
        QCOMPARE(hid_read(again, buf, 65), 0);
        hid_close(again);
        QVERIFY(!hid_open(0x04D8, 0x0001, nullptr));
    }

    void unplugAfterALine()
    {
        sim.unplugAfterLine(1);
        exchange(dev, bytes({2, 6}));
        const QByteArray line = record(0x00, 0, QByteArray(4, 'a'));
        QCOMPARE(exchange(dev, dataMessage(6, line)), QList<QByteArray>{bytes({3, 6, 1})});
        QCOMPARE(writeReport(dev, dataMessage(6, line)), 65);
        QVERIFY(!sim.attached());
        unsigned char buf[65];
        QCOMPARE(hid_read(dev, buf, 65), -1);
        QCOMPARE(sim.receivedText(6), line + line);
    }

    void injectedReportsComeFirst()
    {
        writeReport(dev, bytes({1, 7}));
        sim.injectInputReport(bytes({0xFF, 1, 2}));
        unsigned char buf[65] = {};
        QCOMPARE(hid_read(dev, buf, 65), 3);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 3), bytes({0xFF, 1, 2}));
        QCOMPARE(hid_read(dev, buf, 65), 64);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 3), bytes({1, 7, 31}));
    }

    void answerLatency()
    {
        sim.setAnswerLatencyMs(30);
        writeReport(dev, bytes({1, 7}));
        unsigned char buf[65] = {};
        QCOMPARE(hid_read(dev, buf, 65), 0);
        int n = 0;
        for (int i = 0; i < 400 && n == 0; ++i) {
            QTest::qWait(5);
            n = hid_read(dev, buf, 65);
        }
        QCOMPARE(n, 64);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 3), bytes({1, 7, 31}));
    }

    void logsAndCounters()
    {
        writeReport(dev, bytes({1, 6, 1, 7}));
        QCOMPARE(sim.writtenReports().size(), 1);
        QCOMPARE(sim.writtenReports().first().size(), 65);
        QCOMPARE(sim.messages(), (QList<QByteArray>{bytes({1, 6}), bytes({1, 7})}));
        hid_exit();
        QCOMPARE(sim.exitCount(), 1);
        QCOMPARE(sim.openCount(), 1);
        QCOMPARE(readAnswers(dev).size(), 2); // hid_exit leaves the model alone
        sim.reset();
        QCOMPARE(sim.exitCount(), 0);
        QVERIFY(sim.messages().isEmpty());
        unsigned char buf[65] = {};
        QCOMPARE(hid_read(dev, buf, 65), -1); // handles of before a reset are dead
    }
};


QTEST_GUILESS_MAIN(TestSimInstrument)
#include "tst_siminstrument.moc"

#include "benchrows.h"
#include "hexrecord.h"
#include "loudfailure.h"
#include "siminstrument.h"
#include "simmodel.h"
#include "simsetup.h"

#include <QRegularExpression>
#include <QTest>

#include <hidapi.h>

#include <functional>

using zelsim::Answer;
using zelsim::Instrument;
using zelsim::Step;
Q_DECLARE_METATYPE(Answer)

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

// One Intel HEX line with CR LF.
QByteArray record(int type, int address, const QByteArray &data)
{
    return hexRecord(type, address, data) + "\r\n";
}

// The file checksum the tool sends with the end message.
quint8 fileChecksum(const QByteArray &text)
{
    quint8 c = 0;
    for (char b : text) {
        const quint8 inv = quint8(~c);
        c = quint8(quint8(inv << 1 | inv >> 7) + quint8(b));
    }
    return c;
}

// Writes the messages as one report, reads one report back and lists its answers as
// "command.part.value".
QString exchange(hid_device *dev, const QByteArray &messages)
{
    QByteArray report(65, '\0');
    report.replace(1, messages.size(), messages);
    hid_write(dev, reinterpret_cast<const unsigned char *>(report.constData()), 65);
    unsigned char buf[65] = {};
    const int n = hid_read(dev, buf, 65);
    QStringList answers;
    for (int k = 0; k + 3 <= n && buf[k] != 0; k += 3)
        answers << QStringLiteral("%1.%2.%3").arg(buf[k]).arg(buf[k + 1]).arg(buf[k + 2]);
    return answers.join(' ');
}
} // namespace

class TestSimInstrument : public QObject
{
    Q_OBJECT

private:
    Instrument &sim = Instrument::instance();
    hid_device *dev = nullptr;

private slots:
    void init()
    {
        sim.run("reset");
        dev = hid_open(Vid, Pid, nullptr);
        QVERIFY(dev);
        QCOMPARE(hid_set_nonblocking(dev, 1), 0);
    }

    void cleanup() { hid_close(dev); }

    // The control panel (v2.2) is sent an image whose information block says v4.2. The
    // faults whose effect the updater's fault matrix tells apart are left to it; these are
    // the ones it cannot (the board's own checks, and faults it would take for silence).
    void update_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("badLine");
        QTest::addColumn<int>("checksumDelta");
        QTest::addColumn<QString>("answers");
        const Setup none = [](Instrument &) {};
        const QString ok = "2.6.1 3.6.1 3.6.1 3.6.1 4.6.1";
        const QString refused = "2.6.1 3.6.1 3.6.1 3.6.1 4.6.0 1.6.22";
        const QString lineRefused = "2.6.1 3.6.1 3.6.0 3.6.1 4.6.0 1.6.22";
        QTest::newRow("accepted") << none << -1 << 0 << ok + " 1.6.42";
        QTest::newRow("file checksum") << none << -1 << 1 << refused;
        QTest::newRow("record checksum") << none << 1 << 0 << lineRefused;
        QTest::newRow("silent from line 1")
            << Setup([](auto &s) { s.run("silentFrom", 6, Step::Data, 1); }) << -1 << 0
            << "2.6.1 3.6.1";
        QTest::newRow("silent after the update")
            << Setup([](auto &s) { s.run("silentFrom", 6, Step::VersionAfterUpdate); }) << -1 << 0
            << ok;
        QTest::newRow("answer as 2") << Setup([](auto &s) { s.run("answerAs", 6, 2); }) << -1 << 0
                                     << "2.2.1 3.2.1 3.2.1 3.2.1 4.2.1 1.2.42";
        QTest::newRow("duplicate") << Setup([](auto &s) { s.run("duplicateAcks", 6); }) << -1 << 0
                                   << "2.6.1 2.6.1 3.6.1 3.6.1 3.6.1 3.6.1 3.6.1 3.6.1 4.6.1 "
                                      "4.6.1 1.6.42 1.6.42";
        QTest::newRow("unplug after line 1")
            << Setup([](auto &s) { s.run("unplugAfterLine", 1); }) << -1 << 0 << "2.6.1 3.6.1 gone";
    }

    void update()
    {
        QFETCH(Setup, setup);
        QFETCH(int, badLine);
        QFETCH(int, checksumDelta);
        QFETCH(QString, answers);
        QList<QByteArray> lines{record(0x00, 0x0000, QByteArray(16, 'Z')),
                                record(0x00, 0x0840, QByteArray("v4\0\0.2\0\0", 8)),
                                record(0x01, 0, QByteArray())};
        if (badLine >= 0)
            lines[badLine].replace(9, 2, "00"); // a data byte changed under its checksum
        const QByteArray text = lines.join();
        setup(sim);
        QStringList got{exchange(dev, bytes({2, 6}))};
        for (const QByteArray &line : lines)
            got << exchange(dev, bytes({3, 6, int(line.size())}) + line);
        got << exchange(dev, bytes({4, 6, quint8(fileChecksum(text) + checksumDelta)}))
            << exchange(dev, bytes({1, 6})) << (sim.value("attached") ? "" : "gone");
        got.removeAll(QString());
        QCOMPARE(got.join(' '), answers);
        const bool accepted = answers.contains(QRegularExpression("4\\.\\d\\.1"));
        QCOMPARE(sim.bytes("installedImage", 6), accepted ? text : QByteArray());
    }

    // Every sensor board answers the group under its own part; the answers share one report.
    void sensorGroupVersion()
    {
        sim.run("version", 3, 45);
        QCOMPARE(exchange(dev, bytes({1, 0, 1, 7})),
                 QStringLiteral("1.1.17 1.2.17 1.3.45 1.4.17 1.5.17 1.7.31"));
    }

    // Lines of the command table as the rig's control socket answers them, read as
    // the kind of answer the caller wants; "error: " and why for a line refused.
    void commands_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<Answer>("kind");
        QTest::addColumn<QString>("answer");
        const Answer none = Answer::Nothing;
        const auto row = [](const char *line, Answer kind, const char *answer) {
            QTest::newRow(line) << QByteArray(line) << kind << QString(answer);
        };
        row("boardVersion 7", Answer::Number, "31");
        row("failRead 2 went wrong", none, "");
        row("silentFrom 6 versionAfterUpdate", none, "");
        row("teleport", none, "error: unknown command 'teleport'");
        row("rejectLine 6", none, "error: rejectLine takes part line");
        row("rejectLine 6 100 1", none, "error: rejectLine takes part line");
        row("rejectLine 0 100", none, "error: rejectLine takes part line");
        row("absent 3 2", none, "error: absent takes part [on]");
        row("absent ", none, "error: absent takes part [on]");
        row("silentFrom 6 later", none, "error: silentFrom takes part step [line]");
        row("injectInputReport 0g", none, "error: injectInputReport takes hex");
        row("reset now", none, "error: reset takes no arguments");
        row("installedImage 6", Answer::Number,
            "error: installedImage answers bytes, not a number");
        row("@2 boardVersion 6", Answer::Number, "22");
        row("@2 attached", Answer::Number, "0");
        row("@2 teleport", none, "error: unknown command 'teleport'");
        row("@5 attached", Answer::Number, "error: no instrument '5': the bench has 1 to 4");
        row("@ reset", none, "error: no instrument '': the bench has 1 to 4");
        row("@2x reset", none, "error: no instrument '2x': the bench has 1 to 4");
    }

    void commands()
    {
        QFETCH(QByteArray, line);
        QFETCH(Answer, kind);
        QFETCH(QString, answer);
        zelsim::Bench bench;
        zelsim::Value value;
        QString error;
        const bool ran =
            zelsim::answers(line, kind, &error) && zelsim::runCommand(bench, line, &value, &error);
        QCOMPARE(ran ? QString::fromUtf8(value.text()) : "error: " + error, answer);
    }

    void failsLoudly_data() { loudFailureRows(); }
    void failsLoudly() { checkLoudFailure(); }

    // ZEL_SIM as the demo builds take it; what the boards then report ("version of
    // board 7, attached").
    void zelSim_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("state");
        const auto row = [](const char *tag, const char *settings, const char *error,
                            const char *state) {
            QTest::newRow(tag) << QString(settings) << QString(error) << QString(state);
        };
        row("boards", "absent=3;version=7:29", "", "29 1");
        row("spaced", " silentFrom = 6:data:5 ;unplugged", "", "31 0");
        row("read-back", "messages",
            "cannot use the setting 'messages': messages answers a list, not nothing", "31 1");
        row("empty field",
            "version=7:29:", "cannot use the setting 'version=7:29:': version takes part version",
            "31 1");
        row("demo's own with a value", "unplugged=1", "cannot use the setting 'unplugged=1'",
            "31 1");
        row("demo's own without", "plugAfterMs", "cannot use the setting 'plugAfterMs'", "31 1");
        row("applied in order", "version=7:29;teleport=1;unplugged",
            "cannot use the setting 'teleport=1': unknown command 'teleport'", "29 1");
        row("for another instrument", "@2 version=7:29;@2 unplugged", "", "31 1");
        row("no such instrument", "@7 plug",
            "cannot use the setting '@7 plug': no instrument '7': the bench has 1 to 4", "31 1");
        row("the report is the bench's", "@2 report=x", "cannot use the setting '@2 report=x'",
            "31 1");
    }

    void zelSim()
    {
        QFETCH(QString, settings);
        QFETCH(QString, error);
        QFETCH(QString, state);
        QString why;
        QCOMPARE(setUpSimulatedInstrument(settings, &why), error.isEmpty());
        QCOMPARE(why, error);
        QCOMPARE(
            QStringLiteral("%1 %2").arg(sim.value("boardVersion", 7)).arg(sim.value("attached")),
            state);
    }

    void bench_data() { benchRows(); }
    void bench() { checkBench("zelsim:"); }

    void mainBoardRestart()
    {
        sim.run("restartMs", 50);
        exchange(dev, bytes({5, 7}));
        QVERIFY(!sim.value("attached"));
        QVERIFY(!hid_open(Vid, Pid, nullptr));
        hid_device *again = nullptr;
        for (int i = 0; i < 400 && !again; ++i) {
            QTest::qWait(5);
            again = hid_open(Vid, Pid, nullptr);
        }
        QVERIFY(again);
        QCOMPARE(exchange(again, bytes({1, 7})), QStringLiteral("1.7.31"));
        QCOMPARE(exchange(dev, bytes({1, 7})), QString()); // a handle of before stays dead
        hid_close(again);
    }
};

QTEST_GUILESS_MAIN(TestSimInstrument)
#include "tst_siminstrument.moc"

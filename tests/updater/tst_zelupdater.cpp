// The update state machine against the real protocol object and link, with the
// simulated instrument standing in for the boards.

#include "firmwarefile.h"
#include "siminstrument.h"
#include "zelinterface.h"
#include "zelupdater.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>

using zelsim::Instrument;
using zelsim::Step;
using Part = zelInterface::PartType;

namespace {

Instrument &sim()
{
    return Instrument::instance();
}

QByteArray hexRecord(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF));
    bytes.append(char(type)).append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    bytes.append(char(quint8(-sum)));
    return ":" + bytes.toHex().toUpper();
}

// An image as the boards' build tools write it: the information block (two
// characters per group of four bytes), data records, the end-of-file record and
// the checksum record after it.
QByteArray hexFile(const QByteArray &family, const QByteArray &version, int dataLines,
                   int bytesPerLine)
{
    QByteArray text;
    quint16 address = 0x800;
    for (const QByteArray &field : {family, version, QByteArray("Mar 01 2016 10:00:00")}) {
        QByteArray block(64, '\0');
        for (int i = 0; i < field.size(); ++i)
            block[(i / 2) * 4 + (i % 2)] = field.at(i);
        for (int r = 0; r < 4; ++r, address += 16)
            text += hexRecord(0x00, address, block.mid(16 * r, 16)) + "\r\n";
    }
    for (int i = 0; i < dataLines; ++i) {
        QByteArray data;
        for (int k = 0; k < bytesPerLine; ++k)
            data.append(char(i * 31 + k * 7 + family.at(1)));
        text += hexRecord(0x00, quint16(0x1000 + i * bytesPerLine), data) + "\r\n";
    }
    text += ":00000001FF\r\n";
    const quint8 c = FirmwareFile::fileChecksum(text);
    text += hexRecord(0x80, 0, QByteArray(1, '\0').append(char(c))).toLower() + "\n";
    return text;
}

int versionByte(const QString &version)
{
    const QStringList digits = version.mid(1).split('.');
    return digits.value(0).toInt() * 10 + digits.value(1).toInt();
}

QList<QByteArray> textLines(const QByteArray &text)
{
    QList<QByteArray> lines;
    int from = 0;
    while (from < text.size()) {
        int end = text.indexOf('\n', from);
        end = end < 0 ? text.size() : end + 1;
        lines.append(text.mid(from, end - from));
        from = end;
    }
    return lines;
}

QByteArray msg(char command, int part, const QByteArray &tail = QByteArray())
{
    return QByteArray(1, command).append(char(part)).append(tail);
}

// A link the test ticks itself, so that "nothing happened for three ticks"
// reliably means that no answer is on its way (the simulated boards answer
// within the tick that carried the request).
class ManualLink : public zelInterface
{
public:
    ManualLink()
    {
        pollTimer->stop();
        setAutoOpen(true);
    }
    void tick() { polling(); }
};

// What one run of an updater looked like.
struct Outcome
{
    QList<zelUpdater::State> states;
    QList<zelUpdater::Err> cancels;
    int dones = 0;
    QList<QPair<zelUpdater::State, int>> expired; // state and interval of each early time-out
    bool ended = false;
    bool lateSignals = false;
};

struct DriveOptions
{
    bool waitForReconnectInRestarting = false; // let the device come back before the time-out
    int reconnectWaitMs = 300;
    std::function<void(int)> onTick;
};

// Runs an updater to its end on a manually ticked link. Whenever nothing moves,
// the pending time-out is made to expire at once: the updater's real slot runs,
// only the waiting is skipped.
Outcome drive(ManualLink &link, zelUpdater &updater, const DriveOptions &options = {})
{
    Outcome out;
    zelUpdater::State state = zelUpdater::Connecting;
    int signalCount = 0;
    QObject guard;
    QObject::connect(&updater, &zelUpdater::currentState, &guard,
                     [&](zelUpdater::State s, zelUpdater::Err) {
                         out.states.append(s);
                         state = s;
                         ++signalCount;
                     });
    QObject::connect(&updater, &zelUpdater::canceled, &guard, [&](zelUpdater::Err e) {
        out.cancels.append(e);
        ++signalCount;
    });
    QObject::connect(&updater, &zelUpdater::done, &guard, [&] {
        ++out.dones;
        ++signalCount;
    });
    QObject::connect(&updater, &zelUpdater::process, &guard, [&] { ++signalCount; });
    int connects = 0;
    QObject::connect(&link, &UsbHid::connected, &guard, [&] { ++connects; });

    QTimer *timer = updater.findChild<QTimer *>();
    int fired = 0;
    QObject::connect(timer, &QTimer::timeout, &guard, [&] { ++fired; });

    updater.start();
    int idle = 0;
    int lastMessages = sim().messages().size();
    int lastSignals = -1;
    QElapsedTimer realWait;
    for (int tick = 0; tick < 2000000; ++tick) {
        if (state == zelUpdater::Success || state == zelUpdater::Error) {
            out.ended = true;
            break;
        }
        if (options.onTick)
            options.onTick(tick);
        link.tick();
        QCoreApplication::processEvents();
        const int messages = sim().messages().size();
        if (messages != lastMessages || signalCount != lastSignals) {
            idle = 0;
            lastMessages = messages;
            lastSignals = signalCount;
            realWait.invalidate();
            continue;
        }
        if (++idle < 3 || !timer->isActive())
            continue;
        // The device comes back on its own clock after a restart.
        const bool waitForDevice = state == zelUpdater::WaitReconnect ||
                                   (state == zelUpdater::Restarting &&
                                    options.waitForReconnectInRestarting && connects < 1);
        if (waitForDevice) {
            if (!realWait.isValid())
                realWait.start();
            if (realWait.elapsed() < options.reconnectWaitMs) {
                QThread::usleep(200);
                continue;
            }
        }
        out.expired.append({state, timer->interval()});
        const int before = fired;
        timer->start(1);
        QElapsedTimer guardTime;
        guardTime.start();
        while (fired == before && guardTime.elapsed() < 2000) {
            QThread::usleep(200);
            QCoreApplication::processEvents();
        }
        idle = 0;
        realWait.invalidate();
    }
    // Whatever still arrives after the end must change nothing.
    const int final = signalCount;
    for (int i = 0; i < 10; ++i) {
        link.tick();
        QCoreApplication::processEvents();
    }
    out.lateSignals = signalCount != final || timer->isActive();
    return out;
}

int expectedInterval(zelUpdater::State s)
{
    switch (s) {
    case zelUpdater::WaitReconnect:
        return 10000;
    case zelUpdater::VerifyVersion:
        return 500;
    default:
        return 1000;
    }
}

enum class Kind
{
    Terminal,
    Mainboard,
    Group
};

// Where a fault begins, and what it is.
enum Phase
{
    Check,
    Start,
    FirstLine,
    MiddleLine,
    LastLine,
    Finish,
    Restart,
    Reconnect,
    Verify,
    Response
};
enum Fault
{
    Silence,
    Negative,
    Unplug,
    WrongVersion,
    Foreign,
    Duplicate,
    EarlyReturn
};

Part updaterPart(Kind kind)
{
    return kind == Kind::Terminal    ? zelInterface::Terminal
           : kind == Kind::Mainboard ? zelInterface::Mainboard
                                     : zelInterface::Sensors;
}

} // namespace

class TestZelUpdater : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    FirmwareFile imageCtrl, imageBase, imageKeys;

    FirmwareFile writeAndLoad(const QString &name, const QByteArray &text)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        FirmwareFile image;
        image.load(path);
        return image;
    }

    const FirmwareFile &imageFor(Kind kind) const
    {
        return kind == Kind::Terminal ? imageCtrl : kind == Kind::Mainboard ? imageBase : imageKeys;
    }

    QList<int> boardsOf(Kind kind) const
    {
        return kind == Kind::Terminal    ? QList<int>{6}
               : kind == Kind::Mainboard ? QList<int>{7}
                                         : QList<int>{2, 4};
    }

    void checkUntouched(const QList<int> &updated)
    {
        static const int defaults[] = {0, 17, 17, 17, 17, 17, 22, 31};
        for (int p = 1; p <= 7; ++p) {
            if (updated.contains(p))
                continue;
            QVERIFY2(sim().installedImage(p).isEmpty(), qPrintable(QString::number(p)));
            QVERIFY2(sim().receivedText(p).isEmpty(), qPrintable(QString::number(p)));
            QCOMPARE(sim().boardVersion(p), defaults[p]);
            QCOMPARE(sim().mode(p), zelsim::Mode::Normal);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        imageCtrl = writeAndLoad("ctrl.hex", hexFile("PCTRL", "v5.1", 20, 16));
        imageBase = writeAndLoad("base.hex", hexFile("PBASE", "v6.0", 24, 16));
        imageKeys = writeAndLoad("keys.hex", hexFile("PKEYS", "v4.2", 16, 16));
        QCOMPARE(imageCtrl.getStatus(), FirmwareFile::Ok);
        QCOMPARE(imageBase.getStatus(), FirmwareFile::Ok);
        QCOMPARE(imageKeys.getStatus(), FirmwareFile::Ok);
    }

    void init()
    {
        sim().reset();
        sim().setRestartDelayMs(30);
    }

    void texts_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("error");
        QTest::newRow("0") << 0 << "An error occured"
                           << "No error occured";
        QTest::newRow("3") << 3 << "Start firmware update mode"
                           << "Firmware update mode could not be startet";
        QTest::newRow("5") << 5 << "Validate firmware file and process data"
                           << "Invalid firmware file";
        QTest::newRow("7") << 7 << "Waiting for device response"
                           << "Unknown error";
        QTest::newRow("9") << 9 << "Process firmware data"
                           << "Unknown error";
        QTest::newRow("10") << 10 << "Firmware update successfull"
                            << "Unknown error";
        QTest::newRow("11") << 11 << "Unknown state"
                            << "Unknown error";
        QTest::newRow("-1") << -1 << "Unknown state"
                            << "Unknown error";
    }

    void texts()
    {
        QFETCH(int, value);
        QFETCH(QString, state);
        QFETCH(QString, error);
        QCOMPARE(zelUpdater::stateText(zelUpdater::State(value)), state);
        QCOMPARE(zelUpdater::errorText(zelUpdater::Err(value)), error);
    }

    void groupMembers()
    {
        zelInterface link;
        zelUpdater group(&link, &imageKeys, zelInterface::Sensors);
        for (int p : {4, 0, 6, 7, 2, 4, 9, -1})
            group.addPart(Part(p));
        QVERIFY(group.contains(zelInterface::Sensor2));
        QVERIFY(group.contains(zelInterface::Sensor4));
        for (int p : {0, 1, 3, 5, 6, 7})
            QVERIFY2(!group.contains(Part(p)), qPrintable(QString::number(p)));

        zelUpdater single(&link, &imageCtrl, zelInterface::Terminal);
        single.addPart(zelInterface::Sensor2);
        QVERIFY(single.contains(zelInterface::Terminal));
        QVERIFY(!single.contains(zelInterface::Sensor2));
    }

    // Real poll timer, real answers: the whole conversation and what the
    // listeners see.
    void completeRun_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("control panel") << int(Kind::Terminal);
        QTest::newRow("main board") << int(Kind::Mainboard);
        QTest::newRow("sensor boards 2 and 4") << int(Kind::Group);
    }

    void completeRun()
    {
        QFETCH(int, kind);
        const Kind k = Kind(kind);
        const FirmwareFile &image = imageFor(k);
        const QList<int> boards = boardsOf(k);
        const Part part = updaterPart(k);
        const QByteArray text = image.getHexText();
        const QList<QByteArray> lines = textLines(text);

        zelInterface link;
        link.setAutoOpen(true);
        zelUpdater updater(&link, &image, part);
        if (k == Kind::Group) {
            updater.addPart(zelInterface::Sensor2);
            updater.addPart(zelInterface::Sensor4);
        }
        QSignalSpy states(&updater, &zelUpdater::currentState);
        QSignalSpy ranges(&updater, &zelUpdater::range);
        QSignalSpy progress(&updater, &zelUpdater::process);
        QSignalSpy done(&updater, &zelUpdater::done);
        QSignalSpy canceled(&updater, &zelUpdater::canceled);
        QTimer *timer = updater.findChild<QTimer *>();
        QVERIFY(timer);
        sim().clearLog();
        const int opensBefore = sim().openCount();

        updater.start();
        QList<int> armedWith;
        if (k == Kind::Mainboard) {
            // The restart's time-out is what moves on to waiting for the device,
            // so let it expire long before the board is back.
            sim().setRestartDelayMs(300);
            connect(&updater, &zelUpdater::currentState, this, [&](zelUpdater::State s) {
                if (s != zelUpdater::Restarting && s != zelUpdater::WaitReconnect)
                    return;
                // The time-out is armed once the transition is through.
                QTimer::singleShot(0, timer, [&armedWith, timer, s] {
                    armedWith << timer->interval();
                    if (s == zelUpdater::Restarting && timer->isActive())
                        timer->start(1);
                });
            });
        }
        QTRY_COMPARE(done.count() + canceled.count(), 1);
        QCOMPARE(canceled.count(), 0);

        QList<zelUpdater::State> seen;
        for (const auto &args : states) {
            seen.append(args.at(0).value<zelUpdater::State>());
            QCOMPARE(args.at(1).value<zelUpdater::Err>(), zelUpdater::NoError);
        }
        QList<zelUpdater::State> expected{zelUpdater::CheckCompatibility, zelUpdater::StartMode,
                                          zelUpdater::Transferring, zelUpdater::Finishing};
        if (k == Kind::Mainboard)
            expected << zelUpdater::Restarting << zelUpdater::WaitReconnect
                     << zelUpdater::VerifyVersion;
        else
            expected << zelUpdater::WaitResponse;
        expected << zelUpdater::Success;
        QCOMPARE(seen, expected);

        QCOMPARE(ranges.count(), 1);
        QCOMPARE(ranges.at(0).at(0).toInt(), 0);
        QCOMPARE(ranges.at(0).at(1).toInt(), text.size());
        QList<int> taken, expectedTaken;
        for (const auto &args : progress)
            taken.append(args.at(0).toInt());
        int sum = 0;
        for (const QByteArray &line : lines)
            expectedTaken.append(sum += line.size());
        expectedTaken.append(text.size());
        QCOMPARE(taken, expectedTaken);

        // The conversation as the instrument saw it.
        const int target = k == Kind::Group ? 0 : int(part);
        QList<QByteArray> conversation{msg(0x01, target)};
        for (int b : boards)
            conversation << msg(0x02, k == Kind::Group ? b : target);
        for (const QByteArray &line : lines)
            conversation << msg(0x03, target, QByteArray(1, char(line.size())) + line);
        for (int b : boards)
            conversation << msg(0x04, k == Kind::Group ? b : target,
                                QByteArray(1, char(image.getChecksum())));
        if (k == Kind::Mainboard)
            conversation << msg(0x05, target);
        conversation << msg(0x01, target);
        QCOMPARE(sim().messages(), conversation);

        for (int b : boards) {
            QCOMPARE(sim().receivedText(b), text);
            QCOMPARE(sim().installedImage(b), text);
            QCOMPARE(sim().boardVersion(b), versionByte(image.getVersion()));
        }
        checkUntouched(boards);
        if (k == Kind::Mainboard) {
            QCOMPARE(armedWith, (QList<int>{1000, 10000}));
            QCOMPARE(sim().restartCount(), 1);
            QCOMPARE(sim().openCount(), opensBefore + 1);
        }
        QVERIFY(!timer->isActive());
    }

    void builtInImages_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("version");
        QTest::newRow("pbase") << "pbase" << int(Kind::Mainboard) << 33;
        QTest::newRow("pctrl") << "pctrl" << int(Kind::Terminal) << 24;
        QTest::newRow("pkeys") << "pkeys" << int(Kind::Group) << 19;
    }

    void builtInImages()
    {
        QFETCH(QString, file);
        QFETCH(int, kind);
        QFETCH(int, version);
        FirmwareFile image;
        QCOMPARE(image.load(QStringLiteral(ZEL_FIRMWARE_DIR "/") + file), FirmwareFile::Ok);

        ManualLink link;
        zelUpdater updater(&link, &image, updaterPart(Kind(kind)));
        QList<int> boards{7};
        if (Kind(kind) == Kind::Terminal)
            boards = {6};
        if (Kind(kind) == Kind::Group) {
            boards = {5, 1, 2, 3, 4};
            for (int b : boards)
                updater.addPart(Part(b));
        }
        const Outcome out = drive(link, updater);
        QVERIFY(out.ended);
        QCOMPARE(out.dones, 1);
        QVERIFY(out.cancels.isEmpty());
        for (int b : boards) {
            QCOMPARE(sim().installedImage(b), image.getHexText());
            QCOMPARE(sim().boardVersion(b), version);
        }
        checkUntouched(boards);
    }

    // Faults at every step, and what the update makes of them.
    void faults_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("phase");
        QTest::addColumn<int>("fault");
        QTest::addColumn<zelUpdater::Err>("result");
        QTest::addColumn<zelUpdater::State>("expiredIn"); // state of the fatal time-out

        const auto row = [](const QByteArray &name, Kind k, Phase p, Fault f, zelUpdater::Err e,
                            zelUpdater::State s = zelUpdater::Error) {
            QTest::newRow(name.constData()) << int(k) << int(p) << int(f) << e << s;
        };
        using U = zelUpdater;
        const Kind T = Kind::Terminal, M = Kind::Mainboard, G = Kind::Group;

        row("check: silence", T, Check, Silence, U::NoResponse, U::CheckCompatibility);
        row("check: unplug", T, Check, Unplug, U::NoResponse, U::CheckCompatibility);
        row("check: any version goes", T, Check, WrongVersion, U::NoError);
        row("check: foreign part", T, Check, Foreign, U::NoResponse, U::CheckCompatibility);
        row("check: duplicate", T, Check, Duplicate, U::NoError);
        row("check: group member silent", G, Check, Silence, U::NoResponse, U::CheckCompatibility);

        row("start: silence", T, Start, Silence, U::NoResponse, U::StartMode);
        row("start: refused", T, Start, Negative, U::StartFailed);
        row("start: unplug", T, Start, Unplug, U::NoResponse, U::StartMode);
        row("start: foreign part", T, Start, Foreign, U::NoResponse, U::StartMode);
        row("start: duplicate", T, Start, Duplicate, U::NoError);
        row("start: group member refuses", G, Start, Negative, U::StartFailed);
        row("start: group member foreign", G, Start, Foreign, U::NoResponse, U::StartMode);

        const struct
        {
            Phase phase;
            const char *name;
        } lines[] = {
            {FirstLine, "first line"}, {MiddleLine, "middle line"}, {LastLine, "last line"}};
        for (const auto &l : lines) {
            const QByteArray n(l.name);
            row(n + ": silence", T, l.phase, Silence, U::NoResponse, U::Transferring);
            row(n + ": rejected", T, l.phase, Negative, U::TransferFailed);
            row(n + ": unplug", T, l.phase, Unplug, U::NoResponse, U::Transferring);
            row(n + ": foreign part", T, l.phase, Foreign, U::NoResponse, U::Transferring);
            row(n + ": duplicate", T, l.phase, Duplicate, U::NoError);
            row(n + ": main board rejects", M, l.phase, Negative, U::TransferFailed);
        }
        row("middle line: group member silent", G, MiddleLine, Silence, U::NoResponse,
            U::Transferring);
        row("middle line: group member rejects", G, MiddleLine, Negative, U::TransferFailed);
        row("middle line: group member duplicate", G, MiddleLine, Duplicate, U::NoError);

        row("finish: silence", T, Finish, Silence, U::NoResponse, U::Finishing);
        row("finish: rejected", T, Finish, Negative, U::InvalidFile);
        row("finish: unplug", T, Finish, Unplug, U::NoResponse, U::Finishing);
        row("finish: foreign part", T, Finish, Foreign, U::NoResponse, U::Finishing);
        row("finish: duplicate", T, Finish, Duplicate, U::NoError);
        row("finish: group member rejects", G, Finish, Negative, U::InvalidFile);

        row("restart: ignored by the board", M, Restart, Silence, U::NoResponse, U::WaitReconnect);
        row("restart: unplug", M, Restart, Unplug, U::NoResponse, U::WaitReconnect);
        row("restart: back before its time-out", M, Restart, EarlyReturn, U::NoResponse,
            U::WaitReconnect);
        row("reconnect: never back", M, Reconnect, Unplug, U::NoResponse, U::WaitReconnect);

        row("verify: silence", M, Verify, Silence, U::NoResponse, U::VerifyVersion);
        row("verify: wrong version", M, Verify, WrongVersion, U::NotFinished);
        row("verify: unplug", M, Verify, Unplug, U::NoResponse, U::VerifyVersion);
        row("verify: foreign part", M, Verify, Foreign, U::NoResponse, U::VerifyVersion);
        row("verify: duplicate", M, Verify, Duplicate, U::NoError);

        row("response: silence", T, Response, Silence, U::NoResponse, U::WaitResponse);
        row("response: wrong version", T, Response, WrongVersion, U::NotFinished);
        row("response: unplug", T, Response, Unplug, U::NoResponse, U::WaitResponse);
        row("response: foreign part", T, Response, Foreign, U::NoResponse, U::WaitResponse);
        row("response: duplicate", T, Response, Duplicate, U::NoError);
        row("response: group member wrong version", G, Response, WrongVersion, U::NotFinished);
        row("response: group member silent", G, Response, Silence, U::NoResponse, U::WaitResponse);
    }

    void faults()
    {
        QFETCH(int, kind);
        QFETCH(int, phase);
        QFETCH(int, fault);
        QFETCH(zelUpdater::Err, result);
        QFETCH(zelUpdater::State, expiredIn);
        const Kind k = Kind(kind);
        const FirmwareFile &image = imageFor(k);
        const QList<int> boards = boardsOf(k);
        const int board = boards.last(); // the member that misbehaves
        const int lineCount = textLines(image.getHexText()).size();
        const int line = phase == FirstLine    ? 0
                         : phase == MiddleLine ? lineCount / 2
                                               : lineCount - 1;

        // The message that opens the phase; faults that begin at a moment start there.
        int versionRequests = 0, dataLines = 0;
        bool ended = false, restarted = false;
        const auto opensPhase = [&](const QByteArray &m) {
            switch (m.at(0)) {
            case 0x01:
                ++versionRequests;
                return (phase == Check && versionRequests == 1) || (phase == Verify && restarted) ||
                       (phase == Response && ended);
            case 0x02:
                return phase == Start;
            case 0x03:
                return (phase == FirstLine || phase == MiddleLine || phase == LastLine) &&
                       dataLines++ == line;
            case 0x04:
                ended = true;
                return phase == Finish && quint8(m.at(1)) == board;
            case 0x05:
                restarted = true;
                return phase == Restart || phase == Reconnect;
            }
            return false;
        };
        bool triggered = false;
        sim().setMessageHook([&](const QByteArray &m) {
            if (triggered || !opensPhase(m))
                return true;
            triggered = true;
            switch (fault) {
            case Unplug:
                if (phase == Reconnect) {
                    sim().setRestartDelayMs(3600 * 1000);
                    return true;
                }
                sim().unplug();
                return false;
            case Silence:
                return phase != Restart; // the board ignores the restart message
            case Foreign:
                sim().setAnswerAs(board, k == Kind::Group ? 3 : board == 6 ? 5 : 6);
                return true;
            case Duplicate:
                sim().setDuplicateAcks(board, true);
                return true;
            }
            return true;
        });
        const Step steps[] = {Step::Version,
                              Step::Start,
                              Step::Data,
                              Step::Data,
                              Step::Data,
                              Step::End,
                              Step::Start,
                              Step::Start,
                              Step::VersionAfterUpdate,
                              Step::VersionAfterUpdate};
        if (fault == Silence && phase != Restart)
            sim().setSilentFrom(board, steps[phase], line);
        if (fault == Negative) {
            sim().setRefuseStart(board, phase == Start);
            sim().setRejectLine(board, phase == Start || phase == Finish ? -1 : line);
            sim().setRejectEnd(board, phase == Finish);
        }
        if (fault == WrongVersion && phase == Check)
            sim().setBoardVersion(board, 99);
        if (fault == WrongVersion && phase != Check)
            sim().setVersionAfterUpdate(board, versionByte(image.getVersion()) + 1);

        ManualLink link;
        zelUpdater updater(&link, &image, updaterPart(k));
        for (int b : boards)
            updater.addPart(Part(b));
        DriveOptions options;
        options.waitForReconnectInRestarting = fault == EarlyReturn;
        const Outcome out = drive(link, updater, options);
        sim().setMessageHook(nullptr);

        QVERIFY(out.ended);
        QVERIFY(!out.lateSignals);
        for (const auto &e : out.expired)
            QCOMPARE(e.second, expectedInterval(e.first));
        if (result == zelUpdater::NoError) {
            QCOMPARE(out.dones, 1);
            QVERIFY(out.cancels.isEmpty());
            QCOMPARE(out.states.last(), zelUpdater::Success);
            for (int b : boards) {
                QCOMPARE(sim().installedImage(b), image.getHexText());
                QCOMPARE(sim().boardVersion(b), versionByte(image.getVersion()));
            }
        } else {
            QCOMPARE(out.dones, 0);
            QCOMPARE(out.cancels, QList<zelUpdater::Err>{result});
            QCOMPARE(out.states.last(), zelUpdater::Error);
            QCOMPARE(out.states.count(zelUpdater::Error), 1);
            if (result == zelUpdater::NoResponse) {
                QVERIFY(!out.expired.isEmpty());
                QCOMPARE(out.expired.last().first, expiredIn);
            }
        }
        if (result == zelUpdater::StartFailed || result == zelUpdater::TransferFailed ||
            result == zelUpdater::InvalidFile)
            QVERIFY(sim().installedImage(board).isEmpty());
        if (phase != Restart && phase != Reconnect)
            QCOMPARE(sim().restartCount(), int(k == Kind::Mainboard &&
                                               (phase == Verify || result == zelUpdater::NoError)));
    }

    // After the end message the board may be busy installing, so its version is
    // asked for again and again before the update is given up.
    void versionRetries()
    {
        sim().setSilentFrom(6, Step::VersionAfterUpdate);
        ManualLink link;
        zelUpdater updater(&link, &imageCtrl, zelInterface::Terminal);
        sim().clearLog();
        const Outcome out = drive(link, updater);
        QCOMPARE(out.cancels, QList<zelUpdater::Err>{zelUpdater::NoResponse});
        QCOMPARE(out.states.mid(out.states.indexOf(zelUpdater::WaitResponse)),
                 (QList<zelUpdater::State>{zelUpdater::WaitResponse, zelUpdater::Error}));
        QCOMPARE(out.expired.size(), 11);
        for (const auto &e : out.expired)
            QCOMPARE(e, qMakePair(zelUpdater::WaitResponse, 1000));
        const QList<QByteArray> messages = sim().messages();
        const int end =
            messages.indexOf(msg(0x04, 6, QByteArray(1, char(imageCtrl.getChecksum()))));
        QVERIFY(end > 0);
        QList<QByteArray> requests;
        for (int i = 0; i < 11; ++i)
            requests << msg(0x01, 6);
        QCOMPARE(messages.mid(end + 1), requests);
    }

    // A board must never be put into update mode with an image that cannot
    // reach it whole.
    void refusedImages_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("24 data bytes per line") << hexFile("PCTRL", "v5.1", 6, 24) << true;
        QTest::newRow("25 data bytes per line") << hexFile("PCTRL", "v5.1", 6, 25) << false;
        QByteArray corrupted = hexFile("PCTRL", "v5.1", 6, 16);
        corrupted.replace(":00000001FF", ":020000020000FC\r\n:00000001FF");
        QTest::newRow("checksum does not match") << corrupted << false;
        QTest::newRow("no file") << QByteArray() << false;
    }

    void refusedImages()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, accepted);
        FirmwareFile image;
        if (!text.isEmpty()) {
            image = writeAndLoad("refused.hex", text);
            QCOMPARE(image.getStatus() == FirmwareFile::Ok,
                     !QByteArray(QTest::currentDataTag()).contains("checksum"));
        }
        zelInterface link;
        link.setAutoOpen(true);
        sim().clearLog();
        zelUpdater updater(&link, &image, zelInterface::Terminal);
        QSignalSpy states(&updater, &zelUpdater::currentState);
        QSignalSpy done(&updater, &zelUpdater::done);
        QSignalSpy canceled(&updater, &zelUpdater::canceled);
        updater.start();
        if (accepted) {
            QTRY_COMPARE(done.count(), 1);
            QCOMPARE(sim().installedImage(6), image.getHexText());
            return;
        }
        QCOMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).value<zelUpdater::State>(), zelUpdater::Error);
        QCOMPARE(states.at(0).at(1).value<zelUpdater::Err>(), zelUpdater::InvalidFile);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(canceled.at(0).at(0).value<zelUpdater::Err>(), zelUpdater::InvalidFile);
        QTest::qWait(20);
        QVERIFY(sim().messages().isEmpty());
        QCOMPARE(sim().mode(6), zelsim::Mode::Normal);
        QCOMPARE(states.count(), 1);
        QCOMPARE(done.count(), 0);
    }

    void missingObjects_data()
    {
        QTest::addColumn<bool>("withDevice");
        QTest::newRow("no device") << false;
        QTest::newRow("no firmware") << true;
    }

    void missingObjects()
    {
        QFETCH(bool, withDevice);
        zelInterface link;
        link.setAutoOpen(true);
        sim().clearLog();
        zelUpdater updater(withDevice ? &link : nullptr, withDevice ? nullptr : &imageCtrl,
                           zelInterface::Terminal);
        QSignalSpy states(&updater, &zelUpdater::currentState);
        QSignalSpy done(&updater, &zelUpdater::done);
        QSignalSpy canceled(&updater, &zelUpdater::canceled);
        QSignalSpy ranges(&updater, &zelUpdater::range);
        updater.start();
        updater.start();
        QTest::qWait(10);
        QCOMPARE(states.count(), 1);
        QCOMPARE(states.at(0).at(0).value<zelUpdater::State>(), zelUpdater::Error);
        QCOMPARE(states.at(0).at(1).value<zelUpdater::Err>(), zelUpdater::InternalError);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(canceled.at(0).at(0).value<zelUpdater::Err>(), zelUpdater::InternalError);
        QCOMPARE(done.count() + ranges.count(), 0);
        QVERIFY(sim().messages().isEmpty());
    }

    // Random faults at random moments. Whatever happens, done() may only come
    // when every addressed board holds the whole image and reports its version.
    void soak()
    {
        QRandomGenerator rng(0x5eed2016);
        const int runs = 800;
        int falseSuccesses = 0, successes = 0, failures = 0;
        for (int run = 0; run < runs; ++run) {
            sim().reset();
            sim().setRestartDelayMs(rng.bounded(2, 8));
            const Kind k = Kind(rng.bounded(3));
            const FirmwareFile &image = imageFor(k);
            const int lineCount = textLines(image.getHexText()).size();
            const int imageVersion = versionByte(image.getVersion());
            QList<int> boards = boardsOf(k);
            if (k == Kind::Group) {
                boards.clear();
                for (int p = 1; p <= 5; ++p)
                    if (rng.bounded(2))
                        boards << p;
                if (boards.isEmpty())
                    boards << rng.bounded(1, 6);
            }
            const auto anyBoard = [&] { return boards.at(rng.bounded(boards.size())); };
            // Boards that already report the new version must still get the image.
            for (int b : boards)
                if (rng.bounded(4) == 0)
                    sim().setBoardVersion(b, imageVersion);

            const int faults = rng.bounded(3);
            for (int f = 0; f < faults; ++f) {
                switch (rng.bounded(12)) {
                case 0:
                    sim().setSilentFrom(anyBoard(), Step(rng.bounded(5)), rng.bounded(lineCount));
                    break;
                case 1:
                    sim().setRefuseStart(anyBoard(), true);
                    break;
                case 2:
                    sim().setRejectLine(anyBoard(), rng.bounded(lineCount));
                    break;
                case 3:
                    sim().setRejectEnd(anyBoard(), true);
                    break;
                case 4:
                    sim().setVersionAfterUpdate(anyBoard(),
                                                rng.bounded(2) ? imageVersion : imageVersion + 1);
                    break;
                case 5:
                    sim().setDuplicateAcks(anyBoard(), true);
                    break;
                case 6:
                    sim().setAnswerAs(anyBoard(), rng.bounded(8));
                    break;
                case 7:
                    sim().unplugAfterLine(rng.bounded(lineCount));
                    break;
                case 8:
                    sim().failWrite("write failed", rng.bounded(lineCount + 6));
                    break;
                case 9:
                    sim().failRead("read failed", rng.bounded(3 * lineCount));
                    break;
                case 10:
                    sim().setBoardPresent(anyBoard(), false);
                    break;
                default:
                    break;
                }
            }
            // Lost messages, the device vanishing for a while, and late faults.
            const int lostAt = rng.bounded(2) ? rng.bounded(lineCount + 8) : -1;
            const int unplugAt = rng.bounded(4) == 0 ? rng.bounded(lineCount + 8) : -1;
            const int dupAt = rng.bounded(4) == 0 ? rng.bounded(lineCount + 8) : -1;
            const int dupBoard = anyBoard();
            int seen = 0;
            bool unplugged = false;
            sim().setMessageHook([&](const QByteArray &) {
                const int index = seen++;
                if (index == dupAt)
                    sim().setDuplicateAcks(dupBoard, true);
                if (index == unplugAt) {
                    sim().unplug();
                    unplugged = true;
                    return false;
                }
                return index != lostAt;
            });
            // Stray answers that nobody asked for: refusals from anyone, or consent
            // from a board outside the update. (A made-up consent from the very
            // board being asked cannot be told from the real one by any updater.)
            const int strayAt = rng.bounded(3) == 0 ? rng.bounded(3 * lineCount) : -1;
            QByteArray stray(3, '\0');
            stray[0] = char(rng.bounded(2, 5));
            QList<int> outsiders;
            for (int p = 1; p <= 7; ++p)
                if (!boards.contains(p))
                    outsiders << p;
            const bool consent = rng.bounded(2) && !outsiders.isEmpty();
            stray[1] = char(consent ? outsiders.at(rng.bounded(outsiders.size())) : rng.bounded(8));
            stray[2] = char(consent ? 1 : 0);
            const int plugAfter = rng.bounded(1, 30);
            int unpluggedTicks = 0;
            DriveOptions options;
            options.reconnectWaitMs = 50;
            options.onTick = [&](int tick) {
                if (tick == strayAt)
                    sim().injectInputReport(stray + QByteArray(61, '\0'));
                if (unplugged && ++unpluggedTicks == plugAfter) {
                    sim().plug();
                    unplugged = false;
                }
            };

            ManualLink link;
            zelUpdater updater(&link, &image, updaterPart(k));
            for (int b : boards)
                updater.addPart(Part(b));
            const Outcome out = drive(link, updater, options);
            sim().setMessageHook(nullptr);

            QVERIFY2(out.ended, qPrintable(QString("run %1").arg(run)));
            QVERIFY2(!out.lateSignals, qPrintable(QString("run %1").arg(run)));
            QCOMPARE(out.dones + out.cancels.size(), 1);
            if (out.dones == 0) {
                ++failures;
                continue;
            }
            ++successes;
            for (int b : boards) {
                if (sim().installedImage(b) != image.getHexText() ||
                    sim().boardVersion(b) != imageVersion) {
                    ++falseSuccesses;
                    qWarning("run %d: board %d reported done without the image", run, b);
                    break;
                }
            }
        }
        qInfo("%d runs: %d successes, %d failures", runs, successes, failures);
        QCOMPARE(falseSuccesses, 0);
        // A soak in which everything fails, or nothing does, proves little.
        QVERIFY2(successes > runs / 10 && failures > runs / 10,
                 qPrintable(QString("%1 successes, %2 failures").arg(successes).arg(failures)));
    }
};

QTEST_GUILESS_MAIN(TestZelUpdater)
#include "tst_zelupdater.moc"

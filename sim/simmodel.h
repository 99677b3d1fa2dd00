#pragma once

#include "siminstrument.h"

#include <QString>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

// The instrument itself: the seven boards behind one USB interface, with their
// faults, timing and logs. It knows nothing of how reports reach it; the
// in-process hid_* functions and the FUSE server of the hidraw rig are its two
// front ends, and both move whole 64-byte reports in and out through
// write() and takeInputReport(). A Bench holds several instruments, each of
// them a Model of its own.
namespace zelsim {

using Clock = std::chrono::steady_clock;

constexpr int BoardCount = 7;
constexpr int ReportSize = 64;
constexpr unsigned short VendorId = 0x04D8;
constexpr unsigned short ProductId = 0xF93C;
// The instruments a bench holds: the first is attached at the start, the others
// wait unplugged until a test plugs them in.
constexpr int InstrumentCount = 4;

struct Board
{
    int part = 0;
    bool present = true;
    int version = 0;
    Mode mode = Mode::Normal;
    QByteArray received;
    QByteArray installed;
    int linesSinceStart = 0; // data lines seen in the current update mode, rejected ones too
    bool lastWasEof = false; // the last accepted line was an end-of-file record
    bool updated = false;    // an end message was accepted since the last reset

    // faults
    bool refuseStart = false;
    int rejectLine = -1;
    bool rejectEnd = false;
    int versionAfterUpdate = -1;
    bool duplicateAcks = false;
    int answerAs = -1;
    bool silentArmed = false;
    Step silentStep = Step::Version;
    int silentLine = 0;
    bool silent = false; // hung: neither acts on nor answers anything any more
};

struct DueAnswer
{
    Clock::time_point due;
    QByteArray bytes; // 3 bytes
};

// A link fault armed to fire on a later call.
struct LinkFault
{
    bool armed = false;
    int after = 0;
    QString text;

    void arm(const QString &t, int a)
    {
        armed = true;
        after = qMax(0, a);
        text = t;
    }
    // Counts the call; true for the one that fails.
    bool fires()
    {
        if (!armed)
            return false;
        if (after > 0) {
            --after;
            return false;
        }
        armed = false;
        return true;
    }
};

struct Model
{
    int number = 1; // the instrument's place on its bench, from 1
    QString serial; // the serial number it reports; empty for none
    // Its device node hidrawN while attached, given by the front end that lists
    // it (Bench::assignNodes); -1 while it is away. A new appearance may get
    // another number.
    int node = -1;

    Board boards[BoardCount + 1]; // index = PartType, 0 unused

    bool attached = true;
    bool accessDenied = false;
    bool restarting = false;
    Clock::time_point backAt;
    // Moves on each time the device goes away: a handle belongs to one appearance.
    quint64 generation = 1;

    int restartDelayMs = Instrument::DefaultRestartMs;
    int answerLatencyMs = 0;
    int unplugLine = -1;
    int dataLinesSinceStart = 0;

    std::deque<DueAnswer> answers;
    // Reports the device sends by itself, with the moment each was made.
    std::deque<std::pair<Clock::time_point, QByteArray>> injected;

    LinkFault failNonblocking;
    LinkFault failWrite;
    LinkFault failRead;

    std::function<bool(const QByteArray &)> hook;

    QList<QByteArray> written;
    QList<QByteArray> decoded;
    int restarts = 0;
    int opens = 0;
    int exits = 0;

    // Everything back to defaults; handles of before are dead. The first
    // instrument of a bench is attached then, the others unplugged.
    void reset();
    Board *board(int part);
    const Board *board(int part) const;

    // --- what a front end sees ---

    // On the bus now (a restart that has run its time is over).
    bool present();
    // A handle of `appearance` still talks to the device.
    bool alive(quint64 appearance);
    // One output report as the host writes it: report id, then the data bytes.
    void write(const unsigned char *data, size_t length);
    // The input report the device has ready at `asOf`: an injected one as it is,
    // or up to 21 answers due by then, zero-padded to 64 bytes; empty when there
    // is none.
    QByteArray takeInputReport(Clock::time_point asOf = Clock::now());
    // When takeInputReport() will next have something: for an injected report
    // the moment it was made (so that a frame after it carries it), else when
    // the first answer falls due; none while nothing waits.
    std::optional<Clock::time_point> inputDue() const;

    // --- the boards ---

    // Brings the device back once a restart has run its time.
    void tick();
    void disappear();

    // hid_write's data bytes: a run of messages, ended by a zero or unknown command.
    void receiveReport(const unsigned char *data, int size);
    void dispatch(const QByteArray &message);
    void queueAnswer(Board &b, char command, char value);
    bool goesSilent(Board &b, Step step, int line = 0);

    void onVersion(int part);
    void onStart(int part);
    void onData(int part, const QByteArray &line);
    void onEnd(int part, quint8 checksum);
    void onRestart(int part);
    void dataToBoard(Board &b, const QByteArray &line, bool group);
};

struct Bench
{
    Model instruments[InstrumentCount];

    Bench();
    void reset();
    // Instrument `number`, from 1; null for a number the bench does not have.
    Model *instrument(int number);
    // Gives every attached instrument without a node the lowest number that
    // neither another instrument nor `taken` holds, in the order of the
    // instruments, as the kernel numbers hidraw nodes.
    void assignNodes(const std::function<bool(int)> &taken = {});
};

// The bench behind Instrument::instance().
Bench &sharedBench();

} // namespace zelsim

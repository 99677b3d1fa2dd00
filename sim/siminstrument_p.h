#pragma once

#include "siminstrument.h"

#include <QString>

#include <chrono>
#include <deque>
#include <string>

// A handle as hid_open hands it out. It belongs to one appearance of the
// device: once the device goes away (unplug, restart, reset) the generation
// moves on and the handle stays dead even after the device is back.
struct hid_device_
{
    quint64 generation = 0;
    std::wstring error;
    bool hasError = false;
};

namespace zelsim {

using Clock = std::chrono::steady_clock;

constexpr int BoardCount = 7;

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

struct Answer
{
    Clock::time_point due;
    QByteArray bytes; // 3 bytes
};

struct Instrument::Private
{
    Board boards[BoardCount + 1]; // index = PartType, 0 unused

    bool attached = true;
    bool restarting = false;
    Clock::time_point backAt;
    quint64 generation = 1;

    int restartDelayMs = DefaultRestartMs;
    int answerLatencyMs = 0;
    int unplugLine = -1;
    int dataLinesSinceStart = 0;

    std::deque<Answer> answers;
    std::deque<QByteArray> injected;

    bool failNonblockingArmed = false;
    QString failNonblockingText;
    bool failWriteArmed = false;
    int failWriteAfter = 0;
    QString failWriteText;
    bool failReadArmed = false;
    int failReadAfter = 0;
    QString failReadText;

    std::function<bool(const QByteArray &)> hook;

    QList<QByteArray> written;
    QList<QByteArray> decoded;
    int restarts = 0;
    int opens = 0;
    int exits = 0;

    std::wstring globalError;

    Board *board(int part);
    const Board *board(int part) const;

    // Brings the device back once a restart has run its time.
    void tick();
    void disappear();
    bool handleAlive(const hid_device_ *dev);

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

struct HidAccess
{
    static Instrument::Private *d() { return Instrument::instance().d; }
};

} // namespace zelsim

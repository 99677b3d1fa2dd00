#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// The simulated instrument. It is a model, not a recording: each board decodes
// the HEX lines it receives, checks record and file checksums, installs an
// accepted image and from then on reports the version of that image's
// information block. The main board restarts on request and the device
// disappears meanwhile.
//
// Two ways to reach it. In process (zelsim): the model stands behind the HIDAPI C
// functions that the link calls, and test executables and the demo link it in
// place of the system library; single-threaded, like the tool, everything
// happens inside the HIDAPI calls. In the hidraw rig (tools/hidrig): the model
// runs in a FUSE server that serves it as /dev/hidraw0 to the system's HIDAPI,
// and this same interface, linked from zelsimrig, forwards each call to that
// server. What only the in-process model can do is marked below.
namespace zelsim {

enum class Mode
{
    Normal,
    Update
};

// The request a board is answering; used to pick the moment a fault begins.
enum class Step
{
    Version,            // any version request
    Start,              // start request
    Data,               // data line (see `line` below)
    End,                // end message
    VersionAfterUpdate, // version request after an accepted end message
};

struct Model;

class Instrument
{
public:
    static Instrument &instance();

    // Everything back to defaults: attached, every board present in Normal mode
    // with its default version and nothing received, no faults, latency 0,
    // restart time 1500 ms, logs cleared, open handles invalidated.
    void reset();

    // --- configuration ---
    static constexpr int DefaultRestartMs = 1500;
    void setRestartDelayMs(int ms);
    void setAnswerLatencyMs(int ms); // 0: the answer is there for the next hid_read
    void setBoardVersion(int part, int versionByte);
    int boardVersion(int part) const; // what the board would report now

    // --- plugging ---
    bool attached() const;
    void unplug();                  // open handles fail from now on; hid_open finds nothing
    void plug();                    // the device is found again (handles of before stay dead)
    void unplugAfterLine(int line); // unplug right after receiving data line `line` (0-based)

    // --- faults of a board (part 1..7) ---
    void setBoardPresent(int part, bool present);          // absent: never answers anything
    void setSilentFrom(int part, Step step, int line = 0); // stops answering from then on
    void setRefuseStart(int part, bool refuse);
    void setRejectLine(int part, int line); // answer 0 to data line `line` (0-based), -1 off
    void setRejectEnd(int part, bool reject);
    void setVersionAfterUpdate(int part, int versionByte); // -1: the image's own version
    void setDuplicateAcks(int part, bool duplicate);       // every answer is sent twice
    void setAnswerAs(int part, int foreignPart); // answers carry another part byte, -1 off

    // --- faults of the link ---
    // Listed by hid_enumerate, but opening it fails as for a user without
    // permission on the device node.
    void setAccessDenied(bool denied);
    // In process only (the system library cannot fail here):
    void failSetNonblocking(const QString &text); // the next hid_set_nonblocking fails
    // A later hid_write or hid_read fails. In the rig the call fails with EIO and
    // the error text is the library's, not `text`.
    void failWrite(const QString &text, int afterWrites = 0);
    void failRead(const QString &text, int afterReads = 0);
    void injectInputReport(const QByteArray &data); // handed out by the next hid_read, as is

    // In process only: called with every message the instrument decodes from an
    // output report, before the boards see it; return false to swallow it.
    void setMessageHook(std::function<bool(const QByteArray &message)> hook);

    // --- inspection ---
    QList<QByteArray> writtenReports() const; // every hid_write buffer, 65 bytes each
    QList<QByteArray> messages() const;       // every message decoded from them, in order
    void clearLog();
    Mode mode(int part) const;
    QByteArray receivedText(int part) const;   // the exact bytes of the lines received
    QByteArray installedImage(int part) const; // the last accepted text, empty if none
    int restartCount() const;
    int openCount() const; // successful opens of the device
    int exitCount() const; // hid_exit calls; in process only

private:
    friend Model &sharedModel(); // the front ends drive the model
    Instrument();
    struct Private;
    Private *d;
};

} // namespace zelsim

#pragma once

#include "simcommands.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <type_traits>

// The simulated instrument. It is a model, not a recording: each board decodes
// the HEX lines it receives, checks record and file checksums, installs an
// accepted image and from then on reports the version of that image's
// information block. The main board restarts on request and the device
// disappears meanwhile.
//
// A bench of several instruments, each with its own boards, faults, serial
// number and device node, plugged in and out on its own: instance() is the
// first, and instance(N) any of them.
//
// Two ways to reach it. In process (zelsim): the model stands behind the HIDAPI C
// functions that the link calls, and test executables and the demo link it in
// place of the system library; single-threaded, like the tool, everything
// happens inside the HIDAPI calls. In the hidraw rig (tools/hidrig): the model
// runs in a FUSE server that serves it as /dev/hidraw0 to the system's HIDAPI,
// and this same interface, linked from zelsimrig, sends each command to that
// server. Either way it is steered and read through the commands of
// simcommands.cpp; what only the in-process model can do is marked below.
namespace zelsim {

struct Bench;

class Instrument
{
public:
    // The bench's first instrument. Its commands carry no address, so those meant
    // for the whole bench (reset) reach every instrument.
    static Instrument &instance();
    // Instrument `number`, 1 to InstrumentCount (simmodel.h): its commands are
    // addressed to it alone ("@2 reset" resets instrument 2, which then waits
    // unplugged). Another number ends the process.
    static Instrument &instance(int number);

    static constexpr int DefaultRestartMs = 1500;

    // One command of the table in simcommands.cpp, its arguments given as
    // numbers, bools, Steps, byte strings and, last, a text:
    //   sim.run("rejectLine", 6, 100);
    //   sim.bytes("installedImage", 6);
    // run() for a command that answers nothing, value(), bytes() and list() for
    // the read-backs. A name the table does not have, arguments that do not fit
    // it or a read-back taken as the wrong kind end the process: a test must not
    // pass because a fault was never set.
    template <typename... Args> void run(const char *name, const Args &...args)
    {
        call(Answer::Nothing, line(name, args...));
    }
    template <typename... Args> int value(const char *name, const Args &...args)
    {
        return call(Answer::Number, line(name, args...)).number;
    }
    template <typename... Args> QByteArray bytes(const char *name, const Args &...args)
    {
        return call(Answer::Bytes, line(name, args...)).bytes;
    }
    QList<QByteArray> list(const char *name) { return call(Answer::List, name).list; }

    // --- in process only (the system library cannot do these) ---
    void failSetNonblocking(const QString &text); // the next hid_set_nonblocking fails
    // Called with every message the instrument decodes from an output report,
    // before the boards see it; return false to swallow it.
    void setMessageHook(std::function<bool(const QByteArray &message)> hook);
    int exitCount() const; // hid_exit calls since the reset

private:
    friend Bench &sharedBench(); // the front ends drive the bench
    explicit Instrument(int number);
    Value call(Answer kind, const QByteArray &line);

    template <typename T> static QByteArray word(const T &n)
    {
        static_assert(std::is_integral_v<T>, "a command's argument is a number, bool, Step, "
                                             "byte string or text");
        return QByteArray::number(qint64(n));
    }
    static QByteArray word(bool on) { return on ? "1" : "0"; }
    static QByteArray word(Step step) { return stepName(step); }
    static QByteArray word(const QByteArray &bytes) { return bytes.toHex(); }
    static QByteArray word(const char *text) { return text; }
    static QByteArray word(const QString &text) { return text.toUtf8(); }
    template <typename... Args> static QByteArray line(const char *name, const Args &...args)
    {
        QByteArray text(name);
        ((text += ' ' + word(args)), ...);
        return text;
    }

    struct Private;
    Private *d;
    int number; // 0: the first, unaddressed
};

} // namespace zelsim

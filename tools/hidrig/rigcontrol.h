#pragma once

#include <QByteArray>
#include <QString>

// The test side of the hidraw rig (run-in-rig.sh): what tests and benchmarks
// running inside it use besides zelsim::Instrument, whose calls zelsimrig
// forwards to the rig's server.
namespace zelrig {

// Why the rig cannot be used here; empty inside a working rig.
QString unavailableReason();

// One control command (see controlcommands.h) and the value of its answer. A
// server that cannot be reached or refuses the command ends the process: the
// test could not go on meaningfully.
QByteArray command(const QByteArray &line);

// The device node's permission bits, as the kernel checks them on open.
void setNodeMode(int mode);
// USB timing: one report per 1 ms frame each way; off, reports move at once.
void setUsbTiming(bool on);
qint64 serverPid();
// Starts a new server after the last one died, as the rig starts the first;
// true once it answers.
bool startServer();

// A QtTest run of one test case that skips with unavailableReason().
int skipAll(int argc, char **argv);

} // namespace zelrig

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The test side of the hidraw rig (run-in-rig.sh): what tests and benchmarks
// running inside it use besides zelsim::Instrument, whose commands zelsimrig
// sends to the rig's server.
namespace zelrig {

// Why the rig, or one of the `programs` a test needs beside it, cannot be used
// here; empty inside a working rig with all of them installed.
QString unavailableReason(const QStringList &programs = {});

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

// Skips the test case (in initTestCase) or one test, saying why, unless the rig
// and the programs named work here; ctest tells such a skip by its words
// "hidrig unavailable". A macro, since QSKIP returns from where it stands.
#define ZELRIG_REQUIRE(...)                                                                        \
    do {                                                                                           \
        const QString zelrigWhy = zelrig::unavailableReason({__VA_ARGS__});                        \
        if (!zelrigWhy.isEmpty())                                                                  \
            QSKIP(qPrintable("hidrig unavailable: " + zelrigWhy));                                 \
    } while (false)

#pragma once

#include <QString>

// The set-up of a demo build from its environment variable ZEL_SIM.

// Not one of the command line's own exit codes, so a test cannot mistake a
// broken set-up for the behaviour it checks.
constexpr int SimSetupError = 64;

// Sets the simulated instrument up from a list of settings separated by ';', for
// example "unplugged;plugAfterMs=300;absent=3;version=7:29", applied in order.
// A setting is a command of the table in simcommands.cpp that answers nothing,
// written NAME or NAME=ARG:ARG:... ("rejectLine=6:100" runs "rejectLine 6 100"),
// or one of the demo's own:
//   unplugged               the instrument is not attached at the start
//   plugAfterMs=MS          it is attached MS milliseconds after the start
//   grantAfterMs=MS         access is granted MS milliseconds after the start
//   report=PATH             what the instrument holds at the end goes to PATH
//   bench=N                 a service bench: one of the first N instruments asked
//                           for every board's version a second time (after its
//                           update) is unplugged, and the next of them plugged in
// "@N " in front of a setting other than report and bench gives it to instrument N of the
// bench ("@2 plug;@2 serial=B-2002"); without it, it is for the first.
// False with a message for a setting it cannot use.
bool setUpSimulatedInstrument(const QString &settings, QString *error);

// With report=PATH: writes to PATH, as one JSON object, what the tests of the
// command line cannot see from outside the process: per board ("boards", by
// part number) its mode ("normal" or "update"), the bytes of data lines it
// received, whether it installed an image and the version byte it reports now;
// the number of messages other than version requests ("updateMessages") and of
// main-board restarts ("restarts"); the same for every instrument of the bench
// by its number ("instruments"). False if the file cannot be written.
bool writeSimulatedInstrumentReport();

#pragma once

#include <QString>

// Not one of the command line's own exit codes, so a test cannot mistake a
// broken set-up for the behaviour it checks.
constexpr int SimSetupError = 64;

// Sets the simulated instrument up from a list of settings separated by ';', for
// example "unplugged;plugAfterMs=300;absent=3;version=7:29". P is a part number
// (1 to 7), V a version byte (29 is v2.9), L a data line counted from 0.
//   unplugged               the instrument is not attached
//   plugAfterMs=MS          it is attached MS milliseconds after the start
//   accessDenied            it is listed, but opening it fails as without permission
//   grantAfterMs=MS         access is granted MS milliseconds after the start
//   absent=P                the board never answers
//   version=P:V             the board runs firmware V
//   latencyMs=MS            every answer comes MS milliseconds late
//   restartMs=MS            the main board is back on USB MS ms after its restart
//   refuseStart=P           the board refuses to enter update mode
//   rejectLine=P:L          the board rejects data line L
//   rejectEnd=P             the board rejects the end message
//   silentFrom=P:STEP[:L]   the board stops answering at STEP (version, start,
//                           data, end, versionAfterUpdate), for data from line L
//   versionAfterUpdate=P:V  after an update the board reports V instead
//   duplicateAcks=P         the board sends every answer twice
//   answerAs=P:Q            the board's answers carry part Q
//   unplugAfterLine=L       the instrument goes away after data line L
//   failRead=N, failWrite=N the link's read or write fails after N good ones
//   report=PATH             what the instrument holds at the end goes to PATH
// Applied in order. False with a message for a setting it does not know.
bool setUpSimulatedInstrument(const QString &settings, QString *error);

// With report=PATH: writes to PATH, as one JSON object, what the tests of the
// command line cannot see from outside the process: per board ("boards", by
// part number) its mode ("normal" or "update"), the bytes of data lines it
// received, whether it installed an image and the version byte it reports now;
// the number of messages other than version requests ("updateMessages") and of
// main-board restarts ("restarts"). False if the file cannot be written.
bool writeSimulatedInstrumentReport();

#pragma once

#include <QtGlobal>

// What the window and the command line tell a user whose access to the instrument
// was denied: on Linux, where a udev rule grants it, to install the rule; on Windows,
// where any user may open the device, to close the program that holds it.
#ifdef Q_OS_WIN
#define ZEL_DENIED_STATUS                                                                          \
    "Instrument found, but access was denied: close other programs that use it (see README)"
#define ZEL_DENIED_ADVICE                                                                          \
    "access to it was denied: close every other program that uses the instrument"
#else
#define ZEL_DENIED_STATUS                                                                          \
    "Instrument found, but access was denied: install the udev rule (see README)"
#define ZEL_DENIED_ADVICE "access to it was denied: install the udev rule 70-zelora-hr36.rules"
#endif

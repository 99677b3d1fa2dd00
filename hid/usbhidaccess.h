#pragma once

#include <QString>

// What a user can do when the instrument is there but will not open
// (UsbHid::accessDenied). The remedy is the system's: on Linux a udev rule gives
// the user at the seat the device node; on Windows any user may open the device,
// and another program holding it is what keeps it closed. Each system's wording
// is in its own file, usbhidaccess_<system>.cpp.
namespace UsbHidAccess {

// The window's status line, translated in the window's context.
QString deniedStatus();
// What the command line advises after "access to it was denied: ".
QString deniedAdvice();
// The short form in the command line's list of exit codes.
const char *deniedExitMeaning();

} // namespace UsbHidAccess

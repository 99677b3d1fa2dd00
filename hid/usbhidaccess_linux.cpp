// Linux: device nodes belong to root until a udev rule hands them to the user.
#include "usbhidaccess.h"

#include <QCoreApplication>

namespace UsbHidAccess {

QString deniedStatus()
{
    return QCoreApplication::translate(
        "zelLoader", "Instrument found, but access was denied: install the udev rule (see README)");
}

QString deniedAdvice()
{
    return QStringLiteral("install the udev rule 70-zelora-hr36.rules (see the README, "
                          "\"Installing on Linux\", or zelloader-cli(1)), then unplug the "
                          "instrument and plug it in again");
}

const char *deniedExitMeaning()
{
    return "instrument found, but access denied: install the udev rule";
}

} // namespace UsbHidAccess

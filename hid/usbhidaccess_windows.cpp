// Windows: every user may open a HID device of this kind, and nothing needs to be
// installed for it; the device stays closed while another program holds it without
// sharing it.
#include "usbhidaccess.h"

#include <QCoreApplication>

namespace UsbHidAccess {

QString deniedStatus()
{
    return QCoreApplication::translate("zelLoader",
                                       "Instrument found, but access was denied: close other "
                                       "programs that use it (see README)");
}

QString deniedAdvice()
{
    return QStringLiteral("close every other program that uses the instrument (another "
                          "zelLoader, for one), then unplug the instrument and plug it in again");
}

const char *deniedExitMeaning()
{
    return "instrument found, but access denied: another program may be using it";
}

} // namespace UsbHidAccess

// Systems with no wording of their own: the README says what applies there.
#include "usbhidaccess.h"

#include <QCoreApplication>

namespace UsbHidAccess {

QString deniedStatus()
{
    return QCoreApplication::translate("zelLoader",
                                       "Instrument found, but access was denied (see README)");
}

QString deniedAdvice()
{
    return QStringLiteral("see the README, then unplug the instrument and plug it in again");
}

const char *deniedExitMeaning()
{
    return "instrument found, but access denied";
}

} // namespace UsbHidAccess

// The link where no device folder tells of a new device (Windows among others): it
// tries to open the instrument every WaitIntervalMs while it waits.
#include "usbhid.h"

void UsbHid::watchDeviceNodes() {}

// The HIDAPI entry points the tool uses, answered by the simulated instrument
// instead of the operating system.
#include "siminstrument_p.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>

using zelsim::HidAccess;

namespace {

constexpr unsigned short VendorId = 0x04D8;
constexpr unsigned short ProductId = 0xF93C;
constexpr int ReportSize = 64;
constexpr int AnswersPerReport = ReportSize / 3;

void setError(hid_device *dev, const std::wstring &text)
{
    dev->error = text;
    dev->hasError = true;
}

// A handle whose device went away reports it on every call, as hidraw does.
bool checkAlive(hid_device *dev)
{
    if (HidAccess::d()->handleAlive(dev))
        return true;
    if (dev)
        setError(dev, L"Device disconnected");
    return false;
}

// Counts down an armed link fault; true when this call is the one that fails.
bool fires(bool &armed, int &after)
{
    if (!armed)
        return false;
    if (after > 0) {
        --after;
        return false;
    }
    armed = false;
    return true;
}

int copyOut(const QByteArray &report, unsigned char *data, size_t length)
{
    const size_t n = std::min(size_t(report.size()), length);
    if (n > 0)
        std::memcpy(data, report.constData(), n);
    return int(n);
}

} // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    ++HidAccess::d()->exits;
    return 0;
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t *serial_number)
{
    Q_UNUSED(serial_number)
    auto *d = HidAccess::d();
    d->tick();
    if (!d->attached || vendor_id != VendorId || product_id != ProductId) {
        d->globalError = L"No HID devices with requested VID/PID found in the system.";
        return nullptr;
    }
    d->globalError.clear();
    auto *dev = new hid_device;
    dev->generation = d->generation;
    ++d->opens;
    return dev;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock)
{
    Q_UNUSED(nonblock)
    auto *d = HidAccess::d();
    if (!checkAlive(dev))
        return -1;
    if (d->failNonblockingArmed) {
        d->failNonblockingArmed = false;
        setError(dev, d->failNonblockingText.toStdWString());
        return -1;
    }
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    auto *d = HidAccess::d();
    if (!checkAlive(dev))
        return -1;
    if (!data || length < 1) {
        setError(dev, L"Invalid argument");
        return -1;
    }
    if (fires(d->failWriteArmed, d->failWriteAfter)) {
        setError(dev, d->failWriteText.toStdWString());
        return -1;
    }
    d->written.append(QByteArray(reinterpret_cast<const char *>(data), int(length)));
    // Byte 0 is the report id (0, unnumbered reports); the report's data follow.
    d->receiveReport(data + 1, int(std::min(length - 1, size_t(ReportSize))));
    return int(length);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    auto *d = HidAccess::d();
    if (!checkAlive(dev))
        return -1;
    if (!data) {
        setError(dev, L"Invalid argument");
        return -1;
    }
    if (fires(d->failReadArmed, d->failReadAfter)) {
        setError(dev, d->failReadText.toStdWString());
        return -1;
    }
    if (!d->injected.empty()) {
        const QByteArray report = d->injected.front();
        d->injected.pop_front();
        return copyOut(report, data, length);
    }
    const auto now = zelsim::Clock::now();
    QByteArray report;
    int count = 0;
    while (count < AnswersPerReport && !d->answers.empty() && d->answers.front().due <= now) {
        report += d->answers.front().bytes;
        d->answers.pop_front();
        ++count;
    }
    if (count == 0)
        return 0;
    report.append(ReportSize - report.size(), '\0');
    return copyOut(report, data, length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data,
                                                 size_t length, int milliseconds)
{
    // The model never blocks: whatever is due is there at once.
    Q_UNUSED(milliseconds)
    return hid_read(dev, data, length);
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev)
{
    if (!dev) {
        const auto &text = HidAccess::d()->globalError;
        return text.empty() ? nullptr : text.c_str();
    }
    return dev->hasError ? dev->error.c_str() : nullptr;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev)
{
    delete dev;
}

} // extern "C"

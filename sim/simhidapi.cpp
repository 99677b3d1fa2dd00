// The HIDAPI entry points the tool uses, answered by the simulated instrument
// instead of the operating system.
#include "simmodel.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>
#include <string>

using zelsim::Model;
using zelsim::sharedBench;

// A handle as hid_open hands it out. It belongs to one appearance of one
// instrument: once that goes away (unplug, restart, reset) the generation moves
// on and the handle stays dead even after the instrument is back.
struct hid_device_
{
    int instrument = 1;
    quint64 generation = 0;
    std::wstring error;
    bool hasError = false;
};

namespace {

// What hid_enumerate lists as an instrument's path: its device node, numbered as
// the kernel numbers them.
QByteArray pathOf(const Model &m)
{
    return "zelsim:hidraw" + QByteArray::number(m.node);
}

Model &model(const hid_device *dev)
{
    return *sharedBench().instrument(dev->instrument);
}

// What hid_error(NULL) returns: the failure of the last enumeration or open.
// Never freed, as hid_* calls may still come from static destructors.
std::wstring &globalError = *new std::wstring;

std::wstring openFailure(const char *path, const wchar_t *reason)
{
    return L"Failed to open a device with path '" +
           QString::fromUtf8(path ? path : "").toStdWString() + L"': " + reason;
}

void setError(hid_device *dev, const std::wstring &text)
{
    dev->error = text;
    dev->hasError = true;
}

// A handle whose device went away reports it on every call, as hidraw does.
bool checkAlive(hid_device *dev)
{
    if (dev && model(dev).alive(dev->generation))
        return true;
    if (dev)
        setError(dev, L"Device disconnected");
    return false;
}

int copyOut(const QByteArray &report, unsigned char *data, size_t length)
{
    const size_t n = std::min(size_t(report.size()), length);
    if (n > 0)
        std::memcpy(data, report.constData(), n);
    return int(n);
}

wchar_t *copyOf(const wchar_t *text)
{
    const size_t n = std::wcslen(text) + 1;
    return std::copy(text, text + n, new wchar_t[n]) - n;
}

} // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    // The library's, counted by every instrument since its reset.
    for (Model &m : sharedBench().instruments)
        ++m.exits;
    return 0;
}

// Texts and fields as the hidraw back end of the system library gives them; the
// instruments in the order of their places on the bench, as a system lists
// devices by the port they are plugged into.
struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id)
{
    auto &bench = sharedBench();
    bench.assignNodes();
    hid_device_info *first = nullptr;
    hid_device_info **next = &first;
    const bool ours = (!vendor_id || vendor_id == zelsim::VendorId) &&
                      (!product_id || product_id == zelsim::ProductId);
    for (Model &m : bench.instruments) {
        if (!ours || !m.present() || m.node < 0)
            continue;
        auto *info = new hid_device_info{};
        const QByteArray path = pathOf(m);
        info->path = new char[size_t(path.size()) + 1];
        std::memcpy(info->path, path.constData(), size_t(path.size()) + 1);
        info->vendor_id = zelsim::VendorId;
        info->product_id = zelsim::ProductId;
        info->serial_number = copyOf(m.serial.toStdWString().c_str());
        info->release_number = 0x0100;
        info->manufacturer_string = copyOf(L"Zelora");
        info->product_string = copyOf(L"HR36");
        info->usage_page = 0xFF00;
        info->usage = 0x01;
        info->interface_number = 0;
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 13, 0)
        info->bus_type = HID_API_BUS_USB;
#endif
        *next = info;
        next = &info->next;
    }
    if (first)
        globalError.clear();
    else
        globalError = vendor_id || product_id
                          ? L"No HID devices with requested VID/PID found in the system."
                          : L"No HID devices found in the system.";
    return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        delete[] devs->path;
        delete[] devs->serial_number;
        delete[] devs->manufacturer_string;
        delete[] devs->product_string;
        delete devs;
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path)
{
    auto &bench = sharedBench();
    bench.assignNodes();
    Model *found = nullptr;
    for (Model &m : bench.instruments) {
        if (path && m.present() && m.node >= 0 && pathOf(m) == path)
            found = &m;
    }
    if (!found) {
        globalError = openFailure(path, L"No such file or directory");
        return nullptr;
    }
    if (found->accessDenied) {
        globalError = openFailure(path, L"Permission denied");
        return nullptr;
    }
    globalError.clear();
    auto *dev = new hid_device;
    dev->instrument = found->number;
    dev->generation = found->generation;
    ++found->opens;
    return dev;
}

// Like the system library: the first device listed with these ids (and this
// serial number, if one is given).
HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t *serial_number)
{
    hid_device_info *list = hid_enumerate(vendor_id, product_id);
    const hid_device_info *chosen = list;
    while (chosen && serial_number && std::wcscmp(serial_number, chosen->serial_number) != 0)
        chosen = chosen->next;
    hid_device *dev = chosen ? hid_open_path(chosen->path) : nullptr;
    hid_free_enumeration(list);
    return dev;
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock)
{
    Q_UNUSED(nonblock)
    if (!checkAlive(dev))
        return -1;
    auto &fault = model(dev).failNonblocking;
    if (fault.fires()) {
        setError(dev, fault.text.toStdWString());
        return -1;
    }
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    if (!checkAlive(dev))
        return -1;
    Model &instrument = model(dev);
    if (!data || length < 1) {
        setError(dev, L"Invalid argument");
        return -1;
    }
    if (instrument.failWrite.fires()) {
        setError(dev, instrument.failWrite.text.toStdWString());
        return -1;
    }
    instrument.write(data, length);
    return int(length);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    if (!checkAlive(dev))
        return -1;
    Model &instrument = model(dev);
    if (!data) {
        setError(dev, L"Invalid argument");
        return -1;
    }
    if (instrument.failRead.fires()) {
        setError(dev, instrument.failRead.text.toStdWString());
        return -1;
    }
    return copyOut(instrument.takeInputReport(), data, length);
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
    if (!dev)
        return globalError.empty() ? nullptr : globalError.c_str();
    return dev->hasError ? dev->error.c_str() : nullptr;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev)
{
    delete dev;
}

} // extern "C"

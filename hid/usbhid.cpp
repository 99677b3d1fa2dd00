#include "usbhid.h"

#include <QDeadlineTimer>
#include <QFileSystemWatcher>
#include <QTimer>

#include <hidapi.h>

#include <cstring>

namespace {
// One unnumbered report: byte 0 is the report id (always 0), then the data.
constexpr int ReportSize = 65;
constexpr int ReportDataSize = ReportSize - 1;
} // namespace

UsbHid::UsbHid(quint16 vendorId, quint16 productId, QObject *parent) : QObject(parent)
{
    isOpen = false;
    this->vendorId = vendorId;
    this->productId = productId;
    pollInterval = 15;
    autoOpen = false;
    device = nullptr;
    std::memset(reportBuffer, 0, sizeof(reportBuffer));
    clockMs = [] { return QDeadlineTimer::current(Qt::PreciseTimer).deadline(); };
    pollTimer = new QTimer(this);
    // A coarse timer may fire up to 5 % early, which would allow 21 attempts a second.
    pollTimer->setTimerType(Qt::PreciseTimer);
    connect(pollTimer, &QTimer::timeout, this, &UsbHid::polling);
    watchDeviceNodes();
    adjustTimer();
    pollTimer->start();
}

bool UsbHid::watching() const
{
    // The watcher drops a folder that is removed or unmounted.
    return nodeWatcher && !nodeWatcher->directories().isEmpty();
}

UsbHid::~UsbHid()
{
    if (device && isOpen) {
        close();
    }
    hid_exit();
    sendQueue.clear();
}

void UsbHid::setPollInterval(int ms)
{
    if (ms <= 0) {
        return;
    }
    pollInterval = ms;
    adjustTimer();
}

void UsbHid::setAutoOpen(bool on)
{
    if (on == autoOpen) {
        return;
    }
    autoOpen = on;
    if (autoOpen) {
        frequentUntilMs = qMax(frequentUntilMs, clockMs() + FrequentAfterStartMs);
    }
    if (autoOpen && !isOpen) {
        open();
    } else {
        adjustTimer();
    }
}

void UsbHid::setVendorId(quint16 id)
{
    if (id == vendorId) {
        return;
    }
    vendorId = id;
    if (autoOpen) {
        reopen();
    }
}

void UsbHid::setProductId(quint16 id)
{
    if (id == productId) {
        return;
    }
    productId = id;
    if (autoOpen) {
        reopen();
    }
}

void UsbHid::open()
{
    if (device || isOpen) {
        close();
    }
    tryToOpen();
    adjustTimer();
}

void UsbHid::tryToOpen()
{
    // Listing the devices and opening one of them is what hid_open does inside;
    // taking the two steps here tells a device that is absent from one that is
    // there but will not open, and one device from several, at no extra cost.
    bool cannotTell = false;
    const QList<Device> fit = candidates(list(), &cannotTell);
    setAmbiguous(cannotTell);
    if (fit.isEmpty() || cannotTell) {
        // Not attached (yet), or not to be told apart; with autoOpen a later tick
        // tries again.
        refusedInARow = 0;
        setDenied(false);
        return;
    }
    hid_device *handle = hid_open_path(fit.first().path.toUtf8().constData());
    if (!handle) {
        refusedInARow = qMin(refusedInARow + 1, RefusalsBeforeDenied);
        if (refusedInARow == RefusalsBeforeDenied) {
            setDenied(true);
        }
        return;
    }
    refusedInARow = 0;
    setDenied(false);
    device = handle;
    isOpen = true;
    opened = fit.first();
    othersBeside = false;
    lookWanted = false;
    adjustTimer();
    // A blocking read would freeze the GUI thread whenever the instrument has
    // nothing to say, which is most of the time.
    if (hid_set_nonblocking(device, 1) == -1) {
        raiseError();
        close();
        return;
    }
    emit connected();
}

QList<UsbHid::Device> UsbHid::list()
{
    lastAttemptMs = clockMs();
    attempted = true;
    QList<Device> found;
    hid_device_info *all = hid_enumerate(vendorId, productId);
    for (const hid_device_info *info = all; info; info = info->next) {
        const Device d{QString::fromUtf8(info->path),
                       info->serial_number ? QString::fromWCharArray(info->serial_number)
                                           : QString()};
        // One device may be listed once for each of its top-level collections.
        if (!found.contains(d))
            found.append(d);
    }
    hid_free_enumeration(all);
    if (found != attachedDevices) {
        attachedDevices = found;
        emit attachedChanged();
    }
    return found;
}

QList<UsbHid::Device> UsbHid::candidates(const QList<Device> &found, bool *cannotTell) const
{
    QList<Device> fit;
    if (keeping && !opened.path.isEmpty()) {
        // A device's path names where it is now, not what it is: the main board
        // comes back from a restart under a new one. The serial number stays.
        if (!opened.serial.isEmpty()) {
            for (const Device &d : found) {
                if (d.serial == opened.serial)
                    fit.append(d);
            }
        } else {
            fit = found;
            // Another device was there when ours went: whichever is listed now may
            // be that one, while ours is still away.
            *cannotTell = othersBeside && !found.isEmpty();
        }
    } else if (!chosen.isEmpty()) {
        for (const Device &d : found) {
            if (d.path == chosen || d.serial == chosen)
                fit.append(d);
        }
    } else {
        fit = found;
    }
    *cannotTell = *cannotTell || fit.size() > 1;
    return fit;
}

void UsbHid::close()
{
    if (device && keeping && opened.serial.isEmpty()) {
        // What is attached beside it as it goes. A listing of a moment ago may have
        // missed one just plugged in, so this one listing is made whatever the pace.
        for (const Device &d : list()) {
            if (d.path != opened.path)
                othersBeside = true;
        }
    }
    if (device) {
        if (isOpen) {
            hid_close(device);
        }
        device = nullptr;
        isOpen = false;
        // The device that was just there is the one most likely to be back soon.
        frequentUntilMs = qMax(frequentUntilMs, clockMs() + FrequentAfterLossMs);
        adjustTimer();
    }
    // Queued messages stay: they go out once the device is back.
    emit disconnected();
}

void UsbHid::reopen()
{
    close();
    open();
}

void UsbHid::send(QByteArray data)
{
    // A message is never split across reports, so one that cannot fit into a
    // single report would sit at the head of the queue for ever and hold back
    // everything behind it.
    if (data.isEmpty() || data.size() > ReportDataSize || !isOpen) {
        return;
    }
    sendQueue.append(data);
}

void UsbHid::polling()
{
    if (isOpen) {
        writeReport();
        readReport();
        if (isOpen && autoOpen)
            lookWhileOpen();
    } else if (autoOpen) {
        open();
    }
}

void UsbHid::lookWhileOpen()
{
    // Another device plugged in while this one is open; listing costs what an
    // open attempt does, so it is rationed the same way.
    const qint64 since = clockMs() - lastAttemptMs;
    if (watching() ? lookWanted && since >= WaitIntervalMs : since >= OpenLookIntervalMs) {
        lookWanted = false;
        list();
    }
}

bool UsbHid::accessDenied() const
{
    return denied;
}

void UsbHid::setChoice(const QString &device)
{
    chosen = device;
}

QString UsbHid::choice() const
{
    return chosen;
}

QList<UsbHid::Device> UsbHid::attached() const
{
    return attachedDevices;
}

QList<UsbHid::Device> UsbHid::listAttached()
{
    const QList<Device> found = list();
    if (!isOpen)
        adjustTimer();
    return found;
}

UsbHid::Device UsbHid::current() const
{
    return opened;
}

bool UsbHid::ambiguous() const
{
    return unclear;
}

void UsbHid::keepDevice(bool on)
{
    keeping = qMax(0, keeping + (on ? 1 : -1));
    if (!keeping)
        othersBeside = false;
}

bool UsbHid::keepsDevice() const
{
    return keeping > 0;
}

void UsbHid::setAmbiguous(bool on)
{
    if (on == unclear)
        return;
    unclear = on;
    emit ambiguousChanged(unclear);
}

void UsbHid::setDenied(bool on)
{
    if (on == denied) {
        return;
    }
    denied = on;
    emit accessDeniedChanged(denied);
}

void UsbHid::deviceNodesChanged()
{
    if (!autoOpen) {
        return;
    }
    if (isOpen) {
        lookWanted = true;
        return;
    }
    const qint64 now = clockMs();
    frequentUntilMs = qMax(frequentUntilMs, now + FrequentAfterChangeMs);
    // Notices come in bunches (a node and then its permissions); the timer takes
    // those that come too soon after an attempt.
    if (!attempted || now - lastAttemptMs >= qMax(pollInterval, WaitIntervalMs)) {
        open();
    } else {
        adjustTimer();
    }
}

void UsbHid::adjustTimer()
{
    if (isOpen) {
        // Setting the interval restarts the timer; leave its rhythm alone when nothing changes.
        if (pollTimer->interval() != pollInterval) {
            pollTimer->setInterval(pollInterval);
        }
        return;
    }
    const qint64 now = clockMs();
    const bool frequent = autoOpen && (!watching() || now < frequentUntilMs);
    const int gap = qMax(pollInterval, frequent ? WaitIntervalMs : SafetyIntervalMs);
    // Counted from the last attempt, however it came about, and restarted from now:
    // a tick never comes sooner than `gap` after an attempt.
    const qint64 due = attempted ? lastAttemptMs + gap : now + gap;
    pollTimer->setInterval(int(qBound(qint64(1), due - now, qint64(gap))));
}

void UsbHid::raiseError()
{
    if (!device) {
        return;
    }
    const wchar_t *text = hid_error(device);
    if (!text) {
        return;
    }
    const QString message = QString::fromWCharArray(text);
    if (!message.isEmpty()) {
        emit error(message);
    }
}

void UsbHid::writeReport()
{
    if (!device || sendQueue.isEmpty()) {
        return;
    }
    std::memset(reportBuffer, 0, sizeof(reportBuffer));
    int position = 1;
    int freeSpace = ReportDataSize;
    while (!sendQueue.isEmpty()) {
        const QByteArray &message = sendQueue.first();
        if (message.size() > freeSpace) {
            break;
        }
        std::memcpy(reportBuffer + position, message.constData(), size_t(message.size()));
        position += message.size();
        freeSpace -= message.size();
        sendQueue.removeFirst();
    }
    if (hid_write(device, reportBuffer, ReportSize) == -1) {
        raiseError();
        close();
    }
}

void UsbHid::readReport()
{
    if (!device) {
        return;
    }
    const int count = hid_read(device, reportBuffer, ReportSize);
    if (count == -1) {
        raiseError();
        close();
    } else if (count > 0) {
        emit dataReceived(QByteArray(reinterpret_cast<const char *>(reportBuffer), count));
    }
}

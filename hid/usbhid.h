#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QFileSystemWatcher;
class QTimer;
struct hid_device_;

// The program's only path to the hardware: opens one HID device by vendor and
// product id, polls it from a timer on the GUI thread and packs queued messages
// into 64-byte output reports. It knows nothing of what the bytes mean.
//
// Several devices with these ids may be attached (a service bench). The link
// lists them all, with path and serial number, and opens one only when it can
// tell which one it is opening: the one chosen by path or serial number, or,
// with no choice made, the only one attached. Otherwise it stays closed and
// ambiguous(). While the device it has open is kept (an update in progress),
// it opens nothing but that device again after a loss (see keepDevice()).
//
// While the device is open the timer runs at the poll interval. While it is
// closed, each open attempt lists every HID device of the system (through
// libudev, some 170 system calls per device), so the link tries only when it has
// reason to, and never more often than every WaitIntervalMs:
// - On Linux it watches the device folder. A node that comes or goes, or whose
//   permissions change, brings an attempt at once and more for the next
//   FrequentAfterChangeMs: udev grants access a moment after the node appears,
//   and telling a refused device needs refusals in a row.
// - For FrequentAfterStartMs after automatic opening is switched on, and for
//   FrequentAfterLossMs after the device closes, it tries every WaitIntervalMs
//   whatever the folder says: the device is most likely to appear then (plugged
//   in as the program starts, a main board restarting during an update), and a
//   missed notice then would cost an update.
// - Otherwise it tries once every SafetyIntervalMs, for a notice that never came.
// - Where there is nothing to watch, it tries every WaitIntervalMs.
// While the device is open, it lists the devices again only when the folder
// says something changed (no sooner than WaitIntervalMs after the last
// listing), or, where there is nothing to watch, every OpenLookIntervalMs.
class UsbHid : public QObject
{
    Q_OBJECT

public:
    // An attached device with the link's ids: where the system has it, and the
    // serial number it reports (empty where it reports none).
    struct Device
    {
        QString path;
        QString serial;
        bool operator==(const Device &other) const
        {
            return path == other.path && serial == other.serial;
        }
        bool operator!=(const Device &other) const { return !(*this == other); }
    };

    UsbHid(quint16 vendorId, quint16 productId, QObject *parent = nullptr);
    ~UsbHid() override;

    void setPollInterval(int ms);
    void setAutoOpen(bool on);
    void setVendorId(quint16 id);
    void setProductId(quint16 id);

    // The shortest gap between two open attempts (or the poll interval, if that is
    // longer): at most 20 a second.
    static constexpr int WaitIntervalMs = 50;
    static constexpr int FrequentAfterChangeMs = 1000;
    static constexpr int FrequentAfterStartMs = 5000;
    // As long as an update waits for a restarting main board to come back.
    static constexpr int FrequentAfterLossMs = 10000;
    // Among 20 other HID devices an attempt costs some 3,600 system calls; at this
    // gap no 10 s hold two of them.
    static constexpr int SafetyIntervalMs = 30000;
    // Open attempts in a row on which the device was listed but did not open
    // before the link calls it denied. Just after the device appears, udev may
    // not yet have granted access to its node; that moment must not count.
    static constexpr int RefusalsBeforeDenied = 5;

    // Where nothing tells of a device coming while one is open, how often the
    // link lists the devices then.
    static constexpr int OpenLookIntervalMs = 2000;

    bool isConnected() const { return isOpen; }

    // The device is there but cannot be opened, which nearly always means the
    // user has no permission on it. Cleared when the device opens or is gone.
    bool accessDenied() const;

    // Which device to open: the one whose path or serial number is `device`;
    // empty (the default) for whichever is attached, as long as it is the only
    // one. Takes effect at the next open.
    void setChoice(const QString &device);
    QString choice() const;
    // The devices attached when the link last listed them, in the system's order.
    QList<Device> attached() const;
    // Lists them now (one listing of the system's HID devices).
    QList<Device> listAttached();
    // The device open now, or the one open last; empty if none ever was.
    Device current() const;
    // The link cannot tell which attached device to open: several fit its choice,
    // or, the device being kept, it cannot tell it from another one. Cleared by a
    // listing that tells.
    bool ambiguous() const;
    // While kept (keepDevice(true), as often as keepDevice(false) follows), the
    // link opens nothing but the device open now, or open last, again: the
    // device with the same serial number; where it reports none, whichever is
    // attached, as long as it is the only one and no other was attached when
    // the kept one went. Anything else leaves it closed and ambiguous.
    void keepDevice(bool on);
    bool keepsDevice() const;

signals:
    void connected();
    void disconnected();
    void dataReceived(QByteArray data);
    void error(QString errorMessage);
    void accessDeniedChanged(bool denied);
    void attachedChanged();
    void ambiguousChanged(bool ambiguous);

public slots:
    void open();
    void close();
    void reopen();
    void send(QByteArray data);

protected slots:
    void polling();

protected:
    bool isOpen;
    bool autoOpen;
    quint16 vendorId;
    quint16 productId;
    int pollInterval;
    hid_device_ *device;
    QTimer *pollTimer;
    unsigned char reportBuffer[65];
    QList<QByteArray> sendQueue;

    // Milliseconds on a steady clock, for the pace of open attempts; tests stand
    // in a clock of their own.
    std::function<qint64()> clockMs;

private slots:
    void deviceNodesChanged();

private:
    bool denied = false;
    bool unclear = false;
    QString chosen;
    QList<Device> attachedDevices;
    Device opened;
    int keeping = 0;
    // Kept, without a serial number: another device was attached when it went.
    bool othersBeside = false;
    // A change in the device folder while open, not yet followed by a listing.
    bool lookWanted = false;
    int refusedInARow = 0;
    QFileSystemWatcher *nodeWatcher = nullptr;
    qint64 lastAttemptMs = 0;
    bool attempted = false;
    qint64 frequentUntilMs = 0;

    void watchDeviceNodes();
    bool watching() const;
    void tryToOpen();
    QList<Device> list();
    QList<Device> candidates(const QList<Device> &found, bool *cannotTell) const;
    void lookWhileOpen();
    void setDenied(bool on);
    void setAmbiguous(bool on);
    void adjustTimer();
    void raiseError();
    void writeReport();
    void readReport();
};

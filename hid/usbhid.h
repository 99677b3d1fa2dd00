#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QTimer;
struct hid_device_;

// The program's only path to the hardware: opens one HID device by vendor and
// product id, polls it from a timer on the GUI thread and packs queued messages
// into 64-byte output reports. It knows nothing of what the bytes mean.
//
// While the device is open the timer runs at the poll interval. While it is
// closed the timer slows to WaitIntervalMs (or the poll interval, if that is
// longer): each open attempt lists every HID device of the system, and 20 of
// them a second find the instrument soon enough after it is plugged in.
class UsbHid : public QObject
{
    Q_OBJECT

public:
    UsbHid(quint16 vendorId, quint16 productId, QObject *parent = nullptr);
    ~UsbHid() override;

    void setPollInterval(int ms);
    void setAutoOpen(bool on);
    void setVendorId(quint16 id);
    void setProductId(quint16 id);

    static constexpr int WaitIntervalMs = 50;
    // Open attempts in a row on which the device was listed but did not open
    // before the link calls it denied. Just after the device appears, udev may
    // not yet have granted access to its node; that moment must not count.
    static constexpr int RefusalsBeforeDenied = 5;

    // The device is there but cannot be opened, which nearly always means the
    // user has no permission on it. Cleared when the device opens or is gone.
    bool accessDenied() const;

signals:
    void connected();
    void disconnected();
    void dataReceived(QByteArray data);
    void error(QString errorMessage);
    void accessDeniedChanged(bool denied);

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

private:
    bool denied = false;
    int refusedInARow = 0;

private:
    void setDenied(bool on);
    void adjustTimer();
    void raiseError();
    void writeReport();
    void readReport();
};

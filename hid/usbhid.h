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

signals:
    void connected();
    void disconnected();
    void dataReceived(QByteArray data);
    void error(QString errorMessage);

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
    void raiseError();
    void writeReport();
    void readReport();
};

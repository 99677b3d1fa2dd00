#pragma once

#include "usbhid.h"

// The message layer between the tool and the instrument's boards. Every board is
// reached through the one HID device; each message names its board by PartType.
class zelInterface : public UsbHid
{
    Q_OBJECT

public:
    enum PartType : int
    {
        Sensors = 0, // all key-sensor boards at once
        Sensor1 = 1,
        Sensor2 = 2,
        Sensor3 = 3,
        Sensor4 = 4,
        Sensor5 = 5,
        Terminal = 6,  // control panel
        Mainboard = 7, // carries the USB interface
    };
    Q_ENUM(PartType)

    static constexpr quint16 VendorId = 0x04D8;
    static constexpr quint16 ProductId = 0xF93C;

    explicit zelInterface(QObject *parent = nullptr);

signals:
    void firmwareVersion(zelInterface::PartType part, QString version);
    void firmwareUpdateStartAck(zelInterface::PartType part, bool ready);
    void firmwareUpdateDataAck(zelInterface::PartType part, int ok);
    void firmwareUpdateEndAck(zelInterface::PartType part, bool ok);

protected slots:
    void dataInput(QByteArray data);

public slots:
    void requestFirmwareVersion();
    void requestFirmwareVersion(zelInterface::PartType part);
    void firmwareUpdateStart(zelInterface::PartType part);
    void firmwareUpdateData(zelInterface::PartType part, QByteArray data);
    void firmwareUpdateEnd(zelInterface::PartType part, uchar checksum);
    void firmwareUpdateRestart(zelInterface::PartType part);
};

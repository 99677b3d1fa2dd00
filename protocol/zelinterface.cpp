#include "zelinterface.h"

namespace {
enum Command : char
{
    VersionCommand = 0x01,
    StartCommand = 0x02,
    DataCommand = 0x03,
    EndCommand = 0x04,
    RestartCommand = 0x05,
};

constexpr int AnswerSize = 3;

QByteArray message(Command command, zelInterface::PartType part)
{
    QByteArray bytes;
    bytes.append(char(command));
    bytes.append(char(int(part) & 0xFF));
    return bytes;
}

zelInterface::PartType partFromByte(char byte)
{
    // The part byte is signed on the wire; values outside 0..7 pass on as they
    // are, so the receivers can tell an unknown board.
    return static_cast<zelInterface::PartType>(static_cast<qint8>(byte));
}
} // namespace

zelInterface::zelInterface(QObject *parent) : UsbHid(VendorId, ProductId, parent)
{
    qRegisterMetaType<zelInterface::PartType>("zelInterface::PartType");
    setPollInterval(1);
    connect(this, &UsbHid::dataReceived, this, &zelInterface::dataInput);
}

void zelInterface::dataInput(QByteArray data)
{
    for (int k = 0; k < data.size(); k += AnswerSize) {
        const char command = data.at(k);
        if (command != VersionCommand && command != StartCommand && command != DataCommand &&
            command != EndCommand) {
            // Also the zero padding after the last answer.
            return;
        }
        if (data.size() - k < AnswerSize) {
            return;
        }
        const PartType part = partFromByte(data.at(k + 1));
        const char value = data.at(k + 2);
        switch (command) {
        case VersionCommand: {
            // Read unsigned: a signed byte would show versions from 12.8 on
            // with negative digits.
            const int v = static_cast<uchar>(value);
            emit firmwareVersion(part, QStringLiteral("v%1.%2").arg(v / 10).arg(v % 10));
            break;
        }
        case StartCommand:
            emit firmwareUpdateStartAck(part, value != 0);
            break;
        case DataCommand:
            emit firmwareUpdateDataAck(part, int(static_cast<qint8>(value)));
            break;
        case EndCommand:
            emit firmwareUpdateEndAck(part, value != 0);
            break;
        }
    }
}

void zelInterface::requestFirmwareVersion()
{
    // Control panel first, main board last; the sensor group (0) is not asked
    // because its boards answer individually to their own requests.
    static const PartType order[] = {Terminal, Sensor1, Sensor2,  Sensor3,
                                     Sensor4,  Sensor5, Mainboard};
    for (PartType part : order) {
        requestFirmwareVersion(part);
    }
}

void zelInterface::requestFirmwareVersion(zelInterface::PartType part)
{
    send(message(VersionCommand, part));
}

void zelInterface::firmwareUpdateStart(zelInterface::PartType part)
{
    send(message(StartCommand, part));
}

void zelInterface::firmwareUpdateData(zelInterface::PartType part, QByteArray data)
{
    QByteArray bytes = message(DataCommand, part);
    bytes.append(char(data.size() & 0xFF));
    bytes.append(data);
    send(bytes);
}

void zelInterface::firmwareUpdateEnd(zelInterface::PartType part, uchar checksum)
{
    QByteArray bytes = message(EndCommand, part);
    bytes.append(char(checksum));
    send(bytes);
}

void zelInterface::firmwareUpdateRestart(zelInterface::PartType part)
{
    send(message(RestartCommand, part));
}

#include "firmwarefile.h"

#include <QFile>
#include <QMap>
#include <QSaveFile>

int sortHexFile(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return FirmwareFile::AccessDenied;
    const QByteArray content = in.readAll();
    in.close();

    // Keyed by the full 32-bit address; the line is kept as read so its own line
    // end survives the rewrite.
    QMap<quint32, QByteArray> dataRecords;
    quint32 upperBits = 0;
    for (const QByteArray &line : FirmwareFile::hexLines(content)) {
        const FirmwareFile::HexRecord record = FirmwareFile::parseHexLine(line);
        if (!record.valid)
            return FirmwareFile::InvalidData;
        if (record.type == 0x00) {
            dataRecords.insert(upperBits * 65536u + record.address, line);
        } else if (record.type == 0x04) {
            const quint8 high = record.data.size() > 0 ? quint8(record.data.at(0)) : 0;
            const quint8 low = record.data.size() > 1 ? quint8(record.data.at(1)) : 0;
            upperBits = high * 256u + low;
        }
    }

    QByteArray out;
    out.reserve(content.size() + 64);
    bool first = true;
    quint32 previousUpper = 0;
    for (auto it = dataRecords.cbegin(); it != dataRecords.cend(); ++it) {
        const quint32 upper = it.key() >> 16;
        if (first || upper != previousUpper) {
            const quint8 high = quint8(upper >> 8);
            const quint8 low = quint8(upper & 0xFF);
            out += QStringLiteral(":02000004%1%2\r\n")
                       .arg(upper, 4, 16, QLatin1Char('0'))
                       .arg(quint8(-(high + low + 6)), 2, 16, QLatin1Char('0'))
                       .toLatin1();
            previousUpper = upper;
            first = false;
        }
        out += it.value();
    }
    out += ":00000001FF\r\n";

    // Written beside the original and swapped in only when complete, so a full
    // disk or a vanished folder never costs the user the file. Unbuffered,
    // because QSaveFile's commit() does not notice a failed flush of its buffer
    // and would swap in a truncated file.
    QSaveFile save(path);
    if (!save.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return FirmwareFile::AccessDenied;
    if (save.write(out) != out.size()) {
        save.cancelWriting();
        return FirmwareFile::AccessDenied;
    }
    if (!save.commit())
        return FirmwareFile::AccessDenied;
    return FirmwareFile::Ok;
}

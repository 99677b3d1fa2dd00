#include "firmwarefile.h"

#include <QFile>

namespace {

// HEX addresses of the information block; the build tools of the boards place
// these three texts there, so they identify family, version and build.
constexpr quint32 familyCodeStart = 0x800;
constexpr quint32 versionStart = 0x840;
constexpr quint32 buildDateStart = 0x880;
constexpr quint32 infoBlockEnd = 0x8C0;

constexpr quint8 typeData = 0x00;
constexpr quint8 typeEndOfFile = 0x01;
constexpr quint8 typeExtendedLinearAddress = 0x04;
constexpr quint8 typeChecksum = 0x80;

// A record with a byte count too small for its type must not make us read past
// its data; such bytes count as zero.
quint8 dataByte(const FirmwareFile::HexRecord &record, int index)
{
    return index < record.data.size() ? quint8(record.data.at(index)) : 0;
}

// The text of an information record: two characters in each group of four
// bytes (the boards store the texts as 16-bit words with padding), up to the
// first zero byte.
QString infoText(const QByteArray &data)
{
    QByteArray text;
    for (int i = 0; i < data.size(); ++i) {
        if (i % 4 > 1)
            continue;
        if (data.at(i) == '\0')
            break;
        text.append(data.at(i));
    }
    return QString::fromUtf8(text);
}

} // namespace

FirmwareFile::FirmwareFile() : status(AccessDenied), checksum(0) {}

int FirmwareFile::hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

quint8 FirmwareFile::hexByte(char a, char b)
{
    return quint8(hexDigitValue(a) * 16 + hexDigitValue(b));
}

quint16 FirmwareFile::hexWord(char a, char b, char c, char d)
{
    return quint16(hexByte(a, b) * 256 + hexByte(c, d));
}

FirmwareFile::HexRecord FirmwareFile::parseHexLine(const QByteArray &line)
{
    HexRecord record;
    if (line.size() < 13 || line.at(0) != ':')
        return record;

    // A line cut short reads as '0' digits from its end on; the record checksum
    // then catches it.
    const auto at = [&line](int pos) { return pos < line.size() ? line.at(pos) : '\0'; };
    const auto byteAt = [&at](int pos) { return hexByte(at(pos), at(pos + 1)); };

    record.byteCount = byteAt(1);
    record.address = hexWord(at(3), at(4), at(5), at(6));
    record.type = byteAt(7);
    record.data.resize(record.byteCount);
    unsigned sum = record.byteCount + (record.address >> 8) + (record.address & 0xFF) + record.type;
    for (int i = 0; i < record.byteCount; ++i) {
        const quint8 b = byteAt(9 + 2 * i);
        record.data[i] = char(b);
        sum += b;
    }
    record.recordChecksum = byteAt(2 * record.byteCount + 9);
    sum += record.recordChecksum;
    record.valid = (sum & 0xFF) == 0;
    return record;
}

quint8 FirmwareFile::fileChecksum(const QByteArray &text)
{
    quint8 c = 0;
    for (const char ch : text) {
        const quint8 inverted = quint8(~c);
        const quint8 rotated = quint8((inverted << 1) | (inverted >> 7));
        c = quint8(rotated + quint8(ch));
    }
    return c;
}

int FirmwareFile::lineEnd(const QByteArray &text, int from)
{
    const int lf = int(text.indexOf('\n', from));
    return lf < 0 ? int(text.size()) : lf + 1;
}

QList<QByteArray> FirmwareFile::hexLines(const QByteArray &content)
{
    QList<QByteArray> lines;
    int pos = 0;
    while (pos < content.size()) {
        const int next = lineEnd(content, pos);
        if (content.at(pos) != '\0')
            lines.append(content.mid(pos, next - pos));
        pos = next;
    }
    return lines;
}

FirmwareFile::Status FirmwareFile::load(const QString &path, bool stampChecksum)
{
    status = AccessDenied;
    QFile file(path);
    // No text mode: the checksum covers the line ends exactly as stored.
    if (!file.open(QIODevice::ReadOnly))
        return status;

    hexText.clear();
    familyCode.clear();
    version.clear();
    buildDate.clear();

    const auto finish = [this](Status result) {
        status = result;
        return result;
    };

    const QByteArray content = file.readAll();
    file.close();

    quint32 upperBits = 0;
    quint32 previousEnd = 0;
    bool endOfFileSeen = false;
    bool checksumSeen = false;

    for (const QByteArray &line : hexLines(content)) {
        const HexRecord record = parseHexLine(line);
        // The board gets the failing line too; only the end-of-file record
        // closes the text the boards receive.
        if (!endOfFileSeen)
            hexText.append(line);
        if (!record.valid)
            return finish(InvalidData);

        switch (record.type) {
        case typeData: {
            const quint32 address = upperBits * 65536u + record.address;
            if (address < previousEnd)
                return finish(InvalidOrder);
            previousEnd = address + record.byteCount;
            if (address >= familyCodeStart && address < versionStart)
                familyCode.append(infoText(record.data));
            else if (address >= versionStart && address < buildDateStart)
                version.append(infoText(record.data));
            else if (address >= buildDateStart && address < infoBlockEnd)
                buildDate.append(infoText(record.data));
            break;
        }
        case typeEndOfFile:
            endOfFileSeen = true;
            break;
        case typeExtendedLinearAddress:
            upperBits = dataByte(record, 0) * 256u + dataByte(record, 1);
            break;
        case typeChecksum:
            checksum = dataByte(record, 1);
            checksumSeen = true;
            break;
        default:
            break;
        }
    }

    const quint8 computed = fileChecksum(hexText);
    if (checksumSeen) {
        if (checksum != computed)
            return finish(Corrupted);
    } else if (!stampChecksum) {
        return finish(Corrupted);
    } else {
        QFile out(path);
        // Unbuffered, so a short write shows here and can be taken back.
        if (!out.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return finish(WriteDenied);
        const qint64 originalSize = out.size();
        const QByteArray stamp = QStringLiteral(":0200008000%1%2\n")
                                     .arg(computed, 2, 16, QLatin1Char('0'))
                                     .arg(quint8(0x7E - computed), 2, 16, QLatin1Char('0'))
                                     .toLatin1();
        // A half-written record would make the file unreadable; take it back.
        if (out.write(stamp) != stamp.size()) {
            out.resize(originalSize);
            return finish(WriteDenied);
        }
        out.close();
        checksum = computed;
    }

    if (familyCode.isEmpty() || version.isEmpty() || buildDate.isEmpty())
        return finish(NoFirmware);
    return finish(Ok);
}

QString FirmwareFile::statusText() const
{
    return statusText(status);
}

QString FirmwareFile::statusText(int status)
{
    switch (status) {
    case Ok:
        return tr("Firmware file is OK");
    case AccessDenied:
        return tr("File access denied");
    case InvalidData:
        return tr("Firmware file contains invalid data");
    case Corrupted:
        return tr("Firmware file has been corrupted");
    case WriteDenied:
        return tr("Write access denied");
    case InvalidOrder:
        return tr("Firmware file is in an invalid order");
    case NoFirmware:
        return tr("No valid firmware file");
    default:
        return tr("Unknown state");
    }
}

QString FirmwareFile::displayName() const
{
    return QStringLiteral("%1-%2.hex (%3)").arg(familyCode, version, buildDate);
}

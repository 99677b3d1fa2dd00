#include "firmwarefile.h"

#include "hexscan.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

// HEX addresses of the information block; the build tools of the boards place
// these three texts there, so they identify family, version and build.
constexpr quint32 familyCodeStart = 0x800;
constexpr quint32 versionStart = 0x840;
constexpr quint32 buildDateStart = 0x880;
constexpr quint32 infoBlockEnd = 0x8C0;

// The text of an information record: two characters in each group of four
// bytes (the boards store the texts as 16-bit words with padding), up to the
// first zero byte.
QString infoText(const hexscan::Record &record)
{
    QByteArray text;
    for (int i = 0; i < record.byteCount; ++i) {
        if (i % 4 > 1)
            continue;
        const quint8 byte = record.data(i);
        if (byte == 0)
            break;
        text.append(char(byte));
    }
    return QString::fromUtf8(text);
}

} // namespace

FirmwareFile::FirmwareFile() : status(AccessDenied), checksum(0) {}

int FirmwareFile::hexDigitValue(char c)
{
    return hexscan::digitValue[uchar(c)];
}

quint8 FirmwareFile::hexByte(char a, char b)
{
    const char digits[2] = {a, b};
    return hexscan::hexByte(digits);
}

quint16 FirmwareFile::hexWord(char a, char b, char c, char d)
{
    return quint16(hexByte(a, b) * 256 + hexByte(c, d));
}

FirmwareFile::HexRecord FirmwareFile::parseHexLine(const QByteArray &line)
{
    HexRecord record;
    const hexscan::Record r = hexscan::parse(line.constData(), int(line.size()));
    if (!r.line)
        return record;
    record.valid = r.valid;
    record.byteCount = r.byteCount;
    record.address = r.address;
    record.type = r.type;
    record.recordChecksum = r.recordChecksum;
    record.data.resize(r.byteCount);
    for (int i = 0; i < r.byteCount; ++i)
        record.data[i] = char(r.data(i));
    return record;
}

quint8 FirmwareFile::fileChecksum(const QByteArray &text)
{
    return hexscan::checksumOver(0, text.constData(), text.size());
}

int FirmwareFile::lineEnd(const QByteArray &text, int from)
{
    return int(hexscan::lineEnd(text.constData(), from, text.size()));
}

bool FirmwareFile::isTooLarge(const QString &path)
{
    return QFileInfo(path).size() > hexscan::maxFileSize;
}

QString FirmwareFile::tooLargeText()
{
    return tr("Firmware file is too large (more than %1 MB)")
        .arg(hexscan::maxFileSize / (1024 * 1024));
}

QString FirmwareFile::failureText(const QString &path, int status)
{
    return isTooLarge(path) ? tooLargeText() : statusText(status);
}

FirmwareFile::Status FirmwareFile::load(const QString &path, bool stampChecksum)
{
    status = AccessDenied;
    QFile file(path);
    // No text mode: the checksum covers the line ends exactly as stored.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return status;

    hexText.clear();
    familyCode.clear();
    version.clear();
    buildDate.clear();

    // The file is read straight into hexText, and the kept lines are moved
    // down over the skipped ones: the text is never held twice.
    switch (hexscan::readWhole(file, hexText)) {
    case hexscan::Read::Ok:
        break;
    case hexscan::Read::Failed:
        hexText.clear();
        return finish(AccessDenied);
    case hexscan::Read::TooLarge:
        hexText.clear();
        return finish(InvalidData);
    }
    file.close();

    const bool endsWithLineEnd = hexText.isEmpty() || hexText.endsWith('\n');
    bool checksumSeen = false;
    bool lastLineKept = false;
    const Status read = readRecords(checksumSeen, lastLineKept);
    if (read != Ok)
        return finish(read);

    if (checksumSeen) {
        if (checksum != fileChecksum(hexText))
            return finish(Corrupted);
    } else if (!stampChecksum) {
        return finish(Corrupted);
    } else {
        return finish(appendChecksumRecord(path, endsWithLineEnd, lastLineKept));
    }

    if (familyCode.isEmpty() || version.isEmpty() || buildDate.isEmpty())
        return finish(NoFirmware);
    return finish(Ok);
}

FirmwareFile::Status FirmwareFile::finish(Status result)
{
    status = result;
    return result;
}

FirmwareFile::Status FirmwareFile::readRecords(bool &checksumSeen, bool &lastLineKept)
{
    char *const text = hexText.data();
    const qsizetype size = hexText.size();
    qsizetype kept = 0;
    quint32 upperBits = 0;
    quint32 previousEnd = 0;
    bool endOfFileSeen = false;

    for (qsizetype pos = 0; pos < size;) {
        const qsizetype next = hexscan::lineEnd(text, pos, size);
        const int length = int(next - pos);
        const char *line = text + pos;
        pos = next;
        lastLineKept = false;
        if (hexscan::skipped(line, length))
            continue;
        // The board gets the failing line too; only the end-of-file record
        // closes the text the boards receive.
        if (!endOfFileSeen) {
            if (text + kept != line)
                std::memmove(text + kept, line, size_t(length));
            line = text + kept;
            kept += length;
            lastLineKept = true;
        }
        const hexscan::Record record = hexscan::parse(line, length);
        if (!record.valid) {
            hexText.resize(int(kept));
            return InvalidData;
        }

        switch (record.type) {
        case hexscan::typeData: {
            const quint32 address = upperBits * 65536u + record.address;
            if (address < previousEnd) {
                hexText.resize(int(kept));
                return InvalidOrder;
            }
            previousEnd = address + record.byteCount;
            if (address >= familyCodeStart && address < versionStart)
                familyCode.append(infoText(record));
            else if (address >= versionStart && address < buildDateStart)
                version.append(infoText(record));
            else if (address >= buildDateStart && address < infoBlockEnd)
                buildDate.append(infoText(record));
            break;
        }
        case hexscan::typeEndOfFile:
            endOfFileSeen = true;
            break;
        case hexscan::typeExtendedLinearAddress:
            upperBits = record.dataOrZero(0) * 256u + record.dataOrZero(1);
            break;
        case hexscan::typeChecksum:
            checksum = record.dataOrZero(1);
            checksumSeen = true;
            break;
        default:
            break;
        }
    }
    hexText.resize(int(kept));
    // Lines after the end-of-file record can be most of a file; don't keep
    // their room.
    if (hexText.capacity() > 2 * hexText.size() + 4096)
        hexText.squeeze();
    return Ok;
}

FirmwareFile::Status FirmwareFile::appendChecksumRecord(const QString &path, bool endsWithLineEnd,
                                                        bool lastLineKept)
{
    // The record needs a line of its own. When the file's last line is part
    // of the text (its end-of-file line), the line end added here becomes part
    // of that text too, so the checksum must cover it.
    const QByteArray separator = endsWithLineEnd ? QByteArray() : QByteArray("\r\n");
    quint8 computed = fileChecksum(hexText);
    if (lastLineKept)
        computed = hexscan::checksumOver(computed, separator.constData(), separator.size());

    QFile out(path);
    // Unbuffered, so a short write shows here and can be taken back.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return WriteDenied;
    const qint64 originalSize = out.size();
    const QByteArray stamp = separator + QStringLiteral(":0200008000%1%2\n")
                                             .arg(computed, 2, 16, QLatin1Char('0'))
                                             .arg(quint8(0x7E - computed), 2, 16, QLatin1Char('0'))
                                             .toLatin1();
    // A half-written record would make the file unreadable; take it back.
    if (out.write(stamp) != stamp.size()) {
        out.resize(originalSize);
        return WriteDenied;
    }
    out.close();

    // The stamp must hold when the file is read again: a file without an
    // end-of-file record, for one, takes the new record into the text it
    // covers. Such a stamp is taken back rather than left to fail later.
    const Status reread = load(path);
    if (reread == Corrupted || reread == InvalidData) {
        QFile::resize(path, originalSize);
        return Corrupted;
    }
    return reread;
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

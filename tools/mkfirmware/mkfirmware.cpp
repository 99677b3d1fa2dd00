// Generator of the built-in firmware images. The boards' real firmware cannot
// ship with the tool, so these stand in for it: code-like instruction words, a
// vector table, string constants and erased gaps in several address regions,
// the information block the tool reads, and the file checksum record. Every
// byte comes from a fixed-seed generator of our own so the output never
// depends on the standard library.

#include "firmwarefile.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTextStream>
#include <QVector>
#include <QtGlobal>

namespace {

// splitmix64: tiny, well mixed, and defined bit for bit.
class Random
{
public:
    explicit Random(quint64 seed) : state(seed) {}

    quint32 next()
    {
        quint64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return quint32((z ^ (z >> 31)) >> 32);
    }

    // Uniform enough for picking; the slight modulo bias does not matter here.
    quint32 below(quint32 n) { return next() % n; }
    quint32 range(quint32 low, quint32 high) { return low + below(high - low + 1); }

private:
    quint64 state;
};

// The address space of one image: 16-byte aligned blocks of bytes.
using Memory = QMap<quint32, QByteArray>;

void putWord(QByteArray &bytes, quint32 word)
{
    for (int i = 0; i < 4; ++i)
        bytes.append(char((word >> (8 * i)) & 0xFF)); // little endian, like the boards
}

void padTo(QByteArray &bytes, int size, char fill)
{
    while (bytes.size() < size)
        bytes.append(fill);
}

// MIPS32-style instruction words, the boards' instruction set.
namespace mips {
constexpr quint32 sp = 29, ra = 31;
quint32 iType(quint32 op, quint32 rs, quint32 rt, quint32 imm)
{
    return (op << 26) | (rs << 21) | (rt << 16) | (imm & 0xFFFF);
}
quint32 rType(quint32 rs, quint32 rt, quint32 rd, quint32 shamt, quint32 funct)
{
    return (rs << 21) | (rt << 16) | (rd << 11) | (shamt << 6) | funct;
}
} // namespace mips

// Functions of random length with prologue and epilogue, until `size` bytes are
// used; the rest of the region stays erased (0xFF).
QByteArray code(Random &rng, int size, quint32 callLow, quint32 callHigh)
{
    using namespace mips;
    QByteArray bytes;
    const auto reg = [&rng] { return rng.range(2, 25); };
    while (true) {
        const int bodyLength = int(rng.range(6, 48));
        const int needed = (bodyLength + 6) * 4;
        if (bytes.size() + needed > size - 16)
            break;
        const quint32 frame = 8 * rng.range(1, 6);
        putWord(bytes, iType(0x09, sp, sp, quint32(-qint32(frame)))); // addiu sp, sp, -frame
        putWord(bytes, iType(0x2B, sp, ra, frame - 4));               // sw ra, frame-4(sp)
        for (int i = 0; i < bodyLength; ++i) {
            // Drawn one by one: the order in which function arguments are
            // evaluated differs between compilers, the images must not.
            const quint32 pick = rng.below(100);
            const quint32 rs = reg();
            const quint32 rt = reg();
            const quint32 rd = reg();
            const quint32 value = rng.next();
            const bool variant = value & 0x80000000u;
            quint32 word;
            if (pick < 8)
                word = 0; // nop (delay slots)
            else if (pick < 18)
                word = iType(0x0F, 0, rt, 0xBF80 + value % 0x90); // lui: peripheral page
            else if (pick < 34)
                word = iType(0x09, rs, rt, value % 0x200); // addiu
            else if (pick < 50)
                word = iType(0x23, rs, rt, 4 * (value % 64)); // lw
            else if (pick < 62)
                word = iType(0x2B, rs, rt, 4 * (value % 64)); // sw
            else if (pick < 70)
                word =
                    (0x03u << 26) | (((callLow + 4 * (value % ((callHigh - callLow) / 4))) >> 2) &
                                     0x3FFFFFF); // jal
            else if (pick < 80)
                word = iType(variant ? 0x04 : 0x05, rs, rt,
                             quint32(qint32(value % 41) - 20)); // beq, bne
            else if (pick < 90)
                word = rType(rs, rt, rd, 0, variant ? 0x21 : 0x25); // addu / or
            else if (pick < 95)
                word = iType(0x0C, rs, rt, 1u << (value % 16)); // andi: bit test
            else
                word = rType(0, rt, rd, 1 + value % 24, variant ? 0x00 : 0x02); // sll / srl
            putWord(bytes, word);
        }
        putWord(bytes, iType(0x23, sp, ra, frame - 4)); // lw ra, frame-4(sp)
        putWord(bytes, rType(ra, 0, 0, 0, 0x08));       // jr ra
        putWord(bytes, iType(0x09, sp, sp, frame));     // addiu sp, sp, frame (delay slot)
        putWord(bytes, 0);
    }
    padTo(bytes, size, char(0xFF));
    return bytes;
}

// Reset and interrupt vectors: jumps into the code regions, the unused ones to
// a default handler.
QByteArray vectors(Random &rng, int count, quint32 codeLow, quint32 codeHigh)
{
    QByteArray bytes;
    const quint32 defaultHandler = codeLow + 0x40;
    for (int i = 0; i < count; ++i) {
        const bool used = i == 0 || rng.below(3) == 0;
        const quint32 target =
            used ? codeLow + 4 * rng.below((codeHigh - codeLow) / 4) : defaultHandler;
        putWord(bytes, (0x02u << 26) | ((target >> 2) & 0x3FFFFFF)); // j target
    }
    return bytes;
}

QByteArray strings(const QStringList &texts, int size)
{
    QByteArray bytes;
    for (const QString &text : texts) {
        bytes += text.toLatin1();
        bytes.append('\0');
        padTo(bytes, (bytes.size() + 3) & ~3, '\0');
    }
    Q_ASSERT(bytes.size() <= size);
    padTo(bytes, size, char(0xFF));
    return bytes;
}

// A 16-bit lookup table of x^power; what the sensor boards use for velocity
// and the main board for its envelope shapes. Integer arithmetic keeps it the
// same on every platform.
QByteArray curveTable(int entries, int power)
{
    QByteArray bytes;
    const quint64 last = quint64(entries - 1);
    quint64 scale = 1;
    for (int k = 0; k < power; ++k)
        scale *= last;
    for (int i = 0; i < entries; ++i) {
        quint64 x = 1;
        for (int k = 0; k < power; ++k)
            x *= quint64(i);
        const quint64 v = (x * 65535 + scale / 2) / scale;
        bytes.append(char(v & 0xFF));
        bytes.append(char((v >> 8) & 0xFF));
    }
    return bytes;
}

// The information block: two characters per group of four bytes, four 16-byte
// records per text, zero-filled.
QByteArray infoRange(const QString &text)
{
    QByteArray bytes(64, '\0');
    const QByteArray latin = text.toLatin1();
    for (int i = 0; i < latin.size(); ++i)
        bytes[(i / 2) * 4 + (i % 2)] = latin.at(i);
    return bytes;
}

QByteArray dataRecord(quint16 address, const QByteArray &data)
{
    QByteArray line = ":";
    quint8 sum = quint8(data.size()) + quint8(address >> 8) + quint8(address & 0xFF);
    line += QByteArray::number(data.size(), 16).rightJustified(2, '0');
    line += QByteArray::number(address, 16).rightJustified(4, '0');
    line += "00";
    for (const char c : data) {
        line += QByteArray::number(quint8(c), 16).rightJustified(2, '0');
        sum += quint8(c);
    }
    line += QByteArray::number(quint8(-sum), 16).rightJustified(2, '0');
    return line.toUpper() + "\r\n";
}

QByteArray extendedAddress(quint16 upper)
{
    const quint8 sum = quint8(2 + 4 + (upper >> 8) + (upper & 0xFF));
    return ":02000004" + QByteArray::number(upper, 16).rightJustified(4, '0').toUpper() +
           QByteArray::number(quint8(-sum), 16).rightJustified(2, '0').toUpper() + "\r\n";
}

const QByteArray endOfFile = ":00000001FF\r\n";

// The text before and the text from the last data record on, so the checksum
// can be tuned by changing that one record only.
struct Rendered
{
    QByteArray head;
    quint32 lastAddress = 0;
    QByteArray lastData;
};

Rendered render(const Memory &memory)
{
    Rendered out;
    bool first = true;
    quint16 upper = 0;
    for (auto it = memory.cbegin(); it != memory.cend(); ++it) {
        for (int offset = 0; offset < it.value().size(); offset += 16) {
            const quint32 address = it.key() + quint32(offset);
            if (first || quint16(address >> 16) != upper) {
                if (!first)
                    out.head += dataRecord(quint16(out.lastAddress), out.lastData);
                upper = quint16(address >> 16);
                out.head += extendedAddress(upper);
            } else {
                out.head += dataRecord(quint16(out.lastAddress), out.lastData);
            }
            first = false;
            out.lastAddress = address;
            out.lastData = it.value().mid(offset, 16);
        }
    }
    return out;
}

struct Region
{
    quint32 start;
    QByteArray bytes;
};

struct Image
{
    QString fileName;
    QString familyCode;
    QString version;
    QString buildDate;
    quint8 checksum;
    QByteArray text;
};

bool finish(Image &image, Memory memory)
{
    // The last data record ends in a build serial word; it is chosen so that the
    // file checksum comes out as the boards' release records say.
    Rendered rendered = render(memory);
    const QByteArray head = rendered.head;
    for (int serial = 0; serial < 65536; ++serial) {
        QByteArray last = rendered.lastData;
        last[14] = char(serial & 0xFF);
        last[15] = char(serial >> 8);
        const QByteArray text = head + dataRecord(quint16(rendered.lastAddress), last) + endOfFile;
        if (FirmwareFile::fileChecksum(text) == image.checksum) {
            image.text = text + QStringLiteral(":0200008000%1%2\r\n")
                                    .arg(image.checksum, 2, 16, QLatin1Char('0'))
                                    .arg(quint8(0x7E - image.checksum), 2, 16, QLatin1Char('0'))
                                    .toLatin1();
            return true;
        }
    }
    return false;
}

Memory layout(const QList<Region> &regions)
{
    Memory memory;
    for (const Region &region : regions) {
        Q_ASSERT(region.start % 16 == 0 && region.bytes.size() % 16 == 0);
        memory.insert(region.start, region.bytes);
    }
    return memory;
}

Region info(const Image &image)
{
    return {0x800,
            infoRange(image.familyCode) + infoRange(image.version) + infoRange(image.buildDate)};
}

// Main board: USB, the sensor bus and the sound engine; the only image that
// reaches past the first 64 KiB.
bool makeMainboard(Image &image)
{
    Random rng(0x5A454C5042415345ull); // "ZELPBASE"
    const QStringList texts = {
        "zel main board",     "USB HID ready",    "Bootloader",        "Restart requested",
        "Sensor bus timeout", "Panel link lost",  "Sensor %u missing", "Firmware update",
        "Checksum mismatch",  "MIDI out",         "MIDI in overflow",  "Preset %02u",
        "Velocity curve %u",  "Sustain pedal",    "Expression pedal",  "Master tune %+d",
        "Voice allocation",   "Polyphony limit",  "DMA underrun",      "Flash write error",
        "EEPROM settings v2", "Factory defaults", "Watchdog reset",    "Brown-out reset",
    };
    QList<Region> regions;
    regions.append({0x0000, vectors(rng, 128, 0x0200, 0x0800)});
    regions.append({0x0200, code(rng, 0x600, 0x0900, 0xD900)});
    regions.append(info(image));
    regions.append({0x0900, code(rng, 0xD000, 0x0900, 0xD900)});
    regions.append({0xE000, strings(texts, 0x400)});
    regions.append({0xE800, curveTable(512, 3) + curveTable(512, 2)});
    regions.append({0x10000, code(rng, 0x2000, 0x10000, 0x12000)});
    regions.append({0x12400, code(rng, 0x1360, 0x0900, 0x13700)});
    return finish(image, layout(regions));
}

// Control panel: buttons, encoders and the display.
bool makeTerminal(Image &image)
{
    Random rng(0x5A454C5043545231ull); // "ZELPCTR1"
    const QStringList texts = {
        "zel panel", "Volume",   "Transpose",   "Split point", "Layer",    "Reverb",
        "Chorus",    "Octave -", "Octave +",    "Brightness",  "Contrast", "Preset",
        "Store",     "Recall",   "Main board?", "Sound %02u",  "Tune %+d", "Menu",
    };
    QList<Region> regions;
    regions.append({0x0000, vectors(rng, 64, 0x0100, 0x0800)});
    regions.append({0x0100, code(rng, 0x700, 0x0900, 0x4900)});
    regions.append(info(image));
    regions.append({0x0900, code(rng, 0x4000, 0x0900, 0x4900)});
    regions.append({0x5000, strings(texts, 0x200)});
    regions.append({0x5400, code(rng, 0x600, 0x0900, 0x5A00)});
    return finish(image, layout(regions));
}

// Sensor boards: key scanning and velocity measurement.
bool makeSensor(Image &image)
{
    Random rng(0x5A454C504B455953ull); // "ZELPKEYS"
    const QStringList texts = {
        "zel keys",     "Key scan",    "Calibrate", "Velocity curve", "Sensor %u",
        "Key %u stuck", "Bus address", "Threshold", "Aftertouch",     "Release vel.",
    };
    QList<Region> regions;
    regions.append({0x0000, vectors(rng, 64, 0x0100, 0x0800)});
    regions.append({0x0100, code(rng, 0x700, 0x0900, 0x3000)});
    regions.append(info(image));
    regions.append({0x0900, code(rng, 0x2700, 0x0900, 0x3000)});
    regions.append({0x3000, curveTable(256, 2)});
    regions.append({0x3200, strings(texts, 0x100)});
    regions.append({0x3400, code(rng, 0xA00, 0x0900, 0x3E00)});
    return finish(image, layout(regions));
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: mkfirmware <folder>\n";
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists() && !QDir().mkpath(folder.path())) {
        err << "cannot create " << folder.path() << "\n";
        return 1;
    }

    struct Job
    {
        Image image;
        bool (*make)(Image &);
    };
    QVector<Job> jobs = {
        {{"pbase", "PBASE", "v3.3", "Feb 12 2015 09:48:59", 0x3D, {}}, makeMainboard},
        {{"pctrl", "PCTRL", "v2.4", "Jan 20 2015 14:02:11", 0x1C, {}}, makeTerminal},
        {{"pkeys", "PKEYS", "v1.9", "Dec 03 2014 11:27:40", 0x30, {}}, makeSensor},
    };

    for (Job &job : jobs) {
        Image &image = job.image;
        if (!job.make(image)) {
            err << image.fileName << ": no build serial gives checksum " << image.checksum << "\n";
            return 1;
        }
        const QString path = folder.filePath(image.fileName);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(image.text) != image.text.size() || !file.flush()) {
            err << "cannot write " << path << "\n";
            return 1;
        }
        file.close();

        // Whatever we write must be what the tool itself accepts.
        FirmwareFile check;
        if (check.load(path) != FirmwareFile::Ok || check.getFamilyCode() != image.familyCode ||
            check.getVersion() != image.version || check.getBuildDate() != image.buildDate ||
            check.getChecksum() != image.checksum) {
            err << path << ": does not load back: " << check.statusText() << "\n";
            return 1;
        }
        // The main board image is the one the window shows as 197 kB.
        if (image.fileName == QLatin1String("pbase") &&
            qRound(check.getHexText().size() / 1024.0) != 197) {
            err << path << ": hex text is not 197 kB\n";
            return 1;
        }
        err << path << ": " << check.displayName() << ", " << check.getHexText().size()
            << " bytes\n";
    }
    return 0;
}

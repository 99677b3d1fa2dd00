#pragma once

// Reading HEX text without copies: shared by loading and sorting, so both see a
// file's lines and records exactly the same way. Not part of the library's API.

#include <QByteArray>
#include <QFile>

#include <array>
#include <cstring>

namespace hexscan {

// Firmware images are a few hundred kB. Anything far beyond that is not one,
// and reading it whole would only cost the user memory and time.
constexpr qint64 maxFileSize = 64 * 1024 * 1024;

constexpr quint8 typeData = 0x00;
constexpr quint8 typeEndOfFile = 0x01;
constexpr quint8 typeExtendedSegmentAddress = 0x02;
constexpr quint8 typeExtendedLinearAddress = 0x04;
// Not Intel's: the boards' file checksum, after the end-of-file record.
constexpr quint8 typeChecksum = 0x80;

// The value of each hex digit; anything else gets `other`.
constexpr std::array<quint8, 256> makeDigitTable(quint8 other)
{
    std::array<quint8, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = other;
    for (int c = '0'; c <= '9'; ++c)
        table[c] = quint8(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = quint8(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = quint8(c - 'a' + 10);
    return table;
}

// Anything that is not a hex digit counts as 0; the record checksum catches it.
inline constexpr std::array<quint8, 256> digitValue = makeDigitTable(0);

// The same, with anything that is no hex digit marked by bit 4, for a reading
// that refuses it.
inline constexpr std::array<quint8, 256> strictDigitValue = makeDigitTable(0x10);

inline quint8 hexByte(const char *p)
{
    return quint8(digitValue[uchar(p[0])] << 4 | digitValue[uchar(p[1])]);
}

// One record, decoded in place from its line's bytes.
struct Record
{
    bool valid = false;
    quint8 byteCount = 0;
    quint8 type = 0;
    quint8 recordChecksum = 0;
    quint16 address = 0;
    const char *line = nullptr;
    int length = 0;

    // A line cut short reads as '0' digits from its end on.
    quint8 at(int pos) const
    {
        if (pos + 1 < length)
            return hexByte(line + pos);
        const char a = pos < length ? line[pos] : '0';
        return quint8(digitValue[uchar(a)] << 4);
    }
    quint8 data(int index) const { return at(9 + 2 * index); }
    // A record with a byte count too small for its type must not make us read
    // past its data; such bytes count as zero.
    quint8 dataOrZero(int index) const { return index < byteCount ? data(index) : 0; }
};

// `line` holds one line, terminator included. Lines shorter than `minLength`
// or not starting with ':' are not records.
inline Record parse(const char *line, int length, int minLength = 13)
{
    Record r;
    if (length < minLength || line[0] != ':')
        return r;
    r.line = line;
    r.length = length;
    r.byteCount = r.at(1);
    const quint8 high = r.at(3), low = r.at(5);
    r.address = quint16(high << 8 | low);
    r.type = r.at(7);
    unsigned sum = r.byteCount + high + low + r.type;
    const int checksumPos = 9 + 2 * r.byteCount;
    if (checksumPos + 1 < length) {
        for (const char *p = line + 9, *end = line + checksumPos; p != end; p += 2)
            sum += hexByte(p);
    } else {
        for (int i = 0; i < r.byteCount; ++i)
            sum += r.data(i);
    }
    r.recordChecksum = r.at(checksumPos);
    sum += r.recordChecksum;
    r.valid = (sum & 0xFF) == 0;
    return r;
}

// How many bytes of `line` are its line end: CR LF, LF, or none (the file's
// last line).
inline int lineEndLength(const char *line, int length)
{
    if (length == 0 || line[length - 1] != '\n')
        return 0;
    return length > 1 && line[length - 2] == '\r' ? 2 : 1;
}

// `line` read as standard readers read it: ':' and exactly 2 x (5 + byte count)
// hex digits, the right record checksum, and nothing after them but the line
// end. Whatever parse() would take for a '0' (a position past the end of the
// line, a character that is no digit) or ignore (what follows the checksum)
// makes the record invalid here.
inline Record parseStrict(const char *line, int length)
{
    const int body = length - lineEndLength(line, length);
    if (body < 11 || line[0] != ':' || (body - 11) % 2 != 0)
        return Record();
    // One pass checks the digits and adds up the bytes.
    unsigned marks = 0, sum = 0;
    for (const char *p = line + 1, *end = line + body; p != end; p += 2) {
        const unsigned high = strictDigitValue[uchar(p[0])], low = strictDigitValue[uchar(p[1])];
        marks |= high | low;
        sum += high << 4 | low;
    }
    if ((marks & 0x10) != 0 || (sum & 0xFF) != 0 || hexByte(line + 1) != (body - 11) / 2)
        return Record();
    Record r;
    r.valid = true;
    r.line = line;
    r.length = length;
    r.byteCount = hexByte(line + 1);
    r.address = quint16(hexByte(line + 3) << 8 | hexByte(line + 5));
    r.type = hexByte(line + 7);
    r.recordChecksum = hexByte(line + body - 2);
    return r;
}

// The fields of a line already known to hold a valid record, without checking
// it again.
inline Record header(const char *line, int length)
{
    Record r;
    r.line = line;
    r.length = length;
    r.valid = true;
    r.byteCount = r.at(1);
    r.address = quint16(r.at(3) << 8 | r.at(5));
    r.type = r.at(7);
    r.recordChecksum = r.at(9 + 2 * r.byteCount);
    return r;
}

// One past the LF of the line that starts at `from`, or `size`.
inline qsizetype lineEnd(const char *text, qsizetype from, qsizetype size)
{
    const void *lf = std::memchr(text + from, '\n', size_t(size - from));
    return lf ? static_cast<const char *>(lf) - text + 1 : size;
}

// Lines that are empty or start with a NUL byte are no lines at all: some
// tools pad HEX files with zero bytes.
inline bool skipped(const char *line, qsizetype length)
{
    return length == 0 || line[0] == '\0';
}

// The rotate-and-add file checksum, continued from `c` over `n` more bytes.
inline quint8 checksumOver(quint8 c, const char *text, qsizetype n)
{
    for (qsizetype i = 0; i < n; ++i) {
        const quint8 inverted = quint8(~c);
        c = quint8(quint8((inverted << 1) | (inverted >> 7)) + quint8(text[i]));
    }
    return c;
}

enum class Read
{
    Ok,
    Failed,
    TooLarge,
};

// Reads the whole of an open file. A read that fails or ends before the size
// the file gave is an error: an empty or half buffer must never pass as the
// file's content, or the sort would write it back in the file's place.
inline Read readWhole(QFile &file, QByteArray &out)
{
    out.clear();
    const qint64 size = file.isSequential() ? 0 : file.size();
    if (size > maxFileSize)
        return Read::TooLarge;
    out.resize(int(size));
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(out.data() + done, size - done);
        if (n <= 0)
            return Read::Failed;
        done += n;
    }
    // Devices and proc-like files give no size, and a file may grow while it
    // is read; take what is there, within the limit. The probe keeps the
    // common case from growing a buffer that already holds the whole file.
    char probe;
    qint64 n = file.read(&probe, 1);
    if (n <= 0)
        return n == 0 ? Read::Ok : Read::Failed;
    out.append(probe);
    ++done;
    do {
        if (done > maxFileSize)
            return Read::TooLarge;
        const qint64 room = qMin<qint64>(64 * 1024, maxFileSize + 1 - done);
        out.resize(int(done + room));
        n = file.read(out.data() + done, room);
        if (n < 0)
            return Read::Failed;
        done += n;
        out.resize(int(done));
    } while (n > 0);
    return done > maxFileSize ? Read::TooLarge : Read::Ok;
}

} // namespace hexscan

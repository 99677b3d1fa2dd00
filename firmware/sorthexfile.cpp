#include "firmwarefile.h"
#include "hexscan.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <limits>
#include <queue>
#include <string>
#include <vector>

namespace {

using hexscan::typeData;
using hexscan::typeEndOfFile;
using hexscan::typeExtendedLinearAddress;
using hexscan::typeExtendedSegmentAddress;

// Written in pieces of about this size, each read back before it is written.
constexpr size_t chunkSize = 1 << 16;
constexpr size_t prefetchDistance = 16;

// A HEX text read line by line by the rules a rewrite holds to: each line a
// record that standard readers (srec_cat, python intelhex) take as it is, or an
// empty line. The input and the rewritten text are both read this way, so the
// check of a rewrite sees what those readers see, not what the lenient reading
// for an update would make of a damaged line.
class StrictReader
{
public:
    enum class Line
    {
        Skipped,
        Data,
        Other,
        Invalid,
    };

    // `line` runs up to and including its LF; the file's last line may have none.
    Line read(const char *line, int length)
    {
        if (length == hexscan::lineEndLength(line, length))
            return Line::Skipped; // an empty line
        if (ended && onlyNul(line, length))
            return Line::Skipped; // zero padding after the end-of-file record
        record = hexscan::parseStrict(line, length);
        if (!record.valid)
            return Line::Invalid;
        switch (record.type) {
        case typeData:
            // Under a segment base, Intel wraps such a record to the start of its
            // segment, and many readers do not: no rewrite could satisfy both.
            if (segmented && record.address + record.byteCount > 0x10000)
                return Line::Invalid;
            address = base + record.address;
            return Line::Data;
        case typeExtendedSegmentAddress:
        case typeExtendedLinearAddress: {
            // Any other length moves the data that follows to where no reader
            // agrees it belongs.
            if (record.byteCount != 2 || record.address != 0)
                return Line::Invalid;
            segmented = record.type == typeExtendedSegmentAddress;
            const quint32 value = record.data(0) * 256u + record.data(1);
            base = segmented ? value * 16 : value << 16;
            return Line::Other;
        }
        case typeEndOfFile:
            if (record.byteCount != 0)
                return Line::Invalid;
            ended = true;
            return Line::Other;
        default:
            return Line::Other; // start addresses, the checksum record
        }
    }

    hexscan::Record record;
    quint32 address = 0; // of the data record just read

private:
    static bool onlyNul(const char *line, int length)
    {
        const int end = length - hexscan::lineEndLength(line, length);
        return std::all_of(line, line + end, [](char c) { return c == '\0'; });
    }

    quint32 base = 0;
    bool segmented = false;
    bool ended = false;
};

char hexDigit(int value)
{
    return "0123456789abcdef"[value & 0xF];
}

void appendHexByte(std::string &out, quint8 byte)
{
    out += hexDigit(byte >> 4);
    out += hexDigit(byte);
}

// A data record of the input, sorted by full address and then by its place in
// the file: the address in the upper 32 bits, the line's offset in the next 26
// (files are at most 64 MiB), and its length in the lowest 6 when it is below 63,
// which spares a search for its end.
using Entry = quint64;
constexpr int lengthBits = 6;
constexpr quint32 unknownLength = (1u << lengthBits) - 1;

Entry makeEntry(quint32 address, qsizetype offset, int length)
{
    const quint32 code = quint32(qMin(length, int(unknownLength)));
    return Entry(address) << 32 | quint64(offset) << lengthBits | code;
}
quint32 entryAddress(Entry e)
{
    return quint32(e >> 32);
}
quint32 entryOffset(Entry e)
{
    return quint32(e) >> lengthBits;
}

// The record of an entry's line, which was checked when it was read.
hexscan::Record entryRecord(const char *text, qsizetype size, Entry e)
{
    const quint32 offset = entryOffset(e);
    const quint32 code = quint32(e) & unknownLength;
    const qsizetype end =
        code != unknownLength ? offset + code : hexscan::lineEnd(text, offset, size);
    return hexscan::header(text + offset, int(end - offset));
}

// The input's memory image in ascending address order, the later of two records
// that cover an address giving its byte, as a board writing the file's records
// in order would end up with.
class InputImage
{
public:
    InputImage(const char *text, qsizetype size, const std::vector<Entry> &entries)
        : text(text), size(size), entries(entries)
    {}

    // Checks `count` bytes at `address` given as hex digits of `record` from data
    // byte `from` on.
    bool expect(quint64 address, const hexscan::Record &record, int from, int count)
    {
        while (count > 0) {
            if (runLength == 0 && !nextRun())
                return false;
            if (runAddress != address)
                return false;
            const int n = int(qMin<quint64>(runLength, quint64(count)));
            if (!sameBytes(record, from, runRecord, runIndex, n))
                return false;
            address += n;
            from += n;
            count -= n;
            advance(n);
        }
        return true;
    }

    bool expect(quint64 address, quint8 byte)
    {
        if (runLength == 0 && !nextRun())
            return false;
        if (runAddress != address || runRecord.data(runIndex) != byte)
            return false;
        advance(1);
        return true;
    }

    // True when no byte of the image is left unchecked; `distinct` then is the
    // number of addresses the input covers.
    bool atEnd() { return runLength == 0 && !nextRun(); }
    quint64 distinct() const { return emitted; }

private:
    struct Active
    {
        quint64 start;
        quint64 end;
        Entry entry;
        // Entries of one address differ in offset, and the latest in the file wins.
        bool operator<(const Active &other) const
        {
            return entryOffset(entry) < entryOffset(other.entry);
        }
    };

    static bool sameBytes(const hexscan::Record &a, int aFrom, const hexscan::Record &b, int bFrom,
                          int n)
    {
        // Lines copied unchanged carry the same digits; anything else (case,
        // a rewritten record) is compared by value.
        const int aPos = 9 + 2 * aFrom, bPos = 9 + 2 * bFrom;
        if (aPos + 2 * n <= a.length && bPos + 2 * n <= b.length &&
            std::memcmp(a.line + aPos, b.line + bPos, size_t(2 * n)) == 0)
            return true;
        for (int i = 0; i < n; ++i) {
            if (a.data(aFrom + i) != b.data(bFrom + i))
                return false;
        }
        return true;
    }

    hexscan::Record recordOf(Entry e) const { return entryRecord(text, size, e); }

    void advance(int n)
    {
        runAddress += quint64(n);
        runIndex += n;
        runLength -= quint64(n);
    }

    // The next stretch of addresses whose bytes all come from one record: the
    // latest in the file of those that cover its start.
    bool nextRun()
    {
        for (;;) {
            if (active.empty()) {
                if (next == entries.size())
                    return false;
                const Entry e = entries[next];
                const quint64 start = entryAddress(e);
                position = qMax<quint64>(position, start);
                // The common case: a record that overlaps nothing is a run of its own.
                const hexscan::Record record = recordOf(e);
                const quint64 end = start + record.byteCount;
                if (start == position &&
                    (next + 1 == entries.size() || entryAddress(entries[next + 1]) >= end)) {
                    ++next;
                    if (end == start)
                        continue;
                    startRun(record, start, end);
                    return true;
                }
            }
            while (next < entries.size() && entryAddress(entries[next]) <= position) {
                const Entry e = entries[next];
                const quint64 start = entryAddress(e);
                active.push({start, start + recordOf(e).byteCount, e});
                ++next;
            }
            while (!active.empty() && active.top().end <= position)
                active.pop();
            if (active.empty())
                continue;
            const Active &top = active.top();
            quint64 end = top.end;
            if (next < entries.size())
                end = qMin<quint64>(end, entryAddress(entries[next]));
            startRun(recordOf(top.entry), top.start, end);
            return true;
        }
    }

    // Bytes from `position` to `end` of the record that starts at `start`.
    void startRun(const hexscan::Record &record, quint64 start, quint64 end)
    {
        runRecord = record;
        runIndex = int(position - start);
        runAddress = position;
        runLength = end - position;
        emitted += runLength;
        position = end;
    }

    const char *text;
    qsizetype size;
    const std::vector<Entry> &entries;
    size_t next = 0;
    std::priority_queue<Active> active;
    quint64 position = 0;
    hexscan::Record runRecord;
    int runIndex = 0;
    quint64 runAddress = 0;
    quint64 runLength = 0;
    quint64 emitted = 0;
};

// Reads the rewritten text back as Intel HEX, piece by piece as it is written,
// and checks its memory image against the input's. A later record wins where
// two overlap, as in the input; overlap is counted, since the rewrite must not
// add any.
class OutputCheck
{
public:
    explicit OutputCheck(InputImage &expected) : expected(expected) {}

    // The complete lines of `text`; the pieces must follow each other.
    void lines(const char *text, qsizetype size)
    {
        for (qsizetype pos = 0; pos < size && ok;) {
            const qsizetype next = hexscan::lineEnd(text, pos, size);
            line(text + pos, int(next - pos));
            pos = next;
        }
        // The next piece lives elsewhere: keep the pending bytes, not a pointer.
        spill();
    }

    // `inputBytes`: the data bytes of all input records, overlapping or not.
    bool finish(quint64 inputBytes)
    {
        spill();
        settle(std::numeric_limits<quint64>::max());
        return ok && expected.atEnd() && overlap <= inputBytes - expected.distinct();
    }

private:
    void line(const char *text, int length)
    {
        const StrictReader::Line read = reader.read(text, length);
        if (read == StrictReader::Line::Invalid)
            ok = false;
        if (read != StrictReader::Line::Data)
            return;
        const hexscan::Record &record = reader.record;
        const quint64 start = reader.address;
        // Sorted output never goes back; anything else is a fault here.
        if (started && start < lastStart) {
            ok = false;
            return;
        }
        started = true;
        lastStart = start;
        if (hasPending && start >= pendingStart + pending.byteCount) {
            ok = expected.expect(pendingStart, pending, 0, pending.byteCount);
            hasPending = false;
        } else if (hasPending) {
            spill();
        }
        settle(start);
        if (!ok)
            return;
        if (windowLength == 0) {
            pending = record;
            pendingStart = start;
            hasPending = true;
            return;
        }
        put(start, record);
    }

    // Bytes below `upTo` can no longer change.
    void settle(quint64 upTo)
    {
        int i = 0;
        for (; ok && i < windowLength && windowBase + quint64(i) < upTo; ++i) {
            if (window[i] >= 0)
                ok = expected.expect(windowBase + quint64(i), quint8(window[i]));
        }
        std::copy(window.begin() + i, window.begin() + windowLength, window.begin());
        windowLength -= i;
        windowBase = windowLength ? windowBase + quint64(i) : upTo;
    }

    void spill()
    {
        if (!hasPending)
            return;
        hasPending = false;
        if (windowLength == 0)
            windowBase = pendingStart;
        put(pendingStart, pending);
    }

    // Records start in ascending order, so a record's bytes begin at the
    // window's start and no window is longer than the longest record.
    void put(quint64 start, const hexscan::Record &record)
    {
        const int at = int(start - windowBase);
        for (int k = 0; k < record.byteCount; ++k) {
            if (at + k < windowLength && window[at + k] >= 0)
                ++overlap;
            window[at + k] = record.data(k);
        }
        for (int k = windowLength; k < at; ++k)
            window[k] = -1;
        windowLength = qMax(windowLength, at + record.byteCount);
    }

    InputImage &expected;
    StrictReader reader;
    bool ok = true;
    bool started = false;
    quint64 lastStart = 0;
    bool hasPending = false;
    hexscan::Record pending;
    quint64 pendingStart = 0;
    std::array<qint16, 512> window{};
    int windowLength = 0;
    quint64 windowBase = 0;
    quint64 overlap = 0;
};

// A data record that a 0x02 base moved to another 16-bit address, rebuilt with
// its new address and record checksum.
void appendMovedRecord(std::string &out, quint16 address, const hexscan::Record &record,
                       const char *end)
{
    quint8 sum = quint8(record.byteCount + (address >> 8) + address + record.type);
    out += ':';
    appendHexByte(out, record.byteCount);
    appendHexByte(out, quint8(address >> 8));
    appendHexByte(out, quint8(address));
    appendHexByte(out, record.type);
    for (int i = 0; i < record.byteCount; ++i) {
        const quint8 byte = record.data(i);
        appendHexByte(out, byte);
        sum = quint8(sum + byte);
    }
    appendHexByte(out, quint8(-sum));
    out += end;
}

void appendUpperBits(std::string &out, quint16 upper)
{
    out += ":02000004";
    appendHexByte(out, quint8(upper >> 8));
    appendHexByte(out, quint8(upper));
    appendHexByte(out, quint8(-((upper >> 8) + (upper & 0xFF) + 6)));
    out += "\r\n";
}

// Reads the data records of `text` into `entries`, noting the bytes they hold
// in `inputBytes`. False when a line is not a record a rewrite may keep.
bool readEntries(const char *text, qsizetype size, std::vector<Entry> &entries, quint64 &inputBytes)
{
    entries.reserve(size_t(size / 12 + 1)); // no record line with its end is shorter
    StrictReader reader;
    for (qsizetype pos = 0; pos < size;) {
        const qsizetype next = hexscan::lineEnd(text, pos, size);
        const int length = int(next - pos);
        const StrictReader::Line read = reader.read(text + pos, length);
        if (read == StrictReader::Line::Invalid)
            return false;
        if (read == StrictReader::Line::Data) {
            entries.push_back(makeEntry(reader.address, pos, length));
            inputBytes += reader.record.byteCount;
        }
        pos = next;
    }
    return true;
}

// Whether two data records of the input share an address.
bool overlaps(const char *text, qsizetype size, const std::vector<Entry> &entries)
{
    quint64 end = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const quint64 start = entryAddress(entries[i]);
        if (i > 0 && start < end)
            return true;
        end = qMax(end, start + entryRecord(text, size, entries[i]).byteCount);
    }
    return false;
}

// Writes the data records in the order of `entries` (sorted by address, a
// later record at the same address after the earlier one) through `save`, each
// piece checked against the input's memory image before it is written.
class SortedWriter
{
public:
    enum class Result
    {
        Written,
        WriteFailed,
        OtherData, // the rewrite would not hold the input's memory image
    };

    SortedWriter(QSaveFile &save, const char *text, qsizetype size,
                 const std::vector<Entry> &entries)
        : save(save), text(text), size(size), entries(entries), expected(text, size, entries),
          check(expected)
    {
        out.reserve(chunkSize + 1024);
    }

    Result write(quint64 inputBytes)
    {
        bool first = true;
        quint32 previousUpper = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
#if defined(__GNUC__) || defined(__clang__)
            // In address order the lines lie all over the file: ask for them early.
            if (i + prefetchDistance < entries.size())
                __builtin_prefetch(text + entryOffset(entries[i + prefetchDistance]));
#endif
            const quint32 address = entryAddress(entries[i]);
            if (i + 1 < entries.size() && entryAddress(entries[i + 1]) == address)
                continue; // a later record at the same address replaces this one
            const quint32 upper = address >> 16;
            if (first || upper != previousUpper) {
                appendUpperBits(out, quint16(upper));
                previousUpper = upper;
                first = false;
            }
            appendRecord(address, entryRecord(text, size, entries[i]));
            if (out.size() >= chunkSize && !flush())
                return Result::WriteFailed;
        }
        out += ":00000001FF\r\n";
        if (!flush())
            return Result::WriteFailed;
        return check.finish(inputBytes) ? Result::Written : Result::OtherData;
    }

private:
    void appendRecord(quint32 address, const hexscan::Record &record)
    {
        const int length = record.length;
        const bool hasEnd = record.line[length - 1] == '\n';
        // Loading for an update takes no line shorter than 13 bytes, which an
        // empty record with LF alone is.
        if (record.address == quint16(address) && (length >= 13 || !hasEnd)) {
            out.append(record.line, size_t(length));
            if (!hasEnd)
                out += "\r\n"; // or the next record would be glued onto it
            return;
        }
        const bool lfOnly = hasEnd && record.line[length - 2] != '\r' && record.byteCount > 0;
        appendMovedRecord(out, quint16(address), record, lfOnly ? "\n" : "\r\n");
    }

    // Only whole lines are checked and written; a line without its end waits
    // for what follows it, as a reader of the file would see it.
    bool flush()
    {
        const size_t complete = out.rfind('\n') + 1; // npos + 1 == 0
        check.lines(out.data(), qsizetype(complete));
        // A short write is retried, so that a full disk shows as the error it is.
        for (qint64 done = 0; done < qint64(complete);) {
            const qint64 n = save.write(out.data() + done, qint64(complete) - done);
            if (n <= 0)
                return false;
            done += n;
        }
        out.erase(0, complete);
        return true;
    }

    QSaveFile &save;
    const char *text;
    qsizetype size;
    const std::vector<Entry> &entries;
    InputImage expected;
    OutputCheck check;
    std::string out;
};

QString translated(const char *text)
{
    return QCoreApplication::translate("FirmwareFile", text);
}

// Why a file that was read was not rewritten, in the user's words.
QString refusalText(SortedWriter::Result result, const QSaveFile &save, bool overlap)
{
    if (result == SortedWriter::Result::OtherData && overlap)
        return translated(QT_TRANSLATE_NOOP("FirmwareFile",
                                            "The file was left unchanged: its data records "
                                            "overlap, and sorted by address they would hold "
                                            "other data"));
    if (result == SortedWriter::Result::OtherData)
        return translated(QT_TRANSLATE_NOOP("FirmwareFile",
                                            "The file was left unchanged: its rewrite did not "
                                            "read back with the same data"));
    // Qt gives no reason when the finished rewrite cannot take the file's name.
    if (result == SortedWriter::Result::Written)
        return translated(QT_TRANSLATE_NOOP("FirmwareFile",
                                            "The file was left unchanged: its rewrite could "
                                            "not be put in its place"));
    return translated(QT_TRANSLATE_NOOP("FirmwareFile", "The file was left unchanged: writing "
                                                        "its rewrite failed (%1)"))
        .arg(save.errorString());
}

} // namespace

int sortHexFile(const QString &path, QString *why)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return FirmwareFile::AccessDenied;
    QByteArray content;
    // A failed or short read, or a file too large to be firmware, must never
    // be taken for an empty file and written back as one.
    if (hexscan::readWhole(in, content) != hexscan::Read::Ok)
        return FirmwareFile::AccessDenied;
    in.close();

    const char *const text = content.constData();
    const qsizetype size = content.size();
    std::vector<Entry> entries;
    quint64 inputBytes = 0;
    if (!readEntries(text, size, entries, inputBytes))
        return FirmwareFile::InvalidData;
    // Equal addresses stay in file order, so the later record comes last.
    std::sort(entries.begin(), entries.end());

    // Written beside the original and swapped in only when complete and read
    // back, so neither a full disk nor a fault in the rewrite costs the user
    // the file. Unbuffered, because QSaveFile's commit() does not notice a
    // failed flush of its buffer and would swap in a truncated file.
    QSaveFile save(path);
    SortedWriter::Result result = SortedWriter::Result::WriteFailed;
    if (save.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        result = SortedWriter(save, text, size, entries).write(inputBytes);
    if (result == SortedWriter::Result::Written && save.commit())
        return FirmwareFile::Ok;
    if (why) {
        const bool overlap =
            result == SortedWriter::Result::OtherData && overlaps(text, size, entries);
        *why = refusalText(result, save, overlap);
    }
    save.cancelWriting();
    return FirmwareFile::AccessDenied;
}

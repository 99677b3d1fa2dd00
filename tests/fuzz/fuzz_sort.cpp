// Sorting any bytes. A file with a line that is no sound record is refused as
// invalid; any other is rewritten exactly when the rewrite holds the same
// memory as the file (a later record winning where two overlap) with no overlap
// added; a refused file stays as it was; sorting a sorted file changes nothing.
// The bytes are read by a decoder other than the tool's.

#include "firmwarefile.h"
#include "fuzzing.h"
#include "simhex.h"

#include <map>
#include <vector>

using fuzzing::check;

namespace {

struct Data
{
    quint64 address;
    QByteArray bytes;
};

// Address -> byte, with the number of bytes that landed on one already there.
struct Image
{
    std::map<quint64, quint8> bytes;
    quint64 overlap = 0;

    void put(const Data &data)
    {
        for (int i = 0; i < data.bytes.size(); ++i) {
            if (!bytes.insert_or_assign(data.address + quint64(i), quint8(data.bytes.at(i))).second)
                ++overlap;
        }
    }
};

// The data records of a HEX text in file order, under the bases that 0x02 and
// 0x04 records set, read by the simulated boards' decoder (written apart from
// the tool's reader) with the rules of a rewrite: every line a whole record
// or empty (zero bytes after the end-of-file record are padding), address
// records of 2 bytes at 0, no data wrapping in its segment. False when a line
// breaks them.
bool readRecords(const QByteArray &text, std::vector<Data> &records)
{
    quint64 base = 0;
    bool segmented = false, ended = false;
    for (int pos = 0; pos < text.size();) {
        int end = text.indexOf('\n', pos);
        end = end < 0 ? int(text.size()) : end + 1;
        QByteArray line = text.mid(pos, end - pos);
        pos = end;
        line.chop(line.endsWith("\r\n") ? 2 : line.endsWith('\n') ? 1 : 0);
        if (line.endsWith('\r')) // the decoder would take it for a line end
            return false;
        if (line.isEmpty() || (ended && line.count('\0') == line.size()))
            continue;
        const zelsim::hex::Record record = zelsim::hex::parseLine(line);
        if (!record.valid)
            return false;
        const int size = int(record.data.size());
        if (record.type == 0x00) {
            if (segmented && record.address + size > 0x10000)
                return false;
            records.push_back({base + record.address, record.data});
        } else if (record.type == 0x01) {
            if (size != 0)
                return false;
            ended = true;
        } else if (record.type == 0x02 || record.type == 0x04) {
            if (size != 2 || record.address != 0)
                return false;
            segmented = record.type == 0x02;
            const quint64 value = quint8(record.data.at(0)) * 256u + quint8(record.data.at(1));
            base = segmented ? value * 16 : value << 16;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzing::bytes(data, size);
    const QString path = fuzzing::scratchFile("sort.hex", input);
    const int result = sortHexFile(path);
    const QByteArray output = readFile(path);

    std::vector<Data> records;
    if (!readRecords(input, records)) {
        check(result == FirmwareFile::InvalidData, "a line that is no record was let through");
        check(output == input, "an invalid file was changed");
        return 0;
    }
    Image in;
    for (const Data &record : records)
        in.put(record);
    // What the rewrite holds: the last record at each address, in address order.
    std::map<quint64, QByteArray> kept;
    for (const Data &record : records)
        kept[record.address] = record.bytes;
    Image rewritten;
    for (const auto &entry : kept)
        rewritten.put({entry.first, entry.second});
    const bool same = rewritten.bytes == in.bytes && rewritten.overlap <= in.overlap;
    check(result == (same ? FirmwareFile::Ok : FirmwareFile::AccessDenied),
          same ? "a sound rewrite was refused" : "a rewrite that changes memory was not refused");
    if (result != FirmwareFile::Ok) {
        check(output == input, "a refused rewrite changed the file");
        return 0;
    }

    std::vector<Data> written;
    check(readRecords(output, written), "the rewrite holds a line that is no record");
    Image out;
    for (const Data &record : written)
        out.put(record);
    check(out.bytes == in.bytes && out.overlap <= in.overlap, "the rewrite holds other memory");
    check(output.endsWith(":00000001FF\r\n"), "the rewrite does not end with its end-of-file line");

    check(sortHexFile(path) == FirmwareFile::Ok && readFile(path) == output,
          "sorting the sorted file changed it");
    return 0;
}

// Sorting any bytes. The file is rewritten only when the rewrite holds the
// same memory as the file (a later record winning where two overlap) with no
// overlap added, and then always is; every other outcome leaves the file as
// it was; sorting a sorted file changes nothing.

#include "firmwarefile.h"
#include "fuzzing.h"

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
// 0x04 records set; false when a line is no record.
bool readRecords(const QByteArray &text, std::vector<Data> &records)
{
    quint64 base = 0;
    for (int pos = 0; pos < text.size();) {
        const int end = FirmwareFile::lineEnd(text, pos);
        const QByteArray line = text.mid(pos, end - pos);
        pos = end;
        if (line.isEmpty() || line.at(0) == '\0')
            continue;
        const FirmwareFile::HexRecord record = FirmwareFile::parseHexLine(line);
        if (!record.valid) {
            // The end-of-file line of LF-only files is one byte short of a record.
            const FirmwareFile::HexRecord padded =
                FirmwareFile::parseHexLine(line.left(11) + "\r\n");
            if (line.size() == 12 && line.endsWith('\n') && padded.valid && padded.type == 1 &&
                padded.byteCount == 0)
                continue;
            return false;
        }
        const auto byte = [&record](int i) {
            return i < record.data.size() ? quint8(record.data.at(i)) : 0u;
        };
        if (record.type == 0x00)
            records.push_back({base + record.address, record.data});
        else if (record.type == 0x02)
            base = (byte(0) * 256u + byte(1)) * 16u;
        else if (record.type == 0x04)
            base = quint64(byte(0) * 256u + byte(1)) << 16;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzing::bytes(data, size);
    const QString path = fuzzing::scratchFile("sort.hex");
    fuzzing::writeFile(path, input);
    const int result = sortHexFile(path);
    const QByteArray output = fuzzing::readFile(path);

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

    check(sortHexFile(path) == FirmwareFile::Ok && fuzzing::readFile(path) == output,
          "sorting the sorted file changed it");
    return 0;
}

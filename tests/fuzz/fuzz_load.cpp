// Loading any bytes, with and without stamping: no crash, nothing written
// unasked, and a stamp that stays in the file always loads as the stamping said.

#include "firmwarefile.h"
#include "fuzzing.h"

using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzing::bytes(data, size);
    const QString path = fuzzing::scratchFile("load.hex", input);

    FirmwareFile plain;
    const FirmwareFile::Status loaded = plain.load(path);
    check(readFile(path) == input, "loading without stamping wrote to the file");
    check(plain.getHexText().size() <= input.size(), "the kept text is longer than the file");
    check(loaded != FirmwareFile::Ok ||
              FirmwareFile::fileChecksum(plain.getHexText()) == plain.getChecksum(),
          "Ok with a checksum that does not match the text");

    FirmwareFile stamped;
    const FirmwareFile::Status result = stamped.load(path, true);
    const QByteArray after = readFile(path);
    if (after == input) {
        // Nothing appended: the file had its record, or was refused, or the
        // stamp was taken back.
        check(result == loaded ||
                  (loaded == FirmwareFile::Corrupted &&
                   (result == FirmwareFile::Corrupted || result == FirmwareFile::WriteDenied)),
              "stamping without a change gave another result");
        return 0;
    }
    check(after.startsWith(input), "stamping changed what was there");
    // The record gets a line of its own: CR LF first when the file lacks a line end.
    const bool separated = !input.isEmpty() && !input.endsWith('\n');
    const QByteArray added = after.mid(input.size() + (separated ? 2 : 0));
    check(after.mid(input.size(), separated ? 2 : 0) == (separated ? "\r\n" : "") &&
              added.size() == 16 && added.startsWith(":0200008000") && added.endsWith('\n'),
          "stamping appended something other than one checksum record");
    check(result == FirmwareFile::Ok || result == FirmwareFile::NoFirmware,
          "a stamp stayed although stamping failed");
    FirmwareFile again;
    check(again.load(path) == result, "the stamped file does not load as stamping said");
    check(again.getChecksum() == stamped.getChecksum(), "the stamped checksum differs");
    return 0;
}

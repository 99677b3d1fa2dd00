#include "stamphexfile.h"

#include "firmwarefile.h"

StampResult stampHexFile(const QString &path)
{
    StampResult result;
    // The rewrite replaces the file only once the new text is complete and
    // checked; the stamp is appended to that.
    result.status = sortHexFile(path);
    result.rewritten = result.status == FirmwareFile::Ok;
    if (result.rewritten) {
        FirmwareFile file;
        result.status = file.load(path, true);
        result.checksum = file.getChecksum();
    }
    result.text = FirmwareFile::failureText(path, result.status);
    return result;
}

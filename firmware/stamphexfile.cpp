#include "stamphexfile.h"

#include "firmwarefile.h"

StampResult stampHexFile(const QString &path)
{
    StampResult result;
    // The rewrite replaces the file only once the new text is complete and
    // checked; the stamp is appended to that.
    QString why;
    result.status = sortHexFile(path, &why);
    result.rewritten = result.status == FirmwareFile::Ok;
    if (result.rewritten) {
        FirmwareFile file;
        result.status = file.load(path, true);
        result.checksum = file.getChecksum();
    }
    result.text = why.isEmpty() ? FirmwareFile::failureText(path, result.status) : why;
    return result;
}

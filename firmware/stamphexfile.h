#pragma once

#include <QString>

// The maintenance command behind Ctrl+Shift+F11 and `zelloader-cli stamp`: the
// file's records sorted by address (sortHexFile), then the checksum record
// appended by a stamping load. The window and the command line both run it, so
// they rewrite, refuse and report a file the same way.
struct StampResult
{
    int status = 0;         // a FirmwareFile::Status: Ok, or why the file was not stamped
    bool rewritten = false; // the sort replaced the file (the stamp may still have failed)
    quint8 checksum = 0;    // the stamped file's checksum, when status is Ok
    QString text;           // what to tell the user about the outcome
};

StampResult stampHexFile(const QString &path);

#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// One Intel HEX firmware file of one board family. Keeps the HEX text itself
// (the boards decode the records), the information block texts and the 8-bit
// file checksum that a non-standard 0x80 record after the end-of-file record
// carries.
class FirmwareFile
{
    Q_DECLARE_TR_FUNCTIONS(FirmwareFile)

public:
    enum Status
    {
        Ok = 0,
        AccessDenied = 1,
        InvalidData = 2,
        Corrupted = 3,
        WriteDenied = 4,
        InvalidOrder = 5,
        NoFirmware = 6,
    };

    struct HexRecord
    {
        bool valid = false;
        quint8 byteCount = 0;
        quint16 address = 0;
        quint8 type = 0;
        quint8 recordChecksum = 0;
        QByteArray data;
    };

    FirmwareFile();

    Status load(const QString &path, bool stampChecksum = false);

    QString statusText() const;
    static QString statusText(int status);
    QString displayName() const;

    Status getStatus() const { return status; }
    const QByteArray &getHexText() const { return hexText; }
    const QString &getFamilyCode() const { return familyCode; }
    const QString &getVersion() const { return version; }
    const QString &getBuildDate() const { return buildDate; }
    quint8 getChecksum() const { return checksum; }

    static int hexDigitValue(char c);
    static quint8 hexByte(char a, char b);
    static quint16 hexWord(char a, char b, char c, char d);
    // `line` is the raw bytes of one line, terminator included.
    static HexRecord parseHexLine(const QByteArray &line);
    // Where the line starting at `from` ends: one past its LF, or the end of `text`.
    // Loading, sorting and the transfer to a board all cut lines here, so a board
    // receives exactly the lines the file was checked as.
    static int lineEnd(const QByteArray &text, int from);
    // The rotate-and-add file checksum over the given HEX text.
    static quint8 fileChecksum(const QByteArray &text);

    // Loading and sorting refuse files over 64 MiB before reading them (load
    // gives InvalidData, the sort AccessDenied); this tells the user why.
    static bool isTooLarge(const QString &path);
    static QString tooLargeText();
    // What the user is told when loading or rewriting `path` ended in `status`: a
    // file refused for its size says so, although it reads as InvalidData.
    static QString failureText(const QString &path, int status);

private:
    Status finish(Status result);
    // Reads the records of the file in hexText, keeping in it the lines the
    // boards receive.
    Status readRecords(bool &checksumSeen, bool &lastLineKept);
    // Appends the checksum record to the file at `path`, whose text hexText holds.
    Status appendChecksumRecord(const QString &path, bool endsWithLineEnd, bool lastLineKept);

    Status status;
    QByteArray hexText;
    QString familyCode;
    QString version;
    QString buildDate;
    quint8 checksum;
};

// Rewrites the HEX file at `path` with its data records sorted by full address,
// the later of two records at the same address winning, a fresh extended linear
// address record before each 64 KiB region and a fresh end-of-file record.
// Data under extended segment address (0x02) records comes out at its true
// addresses under 0x04 records.
//
// The rewrite is what the stamp then seals, so it takes only what every
// standard reader reads the same way: each line ':' with exactly the digits its
// byte count calls for, the right record checksum and nothing after it but CR
// LF or LF (or the end of the file); 0x02 and 0x04 records of 2 bytes at
// address 0; end-of-file records without data; no data record under a 0x02
// base that runs past the end of its segment. Empty lines, and zero bytes
// after the end-of-file record, are skipped.
//
// Returns a FirmwareFile::Status value: Ok; InvalidData when a line breaks those
// rules; AccessDenied when the file cannot be read (or is too large), cannot be
// written, or would not hold the same data at the same addresses once
// rewritten. The original is replaced only by a complete rewrite whose records
// were read back and found to hold exactly the input's memory image. When the
// file was read but not rewritten, `why` (if given) receives what to tell the
// user instead of the status text, which would suggest a missing permission.
int sortHexFile(const QString &path, QString *why = nullptr);

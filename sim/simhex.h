#pragma once

#include <QByteArray>

// The boards' own view of an Intel HEX transfer. Written independently of the
// tool's firmware reader on purpose: a test that pushes the tool's output into
// the instrument must not be judged by the same parser that produced it.
namespace zelsim::hex {

struct Record
{
    bool valid = false;
    quint8 type = 0;
    quint16 address = 0;
    QByteArray data;
};

// One line as a board receives it: ':' then hex digit pairs, an optional line
// end (LF, CR LF or CR), a length byte that matches the digits and a record
// checksum that makes the bytes add up to zero.
Record parseLine(const QByteArray &line);

// The 8-bit file checksum the boards check at the end of a transfer: for each
// byte b, C = rotl8(~C) + b, starting from 0.
quint8 fileChecksum(const QByteArray &text);

// The version byte (X*10+Y for "vX.Y") held by the information block of an
// image, or -1 when the image carries no readable version.
int imageVersion(const QByteArray &text);

// The version text of the information block, as the board reads it.
QByteArray imageVersionText(const QByteArray &text);

} // namespace zelsim::hex

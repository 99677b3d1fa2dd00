#include "simhex.h"

#include <QList>

namespace zelsim::hex {

namespace {

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

Record parseLine(const QByteArray &line)
{
    Record r;
    QByteArray body = line;
    if (body.endsWith('\n'))
        body.chop(1);
    if (body.endsWith('\r'))
        body.chop(1);
    if (body.size() < 11 || body.at(0) != ':' || (body.size() - 1) % 2 != 0)
        return r;

    QByteArray bytes;
    for (int i = 1; i < body.size(); i += 2) {
        const int hi = digit(body.at(i));
        const int lo = digit(body.at(i + 1));
        if (hi < 0 || lo < 0)
            return r;
        bytes.append(char(hi * 16 + lo));
    }
    const int count = quint8(bytes.at(0));
    if (bytes.size() != count + 5)
        return r;
    quint8 sum = 0;
    for (char b : bytes)
        sum = quint8(sum + quint8(b));
    if (sum != 0)
        return r;

    r.valid = true;
    r.address = quint16(quint8(bytes.at(1)) << 8 | quint8(bytes.at(2)));
    r.type = quint8(bytes.at(3));
    r.data = bytes.mid(4, count);
    return r;
}

quint8 fileChecksum(const QByteArray &text)
{
    quint8 c = 0;
    for (char b : text) {
        const quint8 inv = quint8(~c);
        const quint8 rot = quint8(inv << 1 | inv >> 7);
        c = quint8(rot + quint8(b));
    }
    return c;
}

QByteArray imageVersionText(const QByteArray &text)
{
    QByteArray version;
    quint32 upper = 0;
    int from = 0;
    while (from < text.size()) {
        int end = text.indexOf('\n', from);
        end = end < 0 ? text.size() : end + 1;
        const Record r = parseLine(text.mid(from, end - from));
        from = end;
        if (!r.valid)
            continue;
        if (r.type == 0x04 && r.data.size() >= 2) {
            upper = quint32(quint8(r.data.at(0))) << 8 | quint8(r.data.at(1));
        } else if (r.type == 0x00) {
            const quint32 full = upper * 65536u + r.address;
            if (full < 0x840 || full > 0x87F)
                continue;
            QByteArray chars;
            for (int i = 0; i < r.data.size(); ++i) {
                if (i % 4 < 2)
                    chars.append(r.data.at(i));
            }
            const int zero = chars.indexOf('\0');
            version += zero < 0 ? chars : chars.left(zero);
        }
    }
    return version;
}

int imageVersion(const QByteArray &text)
{
    const QByteArray v = imageVersionText(text);
    // "vX.Y": X one to three digits, Y a single digit; the board keeps X*10+Y in a byte.
    const int dot = v.indexOf('.');
    if (v.size() < 4 || v.at(0) != 'v' || dot < 2 || dot > 4 || dot != v.size() - 2)
        return -1;
    int x = 0;
    for (int i = 1; i < dot; ++i) {
        if (v.at(i) < '0' || v.at(i) > '9')
            return -1;
        x = x * 10 + (v.at(i) - '0');
    }
    const char y = v.at(dot + 1);
    if (y < '0' || y > '9')
        return -1;
    const int value = x * 10 + (y - '0');
    return value <= 255 ? value : -1;
}

} // namespace zelsim::hex

#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (tests/fuzz/corpus/): small
files cut from the built-in images, and the files that once made the tool
lose or corrupt data. Run from anywhere; the output is the same every time.
Crashes found later are added to the corpus by hand, as they are."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.join(HERE, '..', '..', 'resources', 'firmware')


def record(rtype, address, data, end='\r\n'):
    body = bytes([len(data), address >> 8 & 255, address & 255, rtype]) + bytes(data)
    return ':' + (body + bytes([-sum(body) & 255])).hex().upper() + end


def file_checksum(text):
    c = 0
    for b in text.encode('latin-1'):
        inverted = ~c & 255
        c = ((inverted << 1 | inverted >> 7) + b) & 255
    return c


def stamped(text):
    c = file_checksum(text)
    return text + ':0200008000%02x%02x\n' % (c, (0x7E - c) & 255)


def image_cut(name):
    """The first lines, the information block and the end of an image."""
    lines = open(os.path.join(IMAGES, name), newline='').read().splitlines(True)
    keep = lines[:4]
    for line in lines:
        if line.startswith(':10') and 0x800 <= int(line[3:7], 16) < 0x8C0 and line not in keep:
            keep.append(line)
    eof = lines.index(':00000001FF\r\n')
    keep += lines[eof - 2:eof + 1]
    return ''.join(keep)


def write(target, name, content):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(content.encode('latin-1') if isinstance(content, str) else content)


def main():
    eof = ':00000001FF\r\n'
    ones = ':1000100011111111111111111111111111111111D0'
    twos = ':1000000022222222222222222222222222222222D0'
    info = image_cut('pkeys')
    hex_seeds = {
        # A line without its end, sorted first, then sorted last.
        'glued-first.hex': ones + '\r\n' + twos,
        'glued-last.hex': twos + '\r\n' + ones,
        # Stamping after a last line without its end.
        'stamp-unended.hex': ':00000001FF\r\n:00000001FFXX',
        # Stamping without an end-of-file record.
        'stamp-no-eof.hex': info.replace(eof, ''),
        # LF-only, as srec_cat and objcopy write.
        'lf-only.hex': info.replace('\r\n', '\n'),
        # Extended segment addresses: a boot loader at 0x3E000, and two
        # segments whose data shares 16-bit addresses.
        'segments.hex': record(2, 0, [0x3E, 0x00]) + record(0, 0, range(16)) +
                        record(2, 0, [0x10, 0x00]) + record(0, 0, [0xAA] * 16) +
                        record(2, 0, [0x20, 0x00]) + record(0, 0, [0xBB] * 16) + eof,
        # Overlap, duplicates, records after the end, NUL padding, lower case.
        'odd.hex': record(0, 0x10, [1] * 16) + record(0, 0x10, [2] * 4) +
                   record(0, 0x08, [3] * 16) + eof + record(0, 0x40, [4]).lower() +
                   '\0\0\0\n' + record(4, 0, [0, 1], '\n') + record(0, 0xFFF8, [5] * 16, ''),
        # Lines that a lenient reading takes and standard readers refuse or
        # read otherwise; then what is safe to take.
        'short-digits.hex': ':04001000AB41\r\n' + eof,
        'glued-after-cr.hex': ones + '\r' + twos + '\r\n' + eof,
        'address-4-bytes.hex': record(4, 0, [0, 1, 0, 0]) + record(0, 0, [1] * 16) + eof,
        'segment-wrap.hex': record(2, 0, [0x10, 0]) + record(0, 0xFFF8, [7] * 16) + eof,
        'unended-eof.hex': record(0, 0, [1] * 16) + ':00000001FF',
        'empty-lines.hex': '\r\n' + ones + '\n\n' + twos + '\r\n' + eof,
    }
    for name in ('pbase', 'pctrl', 'pkeys'):
        hex_seeds['image-%s.hex' % name] = stamped(image_cut(name))
    for target in ('load', 'sort'):
        for name, content in hex_seeds.items():
            write(target, name, content)

    # Input reports: 64 bytes, answers of three bytes, zero padding.
    def report(*answers):
        data = bytes(b for answer in answers for b in answer)
        return data + bytes(64 - len(data))
    write('report', 'versions.bin', report(*[(1, part, 10 + part) for part in range(8)]))
    write('report', 'acks.bin', report((2, 7, 1), (3, 7, 1), (3, 0, 0xFF), (4, 6, 0)))
    # Any byte but 0 means ready, accepted, done.
    write('report', 'acks-nonzero.bin', report((2, 1, 0x80), (4, 7, 2)))
    write('report', 'odd-parts.bin', report((1, 0x80, 255), (3, 0xFF, 0x80), (5, 1, 1)))
    # An answer after one of no known kind is not read.
    write('report', 'after-unknown.bin', report((1, 7, 0x1D), (5, 7, 1), (1, 6, 0x0C)))
    write('report', 'cut-short.bin', bytes([1, 7, 33, 2, 7]))


if __name__ == '__main__':
    main()

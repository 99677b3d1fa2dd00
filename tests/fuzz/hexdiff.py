#!/usr/bin/env python3
"""The maintenance rewrite judged by python intelhex, a standard reader written
apart from this project: HEX files are generated (toolchain-like ones, and the
same with malformed lines, ill-sized address records, records that wrap in
their segment, overlaps and other damage), each is sorted by the tool
(sort_pipe), and for every file the tool rewrote, intelhex must read the same
memory image from the file before and after; a file intelhex refuses as
malformed must never be rewritten, nor a refused one touched. What the stamp
then makes of a rewrite must load. Prints its figures.

    tests/fuzz/hexdiff.py [--count 1000000] [--jobs 2] [--driver build/tests/fuzz/sort_pipe]

Where the tool decides otherwise than intelhex on purpose, the reading follows
the tool: records after the end-of-file record are read too (the rewrite keeps
them), zero bytes after it are padding, start-address records and record types
intelhex does not know are passed over (the rewrite drops them), and a later
record overwrites what an earlier one put at the same address.

Input number N of seed S is the same on every run: --first N --count 1 --keep
DIR writes it to DIR. Exit status 0 when every input passed, 1 when one did
not (it is written to --keep, or the current folder), 77 without intelhex.
"""

import argparse
import collections
import io
import multiprocessing
import os
import random
import struct
import subprocess
import sys
import time

try:
    from intelhex import (IntelHex, HexReaderError, RecordTypeError, StartAddressRecordError,
                          _EndOfFile)
except ImportError:
    # Debian's package serves the system's Python, which may not be the first on PATH.
    if os.path.realpath(sys.executable) != os.path.realpath('/usr/bin/python3') and \
            os.access('/usr/bin/python3', os.X_OK):
        os.execv('/usr/bin/python3', ['/usr/bin/python3'] + sys.argv)
    print('hexdiff: python3-intelhex is not installed (apt-get install python3-intelhex): skipped')
    sys.exit(77)

HERE = os.path.dirname(os.path.abspath(__file__))
OK, ACCESS_DENIED, INVALID_DATA, INVALID_ORDER, NO_FIRMWARE = 0, 1, 2, 5, 6


# --- Reading, by intelhex ------------------------------------------------------------

class Image(dict):
    """Address -> byte where a later record overwrites an earlier one; counts
    the bytes that landed on one already there."""

    def __init__(self):
        super().__init__()
        self.overlap = 0

    def get(self, key, default=None):
        return default  # intelhex looks for overlap this way: there is none to find

    def __setitem__(self, key, value):
        if key in self:
            self.overlap += 1
        super().__setitem__(key, value)


def read(text, as_input):
    """The image intelhex reads from `text`. For the sort's input, what the tool
    decides itself is followed (see above); its output is read as it stands,
    up to its end-of-file record. Raises HexReaderError for a malformed file."""
    hexfile = IntelHex()
    hexfile._buf = Image()
    ended = False
    for number, line in enumerate(io.StringIO(text.decode('latin-1'), newline=None), 1):
        if ended and not as_input:
            break
        body = line.rstrip('\r\n')
        if ended and body and not body.strip('\0'):
            continue
        hexfile.start_addr = None
        try:
            hexfile._decode_record(line, number)
        except _EndOfFile:
            ended = True
        except (RecordTypeError, StartAddressRecordError):
            if not as_input:
                raise
    return hexfile._buf


# --- Writing -------------------------------------------------------------------------

def record(rtype, address, data, count=None):
    body = bytes([len(data) if count is None else count, address >> 8 & 255, address & 255,
                  rtype]) + bytes(data)
    return ':' + (body + bytes([-sum(body) & 255])).hex().upper()


def info_block(rng):
    """The information block the tool looks for, so that some stamps load as Ok."""
    texts = [rng.choice(['PBASE', 'PCTRL', 'PKEYS']), 'v1.%d' % rng.randrange(10),
             'Mar 01 2016 10:00:00']
    lines = []
    for field, text in enumerate(texts):
        data = bytearray(64)
        for i, c in enumerate(text.encode()):
            data[(i // 2) * 4 + i % 2] = c
        for r in range(4):
            lines.append((0x800 + field * 0x40 + r * 16, bytes(data[16 * r:16 * r + 16])))
    return lines


class Generator:
    def __init__(self, rng):
        self.rng = rng
        self.clean = True  # nothing was damaged and no records overlap
        self.overlapping = False
        self.malformed = False  # to intelhex
        self.mutations = []

    def addresses(self, count):
        """`count` data records: (address, bytes), mostly apart, now and then overlapping."""
        rng = self.rng
        records = info_block(rng) if rng.random() < 0.3 else []
        region = rng.choice([0, 0, 0xF000, 0x3E000, 0xFFF00, 0x12340000, 0xFFFFFF00])
        used = [(a, a + len(d)) for a, d in records]
        for _ in range(count):
            size = rng.choice([16, 16, 16, 32, 1, 0, rng.randrange(256)])
            data = bytes(rng.randrange(256) for _ in range(size))
            if used and rng.random() < 0.08:  # on top of another record
                start, end = rng.choice(used)
                address = min(rng.choice([start, start + rng.randrange(max(end - start, 1))]),
                              0xFFFFFFFF)
                self.clean = False
                self.overlapping = True
            else:
                address = region + rng.randrange(min(0x2000, (1 << 32) - region) if region
                                                 else 0x1000)
                # An empty record at the address of another replaces it too.
                if any(address < max(e, s + 1) and s < address + max(size, 1) for s, e in used):
                    continue
            used.append((address, address + size))
            records.append((address, data))
        return records

    def placed(self, address, data, state):
        """Lines that put `data` at `address`: under the current base if it fits,
        else after a new 0x04 or 0x02 record."""
        rng = self.rng
        kind, base = state
        fits = (kind == 'linear' and address >> 16 == base >> 16) or \
               (kind == 'segment' and 0 <= address - base <= 0x10000 - max(len(data), 1))
        lines = []
        if not fits or rng.random() < 0.1:
            low = max(0, -(-(address + max(len(data), 1) - 0x10000) // 16))
            high = min(address // 16, 0xFFFF)
            if low <= high and rng.random() < 0.4:
                segment = rng.randint(low, high)
                kind, base = 'segment', segment * 16
                lines.append(record(2, 0, [segment >> 8, segment & 255]))
            else:
                kind, base = 'linear', address & 0xFFFF0000
                lines.append(record(4, 0, [address >> 24, address >> 16 & 255]))
        lines.append(record(0, address - base, data))
        return lines, (kind, base)

    def lines(self):
        rng = self.rng
        records = self.addresses(rng.choice([0, 1, 2, 3, 5, 8, 20, 40]))
        if rng.random() < 0.5:
            rng.shuffle(records)
        state = ('linear', 0)
        lines = []
        for address, data in records:
            placed, state = self.placed(address, data, state)
            lines += placed
        if rng.random() < 0.1:
            lines.insert(rng.randrange(len(lines) + 1),
                         record(rng.choice([3, 5]), 0, [rng.randrange(256) for _ in range(4)]))
        ending = rng.random()
        if ending < 0.8:
            lines.append(':00000001FF')
        elif ending < 0.9 and lines:  # the end-of-file record in the middle
            lines.insert(rng.randrange(len(lines)), ':00000001FF')
        if rng.random() < 0.2:
            lines.append(record(0x80, 0, [0, rng.randrange(256)]))
        if rng.random() < 0.2:
            lines = [line.lower() for line in lines]
        return lines

    # Damage of the kinds that toolchains, editors and transfers do.
    def mutate(self, lines):
        rng = self.rng
        records = [i for i, line in enumerate(lines) if line.startswith(':')]
        if not records:
            return lines
        i = rng.choice(records)
        line = lines[i]
        kind = rng.choice(['truncate', 'extra', 'glue', 'address record', 'segment wrap',
                           'eof data', 'flip', 'drop', 'no digit', 'type', 'leading',
                           'nul line'])
        self.mutations.append(kind)
        self.clean = False
        if kind == 'truncate':  # digits missing that, read as 0, make the checksum right
            count = rng.randrange(2, 20)
            given = [rng.randrange(256) for _ in range(rng.randrange(1, count))]
            address = rng.randrange(0x10000)
            head = [count, address >> 8, address & 255, 0] + given[:-1]
            given[-1] = -sum(head) & 255
            lines[i] = ':' + bytes(head[:4] + given).hex().upper()
        elif kind == 'extra':
            lines[i] = line + rng.choice(['0', 'F', '|', ' ', '\r', '\r\r', ';', 'FF', '\0', '\t'])
        elif kind == 'glue' and i + 1 < len(lines):
            lines[i:i + 2] = [line + '\r' + lines[i + 1]]
        elif kind == 'address record':
            rtype = rng.choice([2, 4])
            size = rng.choice([0, 1, 3, 4])
            address = rng.choice([0, 0, 0x10])
            lines.insert(i, record(rtype, address, [rng.randrange(256) for _ in range(size)]))
        elif kind == 'segment wrap':
            size = rng.randrange(2, 40)
            offset = 0x10000 - rng.randrange(1, size)
            segment = rng.randrange(0x10000)
            lines[i:i] = [record(2, 0, [segment >> 8, segment & 255]),
                          record(0, offset, [rng.randrange(256) for _ in range(size)])]
        elif kind == 'eof data':
            lines.insert(i, record(1, 0, [rng.randrange(256)]))
        elif kind == 'flip' and len(line) > 1:
            at = rng.randrange(len(line))
            lines[i] = line[:at] + chr(rng.choice(b'0123456789ABCDEFabcdefG:\r \0')) + line[at + 1:]
        elif kind == 'drop' and len(line) > 1:
            at = rng.randrange(1, len(line))
            lines[i] = line[:at] + line[at + 1:]
        elif kind == 'no digit' and '0' in line[1:]:  # read as 0 by a lenient reader
            at = line.index('0', 1)
            lines[i] = line[:at] + rng.choice('G x\0-') + line[at + 1:]
        elif kind == 'type':
            rtype = rng.choice([6, 0x80, 0xFF, rng.randrange(6, 256)])
            lines[i] = record(rtype, 0, [rng.randrange(256) for _ in range(rng.randrange(5))])
        elif kind == 'leading':
            lines[i] = rng.choice([' ', '\0', ';', '\t']) + line
        elif kind == 'nul line':
            lines.insert(i, '\0' * rng.randrange(1, 4))
        return lines

    def text(self):
        rng = self.rng
        lines = self.lines()
        for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
            lines = self.mutate(lines)
        ends = rng.choice([['\r\n'], ['\n'], ['\r\n', '\n']])
        out = []
        for line in lines:
            if rng.random() < 0.03:
                out.append(rng.choice(ends))  # an empty line
            out.append(line + rng.choice(ends))
        if rng.random() < 0.1:
            out.append('\0' * rng.randrange(1, 64))  # padding
        elif out and rng.random() < 0.15:
            out[-1] = out[-1].rstrip('\r\n')  # the last line without its end
        return ''.join(out).encode('latin-1')


# --- Judging -------------------------------------------------------------------------

def judge(text, sorted_, stamped, output, generator):
    """Why the outcome is wrong, or None."""
    try:
        image = read(text, as_input=True)
    except HexReaderError as error:
        generator.malformed = True
        if sorted_ == OK:
            return 'rewritten although intelhex refuses it: %s' % error
        return None if output == text else 'refused, but changed'
    if sorted_ != OK:
        if output != text:
            return 'refused, but changed'
        return 'a sound file was refused with %d' % sorted_ if generator.clean else None
    try:
        rewritten = read(output, as_input=False)
    except HexReaderError as error:
        return 'intelhex refuses the rewrite: %s' % error
    if rewritten != image:
        return 'the rewrite holds other memory, first differences %s' % sorted(
            set(image.items()) ^ set(rewritten.items()))[:4]
    if not output.endswith(b':00000001FF\r\n'):
        return 'the rewrite does not end with its end-of-file line'
    # Records that overlap (an empty one inside another too) stay so, and the
    # loader stops at them before the stamp; damage to an address record or a
    # type can make records overlap.
    if stamped not in (OK, NO_FIRMWARE) and not (stamped == INVALID_ORDER and (
            generator.overlapping or generator.mutations)):
        return 'the rewrite does not load: stamping gave %d' % stamped
    return None


def run(task):
    driver, seed, first, count, keep = task
    env = dict(os.environ, TMPDIR='/dev/shm') if os.path.isdir('/dev/shm') else None
    pipe = subprocess.Popen([driver], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    figures = collections.Counter()
    for n in range(first, first + count):
        generator = Generator(random.Random(seed * 1000003 + n))
        text = generator.text()
        pipe.stdin.write(struct.pack('<I', len(text)) + text)
        pipe.stdin.flush()
        head = pipe.stdout.read(6)
        sorted_, stamped, size = struct.unpack('<BBI', head) if len(head) == 6 else (-1, 0, 0)
        output = pipe.stdout.read(size)
        fault = 'sort_pipe stopped' if sorted_ < 0 else judge(text, sorted_, stamped, output,
                                                               generator)
        figures.update(['inputs', 'result %d' % sorted_] + ['malformed'] * generator.malformed +
                       ['clean'] * generator.clean)
        if fault or (keep and count == 1):
            name = os.path.join(keep or '.', 'hexdiff-%d-%d.hex' % (seed, n))
            with open(name, 'wb') as f:
                f.write(text)
        if fault:
            pipe.kill()
            return figures, 'input %d (%s, written to %s): %s' % (
                n, ', '.join(generator.mutations) or 'no damage', name, fault)
    pipe.stdin.close()
    pipe.wait()
    return figures, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--driver', default=os.path.join(HERE, '..', '..', 'build', 'tests',
                                                         'fuzz', 'sort_pipe'))
    parser.add_argument('--count', type=int, default=1000000)
    parser.add_argument('--first', type=int, default=0)
    parser.add_argument('--seed', type=int, default=20150212)
    parser.add_argument('--jobs', type=int, default=1)
    parser.add_argument('--keep', help='folder for failing inputs')
    args = parser.parse_args()
    if not os.access(args.driver, os.X_OK):
        print('hexdiff: no sort_pipe at %s (build first, or give --driver)' % args.driver)
        return 1

    chunk = max(1, min(20000, args.count // args.jobs))
    end = args.first + args.count
    tasks = [(args.driver, args.seed, first, min(chunk, end - first), args.keep)
             for first in range(args.first, end, chunk)]
    started = time.monotonic()
    totals, failure = collections.Counter(), None
    with multiprocessing.Pool(args.jobs) as pool:
        for figures, failure in pool.imap_unordered(run, tasks):
            totals += figures
            if failure:
                break
    seconds = time.monotonic() - started
    print('hexdiff: %d inputs in %.1f s (%.0f a second), %d jobs, seed %d' % (
        totals['inputs'], seconds, totals['inputs'] / max(seconds, 1e-9), args.jobs, args.seed))
    print('  rewritten (0) %d, refused as invalid (2) %d, refused otherwise (1) %d' % (
        totals['result 0'], totals['result 2'], totals['result 1']))
    print('  malformed to intelhex %d, undamaged without overlap %d' % (
        totals['malformed'], totals['clean']))
    if failure:
        print('FAILED: ' + failure)
    return 1 if failure else 0


if __name__ == '__main__':
    sys.exit(main())

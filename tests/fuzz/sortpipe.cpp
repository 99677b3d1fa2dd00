// The maintenance rewrite as a filter, for hexdiff.py, which judges what it
// does with python intelhex. Reads inputs from standard input until it ends,
// each a 4-byte little-endian length and that many bytes; for each, sorts a
// scratch file holding it and answers with one byte, the sort's result, one
// byte, the result of the stamping load that follows a successful sort (255
// when there was none), and the file as the sort left it: a 4-byte
// little-endian length and the bytes.

#include "firmwarefile.h"
#include "fuzzing.h"

#include <cstdio>

namespace {

bool readExactly(char *to, size_t size)
{
    return std::fread(to, 1, size, stdin) == size;
}

void putLength(QByteArray &out, quint32 length)
{
    for (int i = 0; i < 4; ++i)
        out.append(char(length >> (8 * i)));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    unsigned char head[4];
    while (readExactly(reinterpret_cast<char *>(head), 4)) {
        const quint32 length = quint32(head[0]) | quint32(head[1]) << 8 | quint32(head[2]) << 16 |
                               quint32(head[3]) << 24;
        QByteArray input(int(length), '\0');
        if (!readExactly(input.data(), length))
            return 1;
        const QString path = fuzzing::scratchFile("sort.hex", input);
        const int sorted = sortHexFile(path);
        const QByteArray output = readFile(path);
        const int stamped = sorted == FirmwareFile::Ok ? FirmwareFile().load(path, true) : 255;
        QByteArray answer;
        answer.append(char(sorted));
        answer.append(char(stamped));
        putLength(answer, quint32(output.size()));
        answer.append(output);
        if (std::fwrite(answer.constData(), 1, size_t(answer.size()), stdout) !=
                size_t(answer.size()) ||
            std::fflush(stdout) != 0)
            return 1;
    }
    return 0;
}

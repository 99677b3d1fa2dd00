// The maintenance rewrite as a filter, for hexdiff.py, which judges what it
// does with python intelhex. Reads inputs from standard input until it ends,
// each a 4-byte little-endian length and that many bytes; for each, sorts a
// scratch file holding it and answers with one byte, the sort's result, one
// byte, the result of the stamping load that follows a successful sort (255
// when there was none), and the file as the sort left it: a 4-byte
// little-endian length and the bytes.

#include "firmwarefile.h"
#include "fuzzing.h"

#include <QDataStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QFile in, out;
    if (!in.open(stdin, QIODevice::ReadOnly) || !out.open(stdout, QIODevice::WriteOnly))
        return 1;
    QDataStream request(&in), answer(&out);
    request.setByteOrder(QDataStream::LittleEndian);
    answer.setByteOrder(QDataStream::LittleEndian);
    QByteArray input;
    quint32 length = 0;
    while ((request >> length).status() == QDataStream::Ok) {
        input.resize(int(length));
        if (request.readRawData(input.data(), int(length)) != int(length))
            return 1;
        const QString path = fuzzing::scratchFile("sort.hex", input);
        const int sorted = sortHexFile(path);
        const QByteArray output = readFile(path);
        const int stamped = sorted == FirmwareFile::Ok ? FirmwareFile().load(path, true) : 255;
        answer << quint8(sorted) << quint8(stamped) << quint32(output.size());
        if (answer.writeRawData(output.constData(), int(output.size())) != int(output.size()) ||
            !out.flush())
            return 1;
    }
    return 0;
}

// Without libFuzzer, a fuzz target is a program that feeds it every file of the
// given folders (or the given files), so ctest replays the committed corpus in
// every build.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!QFileInfo(arg).isDir()) {
            files << arg;
            continue;
        }
        const QDir dir(arg);
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name))
            files << dir.filePath(name);
    }
    for (const QString &name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(name));
            return 1;
        }
        const QByteArray input = file.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                               size_t(input.size()));
    }
    std::printf("%d inputs replayed\n", int(files.size()));
    // An empty corpus would pass without testing anything.
    return files.isEmpty() ? 1 : 0;
}

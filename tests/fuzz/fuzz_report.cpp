// Decoding any input report: no crash, and exactly the answers that the report
// holds, in order, up to the first byte that starts none.

#include "fuzzing.h"
#include "zelinterface.h"

#include <QStringList>

using fuzzing::check;

namespace {

class Probe : public zelInterface
{
public:
    using zelInterface::dataInput;
};

QStringList heard;

Probe *probe()
{
    static Probe *instance = [] {
        fuzzing::ensureApplication();
        auto *p = new Probe;
        const auto note = [](const char *what, int part, const QString &value) {
            heard << QStringLiteral("%1 %2 %3").arg(QLatin1String(what)).arg(part).arg(value);
        };
        QObject::connect(p, &zelInterface::firmwareVersion, p,
                         [note](zelInterface::PartType part, const QString &version) {
                             note("version", part, version);
                         });
        QObject::connect(p, &zelInterface::firmwareUpdateStartAck, p,
                         [note](zelInterface::PartType part, bool ready) {
                             note("start", part, QString::number(ready));
                         });
        QObject::connect(p, &zelInterface::firmwareUpdateDataAck, p,
                         [note](zelInterface::PartType part, int ok) {
                             note("data", part, QString::number(ok));
                         });
        QObject::connect(p, &zelInterface::firmwareUpdateEndAck, p,
                         [note](zelInterface::PartType part, bool ok) {
                             note("end", part, QString::number(ok));
                         });
        return p;
    }();
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Probe *p = probe();
    heard.clear();
    p->dataInput(fuzzing::bytes(data, size));

    // Answers are three bytes: command, part (signed), value.
    QStringList expected;
    for (size_t k = 0; k + 3 <= size && data[k] >= 1 && data[k] <= 4; k += 3) {
        const int part = qint8(data[k + 1]);
        const uint8_t value = data[k + 2];
        switch (data[k]) {
        case 1:
            expected
                << QStringLiteral("version %1 v%2.%3").arg(part).arg(value / 10).arg(value % 10);
            break;
        case 2:
            expected << QStringLiteral("start %1 %2").arg(part).arg(value != 0);
            break;
        case 3:
            expected << QStringLiteral("data %1 %2").arg(part).arg(int(qint8(value)));
            break;
        default:
            expected << QStringLiteral("end %1 %2").arg(part).arg(value != 0);
            break;
        }
    }
    check(heard == expected, "the answers heard are not those the report holds");
    return 0;
}

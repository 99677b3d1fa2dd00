// Decoding any input report: no crash, and exactly the answers that the report
// holds, in order, up to the first byte that starts none.

#include "fuzzing.h"
#include "zelinterface.h"

#include <QStringList>
#include <QVariant>

using fuzzing::check;

namespace {

class Probe : public zelInterface
{
public:
    using zelInterface::dataInput;
};

QStringList heard;

// Notes each answer the signal brings as "what part value".
template <typename Value>
void note(Probe *p, void (zelInterface::*signal)(zelInterface::PartType, Value), const char *what)
{
    QObject::connect(p, signal, p, [what](zelInterface::PartType part, Value value) {
        heard << QStringLiteral("%1 %2 %3")
                     .arg(QLatin1String(what))
                     .arg(part)
                     .arg(QVariant::fromValue(value).toString());
    });
}

Probe *probe()
{
    static Probe *instance = [] {
        fuzzing::ensureApplication();
        auto *p = new Probe;
        note(p, &zelInterface::firmwareVersion, "version");
        note(p, &zelInterface::firmwareUpdateStartAck, "start");
        note(p, &zelInterface::firmwareUpdateDataAck, "data");
        note(p, &zelInterface::firmwareUpdateEndAck, "end");
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
            expected << QStringLiteral("start %1 %2").arg(part).arg(value != 0 ? "true" : "false");
            break;
        case 3:
            expected << QStringLiteral("data %1 %2").arg(part).arg(int(qint8(value)));
            break;
        default:
            expected << QStringLiteral("end %1 %2").arg(part).arg(value != 0 ? "true" : "false");
            break;
        }
    }
    check(heard == expected, "the answers heard are not those the report holds");
    return 0;
}

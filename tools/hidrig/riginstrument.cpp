// zelsim::Instrument in the hidraw rig: every command goes to the rig's server,
// which runs it on the bench it serves as hidraw nodes. Whatever only the
// in-process model can do is left undefined here, so a test that needs it
// fails to link instead of passing for the wrong reason.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "simmodel.h"

#include <vector>

namespace zelsim {

struct Instrument::Private
{
};

Instrument &Instrument::instance()
{
    static Instrument first(0);
    return first;
}

Instrument &Instrument::instance(int number)
{
    static const std::vector<Instrument *> all = [] {
        std::vector<Instrument *> each;
        for (int n = 1; n <= InstrumentCount; ++n)
            each.push_back(new Instrument(n));
        return each;
    }();
    if (number < 1 || number > InstrumentCount)
        qFatal("hidrig: no instrument %d: the bench has 1 to %d", number, InstrumentCount);
    return *all[number - 1];
}

Instrument::Instrument(int number) : d(nullptr), number(number) {}

Value Instrument::call(Answer kind, const QByteArray &line)
{
    const QByteArray addressed = number ? '@' + QByteArray::number(number) + ' ' + line : line;
    // The server refuses what its table does not have; the kind of answer only
    // the caller knows, so it is checked here, against the same table.
    QString error;
    if (!answers(addressed, kind, &error))
        qFatal("hidrig: %s: %s", addressed.constData(), qPrintable(error));
    return Value::fromText(kind, zelrig::command(addressed));
}

} // namespace zelsim

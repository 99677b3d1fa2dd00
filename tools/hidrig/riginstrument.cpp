// zelsim::Instrument in the hidraw rig: every command goes to the rig's server,
// which runs it on the bench it serves as hidraw nodes. Whatever only the
// in-process model can do is left undefined here, so a test that needs it
// fails to link instead of passing for the wrong reason.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "simmodel.h"

namespace zelsim {

struct Instrument::Private
{
};

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

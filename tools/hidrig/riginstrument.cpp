// zelsim::Instrument in the hidraw rig: every command goes to the rig's server,
// which runs it on the instrument it serves as /dev/hidraw0. Whatever only the
// in-process model can do is left undefined here, so a test that needs it
// fails to link instead of passing for the wrong reason.
#include "rigcontrol.h"
#include "siminstrument.h"

namespace zelsim {

struct Instrument::Private
{
};

Instrument &Instrument::instance()
{
    static Instrument instrument;
    return instrument;
}

Instrument::Instrument() : d(nullptr) {}

Value Instrument::call(Answer kind, const QByteArray &line)
{
    // The server refuses what its table does not have; the kind of answer only
    // the caller knows, so it is checked here, against the same table.
    QString error;
    if (!answers(line, kind, &error))
        qFatal("hidrig: %s: %s", line.constData(), qPrintable(error));
    return Value::fromText(kind, zelrig::command(line));
}

} // namespace zelsim

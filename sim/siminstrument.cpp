// zelsim::Instrument in process: the commands run on the model behind the hid_*
// functions of simhidapi.cpp.
#include "siminstrument.h"
#include "simmodel.h"

namespace zelsim {

struct Instrument::Private : Model
{
};

Model &sharedModel()
{
    return *Instrument::instance().d;
}

Instrument &Instrument::instance()
{
    static Instrument instrument;
    return instrument;
}

// Never freed: hid_exit or hid_close may still run from static destructors.
Instrument::Instrument() : d(new Private)
{
    d->reset();
}

Value Instrument::call(Answer kind, const QByteArray &line)
{
    Value value;
    QString error;
    if (!answers(line, kind, &error) || !runCommand(*d, line, &value, &error))
        qFatal("zelsim: %s: %s", line.constData(), qPrintable(error));
    return value;
}

void Instrument::failSetNonblocking(const QString &text)
{
    d->failNonblocking.arm(text, 0);
}

void Instrument::setMessageHook(std::function<bool(const QByteArray &)> hook)
{
    d->hook = std::move(hook);
}

int Instrument::exitCount() const
{
    return d->exits;
}

} // namespace zelsim

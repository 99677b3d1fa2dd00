// zelsim::Instrument in process: the commands run on the bench behind the hid_*
// functions of simhidapi.cpp.
#include "siminstrument.h"
#include "simmodel.h"

namespace zelsim {

struct Instrument::Private : Bench
{
};

Bench &sharedBench()
{
    return *Instrument::instance().d;
}

// Never freed: hid_exit or hid_close may still run from static destructors.
Instrument::Instrument(int number) : number(number)
{
    static Private *const bench = new Private;
    d = bench;
}

Value Instrument::call(Answer kind, const QByteArray &line)
{
    const QByteArray addressed = number ? '@' + QByteArray::number(number) + ' ' + line : line;
    Value value;
    QString error;
    if (!answers(addressed, kind, &error) || !runCommand(*d, addressed, &value, &error))
        qFatal("zelsim: %s: %s", addressed.constData(), qPrintable(error));
    // As the kernel does, an instrument plugged in gets its node at once, not when
    // someone first lists it; so does the rig's server after every command.
    d->assignNodes();
    return value;
}

void Instrument::failSetNonblocking(const QString &text)
{
    d->instrument(qMax(number, 1))->failNonblocking.arm(text, 0);
}

void Instrument::setMessageHook(std::function<bool(const QByteArray &)> hook)
{
    d->instrument(qMax(number, 1))->hook = std::move(hook);
}

int Instrument::exitCount() const
{
    return d->instrument(qMax(number, 1))->exits;
}

} // namespace zelsim

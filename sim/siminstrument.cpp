// The control API of the in-process model.
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
    reset();
}

void Instrument::reset()
{
    d->reset();
}

void Instrument::setRestartDelayMs(int ms)
{
    d->restartDelayMs = qMax(0, ms);
}

void Instrument::setAnswerLatencyMs(int ms)
{
    d->answerLatencyMs = qMax(0, ms);
}

void Instrument::setBoardVersion(int part, int versionByte)
{
    if (Board *b = d->board(part))
        b->version = versionByte & 0xFF;
}

int Instrument::boardVersion(int part) const
{
    const Board *b = d->board(part);
    return b ? b->version : -1;
}

bool Instrument::attached() const
{
    d->tick();
    return d->attached;
}

void Instrument::unplug()
{
    d->tick();
    if (d->attached || d->restarting)
        d->disappear();
}

void Instrument::plug()
{
    d->tick();
    d->restarting = false;
    d->attached = true;
}

void Instrument::unplugAfterLine(int line)
{
    d->unplugLine = line;
}

void Instrument::setBoardPresent(int part, bool present)
{
    if (Board *b = d->board(part))
        b->present = present;
}

void Instrument::setSilentFrom(int part, Step step, int line)
{
    if (Board *b = d->board(part)) {
        b->silentArmed = true;
        b->silentStep = step;
        b->silentLine = line;
    }
}

void Instrument::setRefuseStart(int part, bool refuse)
{
    if (Board *b = d->board(part))
        b->refuseStart = refuse;
}

void Instrument::setRejectLine(int part, int line)
{
    if (Board *b = d->board(part))
        b->rejectLine = line;
}

void Instrument::setRejectEnd(int part, bool reject)
{
    if (Board *b = d->board(part))
        b->rejectEnd = reject;
}

void Instrument::setVersionAfterUpdate(int part, int versionByte)
{
    if (Board *b = d->board(part))
        b->versionAfterUpdate = versionByte < 0 ? -1 : versionByte & 0xFF;
}

void Instrument::setDuplicateAcks(int part, bool duplicate)
{
    if (Board *b = d->board(part))
        b->duplicateAcks = duplicate;
}

void Instrument::setAnswerAs(int part, int foreignPart)
{
    if (Board *b = d->board(part))
        b->answerAs = foreignPart < 0 ? -1 : foreignPart & 0xFF;
}

void Instrument::setAccessDenied(bool denied)
{
    d->accessDenied = denied;
}

void Instrument::failSetNonblocking(const QString &text)
{
    d->failNonblocking.arm(text, 0);
}

void Instrument::failWrite(const QString &text, int afterWrites)
{
    d->failWrite.arm(text, afterWrites);
}

void Instrument::failRead(const QString &text, int afterReads)
{
    d->failRead.arm(text, afterReads);
}

void Instrument::injectInputReport(const QByteArray &data)
{
    d->injected.emplace_back(Clock::now(), data);
}

void Instrument::setMessageHook(std::function<bool(const QByteArray &)> hook)
{
    d->hook = std::move(hook);
}

QList<QByteArray> Instrument::writtenReports() const
{
    return d->written;
}

QList<QByteArray> Instrument::messages() const
{
    return d->decoded;
}

void Instrument::clearLog()
{
    d->written.clear();
    d->decoded.clear();
}

Mode Instrument::mode(int part) const
{
    const Board *b = d->board(part);
    return b ? b->mode : Mode::Normal;
}

QByteArray Instrument::receivedText(int part) const
{
    const Board *b = d->board(part);
    return b ? b->received : QByteArray();
}

QByteArray Instrument::installedImage(int part) const
{
    const Board *b = d->board(part);
    return b ? b->installed : QByteArray();
}

int Instrument::restartCount() const
{
    return d->restarts;
}

int Instrument::openCount() const
{
    return d->opens;
}

int Instrument::exitCount() const
{
    return d->exits;
}

} // namespace zelsim

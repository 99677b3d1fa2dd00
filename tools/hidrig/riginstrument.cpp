// zelsim::Instrument in the hidraw rig: every call goes to the rig's server,
// which runs it on the instrument it serves as /dev/hidraw0. Whatever only the
// in-process model can do is left undefined here, so a test that needs it
// fails to link instead of passing for the wrong reason.
#include "rigcontrol.h"
#include "siminstrument.h"

namespace zelsim {

namespace {

QByteArray line(const char *name, std::initializer_list<int> numbers = {})
{
    QByteArray text(name);
    for (int n : numbers)
        text += ' ' + QByteArray::number(n);
    return text;
}

void run(const char *name, std::initializer_list<int> numbers = {})
{
    zelrig::command(line(name, numbers));
}

int value(const char *name, std::initializer_list<int> numbers = {})
{
    return zelrig::command(line(name, numbers)).toInt();
}

QByteArray bytes(const char *name, std::initializer_list<int> numbers = {})
{
    return QByteArray::fromHex(zelrig::command(line(name, numbers)));
}

QList<QByteArray> list(const char *name)
{
    QList<QByteArray> items;
    for (const QByteArray &hex : zelrig::command(name).split(' ')) {
        if (!hex.isEmpty())
            items << QByteArray::fromHex(hex);
    }
    return items;
}

} // namespace

struct Instrument::Private
{
};

Instrument &Instrument::instance()
{
    static Instrument instrument;
    return instrument;
}

Instrument::Instrument() : d(nullptr) {}

void Instrument::reset()
{
    run("reset");
}

void Instrument::setRestartDelayMs(int ms)
{
    run("setRestartDelayMs", {ms});
}

void Instrument::setAnswerLatencyMs(int ms)
{
    run("setAnswerLatencyMs", {ms});
}

void Instrument::setBoardVersion(int part, int versionByte)
{
    run("setBoardVersion", {part, versionByte});
}

int Instrument::boardVersion(int part) const
{
    return value("boardVersion", {part});
}

bool Instrument::attached() const
{
    return value("attached");
}

void Instrument::unplug()
{
    run("unplug");
}

void Instrument::plug()
{
    run("plug");
}

void Instrument::unplugAfterLine(int line)
{
    run("unplugAfterLine", {line});
}

void Instrument::setBoardPresent(int part, bool present)
{
    run("setBoardPresent", {part, present});
}

void Instrument::setSilentFrom(int part, Step step, int line)
{
    run("setSilentFrom", {part, int(step), line});
}

void Instrument::setRefuseStart(int part, bool refuse)
{
    run("setRefuseStart", {part, refuse});
}

void Instrument::setRejectLine(int part, int line)
{
    run("setRejectLine", {part, line});
}

void Instrument::setRejectEnd(int part, bool reject)
{
    run("setRejectEnd", {part, reject});
}

void Instrument::setVersionAfterUpdate(int part, int versionByte)
{
    run("setVersionAfterUpdate", {part, versionByte});
}

void Instrument::setDuplicateAcks(int part, bool duplicate)
{
    run("setDuplicateAcks", {part, duplicate});
}

void Instrument::setAnswerAs(int part, int foreignPart)
{
    run("setAnswerAs", {part, foreignPart});
}

void Instrument::setAccessDenied(bool denied)
{
    run("setAccessDenied", {denied});
}

void Instrument::failWrite(const QString &, int afterWrites)
{
    run("failWrite", {afterWrites});
}

void Instrument::failRead(const QString &, int afterReads)
{
    run("failRead", {afterReads});
}

void Instrument::injectInputReport(const QByteArray &data)
{
    zelrig::command("injectInputReport " + data.toHex());
}

QList<QByteArray> Instrument::writtenReports() const
{
    return list("writtenReports");
}

QList<QByteArray> Instrument::messages() const
{
    return list("messages");
}

void Instrument::clearLog()
{
    run("clearLog");
}

Mode Instrument::mode(int part) const
{
    return Mode(value("mode", {part}));
}

QByteArray Instrument::receivedText(int part) const
{
    return bytes("receivedText", {part});
}

QByteArray Instrument::installedImage(int part) const
{
    return bytes("installedImage", {part});
}

int Instrument::restartCount() const
{
    return value("restartCount");
}

int Instrument::openCount() const
{
    return value("openCount");
}

} // namespace zelsim

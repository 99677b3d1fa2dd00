#include "controlcommands.h"

#include "hidrawnode.h"
#include "siminstrument.h"

#include <unistd.h>

using zelsim::Instrument;

namespace {

QByteArray number(qint64 n)
{
    return QByteArray::number(n);
}

QByteArray hexList(const QList<QByteArray> &list)
{
    QByteArrayList hex;
    for (const QByteArray &item : list)
        hex << item.toHex();
    return hex.join(' ');
}

} // namespace

ControlCommands::ControlCommands(Instrument &sim, HidrawNode &node)
{
    using N = const QList<int> &;
    using W = const QList<QByteArray> &;
    const auto done = [](auto action) {
        return [action](N n, W w) {
            action(n, w);
            return QByteArray();
        };
    };
    commands = {
        {"reset", {0, done([&sim](N, W) { sim.reset(); })}},
        {"setRestartDelayMs", {1, done([&sim](N n, W) { sim.setRestartDelayMs(n[0]); })}},
        {"setAnswerLatencyMs", {1, done([&sim](N n, W) { sim.setAnswerLatencyMs(n[0]); })}},
        {"setBoardVersion", {2, done([&sim](N n, W) { sim.setBoardVersion(n[0], n[1]); })}},
        {"boardVersion", {1, [&sim](N n, W) { return number(sim.boardVersion(n[0])); }}},
        {"attached", {0, [&sim](N, W) { return number(sim.attached()); }}},
        {"unplug", {0, done([&sim](N, W) { sim.unplug(); })}},
        {"plug", {0, done([&sim](N, W) { sim.plug(); })}},
        {"unplugAfterLine", {1, done([&sim](N n, W) { sim.unplugAfterLine(n[0]); })}},
        {"setBoardPresent", {2, done([&sim](N n, W) { sim.setBoardPresent(n[0], n[1]); })}},
        {"setSilentFrom",
         {3, done([&sim](N n, W) { sim.setSilentFrom(n[0], zelsim::Step(n[1]), n[2]); })}},
        {"setRefuseStart", {2, done([&sim](N n, W) { sim.setRefuseStart(n[0], n[1]); })}},
        {"setRejectLine", {2, done([&sim](N n, W) { sim.setRejectLine(n[0], n[1]); })}},
        {"setRejectEnd", {2, done([&sim](N n, W) { sim.setRejectEnd(n[0], n[1]); })}},
        {"setVersionAfterUpdate",
         {2, done([&sim](N n, W) { sim.setVersionAfterUpdate(n[0], n[1]); })}},
        {"setDuplicateAcks", {2, done([&sim](N n, W) { sim.setDuplicateAcks(n[0], n[1]); })}},
        {"setAnswerAs", {2, done([&sim](N n, W) { sim.setAnswerAs(n[0], n[1]); })}},
        {"setAccessDenied", {1, done([&sim](N n, W) { sim.setAccessDenied(n[0]); })}},
        {"failWrite", {1, done([&sim](N n, W) { sim.failWrite(QString(), n[0]); })}},
        {"failRead", {1, done([&sim](N n, W) { sim.failRead(QString(), n[0]); })}},
        {"injectInputReport",
         {1, done([&sim](N, W w) { sim.injectInputReport(QByteArray::fromHex(w[0])); })}},
        {"writtenReports", {0, [&sim](N, W) { return hexList(sim.writtenReports()); }}},
        {"messages", {0, [&sim](N, W) { return hexList(sim.messages()); }}},
        {"clearLog", {0, done([&sim](N, W) { sim.clearLog(); })}},
        {"mode", {1, [&sim](N n, W) { return number(int(sim.mode(n[0]))); }}},
        {"receivedText", {1, [&sim](N n, W) { return sim.receivedText(n[0]).toHex(); }}},
        {"installedImage", {1, [&sim](N n, W) { return sim.installedImage(n[0]).toHex(); }}},
        {"restartCount", {0, [&sim](N, W) { return number(sim.restartCount()); }}},
        {"openCount", {0, [&sim](N, W) { return number(sim.openCount()); }}},
        // The rig's own: the node's mode (octal), USB timing on or off, the server's pid.
        {"nodeMode", {1, done([&node](N, W w) { node.setMode(w[0].toInt(nullptr, 8)); })}},
        {"usbTiming", {1, done([&node](N n, W) { node.setUsbTiming(n[0]); })}},
        {"pid", {0, [](N, W) { return number(::getpid()); }}},
    };
}

QByteArray ControlCommands::run(const QByteArray &line)
{
    QList<QByteArray> words = line.trimmed().split(' ');
    const QByteArray name = words.takeFirst();
    const auto it = commands.find(name);
    if (it == commands.end())
        return "error unknown command " + name;
    if (words.size() != it->second.arguments)
        return "error " + name + " takes " + number(it->second.arguments) + " arguments";
    QList<int> numbers;
    for (const QByteArray &word : words)
        numbers << word.toInt(); // hex and octal arguments read their words instead
    const QByteArray value = it->second.run(numbers, words);
    return value.isEmpty() ? QByteArray("ok") : "ok " + value;
}

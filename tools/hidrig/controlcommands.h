#pragma once

#include <QByteArray>
#include <QList>

#include <functional>
#include <map>

class HidrawNode;
namespace zelsim {
class Instrument;
}

// The server's side of the control socket. A command is one line: its name (a
// method of zelsim::Instrument, or one of the rig's own) and its arguments,
// separated by spaces; numbers in decimal, byte strings in hex. The answer is
// one line: "ok", followed by a value if the command has one (byte strings in
// hex, lists of them separated by spaces), or "error" and why.
class ControlCommands
{
public:
    ControlCommands(zelsim::Instrument &instrument, HidrawNode &node);
    QByteArray run(const QByteArray &line);

private:
    struct Command
    {
        int arguments;
        std::function<QByteArray(const QList<int> &numbers, const QList<QByteArray> &words)> run;
    };
    std::map<QByteArray, Command> commands;
};

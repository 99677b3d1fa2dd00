#pragma once

#include <QByteArray>

class HidrawFs;
namespace zelsim {
struct Bench;
}

// The server's side of the control socket. A command is one line: a command of
// the simulated instrument's table (sim/simcommands.h), run on the bench the
// nodes serve, or one of the rig's own, which only the nodes can do:
//   nodeMode OCTAL   the node's permission bits, as the kernel checks them on open
//   usbTiming ON     one report per 1 ms frame each way (1) or at once (0)
//   pid              the server's process id
// "@N " in front gives a command to instrument N, as for the table; without it,
// nodeMode and usbTiming are for every instrument.
// The answer is one line: "ok", followed by the value if the command has one
// (numbers in decimal, byte strings in hex, lists of them separated by spaces),
// or "error" and why.
class ControlCommands
{
public:
    ControlCommands(zelsim::Bench &bench, HidrawFs &fs);
    QByteArray run(const QByteArray &line);

private:
    QByteArray runModelCommand(const QByteArray &command);

    zelsim::Bench &bench;
    HidrawFs &fs;
};

#include "controlcommands.h"

#include "hidrawnode.h"
#include "simcommands.h"

#include <unistd.h>

ControlCommands::ControlCommands(zelsim::Model &model, HidrawNode &node) : model(model), node(node)
{}

QByteArray ControlCommands::run(const QByteArray &line)
{
    const QByteArray command = line.trimmed();
    const QList<QByteArray> words = command.split(' ');
    const QByteArray &name = words[0];
    bool ok = false;
    const int n = words.value(1).toInt(&ok, name == "nodeMode" ? 8 : 10);
    ok = ok && words.size() == 2;
    if (name == "pid" && words.size() == 1)
        return "ok " + QByteArray::number(::getpid());
    if (name == "nodeMode" && ok)
        node.setMode(n);
    else if (name == "usbTiming" && ok && (n == 0 || n == 1))
        node.setUsbTiming(n);
    else if (name == "pid")
        return "error pid takes no arguments";
    else if (name == "nodeMode" || name == "usbTiming")
        return "error " + name + " takes one argument";
    else
        return runModelCommand(command);
    return "ok";
}

QByteArray ControlCommands::runModelCommand(const QByteArray &command)
{
    zelsim::Value answer;
    QString error;
    if (!zelsim::runCommand(model, command, &answer, &error))
        return "error " + error.toUtf8();
    const QByteArray value = answer.text();
    return value.isEmpty() ? QByteArray("ok") : "ok " + value;
}

#include "controlcommands.h"

#include "hidrawnode.h"
#include "simcommands.h"

#include <unistd.h>

ControlCommands::ControlCommands(zelsim::Bench &bench, HidrawFs &fs) : bench(bench), fs(fs) {}

QByteArray ControlCommands::run(const QByteArray &line)
{
    int number = 0;
    QByteArray command;
    QString error;
    if (!zelsim::splitAddress(line.trimmed(), &number, &command, &error))
        return "error " + error.toUtf8();
    const QList<QByteArray> words = command.split(' ');
    const QByteArray &name = words[0];
    bool ok = false;
    const int n = words.value(1).toInt(&ok, name == "nodeMode" ? 8 : 10);
    ok = ok && words.size() == 2;
    if (name == "pid" && words.size() == 1)
        return "ok " + QByteArray::number(::getpid());
    if (name == "nodeMode" && ok) {
        for (HidrawNode *node : fs.nodes(number))
            node->setMode(n);
    } else if (name == "usbTiming" && ok && (n == 0 || n == 1)) {
        for (HidrawNode *node : fs.nodes(number))
            node->setUsbTiming(n);
    } else if (name == "pid") {
        return "error pid takes no arguments";
    } else if (name == "nodeMode" || name == "usbTiming") {
        return "error " + name + " takes one argument";
    } else {
        return runModelCommand(line.trimmed());
    }
    return "ok";
}

QByteArray ControlCommands::runModelCommand(const QByteArray &command)
{
    zelsim::Value answer;
    QString error;
    if (!zelsim::runCommand(bench, command, &answer, &error))
        return "error " + error.toUtf8();
    const QByteArray value = answer.text();
    return value.isEmpty() ? QByteArray("ok") : "ok " + value;
}

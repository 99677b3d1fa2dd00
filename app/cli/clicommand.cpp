#include "clicommand.h"
#include "clioutput.h"

#include <QCommandLineParser>
#include <QLocale>

#include <cmath>

namespace {

// The description of a command, as a paragraph of its own.
constexpr int DescriptionWidth = 79;

const CliOption &optionNamed(const QString &name)
{
    for (const CliOption &option : cliOptions()) {
        if (option.option.names().constLast() == name)
            return option;
    }
    qFatal("no option --%s", qPrintable(name));
}

} // namespace

const QList<CliOption> &cliOptions()
{
    using O = QCommandLineOption;
    static const QList<CliOption> options = {
        {O("wait", "how long to wait for the instrument (default 3)", "SECONDS", "3"), false},
        {O("device",
           "the instrument to use: its path or its serial number, as list shows them; needed "
           "when several are attached",
           "PATH|SERIAL"),
         false},
        {O("board",
           "a board to update; may be repeated: keys1..keys5 (the sensor board with that part "
           "number), sensors, panel, main, all",
           "NAME"),
         true},
        {O("file",
           "firmware to write instead of the built-in image of the file's family (PBASE, PCTRL "
           "or PKEYS); may be repeated",
           "FILE.hex"),
         true},
        {O({"y", "yes"}, "update without asking"), false},
        {O("repeat",
           "with --yes: update the instrument attached, then each one plugged in after the one "
           "before is unplugged, until Ctrl+C; a line for each, a summary at the end"),
         false},
        {O("json", "print JSON (update: one object per line and event)"), false},
        {O({"h", "help"}, "print this help"), false},
        {O({"V", "version"}, "print the version"), false},
    };
    return options;
}

CliCommand::CliCommand(const QString &name, const QString &description, const QStringList &options,
                       bool takesFiles)
    : name(name), description(description), options(options), takesFiles(takesFiles)
{}

CliCommand::~CliCommand() = default;

std::vector<std::unique_ptr<CliCommand>> CliCommand::all()
{
    std::vector<std::unique_ptr<CliCommand>> commands;
    commands.push_back(newListCommand());
    commands.push_back(newUpdateCommand());
    commands.push_back(newInfoCommand());
    commands.push_back(newStampCommand());
    return commands;
}

QStringList CliCommand::synopsis() const
{
    QStringList words;
    for (const QString &longName : options) {
        const CliOption &option = optionNamed(longName);
        const QString value = option.option.valueName();
        words << "[--" + longName + (value.isEmpty() ? "" : " " + value) + "]" +
                     (option.repeated ? "..." : "");
    }
    if (takesFiles)
        words << "FILE...";
    return words;
}

int CliCommand::run(const QStringList &arguments, CliOutput *out)
{
    output = out;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        wrapped("", description.split(' '), DescriptionWidth).trimmed());
    for (const QString &longName : options + QStringList{"help"})
        parser.addOption(optionNamed(longName).option);
    if (takesFiles)
        parser.addPositionalArgument("FILE", "firmware files", "FILE...");
    // The parser takes the first entry for the program's name.
    if (!parser.parse(QStringList{"zelloader-cli"} + arguments))
        return usageError(parser.errorText());
    if (parser.isSet("help")) {
        // The parser names the program by its path and knows nothing of commands.
        output->print("Usage: zelloader-cli " + name + " [options]" +
                      (takesFiles ? " FILE..." : "") + "\n" + parser.helpText().section('\n', 1));
        return ExitSuccess;
    }
    const bool files = !parser.positionalArguments().isEmpty();
    if (takesFiles && !files)
        return usageError(name + " needs at least one firmware file");
    if (!takesFiles && files)
        return usageError(name + " takes no file arguments" +
                          (options.contains("file") ? "; give firmware files with --file" : ""));
    if (options.contains("json") && parser.isSet("json"))
        output->useJson();
    return execute(parser);
}

bool CliCommand::waitOption(const QCommandLineParser &parser)
{
    device = parser.value("device");
    // Seconds with a fraction, 0 for a single attempt; a day at most.
    waitText = parser.value("wait");
    bool ok = false;
    const double seconds = QLocale::c().toDouble(waitText, &ok);
    if (ok && std::isfinite(seconds) && seconds >= 0 && seconds <= 86400) {
        waitMs = int(std::lround(seconds * 1000));
        return true;
    }
    usageError("--wait takes seconds from 0 to 86400, not '" + waitText + "'");
    return false;
}

int usageError(CliOutput *output, const QString &message)
{
    output->error(message);
    output->note("Try 'zelloader-cli --help' for more information.");
    return ExitUsage;
}

QString wrapped(const QString &first, const QStringList &words, int width)
{
    QString text;
    QString line = first;
    bool empty = true;
    for (const QString &word : words) {
        if (!empty && line.size() + 1 + word.size() > width) {
            text += line + '\n';
            line = QString(first.size(), ' ');
            empty = true;
        }
        line += (empty ? "" : " ") + word;
        empty = false;
    }
    return text + line + '\n';
}

QString instrumentName(const UsbHid::Device &device)
{
    return device.serial.isEmpty() ? device.path : device.serial;
}

QString instrumentText(const UsbHid::Device &device)
{
    return device.path + ", serial number " + (device.serial.isEmpty() ? "none" : device.serial);
}

QJsonObject instrumentJson(const UsbHid::Device &device)
{
    return {{"path", device.path},
            {"serial", device.serial.isEmpty() ? QJsonValue() : QJsonValue(device.serial)}};
}

QString diskPath(const QString &path)
{
    return path.startsWith(':') ? "./" + path : path;
}

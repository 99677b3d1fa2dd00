#include "cliapp.h"
#include "clicommand.h"
#include "clioutput.h"
#include "usbhidaccess.h"
#include "zelproject.h"

#include <utility>

namespace {

// The widths --help was first laid out with: the lines of a command end before the
// 80th column, the descriptions of options at it.
constexpr int CommandWidth = 79;
constexpr int OptionWidth = 80;

// What each exit code means; the man page lists the same.
const std::pair<ExitCode, const char *> exitCodes[] = {
    {ExitSuccess, "success"},
    {ExitUpdateFailed, "an update failed, or a board named with --board did not answer"},
    {ExitUsage, "usage error, a firmware file that does not load, or several instruments attached"},
    {ExitNoInstrument, "no instrument found within the wait (or it went away)"},
    {ExitAccessDenied, UsbHidAccess::deniedExitMeaning()},
    {ExitInterrupted, "interrupted by Ctrl+C"},
};

// "-y, --yes", "--wait SECONDS"
QString optionNames(const QCommandLineOption &option)
{
    QStringList names;
    for (const QString &name : option.names())
        names << (name.size() == 1 ? "-" : "--") + name;
    const QString value = option.valueName();
    return names.join(", ") + (value.isEmpty() ? "" : " " + value);
}

} // namespace

namespace CliApp {

QString helpText()
{
    QString text = "Usage: zelloader-cli COMMAND [OPTIONS] [FILE...]\n"
                   "\n"
                   "Updates the firmware of the Zelora HR36's boards over USB, without a window.\n"
                   "\n"
                   "Commands:\n";
    for (const auto &command : CliCommand::all())
        text += wrapped("  " + command->name + " ", command->synopsis(), CommandWidth) +
                wrapped(QString(6, ' '), command->description.split(' '), CommandWidth);
    text += "\nOptions:\n";
    for (const CliOption &option : cliOptions())
        text += wrapped("  " + optionNames(option.option).leftJustified(16) + "  ",
                        option.option.description().split(' '), OptionWidth);
    text += "\n"
            "Ctrl+C stops list, info and stamp at once. During an update the first press\n"
            "only warns; a second press within 3 s stops after the current message.\n"
            "\n"
            "Exit status:\n";
    for (const auto &code : exitCodes)
        text += "  " + QString::number(code.first) + "  " + code.second + '\n';
    return text + "\nSee zelloader-cli(1) for the JSON formats.\n";
}

int run(const QStringList &arguments)
{
    CliOutput output;
    const QString command = arguments.value(1);
    if (command.isEmpty())
        return usageError(&output, "no command given");
    if (command == "-h" || command == "--help" || command == "help") {
        output.print(helpText());
        return ExitSuccess;
    }
    if (command == "-V" || command == "--version") {
        output.print("zelloader-cli " ZEL_VERSION "\n");
        return ExitSuccess;
    }
    for (const auto &candidate : CliCommand::all()) {
        if (candidate->name == command)
            return candidate->run(arguments.mid(2), &output);
    }
    if (command.startsWith('-'))
        return usageError(&output, "unknown option '" + command + "'; options follow the command");
    return usageError(&output, "unknown command '" + command + "'");
}

} // namespace CliApp

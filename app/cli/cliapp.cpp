#include "cliapp.h"
#include "cliconsole.h"
#include "clioutput.h"
#include "usbhidaccess.h"
#include "zelproject.h"

#include <QCommandLineParser>
#include <QFile>

#include <cstdio>

const QList<ExitCodeInfo> &exitCodes()
{
    static const QList<ExitCodeInfo> codes = {
        {ExitSuccess, "success"},
        {ExitUpdateFailed, "the update failed, or a board named with --board did not answer"},
        {ExitUsage, "usage error, or a firmware file that does not load"},
        {ExitNoInstrument, "no instrument found within the wait (or it went away)"},
        {ExitAccessDenied, UsbHidAccess::deniedExitMeaning()},
        {ExitInterrupted, "interrupted by Ctrl+C"},
    };
    return codes;
}

QString CliApp::versionText()
{
    return QStringLiteral("zelloader-cli " ZEL_VERSION "\n");
}

QString CliApp::helpText()
{
    QString text = QStringLiteral(
        "Usage: zelloader-cli COMMAND [OPTIONS] [FILE...]\n"
        "\n"
        "Updates the firmware of the Zelora HR36's boards over USB, without a window.\n"
        "\n"
        "Commands:\n"
        "  list [--json] [--wait SECONDS]\n"
        "      Wait for the instrument, ask every board for its firmware version and\n"
        "      print one row per board.\n"
        "  update [--board NAME]... [--file FILE.hex]... [--yes] [--json]\n"
        "         [--wait SECONDS]\n"
        "      Update boards: the sensor boards together, then the control panel, then\n"
        "      the main board, stopping at the first failure. Without --board every\n"
        "      board that answers is updated. Shows the plan and asks first, unless\n"
        "      --yes is given; without a terminal to ask on it refuses.\n"
        "  info [--json] FILE...\n"
        "      Check firmware files; print family code, version, build date, checksum,\n"
        "      size and the load result.\n"
        "  stamp [--json] FILE...\n"
        "      Rewrite firmware files with their records sorted by address and stamp\n"
        "      them with their checksum, as the window's Ctrl+Shift+F11 does.\n"
        "\n"
        "Options:\n"
        "  --wait SECONDS    how long to wait for the instrument (default 3)\n"
        "  --board NAME      a board to update; may be repeated: keys1..keys5 (the sensor\n"
        "                    board with that part number), sensors, panel, main, all\n"
        "  --file FILE.hex   firmware to write instead of the built-in image of the\n"
        "                    file's family (PBASE, PCTRL or PKEYS); may be repeated\n"
        "  -y, --yes         update without asking\n"
        "  --json            print JSON (update: one object per line and event)\n"
        "  -h, --help        print this help\n"
        "  -V, --version     print the version\n"
        "\n"
        "Ctrl+C stops list, info and stamp at once. During an update the first press\n"
        "only warns; a second press within 3 s stops after the current message.\n"
        "\n"
        "Exit status:\n");
    for (const ExitCodeInfo &code : exitCodes())
        text += QStringLiteral("  %1  %2\n").arg(int(code.code)).arg(QLatin1String(code.meaning));
    text += QStringLiteral("\nSee zelloader-cli(1) for the JSON formats.\n");
    return text;
}

CliApp::CliApp(const QStringList &arguments)
    : arguments(arguments), stdoutFile(new QFile), stderrFile(new QFile)
{
    stdoutFile->open(stdout, QIODevice::WriteOnly);
    stderrFile->open(stderr, QIODevice::WriteOnly);
    useOutput(false);
}

CliApp::~CliApp() = default;

void CliApp::useOutput(bool json)
{
    const CliOutput::Mode mode = json                             ? CliOutput::Mode::Json
                                 : CliConsole::stdoutIsTerminal() ? CliOutput::Mode::Terminal
                                                                  : CliOutput::Mode::Plain;
    output.reset(new CliOutput(mode, stdoutFile.get(), stderrFile.get()));
}

int CliApp::usageError(const QString &message)
{
    output->error(message);
    output->note(QStringLiteral("Try 'zelloader-cli --help' for more information."));
    return ExitUsage;
}

std::optional<int> CliApp::parse(QCommandLineParser &parser, const QStringList &commandArguments)
{
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QString()});
    // The parser takes the first entry for the program's name.
    if (!parser.parse(QStringList{arguments.value(0)} + commandArguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        output->print(helpText());
        return ExitSuccess;
    }
    return std::nullopt;
}

std::optional<int> CliApp::parseFiles(const QString &command, const QStringList &commandArguments,
                                      QStringList *paths)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QString());
    parser.addOption(json);
    if (const std::optional<int> done = parse(parser, commandArguments))
        return done;
    *paths = parser.positionalArguments();
    if (paths->isEmpty())
        return usageError(QStringLiteral("%1 needs at least one firmware file").arg(command));
    useOutput(parser.isSet(json));
    return std::nullopt;
}

int CliApp::run()
{
    const QString command = arguments.value(1);
    const QStringList rest = arguments.mid(2);
    if (command.isEmpty())
        return usageError(QStringLiteral("no command given"));
    if (command == QLatin1String("-h") || command == QLatin1String("--help") ||
        command == QLatin1String("help")) {
        output->print(helpText());
        return ExitSuccess;
    }
    if (command == QLatin1String("-V") || command == QLatin1String("--version")) {
        output->print(versionText());
        return ExitSuccess;
    }
    if (command == QLatin1String("list"))
        return list(rest);
    if (command == QLatin1String("update"))
        return update(rest);
    if (command == QLatin1String("info"))
        return info(rest);
    if (command == QLatin1String("stamp"))
        return stamp(rest);
    if (command.startsWith(QLatin1Char('-')))
        return usageError(
            QStringLiteral("unknown option '%1'; options follow the command").arg(command));
    return usageError(QStringLiteral("unknown command '%1'").arg(command));
}

#pragma once

#include "zelinterface.h"

#include <QCommandLineOption>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class CliOutput;
class QCommandLineParser;

// The command line's exit codes; the man page and --help list the same.
enum ExitCode : int
{
    ExitSuccess = 0,
    ExitUpdateFailed = 1, // the board and the error are printed
    ExitUsage = 2,        // a usage error, or a file that does not load
    ExitNoInstrument = 3, // no instrument within the wait, or it went away
    ExitAccessDenied = 4, // the instrument is there but may not be opened
    ExitInterrupted = 5,  // Ctrl+C
};

// An option of the command line, described once for every command that takes it.
struct CliOption
{
    QCommandLineOption option;
    bool repeated; // may be given more than once: "[--board NAME]..."
};
// Every option, in the order --help lists them.
const QList<CliOption> &cliOptions();

// Says what was wrong and where help is; ExitUsage.
int usageError(CliOutput *output, const QString &message);

// One command of zelloader-cli: its name, what it does, the options it takes and
// whether it takes files. Its parser, and with it its --help, is built from these,
// and so is its entry in the program's --help; execute() does the work.
class CliCommand
{
public:
    CliCommand(const QString &name, const QString &description, const QStringList &options,
               bool takesFiles = false);
    virtual ~CliCommand();

    const QString name;
    const QString description;

    // What follows the name in a synopsis: "[--json]", "[--board NAME]...", "FILE...".
    QStringList synopsis() const;
    // Parses the arguments after the command's name and does the command's work,
    // unless they ask for help or are wrong. The exit code.
    int run(const QStringList &arguments, CliOutput *output);

    // Every command, in the order --help lists them.
    static std::vector<std::unique_ptr<CliCommand>> all();

protected:
    virtual int execute(const QCommandLineParser &parser) = 0;
    int usageError(const QString &message) { return ::usageError(output, message); }
    // Reads --wait and --device; false after reporting a usage error.
    bool waitOption(const QCommandLineParser &parser);
    // Not an exit code: findInstrument found several instruments and cannot tell
    // which one to use.
    static constexpr int SeveralAttached = -1;
    // Finds the instrument for list and update: waits up to --wait on `link` (0
    // makes one attempt) for the one chosen by --device, or the only one attached,
    // saying so while it waits. ExitSuccess once it is open; SeveralAttached,
    // saying nothing, as soon as several are attached and none is chosen; or the
    // exit code after saying why not. The link is not owned, so that an update can
    // go on with it.
    int findInstrument(zelInterface *link);
    // Asks every board of the open instrument for its version, until all have
    // answered or a second has passed; false, saying so, if it went away first.
    bool askVersions(zelInterface *link, QMap<zelInterface::PartType, QString> *versions);
    // Both, for an instrument that must be there.
    int findBoards(zelInterface *link, QMap<zelInterface::PartType, QString> *versions);

    CliOutput *output = nullptr;
    QString device; // --device as given

private:
    QString waitText; // --wait as given
    int waitMs = 0;
    QStringList options; // long names
    bool takesFiles;
};

// `words` written after `first`, in lines of at most `width` characters; the
// lines after the first are indented by the length of `first`.
QString wrapped(const QString &first, const QStringList &words, int width);

// An instrument as the command line names it: its serial number, or where it
// reports none its path.
QString instrumentName(const UsbHid::Device &device);
// "/dev/hidraw1, serial number HR36-0002" ("none" where it reports none).
QString instrumentText(const UsbHid::Device &device);
// Its JSON members: "path", "serial" (null where it reports none).
QJsonObject instrumentJson(const UsbHid::Device &device);

// A path given on the command line, as a path on disk: the toolkit would open a
// path beginning with ':' from the program's own resources instead.
QString diskPath(const QString &path);

// The commands, each in a file of its own.
std::unique_ptr<CliCommand> newListCommand();
std::unique_ptr<CliCommand> newUpdateCommand();
std::unique_ptr<CliCommand> newInfoCommand();
std::unique_ptr<CliCommand> newStampCommand();

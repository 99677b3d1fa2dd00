#pragma once

#include "zelinterface.h"

#include <QCommandLineOption>
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
    // Reads --wait; false after reporting a usage error.
    bool waitOption(const QCommandLineParser &parser);
    // Finds the instrument and asks its boards for their versions, for list and
    // update: waits up to --wait for the instrument on `link` (0 makes one
    // attempt), saying so while it waits, then asks every board until all have
    // answered or a second has passed. ExitSuccess with the answers by part, or the
    // exit code after saying why not. The link is not owned, so that an update can
    // go on with it.
    int findBoards(zelInterface *link, QMap<zelInterface::PartType, QString> *versions);

    CliOutput *output = nullptr;

private:
    QString waitText; // --wait as given
    int waitMs = 0;
    QStringList options; // long names
    bool takesFiles;
};

// `words` written after `first`, in lines of at most `width` characters; the
// lines after the first are indented by the length of `first`.
QString wrapped(const QString &first, const QStringList &words, int width);

// A path given on the command line, as a path on disk: the toolkit would open a
// path beginning with ':' from the program's own resources instead.
QString diskPath(const QString &path);

// The commands, each in a file of its own.
std::unique_ptr<CliCommand> newListCommand();
std::unique_ptr<CliCommand> newUpdateCommand();
std::unique_ptr<CliCommand> newInfoCommand();
std::unique_ptr<CliCommand> newStampCommand();

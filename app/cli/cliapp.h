#pragma once

#include "zelinterface.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class CliOutput;
class QCommandLineOption;
class QCommandLineParser;
class QFile;

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

struct ExitCodeInfo
{
    ExitCode code;
    const char *meaning;
};
const QList<ExitCodeInfo> &exitCodes();

// zelloader-cli: one command per run. Each command parses its own options, does
// its work and returns the process's exit code.
class CliApp
{
public:
    // `arguments` as QCoreApplication::arguments() gives them, program name first.
    explicit CliApp(const QStringList &arguments);
    ~CliApp();

    int run();

    static QString helpText();
    static QString versionText();

private:
    int list(const QStringList &arguments);
    int info(const QStringList &arguments);
    int stamp(const QStringList &arguments);
    int update(const QStringList &arguments);

    // The value of --wait in milliseconds; false after reporting a usage error.
    bool waitOption(const QCommandLineParser &parser, const QCommandLineOption &wait, int *ms);
    // Waits up to `waitMs` for the instrument on `link` (`seconds` as the user gave
    // them) and asks its boards for their versions. ExitSuccess, or the exit code
    // after saying why not.
    int findBoards(zelInterface *link, const QString &seconds, int waitMs,
                   QMap<zelInterface::PartType, QString> *versions);

    // Parses a command's arguments, --help included. Returns the exit code when
    // the command is done already: the help printed, or a usage error reported.
    std::optional<int> parse(QCommandLineParser &parser, const QStringList &arguments);
    // The same for info and stamp: --json and at least one file, which go to
    // `*paths`; the output is set up for --json.
    std::optional<int> parseFiles(const QString &command, const QStringList &arguments,
                                  QStringList *paths);
    int usageError(const QString &message);
    void useOutput(bool json);

    QStringList arguments;
    std::unique_ptr<QFile> stdoutFile;
    std::unique_ptr<QFile> stderrFile;
    std::unique_ptr<CliOutput> output;
};

// info and stamp: firmware files on disk, without the instrument.
#include "clicommand.h"
#include "cliconsole.h"
#include "clioutput.h"
#include "firmwarefile.h"
#include "stamphexfile.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>

namespace {

QString checksumText(quint8 checksum)
{
    return "0x" + QString::number(checksum, 16).rightJustified(2, '0').toUpper();
}

class InfoCommand : public CliCommand
{
public:
    InfoCommand()
        : CliCommand("info",
                     "Check firmware files; print family code, version, build date, checksum, "
                     "size and the load result.",
                     {"json"}, true)
    {}

protected:
    int execute(const QCommandLineParser &parser) override
    {
        bool allOk = true;
        QJsonArray files;
        QStringList blocks;
        for (const QString &path : parser.positionalArguments()) {
            FirmwareFile file;
            const FirmwareFile::Status status = file.load(diskPath(path));
            allOk = allOk && status == FirmwareFile::Ok;
            const QString reason = FirmwareFile::failureText(diskPath(path), status);
            QJsonObject entry{{"path", path}, {"status", int(status)}, {"statusText", reason}};
            QString text = path + '\n';
            const auto field = [&text](const QString &label, const QString &value) {
                text += "  " + label.leftJustified(10) + "  " + value + '\n';
            };
            field("status", reason);
            // The texts of a file that did not load are whatever was read up to the
            // fault: not shown.
            if (status == FirmwareFile::Ok) {
                const qsizetype size = file.getHexText().size();
                entry.insert("family", file.getFamilyCode());
                entry.insert("version", file.getVersion());
                entry.insert("buildDate", file.getBuildDate());
                entry.insert("checksum", int(file.getChecksum()));
                entry.insert("size", size);
                field("family", file.getFamilyCode());
                field("version", file.getVersion());
                field("build date", file.getBuildDate());
                field("checksum", checksumText(file.getChecksum()));
                field("size", QString::number(size) + " bytes");
            }
            files.append(entry);
            blocks << text;
        }
        if (output->mode() == CliOutput::Mode::Json)
            output->json({{"files", files}});
        else
            output->print(blocks.join('\n'));
        return allOk ? ExitSuccess : ExitUsage;
    }
};

class StampCommand : public CliCommand
{
public:
    StampCommand()
        : CliCommand("stamp",
                     "Rewrite firmware files with their records sorted by address and stamp them "
                     "with their checksum, as the window's Ctrl+Shift+F11 does.",
                     {"json"}, true)
    {}

protected:
    int execute(const QCommandLineParser &parser) override
    {
        // A file is never left half done: Ctrl+C takes effect between files.
        CliConsole::setInterruptMode(CliConsole::InterruptMode::Deferred);
        const int pressesBefore = CliConsole::interruptCount();
        bool allOk = true;
        QString notDone;
        QJsonArray files;
        for (const QString &path : parser.positionalArguments()) {
            if (CliConsole::interruptCount() != pressesBefore) {
                notDone = path;
                break;
            }
            const StampResult stamped = stampHexFile(diskPath(path));
            const bool ok = stamped.status == FirmwareFile::Ok;
            allOk = allOk && ok;
            QJsonObject entry{{"path", path},
                              {"status", stamped.status},
                              {"statusText", stamped.text},
                              {"rewritten", stamped.rewritten}};
            if (ok)
                entry.insert("checksum", int(stamped.checksum));
            files.append(entry);
            if (output->mode() != CliOutput::Mode::Json)
                output->line(path + ": " + stamped.text +
                             (ok ? " (checksum " + checksumText(stamped.checksum) + ")"
                              : stamped.rewritten ? " (rewritten)"
                                                  : " (unchanged)"));
        }
        if (output->mode() == CliOutput::Mode::Json)
            output->json({{"files", files}});
        CliConsole::setInterruptMode(CliConsole::InterruptMode::ExitAtOnce);
        if (!notDone.isEmpty()) {
            output->error("interrupted; " + notDone + " and the files after it were not stamped");
            return ExitInterrupted;
        }
        return allOk ? ExitSuccess : ExitUsage;
    }
};

} // namespace

std::unique_ptr<CliCommand> newInfoCommand()
{
    return std::make_unique<InfoCommand>();
}

std::unique_ptr<CliCommand> newStampCommand()
{
    return std::make_unique<StampCommand>();
}

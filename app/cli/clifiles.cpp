#include "cliapp.h"
#include "cliconsole.h"
#include "clioutput.h"
#include "stamphexfile.h"
#include "updateplan.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QString checksumText(quint8 checksum)
{
    return QStringLiteral("0x") +
           QString::number(checksum, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

} // namespace

int CliApp::info(const QStringList &commandArguments)
{
    QStringList paths;
    if (const std::optional<int> done =
            parseFiles(QStringLiteral("info"), commandArguments, &paths))
        return *done;

    bool allOk = true;
    QJsonArray files;
    QString text;
    for (const QString &path : paths) {
        FirmwareFile file;
        const FirmwareFile::Status status = file.load(diskPath(path));
        const bool ok = status == FirmwareFile::Ok;
        allOk = allOk && ok;
        const QString reason = FirmwareFile::failureText(diskPath(path), status);
        // The texts of a file that did not load are whatever was read up to the
        // fault: not shown.
        QJsonObject entry{{QStringLiteral("path"), path},
                          {QStringLiteral("status"), int(status)},
                          {QStringLiteral("statusText"), reason}};
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += path + QLatin1Char('\n');
        const auto field = [&text](const char *label, const QString &value) {
            text += QStringLiteral("  %1  %2\n")
                        .arg(QString::fromLatin1(label).leftJustified(10), value);
        };
        field("status", reason);
        if (ok) {
            entry.insert(QStringLiteral("family"), file.getFamilyCode());
            entry.insert(QStringLiteral("version"), file.getVersion());
            entry.insert(QStringLiteral("buildDate"), file.getBuildDate());
            entry.insert(QStringLiteral("checksum"), int(file.getChecksum()));
            entry.insert(QStringLiteral("size"), file.getHexText().size());
            field("family", file.getFamilyCode());
            field("version", file.getVersion());
            field("build date", file.getBuildDate());
            field("checksum", checksumText(file.getChecksum()));
            field("size", QStringLiteral("%1 bytes").arg(file.getHexText().size()));
        }
        files.append(entry);
    }
    if (output->mode() == CliOutput::Mode::Json)
        output->json({{QStringLiteral("files"), files}});
    else
        output->print(text);
    return allOk ? ExitSuccess : ExitUsage;
}

int CliApp::stamp(const QStringList &commandArguments)
{
    QStringList paths;
    if (const std::optional<int> done =
            parseFiles(QStringLiteral("stamp"), commandArguments, &paths))
        return *done;

    // A file is never left half done: Ctrl+C takes effect between files.
    CliConsole::setInterruptMode(CliConsole::InterruptMode::Deferred);
    const int pressesBefore = CliConsole::interruptCount();
    bool allOk = true;
    QString notDone;
    QJsonArray files;
    for (const QString &path : paths) {
        if (CliConsole::interruptCount() != pressesBefore) {
            notDone = path;
            break;
        }
        const StampResult stamped = stampHexFile(diskPath(path));
        const bool ok = stamped.status == FirmwareFile::Ok;
        allOk = allOk && ok;
        QJsonObject entry{{QStringLiteral("path"), path},
                          {QStringLiteral("status"), stamped.status},
                          {QStringLiteral("statusText"), stamped.text},
                          {QStringLiteral("rewritten"), stamped.rewritten}};
        if (ok)
            entry.insert(QStringLiteral("checksum"), int(stamped.checksum));
        files.append(entry);
        if (output->mode() == CliOutput::Mode::Json)
            continue;
        QString line = path + QStringLiteral(": ") + stamped.text;
        if (ok)
            line += QStringLiteral(" (checksum %1)").arg(checksumText(stamped.checksum));
        else
            line +=
                stamped.rewritten ? QStringLiteral(" (rewritten)") : QStringLiteral(" (unchanged)");
        output->line(line);
    }
    if (output->mode() == CliOutput::Mode::Json)
        output->json({{QStringLiteral("files"), files}});
    CliConsole::setInterruptMode(CliConsole::InterruptMode::ExitAtOnce);
    if (!notDone.isEmpty()) {
        output->error(
            QStringLiteral("interrupted; %1 and the files after it were not stamped").arg(notDone));
        return ExitInterrupted;
    }
    return allOk ? ExitSuccess : ExitUsage;
}

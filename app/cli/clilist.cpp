// list, and the finding of the instrument and its boards that update shares.
#include "boardtable.h"
#include "cliapp.h"
#include "clioutput.h"
#include "instrumentprobe.h"
#include "usbhidaccess.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>

#include <cmath>

namespace {

// --wait: seconds with a fraction, 0 for a single attempt; a day at most.
bool waitMilliseconds(const QString &text, int *ms)
{
    bool ok = false;
    const double seconds = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        return false;
    *ms = int(std::lround(seconds * 1000));
    return true;
}

QString usbId()
{
    return QStringLiteral("USB %1:%2")
        .arg(zelInterface::VendorId, 4, 16, QLatin1Char('0'))
        .arg(zelInterface::ProductId, 4, 16, QLatin1Char('0'));
}

} // namespace

bool CliApp::waitOption(const QCommandLineParser &parser, const QCommandLineOption &wait, int *ms)
{
    const QString seconds = parser.value(wait);
    if (waitMilliseconds(seconds, ms))
        return true;
    usageError(QStringLiteral("--wait takes seconds from 0 to 86400, not '%1'").arg(seconds));
    return false;
}

int CliApp::findBoards(zelInterface *link, const QString &seconds, int waitMs,
                       QMap<zelInterface::PartType, QString> *versions)
{
    InstrumentProbe probe(link);
    const auto waiting = [&] {
        output->note(
            QStringLiteral("Waiting up to %1 s for the instrument (%2)...").arg(seconds, usbId()));
    };
    const auto denied = [&] {
        output->note(QStringLiteral("The instrument is there, but access to it was denied; "
                                    "waiting in case it is granted..."));
    };
    switch (probe.waitForInstrument(waitMs, waiting, denied)) {
    case InstrumentProbe::Outcome::Ready:
        break;
    case InstrumentProbe::Outcome::AccessDenied:
        output->error(QStringLiteral("instrument found (%1), but access to it was denied: %2")
                          .arg(usbId(), UsbHidAccess::deniedAdvice()));
        return ExitAccessDenied;
    default:
        output->error(QStringLiteral("no instrument found within %1 s (%2); is it plugged in "
                                     "and switched on?")
                          .arg(seconds, usbId()));
        return ExitNoInstrument;
    }
    if (probe.askVersions(versions) != InstrumentProbe::Outcome::Ready) {
        output->error(QStringLiteral("the instrument went away before its boards answered"));
        return ExitNoInstrument;
    }
    return ExitSuccess;
}

int CliApp::list(const QStringList &commandArguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QString());
    const QCommandLineOption wait(QStringLiteral("wait"), QString(), QStringLiteral("SECONDS"),
                                  QStringLiteral("3"));
    parser.addOption(json);
    parser.addOption(wait);
    if (const std::optional<int> done = parse(parser, commandArguments))
        return *done;
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("list takes no file arguments"));
    int waitMs = 0;
    if (!waitOption(parser, wait, &waitMs))
        return ExitUsage;
    useOutput(parser.isSet(json));

    zelInterface link;
    QMap<zelInterface::PartType, QString> versions;
    const int found = findBoards(&link, parser.value(wait), waitMs, &versions);
    if (found != ExitSuccess)
        return found;

    if (output->mode() == CliOutput::Mode::Json) {
        QJsonArray boards;
        for (const BoardFacts &board : BoardTable::rows()) {
            const auto version = versions.find(board.part);
            boards.append(
                QJsonObject{{QStringLiteral("name"), QLatin1String(board.name)},
                            {QStringLiteral("part"), int(board.part)},
                            {QStringLiteral("description"), QLatin1String(board.description)},
                            {QStringLiteral("family"), QLatin1String(board.family)},
                            {QStringLiteral("version"),
                             version == versions.end() ? QJsonValue() : QJsonValue(*version)}});
        }
        output->json({{QStringLiteral("boards"), boards}});
        return ExitSuccess;
    }
    QList<QStringList> rows = {{QStringLiteral("BOARD"), QStringLiteral("PART"),
                                QStringLiteral("DESCRIPTION"), QStringLiteral("VERSION")}};
    for (const BoardFacts &board : BoardTable::rows())
        rows.append({QLatin1String(board.name), QString::number(board.part),
                     QLatin1String(board.description),
                     versions.value(board.part, QStringLiteral("no answer"))});
    output->print(CliOutput::table(rows, {1}));
    return ExitSuccess;
}

// list, and the finding of the instrument and its boards that update shares.
#include "boardtable.h"
#include "clicommand.h"
#include "clioutput.h"
#include "usbhidaccess.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

namespace {

// How long the boards get to answer the version request; a board that has not
// answered by then counts as not answering.
constexpr int AnswerMs = 1000;

QString usbId()
{
    return QStringLiteral("USB %1:%2")
        .arg(zelInterface::VendorId, 4, 16, QLatin1Char('0'))
        .arg(zelInterface::ProductId, 4, 16, QLatin1Char('0'));
}

// True once the link is connected; false when the wait is over without it.
bool waitForInstrument(zelInterface *link, CliOutput *output, const QString &seconds, int waitMs)
{
    bool connected = false;
    QEventLoop loop;
    QObject::connect(link, &UsbHid::connected, &loop, [&] {
        connected = true;
        loop.quit();
    });
    // Access may still be granted before the wait is over (udev applying a rule
    // just installed), so a denial does not end it.
    QObject::connect(link, &UsbHid::accessDeniedChanged, &loop, [&](bool denied) {
        if (denied)
            output->note("The instrument is there, but access to it was denied; waiting in case "
                         "it is granted...");
    });
    // An attached instrument is opened within this call.
    link->setAutoOpen(true);
    if (!connected && waitMs > 0) {
        output->note("Waiting up to " + seconds + " s for the instrument (" + usbId() + ")...");
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return connected;
}

// False when the link closed before the boards had answered.
bool askVersions(zelInterface *link, QMap<zelInterface::PartType, QString> *versions)
{
    bool gone = false;
    QEventLoop loop;
    QObject::connect(link, &zelInterface::firmwareVersion, &loop,
                     [&](zelInterface::PartType part, const QString &version) {
                         if (!BoardTable::find(part))
                             return;
                         versions->insert(part, version);
                         if (versions->size() == BoardTable::rows().size())
                             loop.quit();
                     });
    QObject::connect(link, &UsbHid::disconnected, &loop, [&] {
        gone = true;
        loop.quit();
    });
    QTimer::singleShot(AnswerMs, &loop, &QEventLoop::quit);
    link->requestFirmwareVersion();
    loop.exec();
    return !gone;
}

class ListCommand : public CliCommand
{
public:
    ListCommand()
        : CliCommand("list",
                     "Wait for the instrument, ask every board for its firmware version and print "
                     "one row per board.",
                     {"json", "wait"})
    {}

protected:
    int execute(const QCommandLineParser &parser) override
    {
        if (!waitOption(parser))
            return ExitUsage;
        zelInterface link;
        QMap<zelInterface::PartType, QString> versions;
        if (const int code = findBoards(&link, &versions))
            return code;
        QJsonArray boards;
        QList<QStringList> rows = {{"BOARD", "PART", "DESCRIPTION", "VERSION"}};
        for (const BoardFacts &board : BoardTable::rows()) {
            const auto version = versions.find(board.part);
            boards.append(QJsonObject{
                {"name", board.name},
                {"part", int(board.part)},
                {"description", board.description},
                {"family", board.family},
                {"version", version == versions.end() ? QJsonValue() : QJsonValue(*version)}});
            rows.append({board.name, QString::number(board.part), board.description,
                         versions.value(board.part, "no answer")});
        }
        if (output->mode() == CliOutput::Mode::Json)
            output->json({{"boards", boards}});
        else
            output->print(CliOutput::table(rows, {1}));
        return ExitSuccess;
    }
};

} // namespace

int CliCommand::findBoards(zelInterface *link, QMap<zelInterface::PartType, QString> *versions)
{
    if (!waitForInstrument(link, output, waitText, waitMs)) {
        if (link->accessDenied()) {
            output->error("instrument found (" + usbId() +
                          "), but access to it was denied: " + UsbHidAccess::deniedAdvice());
            return ExitAccessDenied;
        }
        output->error("no instrument found within " + waitText + " s (" + usbId() +
                      "); is it plugged in and switched on?");
        return ExitNoInstrument;
    }
    versions->clear();
    if (!askVersions(link, versions)) {
        output->error("the instrument went away before its boards answered");
        return ExitNoInstrument;
    }
    return ExitSuccess;
}

std::unique_ptr<CliCommand> newListCommand()
{
    return std::make_unique<ListCommand>();
}

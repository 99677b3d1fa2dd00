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

// True once the link is connected; false when the wait is over without it, or
// as soon as the link cannot tell which of several instruments to open.
bool waitForInstrument(zelInterface *link, CliOutput *output, const QString &seconds, int waitMs)
{
    bool connected = false;
    QEventLoop loop;
    QObject::connect(link, &UsbHid::connected, &loop, [&] {
        connected = true;
        loop.quit();
    });
    QObject::connect(link, &UsbHid::ambiguousChanged, &loop, [&](bool several) {
        if (several)
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
    if (!connected && !link->ambiguous() && waitMs > 0) {
        output->note("Waiting up to " + seconds + " s for the instrument (" + usbId() + ")...");
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return connected;
}

// One instrument as list shows it: which one, and its boards' versions; `reached`
// false if it could not be asked.
struct Listed
{
    UsbHid::Device device;
    QMap<zelInterface::PartType, QString> versions;
    bool reached = true;
};

class ListCommand : public CliCommand
{
public:
    ListCommand()
        : CliCommand("list",
                     "Wait for the instrument, ask every board for its firmware version and print "
                     "one row per board; with several instruments attached, a table for each.",
                     {"json", "wait", "device"})
    {}

protected:
    int execute(const QCommandLineParser &parser) override
    {
        if (!waitOption(parser))
            return ExitUsage;
        zelInterface link;
        const int found = findInstrument(&link);
        if (found != ExitSuccess && found != SeveralAttached)
            return found;
        QList<Listed> listed;
        int code = ExitSuccess;
        if (found == SeveralAttached) {
            // Each in turn, chosen by its path: what the link would not do on its own.
            for (const UsbHid::Device &each : link.attached()) {
                link.setChoice(each.path);
                link.open();
                Listed one{each, {}, link.isConnected()};
                if (one.reached)
                    one.reached = askVersions(&link, &one.versions);
                else
                    output->error(instrumentText(each) + (link.accessDenied()
                                                              ? ": access to it was denied"
                                                              : ": it could not be opened"));
                if (!one.reached)
                    code = link.accessDenied() ? ExitAccessDenied : ExitNoInstrument;
                listed.append(one);
                link.close();
            }
        } else {
            Listed one{link.current(), {}, true};
            if (!askVersions(&link, &one.versions))
                return ExitNoInstrument;
            listed.append(one);
        }
        print(listed, link.attached().size() > 1);
        return code;
    }

private:
    // One table per instrument. Where only one is attached it is the one shown, and
    // the table stands alone, as it always has.
    void print(const QList<Listed> &listed, bool named)
    {
        QJsonArray instruments;
        QString text;
        for (const Listed &one : listed) {
            QJsonArray boards;
            QList<QStringList> rows = {{"BOARD", "PART", "DESCRIPTION", "VERSION"}};
            for (const BoardFacts &board : BoardTable::rows()) {
                const auto version = one.versions.find(board.part);
                boards.append(
                    QJsonObject{{"name", board.name},
                                {"part", int(board.part)},
                                {"description", board.description},
                                {"family", board.family},
                                {"version", version == one.versions.end() ? QJsonValue()
                                                                          : QJsonValue(*version)}});
                rows.append({board.name, QString::number(board.part), board.description,
                             one.versions.value(board.part, "no answer")});
            }
            instruments.append(instrumentJson(
                one.device, {{"boards", one.reached ? QJsonValue(boards) : QJsonValue()}}));
            if (!one.reached)
                continue;
            if (named)
                text += QString(text.isEmpty() ? "" : "\n") + "Instrument " +
                        instrumentText(one.device) + '\n';
            text += CliOutput::table(rows, {1});
        }
        // One instrument: its members at the top, as they always were, too.
        QJsonObject result =
            instruments.size() == 1 ? instruments.first().toObject() : QJsonObject();
        result.insert("instruments", instruments);
        output->result(result, text);
    }
};

} // namespace

int CliCommand::findInstrument(zelInterface *link)
{
    link->setChoice(device);
    if (waitForInstrument(link, output, waitText, waitMs))
        return ExitSuccess;
    if (link->ambiguous() && !device.isEmpty()) {
        output->error("more than one instrument is '" + device + "'; choose one by its path");
        return ExitUsage;
    }
    if (link->ambiguous())
        return SeveralAttached;
    if (link->accessDenied()) {
        output->error("instrument found (" + usbId() +
                      "), but access to it was denied: " + UsbHidAccess::deniedAdvice());
        return ExitAccessDenied;
    }
    if (!device.isEmpty()) {
        output->error("no instrument '" + device + "' found within " + waitText +
                      " s; 'zelloader-cli list' shows the paths and serial numbers of those "
                      "attached");
        return ExitNoInstrument;
    }
    output->error("no instrument found within " + waitText + " s (" + usbId() +
                  "); is it plugged in and switched on?");
    return ExitNoInstrument;
}

bool CliCommand::askVersions(zelInterface *link, QMap<zelInterface::PartType, QString> *versions)
{
    versions->clear();
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
    if (gone)
        output->error("the instrument went away before its boards answered");
    return !gone;
}

std::unique_ptr<CliCommand> newListCommand()
{
    return std::make_unique<ListCommand>();
}

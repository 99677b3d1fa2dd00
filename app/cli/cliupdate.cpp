// update: the window's update run without the window.
#include "boardtable.h"
#include "clicommand.h"
#include "cliconsole.h"
#include "clioutput.h"
#include "firmwareimages.h"
#include "updaterun.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <optional>

namespace {

// A second Ctrl+C within this time of the first stops the update.
constexpr int SecondPressMs = 3000;

using Parts = QList<zelInterface::PartType>;
using Versions = QMap<zelInterface::PartType, QString>;

// The progress of an update, step by step (the sensor group, the control panel,
// the main board), as the run reports it. On a terminal one bar per step,
// redrawn in place; on plain output a line for each new state text and for each
// further tenth of the step; with JSON one object per change of the whole
// percent or of the text.
class ProgressPrinter
{
public:
    explicit ProgressPrinter(CliOutput *output) : output(output) {}

    // The step whose address is `address` begins.
    void begin(zelInterface::PartType address)
    {
        endLine();
        step = address;
        text.clear();
        permille = 0;
        forget();
    }
    // The running step's state text, and its share done, 0 to 1000.
    void state(const QString &stateText) { show(stateText, permille); }
    void progress(int share) { show(text, qBound(0, share, 1000)); }
    // The step has ended: its line is finished with `endText`.
    void finish(bool ok, const QString &endText)
    {
        if (output->mode() == CliOutput::Mode::Terminal)
            draw(ok ? 1000 : shownPercent * 10, endText);
        else if (output->mode() == CliOutput::Mode::Plain)
            output->line(BoardTable::boardName(step) + ": " + endText);
        else
            output->json({{"event", "step"},
                          {"step", BoardTable::stepName(step)},
                          {"ok", ok},
                          {"text", endText}},
                         true);
        endLine();
    }
    // Ends a bar being drawn on a terminal, so that a message can take a line of
    // its own; the bar is drawn afresh below it at the next change.
    void breakLine()
    {
        if (drawnWidth > 0) {
            endLine();
            forget();
        }
    }

private:
    void show(const QString &newText, int newPermille)
    {
        const int percent = newPermille / 10;
        const bool changed = newText != shownText || percent != shownPercent;
        const QString name = BoardTable::boardName(step);
        if (output->mode() == CliOutput::Mode::Terminal && changed) {
            draw(newPermille, newText);
        } else if (output->mode() == CliOutput::Mode::Plain) {
            if (newText != shownText)
                output->line(name + ": " + newText);
            // Tenths only once the step is under way; 0 % says nothing new.
            if (percent / 10 > qMax(shownPercent, 0) / 10)
                output->line(name + ": " + QString::number(percent / 10 * 10) + "%");
        } else if (output->mode() == CliOutput::Mode::Json && changed) {
            output->json({{"event", "progress"},
                          {"step", BoardTable::stepName(step)},
                          {"percent", percent},
                          {"text", newText}},
                         true);
        }
        text = shownText = newText;
        permille = newPermille;
        shownPercent = percent;
    }

    void forget()
    {
        shownPercent = -1;
        shownText.clear();
    }

    // Carriage return and spaces over whatever is left of the longer line before:
    // no terminal control sequences, so any console shows it right.
    void draw(int value, const QString &label)
    {
        const int filled = qBound(0, value, 1000) * BarWidth / 1000;
        const QString line = BoardTable::boardName(step).leftJustified(13) + " [" +
                             QString(filled, '#') + QString(BarWidth - filled, '.') + "] " +
                             QString::number(qBound(0, value, 1000) / 10).rightJustified(3) + "% " +
                             label;
        output->print('\r' + line + QString(qMax(0, drawnWidth - line.size()), ' '));
        drawnWidth = line.size();
    }

    void endLine()
    {
        if (drawnWidth > 0)
            output->print("\n");
        drawnWidth = 0;
    }

    static constexpr int BarWidth = 30;
    CliOutput *output;
    zelInterface::PartType step = zelInterface::Sensors;
    QString text;
    int permille = 0;
    int shownPercent = -1;
    QString shownText;
    int drawnWidth = 0;
};

class UpdateCommand : public CliCommand
{
public:
    UpdateCommand()
        : CliCommand("update",
                     "Update boards: the sensor boards together, then the control panel, then the "
                     "main board, stopping at the first failure. Without --board every board that "
                     "answers is updated. Shows the plan and asks first, unless --yes is given; "
                     "without a terminal to ask on it refuses. With several instruments attached "
                     "it needs --device, or, with --repeat, only one at a time.",
                     {"board", "file", "yes", "repeat", "json", "wait", "device"})
    {}

protected:
    int execute(const QCommandLineParser &parser) override
    {
        if (const int code = parse(parser))
            return code;
        if (repeat)
            return updateEach();
        link = std::make_unique<zelInterface>();
        if (const int code = plan())
            return code;
        if (!confirm()) {
            output->note("Nothing was updated.");
            return ExitSuccess;
        }
        show();
        return runToEnd() ? report() : reportInterrupted();
    }

private:
    int parse(const QCommandLineParser &parser)
    {
        if (!waitOption(parser))
            return ExitUsage;
        QString unknown;
        if (!BoardTable::choose(parser.values("board"), &chosen, &unknown))
            return usageError("unknown board '" + unknown +
                              "' (boards: keys1..keys5, sensors, panel, main, all)");
        images.emplace();
        for (const QString &path : parser.values("file")) {
            const QString problem = useFile(path);
            if (!problem.isEmpty()) {
                output->error(problem);
                return ExitUsage;
            }
        }
        repeat = parser.isSet("repeat");
        if (repeat && !parser.isSet("yes"))
            return usageError("--repeat updates without asking: give --yes too");
        if (repeat && (parser.isSet("device") || parser.isSet("wait")))
            return usageError(QString("--repeat takes each instrument as it is plugged in, "
                                      "waiting without limit; it takes no --") +
                              (parser.isSet("device") ? "device" : "wait"));
        // Known before the instrument is looked for: a script that forgot --yes
        // learns it at once, not after the wait.
        consent = CliConsole::consent(parser.isSet("yes"));
        if (consent != CliConsole::Consent::Refuse)
            return ExitSuccess;
        output->error("not updating without --yes: standard input is not a terminal to ask on");
        return ExitUsage;
    }

    // Puts the file at `path` in place of the built-in image of its family; what
    // is wrong with it, or empty.
    QString useFile(const QString &path)
    {
        FirmwareFile file;
        if (file.load(diskPath(path)) != FirmwareFile::Ok)
            return path + ": " + FirmwareFile::failureText(diskPath(path), file.getStatus());
        const QString family = file.getFamilyCode();
        if (!images->find(family))
            return path + ": family code '" + family + "' is none of PBASE, PCTRL, PKEYS";
        if (!images->path(family).isEmpty())
            return images->path(family) + " and " + path + " are both " + family +
                   " firmware; give one file per family";
        images->use(file, path);
        return QString();
    }

    int plan()
    {
        const int found = findInstrument(link.get());
        if (found == SeveralAttached)
            return chooseOne();
        if (found)
            return found;
        if (!askVersions(link.get(), &before))
            return ExitNoInstrument;
        return plan(before);
    }

    // Several instruments are attached and none was chosen: which one is the
    // user's to say.
    int chooseOne()
    {
        QJsonArray instruments;
        output->error("several instruments are attached; choose one with --device PATH or "
                      "--device SERIAL:");
        for (const UsbHid::Device &each : link->attached()) {
            output->note("  " + instrumentText(each));
            instruments.append(instrumentJson(each));
        }
        if (output->mode() == CliOutput::Mode::Json)
            output->json({{"event", "instruments"}, {"instruments", instruments}}, true);
        return ExitUsage;
    }

    int plan(const Versions &versions)
    {
        planned.clear();
        if (const int code = choose(versions, &planned))
            return code;
        const QString unused = images->unusedFile(planned);
        if (!unused.isEmpty()) {
            output->error(unused + " is firmware for none of the boards to update");
            return ExitUsage;
        }
        printPlan(planned, versions);
        run = std::make_unique<UpdateRun>(link.get(), planned, *images);
        return ExitSuccess;
    }

    // The boards to update, in the window's order: the chosen ones, or without a
    // choice every board that answered. A chosen board that did not answer fails
    // the plan, since nothing can be written to a board that cannot be reached.
    int choose(const Versions &versions, Parts *boards)
    {
        for (const BoardFacts &board : BoardTable::rows()) {
            if (!chosen.isEmpty() && !chosen.contains(board.part))
                continue;
            if (versions.contains(board.part)) {
                boards->append(board.part);
            } else if (!chosen.isEmpty()) {
                endText = QString(board.name) + " (" + board.description +
                          ") did not answer; it cannot be updated";
                output->error(endText);
                return ExitUpdateFailed;
            }
        }
        if (!boards->isEmpty())
            return ExitSuccess;
        endText = "no board answered; there is nothing to update";
        output->error(endText);
        return ExitUpdateFailed;
    }

    // Each board with the version it runs now and the one it will run; which
    // instrument, where others are attached.
    void printPlan(const Parts &boards, const Versions &versions)
    {
        const UsbHid::Device instrument = link->current();
        QList<QStringList> table = {{"BOARD", "PART", "DESCRIPTION", "CURRENT", "NEW"}};
        QJsonArray rows;
        for (zelInterface::PartType part : boards) {
            const BoardFacts *board = BoardTable::find(part);
            const QString now = versions.value(part), next = images->forBoard(part).getVersion();
            table.append({board->name, QString::number(part), board->description, now, next});
            rows.append(QJsonObject{
                {"name", board->name}, {"part", int(part)}, {"current", now}, {"new", next}});
        }
        if (output->mode() == CliOutput::Mode::Json) {
            QJsonObject plan = instrumentJson(instrument);
            plan.insert("event", "plan");
            plan.insert("boards", rows);
            output->json(plan, true);
        } else {
            if (repeat || link->attached().size() > 1)
                output->line("Instrument " + instrumentText(instrument));
            output->print(CliOutput::table(table, {1}));
        }
    }

    bool confirm()
    {
        // An image the run cannot write fails it before anything is sent; asking
        // first would only ask about an update that cannot happen.
        return consent != CliConsole::Consent::Ask || run->unusableStep() >= 0 ||
               CliConsole::askToProceed(output);
    }

    // Shows the run's steps as the run reports them, and keeps how it ended.
    void show()
    {
        ProgressPrinter *p = &printer.emplace(output);
        const UpdateRun *r = run.get();
        QObject::connect(r, &UpdateRun::stepStarted, r,
                         [p, r](int step) { p->begin(r->plan().at(step).part); });
        QObject::connect(r, &UpdateRun::stepState, r, [p](int, zelUpdater::State state) {
            p->state(zelUpdater::stateText(state));
        });
        QObject::connect(r, &UpdateRun::stepProgress, r,
                         [p](int, int permille) { p->progress(permille); });
        QObject::connect(r, &UpdateRun::stepEnded, r, [this, p](int, bool ok, zelUpdater::Err e) {
            success = ok;
            endError = e;
            p->finish(ok,
                      ok ? zelUpdater::stateText(zelUpdater::Success) : zelUpdater::errorText(e));
        });
        QObject::connect(r, &UpdateRun::totalText, r, [this](const QString &t) { endText = t; });
    }

    // Runs the update to its end; false when Ctrl+C stopped it first.
    bool runToEnd()
    {
        QEventLoop loop;
        QObject::connect(run.get(), &UpdateRun::finished, &loop, &QEventLoop::quit);
        // Stopping halfway leaves the boards of the step without working
        // firmware, so Ctrl+C must be pressed twice. Presses are counted from
        // before the start, so that none goes unseen.
        int seen = CliConsole::interruptCount();
        bool interrupted = false;
        QElapsedTimer firstPress;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
            for (; seen < CliConsole::interruptCount() && !interrupted; ++seen) {
                interrupted = firstPress.isValid() && firstPress.elapsed() < SecondPressMs;
                if (interrupted) {
                    loop.quit();
                    return;
                }
                firstPress.start();
                printer->breakLine();
                output->note("Stopping now may leave a board without firmware. Press Ctrl+C "
                             "again within 3 s to stop anyway.");
            }
        });
        watch.start(50); // fast enough to feel immediate, slow enough to cost nothing
        CliConsole::setInterruptMode(CliConsole::InterruptMode::Deferred);
        run->start();
        if (run->isRunning())
            loop.exec();
        if (!repeat)
            CliConsole::setInterruptMode(CliConsole::InterruptMode::ExitAtOnce);
        return !interrupted;
    }

    int report()
    {
        if (output->mode() == CliOutput::Mode::Json) {
            QJsonObject result{{"event", "result"}, {"ok", success}, {"text", endText}};
            if (!success) {
                result.insert("step", BoardTable::stepName(run->plan()[run->currentStep()].part));
                result.insert("error", zelUpdater::errorText(endError));
            }
            output->json(result, true);
        } else if (success) {
            output->line(endText);
        }
        if (success)
            return ExitSuccess;
        // At most two steps follow the one that failed.
        QStringList notRun;
        for (const UpdateRun::Step &later : run->stepsNotRun())
            notRun << BoardTable::boardName(later.part);
        output->error("the update failed: " + endText +
                      (notRun.isEmpty() ? "" : "; not updated: " + notRun.join(" and ")));
        return ExitUpdateFailed;
    }

    int reportInterrupted()
    {
        // Nothing more goes out: the run and its updater go first, then the link,
        // which closes the device. A message already written stays written.
        const zelInterface::PartType step = run->plan().at(qMax(0, run->currentStep())).part;
        run.reset();
        link.reset();
        printer->breakLine();
        if (output->mode() == CliOutput::Mode::Json)
            output->json({{"event", "result"},
                          {"ok", false},
                          {"interrupted", true},
                          {"step", BoardTable::stepName(step)}},
                         true);
        output->error("interrupted during the update of the " + BoardTable::boardName(step) +
                      ", which may be left without working firmware: run the update again");
        return ExitInterrupted;
    }

    // --repeat: each instrument plugged in, one after another. Ctrl+C while it
    // waits for one ends it; the exit code says whether every update succeeded.
    int updateEach()
    {
        CliConsole::setInterruptMode(CliConsole::InterruptMode::Deferred);
        link = std::make_unique<zelInterface>();
        handledPresses = CliConsole::interruptCount();
        int succeeded = 0, failed = 0;
        while (waitFor(Next)) {
            const UsbHid::Device instrument = link->current();
            planned.clear();
            Versions after;
            bool ok = false;
            endText = "the instrument went away before its boards answered";
            if (askVersions(link.get(), &before)) {
                // A failure of the plan (a board that did not answer) is this
                // instrument's; a file for none of its boards would be every one's.
                const int code = plan(before);
                if (code == ExitUsage)
                    return summary(succeeded, failed, code);
                if (code == ExitSuccess) {
                    show();
                    if (!runToEnd()) {
                        ++failed;
                        return summary(succeeded, failed, reportInterrupted());
                    }
                    // A press the run has warned of ends nothing more.
                    handledPresses = CliConsole::interruptCount();
                    ok = report() == ExitSuccess;
                    askVersions(link.get(), &after);
                }
            }
            ok ? ++succeeded : ++failed;
            printResult(instrument, ok, after);
            run.reset();
            // Still attached after Ctrl+C: waiting for the next one would take it again.
            if (!waitFor(Unplugged))
                break;
        }
        return summary(succeeded, failed, failed ? ExitUpdateFailed : ExitSuccess);
    }

    enum Awaited
    {
        Next,      // an instrument opened, the only one attached
        Unplugged, // the one open gone
    };
    // False when Ctrl+C ended the wait, or came since the last update ended.
    bool waitFor(Awaited awaited)
    {
        const auto pressed = [this] { return CliConsole::interruptCount() != handledPresses; };
        const auto done = [&] { return link->isConnected() == (awaited == Next); };
        // An attached instrument is opened within this call.
        link->setAutoOpen(true);
        if (!done() && !pressed()) {
            output->note(awaited == Next
                             ? "Waiting for the next instrument; Ctrl+C ends..."
                             : "Unplug the instrument, then plug in the next one; Ctrl+C ends...");
            QEventLoop loop;
            const auto check = [&] {
                if (done() || pressed())
                    loop.quit();
            };
            QObject::connect(link.get(), &UsbHid::connected, &loop, check);
            QObject::connect(link.get(), &UsbHid::disconnected, &loop, check);
            QObject::connect(link.get(), &UsbHid::ambiguousChanged, &loop, [this](bool several) {
                if (several)
                    output->note(
                        "Several instruments are attached: connect only the one to update");
            });
            QTimer watch;
            QObject::connect(&watch, &QTimer::timeout, &loop, check);
            watch.start(50);
            loop.exec();
        }
        return done() && !pressed();
    }

    // One line for the instrument just updated: which one, how it went, and the
    // version of each board of the plan before and after.
    void printResult(const UsbHid::Device &instrument, bool ok, const Versions &after)
    {
        QStringList changes;
        QJsonArray rows;
        for (zelInterface::PartType part : qAsConst(planned)) {
            const QString name = BoardTable::find(part)->name;
            const QString now = after.value(part, "no answer");
            changes << name + " " + before.value(part) + " -> " + now;
            rows.append(
                QJsonObject{{"name", name},
                            {"before", before.value(part)},
                            {"after", after.contains(part) ? QJsonValue(now) : QJsonValue()}});
        }
        if (output->mode() == CliOutput::Mode::Json) {
            QJsonObject event = instrumentJson(instrument);
            event.insert("event", "instrument");
            event.insert("ok", ok);
            event.insert("text", endText);
            event.insert("boards", rows);
            output->json(event, true);
        } else {
            output->line(instrumentName(instrument) + ": " + (ok ? "" : "failed: ") + endText +
                         (changes.isEmpty() ? "" : "; " + changes.join(", ")));
        }
    }

    int summary(int succeeded, int failed, int code)
    {
        CliConsole::setInterruptMode(CliConsole::InterruptMode::ExitAtOnce);
        if (output->mode() == CliOutput::Mode::Json)
            output->json({{"event", "summary"}, {"succeeded", succeeded}, {"failed", failed}},
                         true);
        else
            output->line(QString("Summary: %1 updated, %2 failed").arg(succeeded).arg(failed));
        return code;
    }

    Parts chosen;
    bool repeat = false;
    // --repeat: the Ctrl+C presses counted when the last update ended.
    int handledPresses = 0;
    // The boards of the plan, and their versions before the update.
    Parts planned;
    Versions before;
    // Made once the options are read: the built-in images, and files in their place.
    std::optional<FirmwareImages> images;
    CliConsole::Consent consent = CliConsole::Consent::Proceed;
    std::optional<ProgressPrinter> printer;
    // The link stays open from the version request to the end of the run: the
    // run's messages go out on it, and it opens the main board again after its
    // restart. The run goes first.
    std::unique_ptr<zelInterface> link;
    std::unique_ptr<UpdateRun> run;
    // How the run ended: the last step's result, and the run's last text.
    bool success = false;
    zelUpdater::Err endError = zelUpdater::NoError;
    QString endText;
};

} // namespace

std::unique_ptr<CliCommand> newUpdateCommand()
{
    return std::make_unique<UpdateCommand>();
}

// update: the window's update run without the window.
#include "boardtable.h"
#include "cliapp.h"
#include "cliboards.h"
#include "cliconsole.h"
#include "clioutput.h"
#include "updateplan.h"
#include "updaterun.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>

namespace {

// A second Ctrl+C within this time of the first stops the update.
constexpr int SecondPressMs = 3000;

// Turns a run's per-board signals into the printer's per-step lines: the board
// that stands for a step (its stepBoard) speaks for it, and the step's share of
// the total, 0 to 1000, is its progress, counted exactly as the window's total bar
// counts it.
class RunView
{
public:
    RunView(UpdateRun *run, ProgressPrinter *printer) : run(run), printer(printer)
    {
        QObject::connect(run, &UpdateRun::boardState, run,
                         [this](zelInterface::PartType board, zelUpdater::State state,
                                zelUpdater::Err error) { stateOf(board, state, error); });
        QObject::connect(run, &UpdateRun::totalProgress, run,
                         [this](int value) { totalAt(value); });
    }

    // The step that was running last, or -1 before the first.
    int step() const { return current; }

private:
    void stateOf(zelInterface::PartType board, zelUpdater::State state, zelUpdater::Err error)
    {
        const QList<UpdateRun::Step> &plan = run->plan();
        int index = -1;
        for (int i = 0; i < plan.size(); ++i) {
            if (plan.at(i).stepBoard == board)
                index = i;
        }
        if (index < 0)
            return; // one of the group's other members: the same news again
        if (index != current) {
            current = index;
            permille = 0;
            ended = false;
        }
        const zelInterface::PartType address = plan.at(index).part;
        if (state == zelUpdater::Error || state == zelUpdater::Success) {
            ended = true;
            printer->finish(address, state == zelUpdater::Success,
                            state == zelUpdater::Error ? zelUpdater::errorText(error)
                                                       : zelUpdater::stateText(state));
            return;
        }
        text = zelUpdater::stateText(state);
        printer->update(address, permille, text);
    }

    void totalAt(int value)
    {
        // At a failure the total jumps to its end; the failed step's line is
        // finished by then and keeps what it had.
        if (current < 0 || ended)
            return;
        permille = qBound(0, value - current * 1000, 1000);
        printer->update(run->plan().at(current).part, permille, text);
    }

    UpdateRun *run;
    ProgressPrinter *printer;
    int current = -1;
    int permille = 0;
    QString text;
    bool ended = false;
};

// "A, B and C"
QString listed(const QStringList &names)
{
    if (names.size() < 2)
        return names.value(0);
    return QStringList(names.mid(0, names.size() - 1)).join(QStringLiteral(", ")) +
           QStringLiteral(" and ") + names.last();
}

} // namespace

int CliApp::update(const QStringList &commandArguments)
{
    QCommandLineParser parser;
    const QCommandLineOption json(QStringLiteral("json"), QString());
    const QCommandLineOption wait(QStringLiteral("wait"), QString(), QStringLiteral("SECONDS"),
                                  QStringLiteral("3"));
    const QCommandLineOption board(QStringLiteral("board"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption file(QStringLiteral("file"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption yes({QStringLiteral("y"), QStringLiteral("yes")}, QString());
    parser.addOptions({json, wait, board, file, yes});
    if (const std::optional<int> done = parse(parser, commandArguments))
        return *done;
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("update takes no file arguments; give firmware files with --file"));
    int waitMs = 0;
    if (!waitOption(parser, wait, &waitMs))
        return ExitUsage;
    QList<zelInterface::PartType> chosen;
    QString message;
    if (!parseBoardNames(parser.values(board), &chosen, &message))
        return usageError(message);
    FirmwareImages images;
    for (const QString &path : parser.values(file)) {
        if (!useFile(&images, path, &message)) {
            output->error(message);
            return ExitUsage;
        }
    }
    // Known before the instrument is looked for: a script that forgot --yes
    // learns it at once, not after the wait.
    const Consent asked = consent(parser.isSet(yes), CliConsole::stdinIsTerminal());
    if (asked == Consent::Refuse) {
        output->error(QStringLiteral("not updating without --yes: standard input is not a "
                                     "terminal to ask on"));
        return ExitUsage;
    }
    useOutput(parser.isSet(json));
    const bool jsonOutput = output->mode() == CliOutput::Mode::Json;

    // The link stays open from the version request to the end of the run: the
    // run's messages go out on it, and it opens the main board again after its
    // restart.
    std::unique_ptr<zelInterface> link(new zelInterface);
    QMap<zelInterface::PartType, QString> versions;
    const int found = findBoards(link.get(), parser.value(wait), waitMs, &versions);
    if (found != ExitSuccess)
        return found;
    QList<PlanRow> plan;
    if (!buildPlan(chosen, versions, images, &plan, &message)) {
        output->error(message);
        return ExitUpdateFailed;
    }
    QList<zelInterface::PartType> boards;
    for (const PlanRow &row : qAsConst(plan))
        boards.append(row.part);
    const QString unused = images.unusedFile(boards);
    if (!unused.isEmpty()) {
        output->error(
            QStringLiteral("%1 is firmware for none of the boards to update").arg(unused));
        return ExitUsage;
    }
    if (jsonOutput)
        output->json({{QStringLiteral("event"), QStringLiteral("plan")},
                      {QStringLiteral("boards"), planJson(plan)}},
                     true);
    else
        output->print(planTable(plan));

    std::unique_ptr<UpdateRun> run(new UpdateRun(link.get(), boards, images));
    // An image the run cannot write fails it before anything is sent; asking
    // first would only ask about an update that cannot happen.
    if (asked == Consent::Ask && run->unusableStep() < 0) {
        QFile in;
        in.open(stdin, QIODevice::ReadOnly);
        if (!askToProceed(output.get(), &in)) {
            output->note(QStringLiteral("Nothing was updated."));
            return ExitSuccess;
        }
    }

    ProgressPrinter printer(output.get());
    const RunView view(run.get(), &printer);
    QEventLoop loop;
    bool ended = false;
    bool success = false;
    zelInterface::PartType endStep = zelInterface::Sensors;
    zelUpdater::Err endError = zelUpdater::NoError;
    QString endText;
    QObject::connect(run.get(), &UpdateRun::totalText, &loop,
                     [&](const QString &text) { endText = text; });
    QObject::connect(run.get(), &UpdateRun::finished, &loop,
                     [&](bool ok, zelInterface::PartType step, zelUpdater::Err error) {
                         ended = true;
                         success = ok;
                         endStep = step;
                         endError = error;
                         loop.quit();
                     });

    // Stopping halfway leaves the boards of the step without working firmware,
    // so Ctrl+C must be pressed twice; the watcher is made first so that no
    // press goes uncounted.
    InterruptWatcher watcher;
    bool interrupted = false;
    QElapsedTimer firstPress;
    QObject::connect(&watcher, &InterruptWatcher::interrupted, &loop, [&] {
        if (firstPress.isValid() && firstPress.elapsed() < SecondPressMs) {
            interrupted = true;
            loop.quit();
            return;
        }
        firstPress.start();
        printer.breakLine();
        output->note(QStringLiteral("Stopping now may leave a board without firmware. Press "
                                    "Ctrl+C again within 3 s to stop anyway."));
    });
    CliConsole::setInterruptMode(CliConsole::InterruptMode::Deferred);
    run->start();
    if (!ended)
        loop.exec();
    CliConsole::setInterruptMode(CliConsole::InterruptMode::ExitAtOnce);

    const QList<UpdateRun::Step> &steps = run->plan();
    const int stepIndex = qMax(0, view.step());
    if (interrupted) {
        // Nothing more goes out: the run and its updater go first, then the link,
        // which closes the device. A message already written stays written.
        const zelInterface::PartType address = steps.at(stepIndex).part;
        run.reset();
        link.reset();
        printer.breakLine();
        if (jsonOutput)
            output->json({{QStringLiteral("event"), QStringLiteral("result")},
                          {QStringLiteral("ok"), false},
                          {QStringLiteral("interrupted"), true},
                          {QStringLiteral("step"), stepName(address)}},
                         true);
        output->error(QStringLiteral("interrupted during the update of the %1, which may be "
                                     "left without working firmware: run the update again")
                          .arg(BoardTable::boardName(address)));
        return ExitInterrupted;
    }

    if (jsonOutput) {
        QJsonObject result{{QStringLiteral("event"), QStringLiteral("result")},
                           {QStringLiteral("ok"), success},
                           {QStringLiteral("text"), endText}};
        if (!success) {
            result.insert(QStringLiteral("step"), stepName(endStep));
            result.insert(QStringLiteral("error"), zelUpdater::errorText(endError));
        }
        output->json(result, true);
    } else if (success) {
        output->line(endText);
    }
    if (success)
        return ExitSuccess;
    QStringList skipped;
    for (int i = stepIndex + 1; i < steps.size(); ++i)
        skipped << BoardTable::boardName(steps.at(i).part);
    message = QStringLiteral("the update failed: ") + endText;
    if (!skipped.isEmpty())
        message += QStringLiteral("; not updated: ") + listed(skipped);
    output->error(message);
    return ExitUpdateFailed;
}

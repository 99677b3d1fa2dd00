#include "updaterun.h"

#include "boardtable.h"

#include <QtGlobal>

namespace {

constexpr int StepUnits = 1000;

} // namespace

UpdateRun::UpdateRun(zelInterface *device, const QList<zelInterface::PartType> &boards,
                     const FirmwareImages &images, QObject *parent)
    : QObject(parent), device(device), images(images)
{
    // Table order puts the sensor boards first, then the control panel, then the
    // main board: the order the instrument wants them updated in.
    for (const BoardFacts &row : BoardTable::rows()) {
        if (!boards.contains(row.part))
            continue;
        if (steps.isEmpty() || steps.last().part != row.step)
            steps.append(Step{row.step, {}, row.part});
        Step &step = steps.last();
        step.boards.append(row.part);
        // The group's progress is shown by its highest-numbered member.
        step.stepBoard = qMax(step.stepBoard, row.part);
    }
}

UpdateRun::~UpdateRun() = default;

bool UpdateRun::start()
{
    if (phase != Ready || steps.isEmpty())
        return false;
    phase = Running;

    // Every image is checked before the first message leaves: a bad main-board
    // file must not turn up only after the other boards have been rewritten.
    const int unusable = unusableStep();
    if (unusable >= 0) {
        current = unusable;
        emit stepStarted(current);
        for (zelInterface::PartType b : qAsConst(steps.at(unusable).boards))
            emit boardState(b, zelUpdater::Error, zelUpdater::InvalidFile);
        fail(zelUpdater::InvalidFile);
        return true;
    }
    nextStep();
    return true;
}

QList<UpdateRun::Step> UpdateRun::stepsNotRun() const
{
    return phase == Ended && failed ? steps.mid(current + 1) : QList<Step>();
}

int UpdateRun::unusableStep() const
{
    for (int i = 0; i < steps.size(); ++i) {
        if (!imageUsable(steps.at(i)))
            return i;
    }
    return -1;
}

QString UpdateRun::boardText(zelUpdater::State state, zelUpdater::Err error)
{
    switch (look(state)) {
    case Failed:
        return zelUpdater::errorText(error) + QStringLiteral(" (%p%)");
    case Pending:
    case Done:
        return zelUpdater::stateText(state);
    case Working:
        break;
    }
    return zelUpdater::stateText(state) + QStringLiteral(" (%p%)");
}

UpdateRun::Look UpdateRun::look(zelUpdater::State state)
{
    switch (state) {
    case zelUpdater::Error:
        return Failed;
    case zelUpdater::VerifyVersion:
    case zelUpdater::WaitResponse:
    case zelUpdater::Restarting:
    case zelUpdater::WaitReconnect:
        return Pending;
    case zelUpdater::Success:
        return Done;
    default:
        return Working;
    }
}

void UpdateRun::nextStep()
{
    if (updater)
        emit stepEnded(current, true, zelUpdater::NoError);
    releaseUpdater();
    if (current + 1 >= steps.size()) {
        emit totalText(tr("Firmware update successfull"));
        end(true, zelUpdater::NoError);
        return;
    }
    ++current;

    const Step &step = steps.at(current);
    stepMaximum = 0;
    updater = new zelUpdater(device, &images.forBoard(step.stepBoard), step.part, this);
    // The group's start and end messages go to its members in PartType order.
    for (int p = zelInterface::Sensor1; p <= zelInterface::Sensor5; ++p) {
        if (step.boards.contains(zelInterface::PartType(p)))
            updater->addPart(zelInterface::PartType(p));
    }
    connect(updater, &zelUpdater::currentState, this, &UpdateRun::onState);
    connect(updater, &zelUpdater::range, this, [this](int, int max) { onRange(max); });
    connect(updater, &zelUpdater::process, this, &UpdateRun::onProgress);
    connect(updater, &zelUpdater::done, this, &UpdateRun::nextStep);
    connect(updater, &zelUpdater::canceled, this, &UpdateRun::fail);
    emit stepStarted(current);
    updater->start();
}

void UpdateRun::onState(zelUpdater::State state, zelUpdater::Err error)
{
    const Step &step = steps.at(current);
    for (zelInterface::PartType b : step.boards)
        emit boardState(b, state, error);
    if (state != zelUpdater::Error && state != zelUpdater::Success)
        emit stepState(current, state, error);
    // A failure has a text of its own on the total bar, set when the step ends.
    if (state != zelUpdater::Error)
        emit totalText(BoardTable::boardName(step.stepBoard) + QStringLiteral(": ") +
                       zelUpdater::stateText(state) + QStringLiteral(" (Total %p%)"));
}

void UpdateRun::onRange(int maximum)
{
    stepMaximum = maximum;
    for (zelInterface::PartType b : steps.at(current).boards)
        emit boardRange(b, maximum);
}

void UpdateRun::onProgress(int now)
{
    for (zelInterface::PartType b : steps.at(current).boards)
        emit boardProgress(b, now);
    // An empty image has nothing to send: its share counts as complete rather
    // than dividing by zero. 64 bits: a large image times 1000 overflows an int.
    const int share = int(stepMaximum > 0 ? qint64(now) * StepUnits / stepMaximum : StepUnits);
    emit stepProgress(current, share);
    emit totalProgress(share + current * StepUnits);
}

void UpdateRun::fail(zelUpdater::Err error)
{
    releaseUpdater();
    failed = true;
    emit stepEnded(current, false, error);
    emit totalText(BoardTable::boardName(steps.at(current).stepBoard) + QStringLiteral(": ") +
                   zelUpdater::errorText(error));
    emit totalProgress(totalMaximum());
    end(false, error);
}

void UpdateRun::end(bool success, zelUpdater::Err error)
{
    phase = Ended;
    emit finished(success, steps.at(current).part, error);
}

bool UpdateRun::imageUsable(const Step &step) const
{
    const FirmwareFile &file = images.forBoard(step.stepBoard);
    const BoardFacts *facts = BoardTable::find(step.stepBoard);
    return file.getStatus() == FirmwareFile::Ok && !file.getHexText().isEmpty() && facts &&
           file.getFamilyCode() == QLatin1String(facts->family) &&
           zelUpdater::linesFit(file.getHexText());
}

void UpdateRun::releaseUpdater()
{
    // The updater is still inside its own signal when its step ends, so it may
    // only go once control is back in the event loop.
    if (updater) {
        updater->disconnect(this);
        updater->deleteLater();
        updater = nullptr;
    }
}

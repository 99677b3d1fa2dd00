// The update sequence of the window: the chosen boards go through one updater
// per step (sensor group, control panel, main board), and every updater's
// progress is shown on the boards' bars and on the total bar.
#include "zelloader.h"

#include "ui_zelloader.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVariant>

void zelLoader::startUpdate()
{
    for (zelInterface::PartType b : qAsConst(boards)) {
        setBoardValue(b, 0);
        setBoardFormat(b, QString());
        if (isBoardSelected(b))
            updateQueue.append(b);
    }

    QProgressBar *total = ui->totalProgress;
    total->setProperty("done", false);
    total->setProperty("error", false);
    total->setProperty("working", true);
    repolish(total);
    total->setValue(0);

    updateSteps = 0;
    updateStepsDone = 0;
    stepMaximum = 0;
    bool anySensor = false;
    for (int p = zelInterface::Sensor1; p <= zelInterface::Sensor5; ++p)
        anySensor = anySensor || isBoardSelected(zelInterface::PartType(p));
    if (anySensor)
        ++updateSteps;
    if (isBoardSelected(zelInterface::Terminal))
        ++updateSteps;
    if (isBoardSelected(zelInterface::Mainboard))
        ++updateSteps;

    if (updateQueue.isEmpty()) {
        QMessageBox box(QMessageBox::Information, tr("No update selected"),
                        tr("No board has been selected for firmware update. Please select boards "
                           "you want to update."),
                        QMessageBox::Ok, this);
        box.exec();
        return;
    }

    total->setRange(0, updateSteps * 1000);
    nextUpdate();
}

void zelLoader::nextUpdate()
{
    // The finished updater is still inside its own signal emission here, so it
    // may only go once control is back in the event loop.
    if (updater) {
        updater->deleteLater();
        updater = nullptr;
    }

    if (updateQueue.isEmpty()) {
        ui->startUpdate->setEnabled(true);
        QProgressBar *total = ui->totalProgress;
        total->setProperty("done", true);
        total->setProperty("error", false);
        total->setProperty("working", false);
        total->setFormat(tr("Firmware update successfull"));
        repolish(total);
        return;
    }

    ui->startUpdate->setEnabled(false);

    zelUpdater *next = nullptr;
    const zelInterface::PartType first = updateQueue.first();
    if (first == zelInterface::Mainboard) {
        next = new zelUpdater(zelDevice, &firmwareMainboard, zelInterface::Mainboard, this);
        updateQueue.removeFirst();
        stepBoard = zelInterface::Mainboard;
    } else if (first == zelInterface::Terminal) {
        next = new zelUpdater(zelDevice, &firmwareTerminal, zelInterface::Terminal, this);
        updateQueue.removeFirst();
        stepBoard = zelInterface::Terminal;
    } else {
        // All chosen sensor boards take the same image, so they share one pass.
        next = new zelUpdater(zelDevice, &firmwareSensor, zelInterface::Sensors, this);
        for (int p = zelInterface::Sensor1; p <= zelInterface::Sensor5; ++p) {
            const auto part = zelInterface::PartType(p);
            if (updateQueue.removeOne(part)) {
                next->addPart(part);
                stepBoard = part;
            }
        }
    }

    updater = next;
    connect(next, &zelUpdater::done, this, &zelLoader::updateDone);
    connect(next, &zelUpdater::range, this, &zelLoader::updateRange);
    connect(next, &zelUpdater::process, this, &zelLoader::updatePosition);
    connect(next, &zelUpdater::canceled, this, &zelLoader::updateCanceled);
    connect(next, &zelUpdater::currentState, this, &zelLoader::updateState);
    next->start();
}

void zelLoader::updateRange(int min, int max)
{
    Q_UNUSED(min)
    if (!updater)
        return;
    for (zelInterface::PartType b : qAsConst(boards)) {
        if (!updater->contains(b))
            continue;
        setBoardRange(b, max);
        if (b == stepBoard)
            stepMaximum = max;
    }
}

void zelLoader::updatePosition(int now)
{
    if (!updater)
        return;
    for (zelInterface::PartType b : qAsConst(boards)) {
        if (!updater->contains(b))
            continue;
        setBoardValue(b, now);
        if (b == stepBoard) {
            // An empty image has nothing to transfer: its share counts as complete
            // rather than dividing by zero.
            const int share = stepMaximum > 0 ? int(qint64(now) * 1000 / stepMaximum) : 1000;
            ui->totalProgress->setValue(share + updateStepsDone * 1000);
        }
    }
}

void zelLoader::updateCanceled(zelUpdater::Err err)
{
    zelUpdater *failed = updater;
    if (failed) {
        for (zelInterface::PartType b : qAsConst(boards)) {
            if (failed->contains(b))
                setBoardFormat(b, zelUpdater::errorText(err));
        }
    }
    ++updateStepsDone;

    QProgressBar *total = ui->totalProgress;
    total->setFormat(boardName(stepBoard) + QStringLiteral(": ") + zelUpdater::errorText(err));
    total->setProperty("working", false);
    total->setProperty("error", true);
    total->setValue(total->maximum());
    repolish(total);

    updateQueue.clear();
    ui->startUpdate->setEnabled(true);

    if (failed) {
        failed->deleteLater();
        updater = nullptr;
    }
}

void zelLoader::updateState(zelUpdater::State state, zelUpdater::Err error)
{
    if (!updater)
        return;
    for (zelInterface::PartType b : qAsConst(boards)) {
        if (updater->contains(b))
            setBoardState(b, state, error);
    }
}

void zelLoader::updateDone()
{
    if (updater) {
        for (zelInterface::PartType b : qAsConst(boards)) {
            if (updater->contains(b))
                setBoardChecked(b, false);
        }
    }
    ++updateStepsDone;
    nextUpdate();
}

QProgressBar *zelLoader::boardProgressBar(zelInterface::PartType part) const
{
    switch (part) {
    case zelInterface::Sensor1:
        return ui->progressSensor1;
    case zelInterface::Sensor2:
        return ui->progressSensor2;
    case zelInterface::Sensor3:
        return ui->progressSensor3;
    case zelInterface::Sensor4:
        return ui->progressSensor4;
    case zelInterface::Sensor5:
        return ui->progressSensor5;
    case zelInterface::Terminal:
        return ui->progressTerminal;
    case zelInterface::Mainboard:
        return ui->progressMainboard;
    default:
        return nullptr;
    }
}

void zelLoader::setBoardValue(zelInterface::PartType part, int value)
{
    if (QProgressBar *bar = boardProgressBar(part))
        bar->setValue(value);
}

void zelLoader::setBoardRange(zelInterface::PartType part, int max)
{
    if (QProgressBar *bar = boardProgressBar(part))
        bar->setRange(0, max);
}

void zelLoader::setBoardFormat(zelInterface::PartType part, const QString &text)
{
    QProgressBar *bar = boardProgressBar(part);
    if (!bar)
        return;
    bar->setFormat(text.isEmpty() ? QString() : text + QStringLiteral(" (%p%)"));
}

bool zelLoader::isBoardSelected(zelInterface::PartType part) const
{
    const QCheckBox *box = boardCheckBox(part);
    if (!box || !box->isEnabled())
        return false;
    if (box->isChecked())
        return true;
    return !ui->advanced->isChecked();
}

void zelLoader::setBoardChecked(zelInterface::PartType part, bool checked)
{
    if (QCheckBox *box = boardCheckBox(part))
        box->setChecked(checked);
}

void zelLoader::setBoardState(zelInterface::PartType part, zelUpdater::State state,
                              zelUpdater::Err error)
{
    QProgressBar *bar = boardProgressBar(part);
    if (!bar)
        return;

    bar->setProperty("working", false);
    bar->setProperty("pending", false);
    bar->setProperty("done", false);
    bar->setProperty("error", false);

    switch (state) {
    case zelUpdater::Error:
        bar->setProperty("error", true);
        bar->setRange(0, 1);
        bar->setValue(1);
        bar->setFormat(zelUpdater::errorText(error));
        break;
    case zelUpdater::VerifyVersion:
    case zelUpdater::WaitResponse:
    case zelUpdater::Restarting:
    case zelUpdater::WaitReconnect:
        // The board is busy on its own now; a busy bar says so better than a
        // percentage that cannot move.
        bar->setProperty("pending", true);
        bar->setRange(0, 0);
        bar->setFormat(zelUpdater::stateText(state));
        bar->setTextVisible(true);
        break;
    case zelUpdater::Success:
        bar->setProperty("done", true);
        bar->setRange(0, 1);
        bar->setValue(1);
        bar->setFormat(zelUpdater::stateText(zelUpdater::Success));
        break;
    default:
        bar->setProperty("working", true);
        bar->setFormat(zelUpdater::stateText(state) + QStringLiteral(" (%p%)"));
        break;
    }
    repolish(bar);

    if (part == stepBoard) {
        const QString text = state == zelUpdater::Error ? zelUpdater::errorText(error)
                                                        : zelUpdater::stateText(state);
        ui->totalProgress->setFormat(boardName(part) + QStringLiteral(": ") + text +
                                     QStringLiteral(" (Total %p%)"));
    }
}

void zelLoader::repolish(QWidget *widget)
{
    QStyle *style = widget->style();
    style->unpolish(widget);
    style->polish(widget);
}

QString zelLoader::boardName(zelInterface::PartType part)
{
    const int value = int(part);
    if (value >= zelInterface::Sensors && value <= zelInterface::Sensor5)
        return QObject::tr("Sensor Boards");
    if (value == zelInterface::Terminal)
        return QObject::tr("Control Panel");
    if (value == zelInterface::Mainboard)
        return QObject::tr("Main Board");
    return QObject::tr("Unknown Board");
}

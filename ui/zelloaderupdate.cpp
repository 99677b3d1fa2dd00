// The update sequence of the window: the chosen boards go to an UpdateRun, and
// the run's progress is shown on the boards' bars and on the total bar.
#include "updaterun.h"
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
    // A fresh look, whatever the window knows: no run may start with another
    // instrument attached that it has not heard of yet.
    if (zelDevice->listAttached().size() > 1) {
        showSeveral();
        return;
    }
    QList<zelInterface::PartType> chosen;
    for (const BoardRow &row : qAsConst(boards)) {
        setBoardValue(row.part, 0);
        setBoardFormat(row.part, QString());
        if (isBoardSelected(row.part))
            chosen.append(row.part);
    }

    QProgressBar *total = ui->totalProgress;
    total->setProperty("done", false);
    total->setProperty("error", false);
    total->setProperty("working", true);
    repolish(total);
    total->setValue(0);

    if (chosen.isEmpty()) {
        QMessageBox box(QMessageBox::Information, tr("No update selected"),
                        tr("No board has been selected for firmware update. Please select boards "
                           "you want to update."),
                        QMessageBox::Ok, this);
        box.exec();
        return;
    }

    // The run takes a copy: what is loaded from now on is for the next run.
    run = new UpdateRun(zelDevice, chosen, images, this);
    connect(run, &UpdateRun::boardState, this, &zelLoader::updateState);
    connect(run, &UpdateRun::boardRange, this, &zelLoader::updateRange);
    connect(run, &UpdateRun::boardProgress, this, &zelLoader::updatePosition);
    connect(run, &UpdateRun::totalProgress, total, &QProgressBar::setValue);
    connect(run, &UpdateRun::totalText, total, &QProgressBar::setFormat);
    connect(run, &UpdateRun::finished, this, &zelLoader::updateFinished);

    total->setRange(0, run->totalMaximum());
    ui->startUpdate->setEnabled(false);
    run->start();
}

void zelLoader::updateRange(zelInterface::PartType board, int max)
{
    setBoardRange(board, max);
}

void zelLoader::updatePosition(zelInterface::PartType board, int now)
{
    setBoardValue(board, now);
}

void zelLoader::updateState(zelInterface::PartType board, zelUpdater::State state,
                            zelUpdater::Err error)
{
    setBoardState(board, state, error);
    // An updated board is unticked, so that a second run does not repeat it.
    if (state == zelUpdater::Success)
        setBoardChecked(board, false);
}

void zelLoader::updateFinished(bool success)
{
    QProgressBar *total = ui->totalProgress;
    total->setProperty("done", success);
    total->setProperty("error", !success);
    total->setProperty("working", false);
    repolish(total);
    ui->startUpdate->setEnabled(true);

    // The run is still inside its own signal here.
    run->deleteLater();
    run = nullptr;

    // With another instrument attached by now the window stays locked, but the
    // total bar keeps saying how this run went.
    if (several()) {
        showSeveral(true);
        return;
    }
    // The boards may report other versions now, and a board that no longer
    // answers must not stay selectable.
    requestVersions();
}

QProgressBar *zelLoader::boardProgressBar(zelInterface::PartType part) const
{
    const BoardRow *row = boardRow(part);
    return row ? row->progress : nullptr;
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
    const BoardRow *row = boardRow(part);
    if (!row || !row->check->isEnabled())
        return false;
    if (row->check->isChecked())
        return true;
    return !ui->advanced->isChecked();
}

void zelLoader::setBoardChecked(zelInterface::PartType part, bool checked)
{
    if (const BoardRow *row = boardRow(part))
        row->check->setChecked(checked);
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

    switch (UpdateRun::look(state)) {
    case UpdateRun::Failed:
        bar->setProperty("error", true);
        bar->setRange(0, 1);
        bar->setValue(1);
        break;
    case UpdateRun::Pending:
        // The board is busy on its own now; a busy bar says so better than a
        // percentage that cannot move.
        bar->setProperty("pending", true);
        bar->setRange(0, 0);
        bar->setTextVisible(true);
        break;
    case UpdateRun::Done:
        bar->setProperty("done", true);
        bar->setRange(0, 1);
        bar->setValue(1);
        break;
    case UpdateRun::Working:
        bar->setProperty("working", true);
        break;
    }
    bar->setFormat(UpdateRun::boardText(state, error));
    repolish(bar);
}

void zelLoader::repolish(QWidget *widget)
{
    QStyle *style = widget->style();
    style->unpolish(widget);
    style->polish(widget);
}

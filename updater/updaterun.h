#pragma once

#include "firmwareimages.h"
#include "zelinterface.h"
#include "zelupdater.h"

#include <QList>
#include <QObject>
#include <QString>

// One whole update run over the chosen boards, for any front end (the window,
// a command line): the steps in their fixed order (all chosen sensor boards
// together, then the control panel, then the main board), one zelUpdater per
// step, the progress of each board, of each step and of the whole run, the
// texts to show, and the end at the first failure. Knows nothing of widgets: a
// front end only shows what the run tells it.
//
// Use: construct it with the device, the chosen boards and the images, connect
// to its signals, call start() once, wait for finished(). A run is used once;
// make a new one for the next run. Everything happens on the thread of the
// device, inside its signals and the updaters' time-outs; finished() too, so a
// receiver releases the run with deleteLater(), never with delete.
//
// The images are copied when the run is made, and every one the run needs is checked
// before the first message leaves: a file loaded or rewritten while the run
// goes on changes the next run, never this one.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    struct Step
    {
        zelInterface::PartType part;          // whom the updater addresses: Sensors for the group
        QList<zelInterface::PartType> boards; // the boards it updates, in board-table order
        zelInterface::PartType stepBoard;     // the board whose progress stands for the step
    };

    // How a board in a given state is shown: busy with a percentage, busy
    // without one (the board works on its own), finished, failed.
    enum Look : int
    {
        Working,
        Pending,
        Done,
        Failed,
    };

    // `boards` in any order; duplicates and PartTypes without a board-table row
    // are left out. The device is not owned and must outlive the run.
    UpdateRun(zelInterface *device, const QList<zelInterface::PartType> &boards,
              const FirmwareImages &images, QObject *parent = nullptr);
    ~UpdateRun() override;

    // The steps the run will take, in order; empty when no board was chosen.
    const QList<Step> &plan() const { return steps; }
    // Each step owns 1000 units of the total progress.
    int totalMaximum() const { return int(steps.size()) * 1000; }
    bool isRunning() const { return phase == Running; }
    // The index in plan() of the step running, or of the last one that ran once
    // the run has ended; -1 before the start.
    int currentStep() const { return current; }
    // After a failure, the steps that were not run; empty otherwise.
    QList<Step> stepsNotRun() const;
    // The index in plan() of the first step whose image cannot be written (not
    // loaded as Ok, empty, of another family, or with a line too long for one
    // message), or -1. start() ends the run with that step's failure before
    // anything is sent.
    int unusableStep() const;

    // Starts the run. Returns false, and emits nothing, when the plan is empty
    // or the run was started before. Otherwise finished() follows, possibly
    // before start() returns (an unusable image ends the run at once).
    bool start();

    // The text a board's row shows in `state`; "%p%" stands for the board's
    // percentage where one belongs.
    static QString boardText(zelUpdater::State state, zelUpdater::Err error);
    static Look look(zelUpdater::State state);

signals:
    // Per step, by its index in plan(): it starts; its state changes while it
    // works (the end comes as stepEnded); its share done goes from 0 to 1000,
    // as the bytes of its image are sent; it ends. A step whose image cannot be
    // written starts and fails at once.
    void stepStarted(int step);
    void stepState(int step, zelUpdater::State state, zelUpdater::Err error);
    void stepProgress(int step, int permille);
    void stepEnded(int step, bool success, zelUpdater::Err error);
    // Per board, for every board of the running step.
    void boardState(zelInterface::PartType board, zelUpdater::State state, zelUpdater::Err error);
    void boardRange(zelInterface::PartType board, int maximum); // the minimum is 0
    void boardProgress(zelInterface::PartType board, int value);
    // The whole run: 0 to totalMaximum(). At a failure the value jumps to the
    // maximum, and the text says which step failed and why.
    void totalProgress(int value);
    void totalText(QString text); // "%p%" stands for the total percentage
    // The end, exactly once per started run. On failure `step` is the failed
    // step's address (Sensors, Terminal or Mainboard) and `error` why it failed;
    // on success they are the last step's address and NoError.
    void finished(bool success, zelInterface::PartType step, zelUpdater::Err error);

private:
    void nextStep();
    void onState(zelUpdater::State state, zelUpdater::Err error);
    void onRange(int maximum);
    void onProgress(int now);
    void fail(zelUpdater::Err error);
    void end(bool success, zelUpdater::Err error);
    bool imageUsable(const Step &step) const;
    void releaseUpdater();

    enum Phase
    {
        Ready,
        Running,
        Ended,
    };

    zelInterface *device;
    QList<Step> steps;
    FirmwareImages images;
    Phase phase = Ready;
    int current = -1; // index in steps of the running step
    bool failed = false;
    int stepMaximum = 0;
    zelUpdater *updater = nullptr;
};

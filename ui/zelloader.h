#pragma once

#include "firmwarefile.h"
#include "zelinterface.h"
#include "zelupdater.h"

#include <QDialog>
#include <QList>
#include <QString>

class QCheckBox;
class QLabel;
class QProgressBar;
class QShortcut;

namespace Ui {
class zelLoader;
}

// The tool's only window: waits for the instrument, shows each board's firmware
// version and the firmware that will be written, and updates the chosen boards
// one step after another.
class zelLoader : public QDialog
{
    Q_OBJECT

public:
    explicit zelLoader(QWidget *parent = nullptr);
    ~zelLoader() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

protected slots:
    void showLicense();
    void zelConnected();
    void zelDisconnected();
    void zelFirmwareVersion(zelInterface::PartType part, QString version);
    void openFirmware();
    void loadFirmware(QString path);
    void loadFirmwareFiles();
    void updateFileState();
    void calcChecksum();
    void startUpdate();
    void nextUpdate();
    void updateRange(int min, int max);
    void updatePosition(int now);
    void updateCanceled(zelUpdater::Err err);
    void updateState(zelUpdater::State state, zelUpdater::Err error);
    void updateDone();
    void advancedClicked();

private:
    // The widgets of one row of the board table; all null for a PartType without a row.
    struct BoardRow
    {
        QCheckBox *check = nullptr;
        QLabel *version = nullptr;
        QProgressBar *progress = nullptr;
    };
    BoardRow boardRow(zelInterface::PartType part) const;

    // Board table lookups; a PartType without a row (0, or above 7) has no widgets.
    QCheckBox *boardCheckBox(zelInterface::PartType part) const;
    QLabel *boardVersionLabel(zelInterface::PartType part) const;
    QString *boardDeviceVersion(zelInterface::PartType part);
    FirmwareFile *boardFirmware(zelInterface::PartType part);

    // Per-board operations of the update sequence.
    QProgressBar *boardProgressBar(zelInterface::PartType part) const;
    void setBoardValue(zelInterface::PartType part, int value);
    void setBoardRange(zelInterface::PartType part, int max);
    void setBoardFormat(zelInterface::PartType part, const QString &text);
    bool isBoardSelected(zelInterface::PartType part) const;
    void setBoardChecked(zelInterface::PartType part, bool checked);
    void setBoardState(zelInterface::PartType part, zelUpdater::State state, zelUpdater::Err error);
    static void repolish(QWidget *widget);
    static QString boardName(zelInterface::PartType part);

    zelInterface *zelDevice;
    FirmwareFile firmwareMainboard;
    FirmwareFile firmwareSensor;
    FirmwareFile firmwareTerminal;
    zelUpdater *updater;
    QString deviceVersionMainboard;
    QString deviceVersionTerminal;
    QString deviceVersionSensor1;
    QString deviceVersionSensor2;
    QString deviceVersionSensor3;
    QString deviceVersionSensor4;
    QString deviceVersionSensor5;
    QShortcut *checksumShortcut;
    QList<zelInterface::PartType> updateQueue;
    QList<zelInterface::PartType> boards;
    int updateSteps;
    int updateStepsDone;
    int stepMaximum;
    zelInterface::PartType stepBoard;
    Ui::zelLoader *ui;
};

#pragma once

#include "firmwareimages.h"
#include "zelinterface.h"
#include "zelupdater.h"

#include <QDialog>
#include <QList>
#include <QString>

class QCheckBox;
class QLabel;
class QProgressBar;
class QShortcut;
class UpdateRun;

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
    // Instruments came or went.
    void instrumentsChanged();
    void zelFirmwareVersion(zelInterface::PartType part, QString version);
    void openFirmware();
    void loadFirmware(QString path);
    void loadFirmwareFiles();
    void updateFileState();
    void calcChecksum();
    void startUpdate();
    // The view of the running UpdateRun.
    void updateRange(zelInterface::PartType board, int max);
    void updatePosition(zelInterface::PartType board, int now);
    void updateState(zelInterface::PartType board, zelUpdater::State state, zelUpdater::Err error);
    void updateFinished(bool success);
    void advancedClicked();

private:
    // One row of the board table: the window's columns for one board, whose
    // other facts are in BoardTable.
    struct BoardRow
    {
        zelInterface::PartType part;
        QCheckBox *check;
        QLabel *version;
        QProgressBar *progress;
        QLabel *fileState; // shared by the boards of one family
        QString zelLoader::*deviceVersion;
    };
    // The row of `part`, or null for a PartType without one (0, or above 7).
    const BoardRow *boardRow(zelInterface::PartType part) const;

    // Forgets the versions the boards reported, makes every board unselectable
    // and asks all of them again; each answer makes its board selectable.
    void requestVersions();

    // More than one instrument is attached (and no run is going on): nothing
    // may be started, and nothing shown that belongs to one of them.
    bool several() const;
    // Locks the window and forgets the versions; the total bar says why, unless
    // it shows how the run that just ended went.
    void showSeveral(bool keepTotalText = false);

    // Per-board operations of the update sequence.
    QProgressBar *boardProgressBar(zelInterface::PartType part) const;
    void setBoardValue(zelInterface::PartType part, int value);
    void setBoardRange(zelInterface::PartType part, int max);
    void setBoardFormat(zelInterface::PartType part, const QString &text);
    bool isBoardSelected(zelInterface::PartType part) const;
    void setBoardChecked(zelInterface::PartType part, bool checked);
    void setBoardState(zelInterface::PartType part, zelUpdater::State state, zelUpdater::Err error);
    static void repolish(QWidget *widget);

    zelInterface *zelDevice;
    // The firmware the next run writes, shown in the file-state labels.
    FirmwareImages images;
    // The run going on, null while idle: closing asks first, and reported
    // versions do not make boards selectable, while it is set.
    UpdateRun *run;
    QString deviceVersionMainboard;
    QString deviceVersionTerminal;
    QString deviceVersionSensor1;
    QString deviceVersionSensor2;
    QString deviceVersionSensor3;
    QString deviceVersionSensor4;
    QString deviceVersionSensor5;
    QShortcut *checksumShortcut;
    // The window says several instruments are attached.
    bool severalShown = false;
    // All seven boards in display order: 5, 1, 2, 3, 4, 6, 7.
    QList<BoardRow> boards;
    Ui::zelLoader *ui;
};

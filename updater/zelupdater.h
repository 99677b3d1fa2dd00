#pragma once

#include "zelinterface.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>

class FirmwareFile;
class QTimer;

// Writes one firmware image into one board, or into the group of sensor boards
// at once, driving the protocol's request/acknowledge messages from a small
// state machine with time-outs. Knows nothing of widgets.
class zelUpdater : public QObject
{
    Q_OBJECT

public:
    // Fixed underlying types: a value from outside the enumerators (a cast from
    // an int, a queued signal) must stay a defined value for stateText/errorText.
    enum State : int
    {
        Error = 0,
        Connecting,
        CheckCompatibility,
        StartMode,
        Transferring,
        Finishing,
        VerifyVersion,
        WaitResponse,
        Restarting,
        WaitReconnect,
        Success,
    };
    Q_ENUM(State)

    enum Err : int
    {
        NoError = 0,
        InternalError,
        NoResponse,
        StartFailed,
        TransferFailed,
        InvalidFile,
        NotFinished,
        // The main board came back among other instruments, and the link could
        // not tell which one it is: its version was not checked.
        NotChecked,
    };
    Q_ENUM(Err)

    zelUpdater(zelInterface *zelDevice, const FirmwareFile *firmware, zelInterface::PartType part,
               QObject *parent = nullptr);
    ~zelUpdater() override;

    void start();
    void addPart(zelInterface::PartType p);
    bool contains(zelInterface::PartType p) const;

    static QString stateText(zelUpdater::State state);
    static QString errorText(zelUpdater::Err error);
    // True when every line of `hexText` fits one data message.
    static bool linesFit(const QByteArray &hexText);

signals:
    void done();
    void canceled(zelUpdater::Err error);
    void currentState(zelUpdater::State state, zelUpdater::Err error);
    void range(int min, int max);
    void process(int now);

protected slots:
    void timeout();
    void version(zelInterface::PartType part, QString version);
    void connected();
    void startAck(zelInterface::PartType part, bool ready);
    void dataAck(zelInterface::PartType part, int ok);
    void endAck(zelInterface::PartType part, bool ok);
    void disconnected();
    void ambiguous(bool on);
    void attachedChanged();

private:
    void setState(State s, Err e);
    void armTimer(int ms);
    void resetPending();
    bool takeAck(zelInterface::PartType p);
    void sendNextLine();
    void verifyVersion();

    zelInterface *zelDevice;
    const FirmwareFile *firmware;
    zelInterface::PartType part;
    QTimer *timer;
    State state;
    QByteArray hexText;
    int position;
    int retries;
    QList<zelInterface::PartType> pending;
    QList<zelInterface::PartType> parts;
    // Taken from the image together with hexText: the window can load another file
    // into the same image while the update runs, and the end message and the version
    // check must still belong to the text that was sent.
    QString imageVersion;
    quint8 imageChecksum;
    // The main board can be back on USB before the wait after its restart is
    // over; that return must not be missed.
    bool reconnected;
    // Waiting for the main board, the link could not tell it from another
    // instrument.
    bool unclear = false;
    // The link that keeps the instrument for this update, from start() to the
    // end: it opens no other one in between. Null once released, or if the link
    // was destroyed first (its owner going away in the middle of an update).
    QPointer<UsbHid> keptBy;
    void releaseDevice();
};

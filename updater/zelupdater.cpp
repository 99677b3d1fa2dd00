#include "zelupdater.h"

#include "firmwarefile.h"

#include <QCoreApplication>
#include <QMetaType>
#include <QTimer>

namespace {

// The longest line a data message can carry: 64 report bytes less the command,
// part and length bytes.
constexpr int MaxLineBytes = 61;

constexpr int AnswerTimeoutMs = 1000;
constexpr int ReconnectTimeoutMs = 10000;
constexpr int MainboardVersionTimeoutMs = 500;
constexpr int VersionRetries = 10;

} // namespace

zelUpdater::zelUpdater(zelInterface *zelDevice, const FirmwareFile *firmware,
                       zelInterface::PartType part, QObject *parent)
    : QObject(parent), zelDevice(zelDevice), firmware(firmware), part(part), timer(nullptr),
      state(Connecting), position(0), retries(0), imageChecksum(0), reconnected(false)
{
    // Listeners may queue these (or spy on them), which needs them by name.
    qRegisterMetaType<zelUpdater::State>("zelUpdater::State");
    qRegisterMetaType<zelUpdater::Err>("zelUpdater::Err");

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &zelUpdater::timeout);
    if (zelDevice) {
        connect(zelDevice, &UsbHid::connected, this, &zelUpdater::connected);
        connect(zelDevice, &UsbHid::disconnected, this, &zelUpdater::disconnected);
        connect(zelDevice, &zelInterface::firmwareVersion, this, &zelUpdater::version);
        connect(zelDevice, &zelInterface::firmwareUpdateStartAck, this, &zelUpdater::startAck);
        connect(zelDevice, &zelInterface::firmwareUpdateDataAck, this, &zelUpdater::dataAck);
        connect(zelDevice, &zelInterface::firmwareUpdateEndAck, this, &zelUpdater::endAck);
        connect(zelDevice, &UsbHid::ambiguousChanged, this, &zelUpdater::ambiguous);
        connect(zelDevice, &UsbHid::attachedChanged, this, &zelUpdater::attachedChanged);
    }
}

zelUpdater::~zelUpdater()
{
    releaseDevice();
}

void zelUpdater::releaseDevice()
{
    if (keptBy)
        keptBy->keepDevice(false);
    keptBy.clear();
}

QString zelUpdater::stateText(zelUpdater::State state)
{
    switch (static_cast<unsigned>(state)) {
    case Error:
        return QCoreApplication::translate("QObject", "An error occured");
    case Connecting:
        return QCoreApplication::translate("QObject", "Establishing connection");
    case CheckCompatibility:
        return QCoreApplication::translate("QObject", "Validate compability");
    case StartMode:
        return QCoreApplication::translate("QObject", "Start firmware update mode");
    case Transferring:
        return QCoreApplication::translate("QObject", "Transferring firmware file");
    case Finishing:
        return QCoreApplication::translate("QObject", "Validate firmware file and process data");
    case VerifyVersion:
        return QCoreApplication::translate("QObject", "Validate new firmware version");
    case WaitResponse:
        return QCoreApplication::translate("zelUpdater", "Waiting for device response");
    case Restarting:
    case WaitReconnect:
        return QCoreApplication::translate("QObject", "Process firmware data");
    case Success:
        return QCoreApplication::translate("QObject", "Firmware update successfull");
    default:
        return QCoreApplication::translate("QObject", "Unknown state");
    }
}

QString zelUpdater::errorText(zelUpdater::Err error)
{
    switch (static_cast<unsigned>(error)) {
    case NoError:
        return QCoreApplication::translate("QObject", "No error occured");
    case InternalError:
        return QCoreApplication::translate("QObject", "Internal program error");
    case NoResponse:
        return QCoreApplication::translate("QObject", "No response from device");
    case StartFailed:
        return QCoreApplication::translate("QObject", "Firmware update mode could not be startet");
    case TransferFailed:
        return QCoreApplication::translate("QObject", "Errors while transfering data");
    case InvalidFile:
        return QCoreApplication::translate("QObject", "Invalid firmware file");
    case NotFinished:
        return QCoreApplication::translate("QObject", "Update could not be finished");
    case NotChecked:
        return QCoreApplication::translate(
            "zelUpdater", "New firmware not checked: another instrument is attached");
    default:
        return QCoreApplication::translate("QObject", "Unknown error");
    }
}

bool zelUpdater::linesFit(const QByteArray &hexText)
{
    // A board must never be left with half an image because a long line turned
    // up mid-transfer.
    for (int start = 0; start < hexText.size();) {
        const int end = FirmwareFile::lineEnd(hexText, start);
        if (end - start > MaxLineBytes)
            return false;
        start = end;
    }
    return true;
}

void zelUpdater::start()
{
    if (state != Connecting)
        return;
    if (!zelDevice || !firmware) {
        setState(Error, InternalError);
        return;
    }
    // Refuse an unusable image before the board is put into update mode: a
    // board left in update mode with part of an image is worse than one never
    // touched.
    if (firmware->getStatus() != FirmwareFile::Ok || !linesFit(firmware->getHexText())) {
        setState(Error, InvalidFile);
        return;
    }
    hexText = firmware->getHexText();
    imageVersion = firmware->getVersion();
    imageChecksum = firmware->getChecksum();
    position = 0;
    // From here on no other instrument may stand in for this one: not when the
    // link comes back after a loss, and above all not when the main board
    // returns from its restart to have its new version checked.
    zelDevice->keepDevice(true);
    keptBy = zelDevice;
    setState(CheckCompatibility, NoError);
    resetPending();
    zelDevice->requestFirmwareVersion(part);
    armTimer(AnswerTimeoutMs);
}

void zelUpdater::addPart(zelInterface::PartType p)
{
    if (part != zelInterface::Sensors)
        return;
    if (p < zelInterface::Sensor1 || p > zelInterface::Sensor5)
        return;
    if (!parts.contains(p))
        parts.append(p);
}

bool zelUpdater::contains(zelInterface::PartType p) const
{
    if (part == zelInterface::Sensors)
        return parts.contains(p);
    return p == part;
}

void zelUpdater::timeout()
{
    switch (state) {
    case CheckCompatibility:
    case StartMode:
    case Transferring:
    case Finishing:
    case VerifyVersion:
        setState(Error, NoResponse);
        break;
    case WaitReconnect:
        setState(Error, unclear ? NotChecked : NoResponse);
        break;
    case Restarting:
        // The main board drops off the bus while it restarts; it gets this
        // second to settle before it is asked for its version, even when it
        // was back sooner.
        setState(WaitReconnect, NoError);
        if (reconnected)
            verifyVersion();
        else
            armTimer(ReconnectTimeoutMs);
        break;
    case WaitResponse:
        if (retries > 0) {
            // A board busy installing its image may not answer at once.
            --retries;
            resetPending();
            zelDevice->requestFirmwareVersion(part);
            armTimer(AnswerTimeoutMs);
        } else {
            setState(Error, NoResponse);
        }
        break;
    default:
        break;
    }
}

void zelUpdater::version(zelInterface::PartType part, QString version)
{
    switch (state) {
    case CheckCompatibility:
        // Before the update only the answer counts, not what it says.
        if (!takeAck(part) || !pending.isEmpty())
            return;
        setState(StartMode, NoError);
        resetPending();
        if (this->part == zelInterface::Sensors) {
            for (zelInterface::PartType q : qAsConst(parts))
                zelDevice->firmwareUpdateStart(q);
        } else {
            zelDevice->firmwareUpdateStart(this->part);
        }
        armTimer(AnswerTimeoutMs);
        break;
    case VerifyVersion:
    case WaitResponse:
        if (!takeAck(part))
            return;
        if (version != imageVersion) {
            setState(Error, NotFinished);
            return;
        }
        if (pending.isEmpty())
            setState(Success, NoError);
        break;
    default:
        break;
    }
}

void zelUpdater::connected()
{
    if (part != zelInterface::Mainboard)
        return;
    if (state == Restarting)
        reconnected = true;
    else if (state == WaitReconnect)
        verifyVersion();
}

void zelUpdater::ambiguous(bool on)
{
    // Waiting for the main board to come back, the link cannot tell it from
    // another instrument: whatever answered next might not be this board, so
    // none is asked. The step fails once the board is most likely back (one
    // instrument more is attached), so that the end finds both attached, or at
    // the end of the wait.
    if (on && (state == Restarting || state == WaitReconnect)) {
        unclear = true;
        attachedChanged();
    }
}

void zelUpdater::attachedChanged()
{
    if (unclear && (state == Restarting || state == WaitReconnect) &&
        zelDevice->attached().size() > 1)
        setState(Error, NotChecked);
}

void zelUpdater::disconnected()
{
    // Gone again before the wait was over: only a later return counts.
    if (state == Restarting)
        reconnected = false;
}

void zelUpdater::startAck(zelInterface::PartType part, bool ready)
{
    if (state != StartMode || !takeAck(part))
        return;
    if (!ready) {
        setState(Error, StartFailed);
        return;
    }
    if (!pending.isEmpty())
        return;
    setState(Transferring, NoError);
    emit range(0, hexText.size());
    sendNextLine();
}

void zelUpdater::dataAck(zelInterface::PartType part, int ok)
{
    if (state != Transferring || !takeAck(part))
        return;
    if (ok == 0) {
        setState(Error, TransferFailed);
        return;
    }
    if (pending.isEmpty())
        sendNextLine();
}

void zelUpdater::endAck(zelInterface::PartType part, bool ok)
{
    if (state != Finishing || !takeAck(part))
        return;
    if (!ok) {
        setState(Error, InvalidFile);
        return;
    }
    if (!pending.isEmpty())
        return;
    if (this->part == zelInterface::Mainboard) {
        setState(Restarting, NoError);
        resetPending();
        zelDevice->firmwareUpdateRestart(this->part);
        armTimer(AnswerTimeoutMs);
    } else {
        retries = VersionRetries;
        setState(WaitResponse, NoError);
        resetPending();
        zelDevice->requestFirmwareVersion(this->part);
        armTimer(AnswerTimeoutMs);
    }
}

void zelUpdater::verifyVersion()
{
    setState(VerifyVersion, NoError);
    resetPending();
    zelDevice->requestFirmwareVersion(part);
    armTimer(MainboardVersionTimeoutMs);
}

void zelUpdater::setState(State s, Err e)
{
    timer->stop();
    const bool changed = s != state;
    state = s;
    if (s == Success || s == Error)
        releaseDevice();
    if (changed)
        emit currentState(s, e);
    if (s == Success)
        emit done();
    else if (s == Error)
        emit canceled(e);
}

void zelUpdater::armTimer(int ms)
{
    timer->setSingleShot(true);
    timer->start(ms);
}

void zelUpdater::resetPending()
{
    pending.clear();
    if (part == zelInterface::Sensors)
        pending = parts;
    else
        pending.append(part);
}

bool zelUpdater::takeAck(zelInterface::PartType p)
{
    if (!pending.contains(p) && p != part)
        return false;
    pending.removeOne(p);
    return true;
}

void zelUpdater::sendNextLine()
{
    if (state == Error)
        return;
    const int end = FirmwareFile::lineEnd(hexText, position);
    const QByteArray line = hexText.mid(position, end - position);
    position = end;
    emit process(position);
    if (!line.isEmpty()) {
        resetPending();
        zelDevice->firmwareUpdateData(part, line);
        armTimer(AnswerTimeoutMs);
        return;
    }
    setState(Finishing, NoError);
    resetPending();
    if (part == zelInterface::Sensors) {
        for (zelInterface::PartType q : qAsConst(parts))
            zelDevice->firmwareUpdateEnd(q, imageChecksum);
    } else {
        zelDevice->firmwareUpdateEnd(part, imageChecksum);
    }
    armTimer(AnswerTimeoutMs);
}

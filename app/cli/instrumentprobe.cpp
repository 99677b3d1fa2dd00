#include "instrumentprobe.h"
#include "boardtable.h"

#include <QEventLoop>
#include <QTimer>

InstrumentProbe::InstrumentProbe(zelInterface *link, QObject *parent) : QObject(parent), link(link)
{}

InstrumentProbe::Outcome InstrumentProbe::waitForInstrument(int waitMs,
                                                            const std::function<void()> &waiting,
                                                            const std::function<void()> &denied)
{
    bool connected = false;
    QEventLoop loop;
    const QMetaObject::Connection found = connect(link, &UsbHid::connected, &loop, [&] {
        connected = true;
        loop.quit();
    });
    const QMetaObject::Connection refused =
        connect(link, &UsbHid::accessDeniedChanged, &loop, [&](bool on) {
            if (on && denied)
                denied();
        });
    // An attached instrument is opened within this call.
    link->setAutoOpen(true);
    if (!connected && waitMs > 0) {
        if (waiting)
            waiting();
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(waitMs);
        loop.exec();
    }
    disconnect(found);
    disconnect(refused);
    if (connected)
        return Outcome::Ready;
    return link->accessDenied() ? Outcome::AccessDenied : Outcome::NotFound;
}

InstrumentProbe::Outcome
InstrumentProbe::askVersions(QMap<zelInterface::PartType, QString> *versions)
{
    versions->clear();
    Outcome outcome = Outcome::Ready;
    QEventLoop loop;
    const QMetaObject::Connection answer =
        connect(link, &zelInterface::firmwareVersion, &loop,
                [&](zelInterface::PartType part, const QString &version) {
                    if (!BoardTable::find(part))
                        return;
                    versions->insert(part, version);
                    if (versions->size() == BoardTable::rows().size())
                        loop.quit();
                });
    const QMetaObject::Connection lost = connect(link, &UsbHid::disconnected, &loop, [&] {
        outcome = Outcome::WentAway;
        loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(AnswerMs);
    link->requestFirmwareVersion();
    loop.exec();
    disconnect(answer);
    disconnect(lost);
    return outcome;
}

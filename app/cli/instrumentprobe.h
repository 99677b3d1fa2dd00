#pragma once

#include "zelinterface.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <functional>

// Finds the instrument and asks its boards for their versions, for the command
// line's list and update. Works on a link it does not own, so that an update can
// go on with the same link.
class InstrumentProbe : public QObject
{
    Q_OBJECT

public:
    enum class Outcome
    {
        Ready,    // connected (and, for askVersions, every board answered or the time is up)
        NotFound, // no instrument within the wait
        WentAway, // the link closed before the boards had answered
        // The instrument is there, but it would not open to the end of the wait:
        // nearly always the user's missing permission on its device node.
        AccessDenied,
    };

    // How long the boards get to answer the version request; a board that has not
    // answered by then counts as not answering.
    static constexpr int AnswerMs = 1000;

    explicit InstrumentProbe(zelInterface *link, QObject *parent = nullptr);

    // Switches the link to opening automatically and returns once it is connected,
    // or after `waitMs`; 0 makes one attempt. `waiting` runs once if the first
    // attempt finds nothing and there is time left to wait; `denied` each time the
    // link finds access denied while it waits. Access may still be granted
    // before the wait is over (udev applying a rule just installed), so a denial
    // does not end the wait.
    Outcome waitForInstrument(int waitMs, const std::function<void()> &waiting = {},
                              const std::function<void()> &denied = {});
    // Asks every board for its version and collects the answers by part, until all
    // seven have answered or AnswerMs have passed.
    Outcome askVersions(QMap<zelInterface::PartType, QString> *versions);

private:
    zelInterface *link;
};

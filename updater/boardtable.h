#pragma once

#include "zelinterface.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the tool knows about one of the instrument's seven boards. Front ends
// keep their own columns (the window its widgets) keyed by `part`.
struct BoardFacts
{
    zelInterface::PartType part;
    const char *caption; // the window's row caption: the keys a sensor board reads
    const char *name;    // short, for the command line: keys1 to keys5, panel, main
    // What the board is, in the command line's list: the keys a sensor board
    // reads, or the board's role.
    const char *description;
    // The address of the update step that carries the board: Sensors for every
    // sensor board (they take one image in one pass), else the board itself.
    zelInterface::PartType step;
    const char *family;    // family code of the firmware the board takes
    const char *groupName; // untranslated; boardName() translates it
    // The command line's name of the step: sensors, panel, main. As a board name
    // it chooses every board of the step.
    const char *stepName;
};

namespace BoardTable {

// The seven boards in the order the window lists them and a run walks them:
// sensor boards 5, 1, 2, 3, 4, the control panel, the main board.
const QList<BoardFacts> &rows();

// The row of `part`, or null for a PartType without one (0, or above 7).
const BoardFacts *find(zelInterface::PartType part);
// The row of `part`, or for a step's own address (the sensor group's) the first
// row of that step; null for neither. For the facts a step's boards share:
// group name, step name, family.
const BoardFacts *findBoardOrStep(zelInterface::PartType part);

// "Sensor Boards" for the sensor group and each sensor board, "Control Panel",
// "Main Board", and "Unknown Board" for anything else.
QString boardName(zelInterface::PartType part);
// The command line's name of the step that carries `part` (or of the step whose
// address it is): sensors, panel or main; empty for neither.
QString stepName(zelInterface::PartType part);

// The boards that the command line's `names` choose, in table order, each once: a
// board's name, a step's name (every board of the step) or "all". False, with the
// first name that is none of them in `unknown`.
bool choose(const QStringList &names, QList<zelInterface::PartType> *parts, QString *unknown);

} // namespace BoardTable

#pragma once

#include "zelinterface.h"

#include <QList>
#include <QString>
#include <QStringList>

// The boards as the command line names them, in the window's order: the sensor
// boards from the lowest keys up, then the control panel, then the main board.
struct CliBoard
{
    zelInterface::PartType part;
    const char *name;        // on the command line: keys1..keys5, panel, main
    const char *description; // what the board is: its keys or its role
    const char *family;      // the family code of the firmware it takes
};

const QList<CliBoard> &cliBoards();
// The entry of a board, or null for a part without one (the sensor group, 0).
const CliBoard *cliBoard(zelInterface::PartType part);

// An update step: the sensor group (part 0, every sensor board counts as it),
// the control panel or the main board. Name and text as the window's total bar
// shows them.
QString stepName(zelInterface::PartType part);
QString stepLabel(zelInterface::PartType part);

// Board names of --board to parts, in the order of cliBoards(), each once:
// keys1..keys5, sensors (the five sensor boards), panel, main and all. Fails
// with a message naming the first unknown name.
bool parseBoardNames(const QStringList &names, QList<zelInterface::PartType> *parts,
                     QString *error);

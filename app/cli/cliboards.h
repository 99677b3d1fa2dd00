#pragma once

#include "zelinterface.h"

#include <QList>
#include <QString>
#include <QStringList>

// The boards as the command line names them. The facts (order, names,
// descriptions, families) are BoardTable's; this is the command line's reading
// of them.

// The name of an update step (the sensor group, 0, or any of its members, the
// control panel, the main board): sensors, panel or main; empty for a part
// without a board.
QString stepName(zelInterface::PartType part);

// Board names of --board to parts, in the order of BoardTable::rows(), each once:
// keys1..keys5, a step's name (sensors: the five sensor boards; panel; main) and
// all. Names are lower case. Fails with a message naming the first unknown name.
bool parseBoardNames(const QStringList &names, QList<zelInterface::PartType> *parts,
                     QString *error);

#include "boardtable.h"

#include <QCoreApplication>

namespace BoardTable {

const QList<BoardFacts> &rows()
{
    using P = zelInterface::PartType;
    static const char *const sensorBoards = QT_TRANSLATE_NOOP("QObject", "Sensor Boards");
    static const QList<BoardFacts> table = {
        {P::Sensor5, "Keys 12-20", "keys5", "Keys 12-20", P::Sensors, "PKEYS", sensorBoards,
         "sensors"},
        {P::Sensor1, "Keys 21-42", "keys1", "Keys 21-42", P::Sensors, "PKEYS", sensorBoards,
         "sensors"},
        {P::Sensor2, "Keys 43-64", "keys2", "Keys 43-64", P::Sensors, "PKEYS", sensorBoards,
         "sensors"},
        {P::Sensor3, "Keys 65-86", "keys3", "Keys 65-86", P::Sensors, "PKEYS", sensorBoards,
         "sensors"},
        {P::Sensor4, "Keys 87-108", "keys4", "Keys 87-108", P::Sensors, "PKEYS", sensorBoards,
         "sensors"},
        {P::Terminal, "PCTRL", "panel", "Control Panel", P::Terminal, "PCTRL",
         QT_TRANSLATE_NOOP("QObject", "Control Panel"), "panel"},
        {P::Mainboard, "PBASE", "main", "Main Board", P::Mainboard, "PBASE",
         QT_TRANSLATE_NOOP("QObject", "Main Board"), "main"},
    };
    return table;
}

const BoardFacts *find(zelInterface::PartType part)
{
    for (const BoardFacts &row : rows()) {
        if (row.part == part)
            return &row;
    }
    return nullptr;
}

const BoardFacts *findBoardOrStep(zelInterface::PartType part)
{
    for (const BoardFacts &row : rows()) {
        if (row.part == part || row.step == part)
            return &row;
    }
    return nullptr;
}

QString boardName(zelInterface::PartType part)
{
    // The sensor group's own address names the group, like each of its members.
    if (const BoardFacts *row = findBoardOrStep(part))
        return QCoreApplication::translate("QObject", row->groupName);
    return QCoreApplication::translate("QObject", "Unknown Board");
}

QString stepName(zelInterface::PartType part)
{
    const BoardFacts *row = findBoardOrStep(part);
    return row ? QLatin1String(row->stepName) : QString();
}

bool choose(const QStringList &names, QList<zelInterface::PartType> *parts, QString *unknown)
{
    QList<zelInterface::PartType> chosen;
    for (const QString &name : names) {
        const int before = chosen.size();
        for (const BoardFacts &row : rows()) {
            if (name == QLatin1String("all") || name == QLatin1String(row.name) ||
                name == QLatin1String(row.stepName))
                chosen.append(row.part);
        }
        if (chosen.size() == before) {
            *unknown = name;
            return false;
        }
    }
    parts->clear();
    for (const BoardFacts &row : rows()) {
        if (chosen.contains(row.part))
            parts->append(row.part);
    }
    return true;
}

} // namespace BoardTable

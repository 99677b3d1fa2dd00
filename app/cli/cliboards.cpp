#include "cliboards.h"

#include <QCoreApplication>

const QList<CliBoard> &cliBoards()
{
    // keysN is the sensor board with part number N, whatever keys it covers, so
    // that a name always means the same board as the part number beside it.
    static const QList<CliBoard> boards = {
        {zelInterface::Sensor5, "keys5", "Keys 12-20", "PKEYS"},
        {zelInterface::Sensor1, "keys1", "Keys 21-42", "PKEYS"},
        {zelInterface::Sensor2, "keys2", "Keys 43-64", "PKEYS"},
        {zelInterface::Sensor3, "keys3", "Keys 65-86", "PKEYS"},
        {zelInterface::Sensor4, "keys4", "Keys 87-108", "PKEYS"},
        {zelInterface::Terminal, "panel", "Control Panel", "PCTRL"},
        {zelInterface::Mainboard, "main", "Main Board", "PBASE"},
    };
    return boards;
}

const CliBoard *cliBoard(zelInterface::PartType part)
{
    for (const CliBoard &board : cliBoards())
        if (board.part == part)
            return &board;
    return nullptr;
}

QString stepName(zelInterface::PartType part)
{
    if (part >= zelInterface::Sensors && part <= zelInterface::Sensor5)
        return QStringLiteral("sensors");
    const CliBoard *board = cliBoard(part);
    return board ? QString::fromLatin1(board->name) : QString();
}

QString stepLabel(zelInterface::PartType part)
{
    if (part >= zelInterface::Sensors && part <= zelInterface::Sensor5)
        return QCoreApplication::translate("QObject", "Sensor Boards");
    if (part == zelInterface::Terminal)
        return QCoreApplication::translate("QObject", "Control Panel");
    if (part == zelInterface::Mainboard)
        return QCoreApplication::translate("QObject", "Main Board");
    return QCoreApplication::translate("QObject", "Unknown Board");
}

bool parseBoardNames(const QStringList &names, QList<zelInterface::PartType> *parts, QString *error)
{
    QList<zelInterface::PartType> chosen;
    for (const QString &name : names) {
        bool known = false;
        for (const CliBoard &board : cliBoards()) {
            const bool sensor = QLatin1String(board.family) == QLatin1String("PKEYS");
            if (name == QLatin1String("all") || name == QLatin1String(board.name) ||
                (sensor && name == QLatin1String("sensors"))) {
                known = true;
                if (!chosen.contains(board.part))
                    chosen.append(board.part);
            }
        }
        if (!known) {
            *error = QStringLiteral("unknown board '%1' (boards: keys1..keys5, sensors, panel, "
                                    "main, all)")
                         .arg(name);
            return false;
        }
    }
    parts->clear();
    for (const CliBoard &board : cliBoards())
        if (chosen.contains(board.part))
            parts->append(board.part);
    return true;
}

#include "cliboards.h"
#include "boardtable.h"

QString stepName(zelInterface::PartType part)
{
    const BoardFacts *row = BoardTable::findBoardOrStep(part);
    return row ? QLatin1String(row->stepName) : QString();
}

bool parseBoardNames(const QStringList &names, QList<zelInterface::PartType> *parts, QString *error)
{
    QList<zelInterface::PartType> chosen;
    for (const QString &name : names) {
        bool known = false;
        for (const BoardFacts &row : BoardTable::rows()) {
            if (name == QLatin1String("all") || name == QLatin1String(row.name) ||
                name == QLatin1String(row.stepName)) {
                known = true;
                if (!chosen.contains(row.part))
                    chosen.append(row.part);
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
    for (const BoardFacts &row : BoardTable::rows())
        if (chosen.contains(row.part))
            parts->append(row.part);
    return true;
}

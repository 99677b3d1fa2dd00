#include "updateplan.h"
#include "boardtable.h"
#include "clioutput.h"

#include <QIODevice>
#include <QJsonObject>

QString diskPath(const QString &path)
{
    return path.startsWith(QLatin1Char(':')) ? QStringLiteral("./") + path : path;
}

bool useFile(FirmwareImages *images, const QString &path, QString *error)
{
    FirmwareFile file;
    if (file.load(diskPath(path)) != FirmwareFile::Ok) {
        *error = QStringLiteral("%1: %2").arg(
            path, FirmwareFile::failureText(diskPath(path), file.getStatus()));
        return false;
    }
    const QString family = file.getFamilyCode();
    if (!images->find(family)) {
        *error =
            QStringLiteral("%1: family code '%2' is none of PBASE, PCTRL, PKEYS").arg(path, family);
        return false;
    }
    if (!images->path(family).isEmpty()) {
        *error = QStringLiteral("%1 and %2 are both %3 firmware; give one file per family")
                     .arg(images->path(family), path, family);
        return false;
    }
    return images->use(file, path);
}

bool buildPlan(const QList<zelInterface::PartType> &chosen,
               const QMap<zelInterface::PartType, QString> &versions, const FirmwareImages &images,
               QList<PlanRow> *plan, QString *error)
{
    plan->clear();
    for (const BoardFacts &board : BoardTable::rows()) {
        const bool answered = versions.contains(board.part);
        if (!chosen.isEmpty() && !chosen.contains(board.part))
            continue;
        if (!answered) {
            if (chosen.isEmpty())
                continue;
            *error = QStringLiteral("%1 (%2) did not answer; it cannot be updated")
                         .arg(QLatin1String(board.name), QLatin1String(board.description));
            return false;
        }
        plan->append(
            {board.part, versions.value(board.part), images.forBoard(board.part).getVersion()});
    }
    if (plan->isEmpty()) {
        *error = QStringLiteral("no board answered; there is nothing to update");
        return false;
    }
    return true;
}

QString planTable(const QList<PlanRow> &plan)
{
    QList<QStringList> rows = {{QStringLiteral("BOARD"), QStringLiteral("PART"),
                                QStringLiteral("DESCRIPTION"), QStringLiteral("CURRENT"),
                                QStringLiteral("NEW")}};
    for (const PlanRow &row : plan) {
        const BoardFacts *board = BoardTable::find(row.part);
        rows.append({QLatin1String(board->name), QString::number(row.part),
                     QLatin1String(board->description), row.current, row.next});
    }
    return CliOutput::table(rows, {1});
}

QJsonArray planJson(const QList<PlanRow> &plan)
{
    QJsonArray boards;
    for (const PlanRow &row : plan) {
        const BoardFacts *board = BoardTable::find(row.part);
        boards.append(QJsonObject{{QStringLiteral("name"), QLatin1String(board->name)},
                                  {QStringLiteral("part"), int(row.part)},
                                  {QStringLiteral("current"), row.current},
                                  {QStringLiteral("new"), row.next}});
    }
    return boards;
}

Consent consent(bool yes, bool stdinIsTerminal)
{
    if (yes)
        return Consent::Proceed;
    return stdinIsTerminal ? Consent::Ask : Consent::Refuse;
}

bool askToProceed(CliOutput *output, QIODevice *in)
{
    output->prompt(QStringLiteral("Update these boards? [y/N] "));
    const QString answer = QString::fromLocal8Bit(in->readLine()).trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes");
}

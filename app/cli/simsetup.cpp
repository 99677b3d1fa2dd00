#include "simsetup.h"
#include "siminstrument.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>
#include <QTimer>

namespace {

// The numbers of a setting's value "A:B:C"; false unless there are `least` to
// `most` of them, each a whole number.
bool numbers(const QString &value, int least, int most, QList<int> *out)
{
    const QStringList fields = value.split(QLatin1Char(':'));
    if (value.isEmpty() || fields.size() < least || fields.size() > most)
        return false;
    out->clear();
    for (const QString &field : fields) {
        bool ok = false;
        out->append(field.toInt(&ok));
        if (!ok)
            return false;
    }
    return true;
}

bool isPart(int part)
{
    return part >= 1 && part <= 7;
}

QString reportPath;

// Settings whose first number is a board's part number.
const QStringList partSettings = {
    QStringLiteral("absent"),
    QStringLiteral("version"),
    QStringLiteral("refuseStart"),
    QStringLiteral("rejectLine"),
    QStringLiteral("rejectEnd"),
    QStringLiteral("silentFrom"),
    QStringLiteral("versionAfterUpdate"),
    QStringLiteral("duplicateAcks"),
    QStringLiteral("answerAs"),
};

} // namespace

bool setUpSimulatedInstrument(const QString &settings, QString *error)
{
    using zelsim::Step;
    zelsim::Instrument &sim = zelsim::Instrument::instance();
    static const QMap<QString, Step> steps = {
        {QStringLiteral("version"), Step::Version},
        {QStringLiteral("start"), Step::Start},
        {QStringLiteral("data"), Step::Data},
        {QStringLiteral("end"), Step::End},
        {QStringLiteral("versionAfterUpdate"), Step::VersionAfterUpdate},
    };
    for (const QString &setting : settings.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const int equals = setting.indexOf(QLatin1Char('='));
        const QString key = setting.left(equals).trimmed();
        const QString value = equals < 0 ? QString() : setting.mid(equals + 1).trimmed();
        QList<int> n;
        bool ok = true;
        if (key == QLatin1String("unplugged") && equals < 0) {
            sim.unplug();
        } else if (key == QLatin1String("plugAfterMs") && numbers(value, 1, 1, &n)) {
            QTimer::singleShot(n[0], [] { zelsim::Instrument::instance().plug(); });
        } else if (key == QLatin1String("accessDenied") && equals < 0) {
            sim.setAccessDenied(true);
        } else if (key == QLatin1String("grantAfterMs") && numbers(value, 1, 1, &n)) {
            QTimer::singleShot(n[0], [] { zelsim::Instrument::instance().setAccessDenied(false); });
        } else if (key == QLatin1String("absent") && numbers(value, 1, 1, &n)) {
            sim.setBoardPresent(n[0], false);
        } else if (key == QLatin1String("version") && numbers(value, 2, 2, &n)) {
            sim.setBoardVersion(n[0], n[1]);
        } else if (key == QLatin1String("latencyMs") && numbers(value, 1, 1, &n)) {
            sim.setAnswerLatencyMs(n[0]);
        } else if (key == QLatin1String("restartMs") && numbers(value, 1, 1, &n)) {
            sim.setRestartDelayMs(n[0]);
        } else if (key == QLatin1String("refuseStart") && numbers(value, 1, 1, &n)) {
            sim.setRefuseStart(n[0], true);
        } else if (key == QLatin1String("rejectLine") && numbers(value, 2, 2, &n)) {
            sim.setRejectLine(n[0], n[1]);
        } else if (key == QLatin1String("rejectEnd") && numbers(value, 1, 1, &n)) {
            sim.setRejectEnd(n[0], true);
        } else if (key == QLatin1String("silentFrom")) {
            const QStringList fields = value.split(QLatin1Char(':'));
            QList<int> line;
            ok = fields.size() >= 2 && fields.size() <= 3 && steps.contains(fields[1]) &&
                 numbers(fields[0], 1, 1, &n) &&
                 (fields.size() == 2 || numbers(fields[2], 1, 1, &line));
            if (ok)
                sim.setSilentFrom(n[0], steps.value(fields[1]), line.value(0));
        } else if (key == QLatin1String("versionAfterUpdate") && numbers(value, 2, 2, &n)) {
            sim.setVersionAfterUpdate(n[0], n[1]);
        } else if (key == QLatin1String("duplicateAcks") && numbers(value, 1, 1, &n)) {
            sim.setDuplicateAcks(n[0], true);
        } else if (key == QLatin1String("answerAs") && numbers(value, 2, 2, &n)) {
            sim.setAnswerAs(n[0], n[1]);
        } else if (key == QLatin1String("unplugAfterLine") && numbers(value, 1, 1, &n)) {
            sim.unplugAfterLine(n[0]);
        } else if (key == QLatin1String("failRead") && numbers(value, 1, 1, &n)) {
            sim.failRead(QStringLiteral("simulated read failure"), n[0]);
        } else if (key == QLatin1String("failWrite") && numbers(value, 1, 1, &n)) {
            sim.failWrite(QStringLiteral("simulated write failure"), n[0]);
        } else if (key == QLatin1String("report") && !value.isEmpty()) {
            reportPath = value;
        } else {
            ok = false;
        }
        // The instrument ignores a part it does not have: a typo would go unnoticed.
        if (ok && partSettings.contains(key) && !isPart(n.value(0)))
            ok = false;
        if (!ok) {
            *error = QStringLiteral("cannot use the setting '%1'").arg(setting.trimmed());
            return false;
        }
    }
    return true;
}

bool writeSimulatedInstrumentReport()
{
    if (reportPath.isEmpty())
        return true;
    const zelsim::Instrument &sim = zelsim::Instrument::instance();
    QJsonObject boards;
    for (int part = 1; part <= 7; ++part) {
        boards.insert(
            QString::number(part),
            QJsonObject{{QStringLiteral("mode"), sim.mode(part) == zelsim::Mode::Update
                                                     ? QStringLiteral("update")
                                                     : QStringLiteral("normal")},
                        {QStringLiteral("received"), sim.receivedText(part).size()},
                        {QStringLiteral("installed"), !sim.installedImage(part).isEmpty()},
                        {QStringLiteral("version"), sim.boardVersion(part)}});
    }
    int updateMessages = 0;
    for (const QByteArray &message : sim.messages()) {
        // 0x01 asks for a version; every other command is part of an update.
        if (!message.startsWith('\x01'))
            ++updateMessages;
    }
    const QJsonObject report{{QStringLiteral("boards"), boards},
                             {QStringLiteral("updateMessages"), updateMessages},
                             {QStringLiteral("restarts"), sim.restartCount()}};
    QFile file(reportPath);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(report).toJson()) > 0 &&
           file.flush();
}

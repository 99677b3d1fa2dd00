#include "simsetup.h"
#include "siminstrument.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>
#include <QTimer>

namespace {

// The numbers of a setting's value "A:B:C"; false unless there are `count` of
// them, each a whole number.
bool numbers(const QString &value, int count, QList<int> *out)
{
    const QStringList fields = value.split(QLatin1Char(':'));
    if (value.isEmpty() || fields.size() != count)
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
        // The value as `count` numbers; for a board's setting the first is its part
        // number, which is checked: the instrument ignores a part it does not have,
        // so a typo would go unnoticed.
        const auto plain = [&](int count) { return numbers(value, count, &n); };
        const auto board = [&](int count) { return plain(count) && isPart(n[0]); };
        bool ok = true;
        if (key == QLatin1String("unplugged") && equals < 0) {
            sim.unplug();
        } else if (key == QLatin1String("plugAfterMs") && plain(1)) {
            QTimer::singleShot(n[0], [] { zelsim::Instrument::instance().plug(); });
        } else if (key == QLatin1String("accessDenied") && equals < 0) {
            sim.setAccessDenied(true);
        } else if (key == QLatin1String("grantAfterMs") && plain(1)) {
            QTimer::singleShot(n[0], [] { zelsim::Instrument::instance().setAccessDenied(false); });
        } else if (key == QLatin1String("absent") && board(1)) {
            sim.setBoardPresent(n[0], false);
        } else if (key == QLatin1String("version") && board(2)) {
            sim.setBoardVersion(n[0], n[1]);
        } else if (key == QLatin1String("latencyMs") && plain(1)) {
            sim.setAnswerLatencyMs(n[0]);
        } else if (key == QLatin1String("restartMs") && plain(1)) {
            sim.setRestartDelayMs(n[0]);
        } else if (key == QLatin1String("refuseStart") && board(1)) {
            sim.setRefuseStart(n[0], true);
        } else if (key == QLatin1String("rejectLine") && board(2)) {
            sim.setRejectLine(n[0], n[1]);
        } else if (key == QLatin1String("rejectEnd") && board(1)) {
            sim.setRejectEnd(n[0], true);
        } else if (key == QLatin1String("silentFrom")) {
            const QStringList fields = value.split(QLatin1Char(':'));
            QList<int> line;
            ok = fields.size() >= 2 && fields.size() <= 3 && steps.contains(fields[1]) &&
                 numbers(fields[0], 1, &n) && isPart(n[0]) &&
                 (fields.size() == 2 || numbers(fields[2], 1, &line));
            if (ok)
                sim.setSilentFrom(n[0], steps.value(fields[1]), line.value(0));
        } else if (key == QLatin1String("versionAfterUpdate") && board(2)) {
            sim.setVersionAfterUpdate(n[0], n[1]);
        } else if (key == QLatin1String("duplicateAcks") && board(1)) {
            sim.setDuplicateAcks(n[0], true);
        } else if (key == QLatin1String("answerAs") && board(2)) {
            sim.setAnswerAs(n[0], n[1]);
        } else if (key == QLatin1String("unplugAfterLine") && plain(1)) {
            sim.unplugAfterLine(n[0]);
        } else if (key == QLatin1String("failRead") && plain(1)) {
            sim.failRead(QStringLiteral("simulated read failure"), n[0]);
        } else if (key == QLatin1String("failWrite") && plain(1)) {
            sim.failWrite(QStringLiteral("simulated write failure"), n[0]);
        } else if (key == QLatin1String("report") && !value.isEmpty()) {
            reportPath = value;
        } else {
            ok = false;
        }
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

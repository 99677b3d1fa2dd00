#include "simsetup.h"
#include "siminstrument.h"
#include "simmodel.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTimer>

namespace {

QString reportPath;

// The demo's own settings, which no test steering the instrument needs: the
// start without the instrument, timers from the start, the report at the end.
// False if `key` is none of them or its value does not fit.
bool demoSetting(const QString &key, const QString &value, bool hasValue, bool *ok)
{
    using zelsim::Instrument;
    const int ms = value.toInt(ok);
    if (key == QLatin1String("unplugged")) {
        *ok = !hasValue;
        if (*ok)
            Instrument::instance().run("unplug");
    } else if (key == QLatin1String("plugAfterMs")) {
        if (*ok)
            QTimer::singleShot(ms, [] { Instrument::instance().run("plug"); });
    } else if (key == QLatin1String("grantAfterMs")) {
        if (*ok)
            QTimer::singleShot(ms, [] { Instrument::instance().run("accessDenied", false); });
    } else if (key == QLatin1String("report")) {
        *ok = !value.isEmpty();
        reportPath = value;
    } else {
        return false;
    }
    return true;
}

} // namespace

bool setUpSimulatedInstrument(const QString &settings, QString *error)
{
    for (const QString &setting : settings.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const int equals = setting.indexOf(QLatin1Char('='));
        const QString key = setting.left(equals).trimmed();
        const QString value = equals < 0 ? QString() : setting.mid(equals + 1).trimmed();
        bool ok = false;
        QString why;
        if (!demoSetting(key, value, equals >= 0, &ok)) {
            QByteArray line = key.toUtf8();
            for (const QString &field : equals < 0 ? QStringList() : value.split(QLatin1Char(':')))
                line += ' ' + field.trimmed().toUtf8();
            zelsim::Value answer;
            ok = zelsim::answers(line, zelsim::Answer::Nothing, &why) &&
                 zelsim::runCommand(zelsim::sharedModel(), line, &answer, &why);
        }
        if (!ok) {
            *error = QStringLiteral("cannot use the setting '%1'").arg(setting.trimmed());
            if (!why.isEmpty())
                *error += QStringLiteral(": ") + why;
            return false;
        }
    }
    return true;
}

bool writeSimulatedInstrumentReport()
{
    if (reportPath.isEmpty())
        return true;
    zelsim::Instrument &sim = zelsim::Instrument::instance();
    QJsonObject boards;
    for (int part = 1; part <= 7; ++part) {
        boards.insert(
            QString::number(part),
            QJsonObject{
                {QStringLiteral("mode"),
                 sim.value("mode", part) == int(zelsim::Mode::Update) ? "update" : "normal"},
                {QStringLiteral("received"), sim.bytes("receivedText", part).size()},
                {QStringLiteral("installed"), !sim.bytes("installedImage", part).isEmpty()},
                {QStringLiteral("version"), sim.value("boardVersion", part)}});
    }
    int updateMessages = 0;
    for (const QByteArray &message : sim.list("messages")) {
        // 0x01 asks for a version; every other command is part of an update.
        if (!message.startsWith('\x01'))
            ++updateMessages;
    }
    const QJsonObject report{{QStringLiteral("boards"), boards},
                             {QStringLiteral("updateMessages"), updateMessages},
                             {QStringLiteral("restarts"), sim.value("restartCount")}};
    QFile file(reportPath);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(report).toJson()) > 0 &&
           file.flush();
}

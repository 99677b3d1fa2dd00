#include "simsetup.h"
#include "siminstrument.h"
#include "simmodel.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace {

QString reportPath;

// The demo's service bench (the setting "bench=N"): once the command line has
// asked one of the first N instruments for every board's version a second time
// (after its update), the instrument is unplugged, and a moment later the next
// one plugged in, up to the Nth.
constexpr int BenchPauseMs = 300;

void setUpBench(int count)
{
    using zelsim::Instrument;
    for (int n = 1; n <= count; ++n) {
        // A version request for a single sensor board comes only with a request for
        // every board's version; the updater asks the sensor group as one.
        // The model calls a copy of its hook: the count lives outside.
        auto asked = std::make_shared<int>(0);
        Instrument::instance(n).setMessageHook([n, count, asked](const QByteArray &m) {
            if (m == QByteArray("\x01\x01", 2) && ++*asked == 2) {
                QTimer::singleShot(BenchPauseMs, [n, count] {
                    Instrument::instance(n).run("unplug");
                    if (n < count)
                        QTimer::singleShot(BenchPauseMs,
                                           [n] { Instrument::instance(n + 1).run("plug"); });
                });
            }
            return true;
        });
    }
}

// The demo's own settings, which no test steering the instrument needs: the
// start without the instrument, timers from the start, the report at the end.
// False if `key` is none of them or its value does not fit. `number` is the
// instrument the setting is addressed to, 0 for none.
bool demoSetting(int number, const QString &key, const QString &value, bool hasValue, bool *ok)
{
    using zelsim::Instrument;
    Instrument &sim = number ? Instrument::instance(number) : Instrument::instance();
    const int ms = value.toInt(ok);
    if (key == QLatin1String("unplugged")) {
        *ok = !hasValue;
        if (*ok)
            sim.run("unplug");
    } else if (key == QLatin1String("plugAfterMs")) {
        if (*ok)
            QTimer::singleShot(ms, [&sim] { sim.run("plug"); });
    } else if (key == QLatin1String("grantAfterMs")) {
        if (*ok)
            QTimer::singleShot(ms, [&sim] { sim.run("accessDenied", false); });
    } else if (key == QLatin1String("bench")) {
        *ok = *ok && !number && ms >= 1 && ms <= zelsim::InstrumentCount;
        if (*ok)
            setUpBench(ms);
    } else if (key == QLatin1String("report")) {
        *ok = !number && !value.isEmpty();
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
        QString key = setting.left(equals).trimmed();
        const QString value = equals < 0 ? QString() : setting.mid(equals + 1).trimmed();
        // "@N NAME": for instrument N.
        int number = 0;
        QByteArray unaddressed;
        QString why;
        bool ok = zelsim::splitAddress(key.toUtf8(), &number, &unaddressed, &why);
        key = QString::fromUtf8(unaddressed).trimmed();
        if (ok && !demoSetting(number, key, value, equals >= 0, &ok)) {
            QByteArray line = number ? '@' + QByteArray::number(number) + ' ' : QByteArray();
            line += key.toUtf8();
            for (const QString &field : equals < 0 ? QStringList() : value.split(QLatin1Char(':')))
                line += ' ' + field.trimmed().toUtf8();
            zelsim::Value answer;
            ok = zelsim::answers(line, zelsim::Answer::Nothing, &why) &&
                 zelsim::runCommand(zelsim::sharedBench(), line, &answer, &why);
            zelsim::sharedBench().assignNodes();
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

namespace {

QJsonObject reportOf(zelsim::Instrument &sim)
{
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
    return {{QStringLiteral("boards"), boards},
            {QStringLiteral("updateMessages"), updateMessages},
            {QStringLiteral("restarts"), sim.value("restartCount")}};
}

} // namespace

bool writeSimulatedInstrumentReport()
{
    if (reportPath.isEmpty())
        return true;
    QJsonObject report = reportOf(zelsim::Instrument::instance());
    QJsonObject each;
    for (int n = 1; n <= zelsim::InstrumentCount; ++n)
        each.insert(QString::number(n), reportOf(zelsim::Instrument::instance(n)));
    report.insert(QStringLiteral("instruments"), each);
    QFile file(reportPath);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(report).toJson()) > 0 &&
           file.flush();
}

#include "rigcontrol.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelrig {

QString unavailableReason(const QStringList &programs)
{
    const QByteArray why = qgetenv("ZEL_RIG_UNAVAILABLE");
    if (!why.isEmpty())
        return QString::fromLocal8Bit(why);
    if (qEnvironmentVariableIsEmpty("ZEL_RIG_CONTROL"))
        return QStringLiteral(
            "not inside the hidraw rig; run it through tools/hidrig/run-in-rig.sh");
    for (const QString &program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return program + QStringLiteral(" is not installed");
    }
    return QString();
}

namespace {

// One connection per command: a server started anew is found without ado.
QByteArray exchange(const QByteArray &line, QString *error)
{
    const QByteArray path = qgetenv("ZEL_RIG_CONTROL");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof(addr.sun_path)) {
        *error = QStringLiteral("no control socket");
        return QByteArray();
    }
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QByteArray answer;
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        const QByteArray out = line + '\n';
        bool sent = ::send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL) == out.size();
        char buf[65536];
        ssize_t got = 0;
        while (sent && !answer.endsWith('\n') && (got = ::recv(fd, buf, sizeof(buf), 0)) > 0)
            answer.append(buf, int(got));
        if (!answer.endsWith('\n'))
            *error = QStringLiteral("no answer");
    }
    if (fd >= 0)
        ::close(fd);
    return answer.trimmed();
}

} // namespace

QByteArray command(const QByteArray &line)
{
    QString error;
    const QByteArray answer = exchange(line, &error);
    if (error.isEmpty() && !answer.startsWith("ok"))
        error = QString::fromUtf8(answer);
    if (!error.isEmpty())
        qFatal("hidrig: %s: %s", line.constData(), qPrintable(error));
    return answer.mid(3);
}

void setNodeMode(int mode)
{
    command("nodeMode " + QByteArray::number(mode, 8));
}

void setUsbTiming(bool on)
{
    command("usbTiming " + QByteArray::number(on));
}

qint64 serverPid()
{
    return command("pid").toLongLong();
}

bool startServer()
{
    const QString script = qEnvironmentVariable("ZEL_RIG_SCRIPT");
    return !script.isEmpty() && QProcess::execute(script, {QStringLiteral("--start-server")}) == 0;
}

namespace {

class RigUnavailable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ZELRIG_REQUIRE(); }
    void rig() {}
};

} // namespace

int skipAll(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RigUnavailable test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace zelrig

#include "rigcontrol.moc"

// Renders the real window, styled as the program styles it, in its main states
// to PNG files: the documentation's pictures come from the code, not from an
// editor. Runs headless against the simulated instrument.
#include "siminstrument.h"
#include "stylesheet.h"
#include "zelloader.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

const QStringList boardChecks = {QStringLiteral("checkSensor5"),  QStringLiteral("checkSensor1"),
                                 QStringLiteral("checkSensor2"),  QStringLiteral("checkSensor3"),
                                 QStringLiteral("checkSensor4"),  QStringLiteral("checkTerminal"),
                                 QStringLiteral("checkMainboard")};

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Lets pending layout and repaint requests settle before a picture is taken.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
}

class Shooter
{
public:
    explicit Shooter(const QString &dir) : dir(dir) {}

    bool save(QWidget *window, const QString &name)
    {
        const QString path = QDir(dir).filePath(name);
        const bool ok = window->grab().save(path, "PNG");
        std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
        failures += ok ? 0 : 1;
        return ok;
    }

    int failures = 0;

private:
    QString dir;
};

template <typename T> T *child(QWidget *window, const QString &name)
{
    return window->findChild<T *>(name);
}

bool allBoardsAnswered(QWidget *window)
{
    for (const QString &name : boardChecks) {
        if (!child<QCheckBox>(window, name)->isEnabled())
            return false;
    }
    return true;
}

void openBoardTable(QWidget *window)
{
    auto *advanced = child<QCheckBox>(window, QStringLiteral("advanced"));
    if (!advanced->isChecked())
        advanced->click();
}

void tickOnly(QWidget *window, const QStringList &names)
{
    for (const QString &name : boardChecks)
        child<QCheckBox>(window, name)->setChecked(names.contains(name));
}

bool runEnded(QWidget *window)
{
    auto *total = child<QProgressBar>(window, QStringLiteral("totalProgress"));
    return child<QPushButton>(window, QStringLiteral("startUpdate"))->isEnabled() &&
           (total->property("done").toBool() || total->property("error").toBool());
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(outDir);

    app.setStyleSheet(loadStyleSheet());

    Shooter shooter(outDir);
    auto &sim = zelsim::Instrument::instance();
    const int runTimeoutMs = 120000;

    // A successful run, from an unplugged instrument to the end.
    {
        sim.run("reset");
        sim.run("unplug");
        zelLoader window;
        window.show();
        settle();
        shooter.save(&window, QStringLiteral("screenshot-waiting.png"));

        sim.run("plug");
        if (!waitFor([&] { return allBoardsAnswered(&window); }, 5000)) {
            std::fprintf(stderr, "the simulated boards did not answer\n");
            return 1;
        }
        settle();
        shooter.save(&window, QStringLiteral("screenshot-ready.png"));

        openBoardTable(&window);
        tickOnly(&window, {QStringLiteral("checkSensor1"), QStringLiteral("checkSensor2"),
                           QStringLiteral("checkTerminal")});
        settle();
        shooter.save(&window, QStringLiteral("screenshot-boards.png"));

        // Mid-run: the sensor boards done, the control panel half way through.
        tickOnly(&window, boardChecks);
        auto *terminal = child<QProgressBar>(&window, QStringLiteral("progressTerminal"));
        auto *total = child<QProgressBar>(&window, QStringLiteral("totalProgress"));
        bool shot = false;
        QObject::connect(total, &QProgressBar::valueChanged, &window, [&] {
            if (!shot && terminal->format().startsWith(QLatin1String("Transferring")) &&
                terminal->maximum() > 0 && terminal->value() * 2 >= terminal->maximum()) {
                shot = true;
                shooter.save(&window, QStringLiteral("screenshot-updating.png"));
            }
        });
        child<QPushButton>(&window, QStringLiteral("startUpdate"))->click();
        if (!waitFor([&] { return runEnded(&window); }, runTimeoutMs)) {
            std::fprintf(stderr, "the update did not end\n");
            return 1;
        }
        settle();
        shooter.save(&window, QStringLiteral("screenshot-success.png"));
        if (!shot) {
            std::fprintf(stderr, "no picture of the running update\n");
            ++shooter.failures;
        }
    }

    // A failed run: one sensor board rejects a line in the middle of the image.
    {
        sim.run("reset");
        sim.run("rejectLine", 3, 400);
        zelLoader window;
        window.show();
        if (!waitFor([&] { return allBoardsAnswered(&window); }, 5000)) {
            std::fprintf(stderr, "the simulated boards did not answer\n");
            return 1;
        }
        openBoardTable(&window);
        tickOnly(&window, boardChecks);
        child<QPushButton>(&window, QStringLiteral("startUpdate"))->click();
        if (!waitFor([&] { return runEnded(&window); }, runTimeoutMs)) {
            std::fprintf(stderr, "the update did not end\n");
            return 1;
        }
        settle();
        shooter.save(&window, QStringLiteral("screenshot-failure.png"));
    }

    return shooter.failures == 0 ? 0 : 1;
}

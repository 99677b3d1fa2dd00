// What the window costs on top of the update itself: a full update of all seven
// boards with the built-in images through the window, against the same three
// update steps run by bare updaters on the same simulated instrument.
//   bench_window [restart delay ms, default the simulator's] [rounds, default 2]
// The restart delay must exceed the second the updater gives the main board
// before it waits for the reconnection, or the main board's step fails.
// Prints figures; asserts nothing.
#include "firmwarefile.h"
#include "siminstrument.h"
#include "stylesheet.h"
#include "zelinterface.h"
#include "zelloader.h"
#include "zelupdater.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Milliseconds for the whole run through the window, -1 if it did not succeed.
qint64 runWindow(int restartMs)
{
    auto &sim = zelsim::Instrument::instance();
    sim.run("reset");
    sim.run("restartMs", restartMs);

    zelLoader window;
    window.show();
    const QStringList checks = {QStringLiteral("checkSensor1"),  QStringLiteral("checkSensor2"),
                                QStringLiteral("checkSensor3"),  QStringLiteral("checkSensor4"),
                                QStringLiteral("checkSensor5"),  QStringLiteral("checkTerminal"),
                                QStringLiteral("checkMainboard")};
    const bool ready = waitFor(
        [&] {
            return std::all_of(checks.begin(), checks.end(), [&](const QString &name) {
                return window.findChild<QCheckBox *>(name)->isEnabled();
            });
        },
        5000);
    if (!ready)
        return -1;

    auto *start = window.findChild<QPushButton *>(QStringLiteral("startUpdate"));
    auto *total = window.findChild<QProgressBar *>(QStringLiteral("totalProgress"));
    QElapsedTimer clock;
    clock.start();
    start->click();
    const bool ended = waitFor(
        [&] {
            return start->isEnabled() &&
                   (total->property("done").toBool() || total->property("error").toBool());
        },
        180000);
    const qint64 elapsed = clock.elapsed();
    if (!ended || !total->property("done").toBool())
        return -1;
    return elapsed;
}

bool runStep(zelInterface *device, const FirmwareFile *image, zelInterface::PartType part,
             const QList<zelInterface::PartType> &members)
{
    zelUpdater updater(device, image, part);
    for (auto member : members)
        updater.addPart(member);
    int result = 0; // 1 done, -1 canceled
    QObject::connect(&updater, &zelUpdater::done, [&] { result = 1; });
    QObject::connect(&updater, &zelUpdater::canceled, [&] { result = -1; });
    updater.start();
    waitFor([&] { return result != 0; }, 60000);
    return result == 1;
}

// Milliseconds for the same three steps without the window, -1 on failure.
qint64 runUpdaters(int restartMs)
{
    auto &sim = zelsim::Instrument::instance();
    sim.run("reset");
    sim.run("restartMs", restartMs);

    FirmwareFile base, ctrl, keys;
    if (base.load(QStringLiteral(":/firmware/pbase")) != FirmwareFile::Ok ||
        ctrl.load(QStringLiteral(":/firmware/pctrl")) != FirmwareFile::Ok ||
        keys.load(QStringLiteral(":/firmware/pkeys")) != FirmwareFile::Ok)
        return -1;

    zelInterface device;
    bool connected = false;
    QObject::connect(&device, &UsbHid::connected, [&] { connected = true; });
    device.setAutoOpen(true);
    if (!waitFor([&] { return connected; }, 5000))
        return -1;

    QElapsedTimer clock;
    clock.start();
    const bool ok = runStep(&device, &keys, zelInterface::Sensors,
                            {zelInterface::Sensor1, zelInterface::Sensor2, zelInterface::Sensor3,
                             zelInterface::Sensor4, zelInterface::Sensor5}) &&
                    runStep(&device, &ctrl, zelInterface::Terminal, {}) &&
                    runStep(&device, &base, zelInterface::Mainboard, {});
    const qint64 elapsed = clock.elapsed();
    return ok ? elapsed : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setStyleSheet(loadStyleSheet());

    const int restartMs =
        argc > 1 ? QByteArray(argv[1]).toInt() : zelsim::Instrument::DefaultRestartMs;
    const int rounds = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 2;

    std::printf("full update of 7 boards, built-in images, simulated restart %d ms\n", restartMs);
    qint64 bestWindow = -1;
    qint64 bestUpdaters = -1;
    for (int round = 1; round <= rounds; ++round) {
        // Alternate the two, so that a busy machine hurts both alike.
        const qint64 window = runWindow(restartMs);
        const qint64 updaters = runUpdaters(restartMs);
        std::printf("round %d: window %lld ms, updaters alone %lld ms\n", round,
                    static_cast<long long>(window), static_cast<long long>(updaters));
        if (window >= 0 && (bestWindow < 0 || window < bestWindow))
            bestWindow = window;
        if (updaters >= 0 && (bestUpdaters < 0 || updaters < bestUpdaters))
            bestUpdaters = updaters;
    }
    if (bestWindow < 0 || bestUpdaters <= 0) {
        std::printf("a run failed; no ratio\n");
        return 0;
    }
    std::printf("best: window %lld ms, updaters alone %lld ms, ratio %.3f (window adds %.1f %%)\n",
                static_cast<long long>(bestWindow), static_cast<long long>(bestUpdaters),
                double(bestWindow) / double(bestUpdaters),
                100.0 * double(bestWindow - bestUpdaters) / double(bestUpdaters));
    return 0;
}

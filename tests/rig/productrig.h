#pragma once

// What the product's rig tests share on Linux and under Wine: the unchanged window on an
// Xvfb of their own, keyed with xdotool (there is no window manager) and read through the
// rig's probe; the rig's control socket says what the instrument's boards hold.
#include "rigcontrol.h"
#include "siminstrument.h"
#include "testimages.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

// The helpers check with QVERIFY and QTRY_*, which return from the helper only.
#define STEP(call)                                                                                 \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class ProductRig
{
public:
    virtual ~ProductRig()
    {
        xvfb.kill();
        xvfb.waitForFinished();
    }

protected:
    ProductRig(int waitMs, int updateMs) : waitMs(waitMs), updateMs(updateMs) {}

    // Starts the window into `window`, with the probe writing to probeFile.
    virtual void startWindow() = 0;
    // Gives the window the focus, as a click would; the window manager's part.
    virtual void focusWindow() = 0;

    // The rig's X socket folder is its own, so the first free display is free indeed;
    // no lock file, which would land in the /tmp shared with the machine.
    void setUpScreen()
    {
        env = QProcessEnvironment::systemEnvironment();
        xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-nolock", "-ac",
                                            "-screen", "0", "1024x768x24"});
        QVERIFY(xvfb.waitForReadyRead(10000));
        env.insert("DISPLAY", ':' + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed());
        const QString folder = qEnvironmentVariable("ZEL_RIG_DIR") + "/probe";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        probeFile = folder + "/shown";
    }

    void endWindow()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "window output:\n" + window.readAll() + "\nshown:\n" +
                                        readFile(probeFile);
        window.kill();
        window.waitForFinished();
        QFile::remove(probeFile);
    }

    // What the probe last saw of a widget: its fields after the name, none if not shown.
    QStringList shown(const QString &name) const
    {
        for (const QString &line : QString::fromUtf8(readFile(probeFile)).split('\n')) {
            QStringList fields = line.split('\t');
            if (fields.takeFirst() == name)
                return fields;
        }
        return QStringList();
    }

    QString total() const { return shown(QStringLiteral("totalProgress")).value(0); }

    void pressReturn()
    {
        QTRY_COMPARE_WITH_TIMEOUT(shown("startUpdate").value(0), QStringLiteral("1"), waitMs);
        STEP(focusWindow());
        QTRY_COMPARE(shown("window").value(1), QStringLiteral("1"));
        QCOMPARE(runProcess("xdotool", {"key", "Return"}, env).code, 0);
    }

    static void verifyAllBoardsUpdated()
    {
        for (int part = 1; part <= 7; ++part)
            QVERIFY2(zelsim::Instrument::instance().bytes("installedImage", part) ==
                         builtInImage(part).getHexText(),
                     qPrintable(QString::number(part)));
    }

    // Return updates every board. With a loss (unplugged, or the rig's server killed)
    // the step ends with its failure shown instead of hanging; plugged in again, the
    // instrument is found and a new run succeeds, at full speed with `fastAfterLoss`.
    void update(const QString &loss, bool fastAfterLoss)
    {
        zelsim::Instrument &sim = zelsim::Instrument::instance();
        STEP(startWindow());
        QTRY_COMPARE_WITH_TIMEOUT(total(), QStringLiteral("Ready to start firmware update"),
                                  waitMs);
        if (loss == "unplug")
            sim.run("unplugAfterLine", 300);
        STEP(pressReturn());
        if (loss == "kill") {
            QTRY_VERIFY_WITH_TIMEOUT(sim.bytes("receivedText", 1).size() > 10000, updateMs);
            QCOMPARE(::kill(pid_t(zelrig::serverPid()), SIGKILL), 0);
        }
        if (!loss.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(
                total(), QStringLiteral("Sensor Boards: No response from device"), waitMs);
            QCOMPARE(shown("totalProgress").value(2), QStringLiteral("1")); // coloured as failed
            if (loss == "kill")
                QVERIFY(zelrig::startServer());
            else
                sim.run("plug");
            if (fastAfterLoss)
                zelrig::setUsbTiming(false);
            QTRY_COMPARE_WITH_TIMEOUT(total(), QStringLiteral("Ready to start firmware update"),
                                      waitMs);
            STEP(pressReturn());
        }
        QTRY_COMPARE_WITH_TIMEOUT(total(), QStringLiteral("Firmware update successfull"), updateMs);
        QCOMPARE(shown("totalProgress").value(2), QStringLiteral("0"));
        STEP(verifyAllBoardsUpdated());
        QCOMPARE(sim.value("restartCount"), 1);
    }

    QProcessEnvironment env; // the system's, with DISPLAY naming the Xvfb
    QProcess xvfb;
    QProcess window;
    QString probeFile;
    const int waitMs;
    const int updateMs;
};

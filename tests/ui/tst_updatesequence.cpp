// Updating the instrument from the window, end to end: the real dialog shows the
// real update runs against the simulated instrument. What a run does on its own is
// tested without widgets in tests/updater; here it is what the window makes of it.
#include "siminstrument.h"
#include "testimages.h"
#include "updaterun.h"
#include "waitfor.h"
#include "zelloader.h"

#include <QTemporaryFile>
#include <QtTest>
#include <QtWidgets>

#include <functional>

using Parts = QList<int>;

namespace {

const Parts allBoards = {5, 1, 2, 3, 4, 6, 7};
const QString success = QStringLiteral("Firmware update successfull");
zelsim::Instrument &sim = zelsim::Instrument::instance();

QString name(const char *prefix, int part)
{
    return QLatin1String(prefix) + (part == 6   ? QStringLiteral("Terminal")
                                    : part == 7 ? QStringLiteral("Mainboard")
                                                : QStringLiteral("Sensor%1").arg(part));
}

// An image ("FAMILY vX.Y") of little more than its information block, stamped with
// its file checksum: most runs take milliseconds. Wider lines than a data message
// carries when `width` is above 24.
QByteArray testImage(const QByteArray &familyAndVersion, int width = 16)
{
    return stamped(hexImage(familyAndVersion.left(5), familyAndVersion.mid(6), 1, width));
}

// Boards that were sent a start message, in the order they were sent.
Parts startedBoards()
{
    Parts out;
    for (const QByteArray &m : sim.list("messages")) {
        if (m.at(0) == 0x02)
            out.append(m.at(1));
    }
    return out;
}

// Runs `action`, answering the message box it opens with `button` and cancelling
// any other dialog; returns the box's title and text, empty if none showed.
QString answering(QMessageBox::StandardButton button, const std::function<void()> &action)
{
    QString seen;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        auto *box = qobject_cast<QMessageBox *>(dialog);
        if (box)
            seen = box->windowTitle() + QLatin1Char('|') + box->text();
        if (box && box->button(button))
            box->button(button)->click();
        else if (dialog)
            dialog->reject();
    });
    timer.start(1);
    action();
    return seen;
}

} // namespace

class tst_UpdateSequence : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { loader.reset(); }

    void fullRunWithBuiltInImages()
    {
        open({}, {1, 3, 6}, false); // the plain view takes unticked boards too
        sim.run("restartMs", 1500); // still away when the updater starts waiting for it
        QString gone, back, atMainAnswer;
        Parts enabledDuringRun;
        QStringList pendingTexts, busyFaults;
        QObject scope; // the watchers end with this test, not with the window
        // Around the main board's restart; the window's slots run first, the updater's last.
        auto *device = loader->findChild<zelInterface *>();
        connect(device, &UsbHid::disconnected, &scope, [&] { gone = total()->format(); });
        connect(device, &UsbHid::connected, &scope, [&] { back = total()->format(); });
        connect(device, &zelInterface::firmwareVersion, &scope, [&](zelInterface::PartType part) {
            if (part == zelInterface::Mainboard && !back.isEmpty() && atMainAnswer.isEmpty())
                atMainAnswer = total()->format();
            // After the reconnection every box is disabled until the run is over.
            if (!back.isEmpty() && !startButton()->isEnabled())
                enabledDuringRun << enabledBoxes();
        });
        // The run is still inside its own signal when it ends: the window may release
        // it only later, so a watcher connected after the window still hears the end.
        QPointer<UpdateRun> running;
        bool heardEnd = false;
        // A board that works on its own shows the busy indicator whenever we look. Looked
        // at from a timer rather than from the instrument, so the same check runs where
        // the instrument is another process.
        QTimer look;
        look.setInterval(1);
        const auto sample = [&] {
            for (int p : allBoards) {
                if (!bar(p)->property("pending").toBool())
                    continue;
                if (!pendingTexts.contains(bar(p)->format()))
                    pendingTexts << bar(p)->format();
                if (bar(p)->minimum() != 0 || bar(p)->maximum() != 0 || !bar(p)->isTextVisible())
                    busyFaults << name("progress", p) + ": " + bar(p)->format();
            }
        };
        connect(&look, &QTimer::timeout, &scope, [&] {
            if (!running && !heardEnd && (running = loader->findChild<UpdateRun *>())) {
                connect(running, &UpdateRun::finished, &scope, [&] { heardEnd = true; });
                // On a busy machine a short state can pass between two looks: each change
                // of a board's state is looked at too, once the window has shown it.
                connect(running, &UpdateRun::boardState, &scope, sample);
            }
            sample();
        });
        look.start();
        QCOMPARE(start(), QString());
        QCOMPARE(QPoint(total()->minimum(), total()->maximum()), QPoint(0, 3000));
        QCOMPARE(run(), success);
        look.stop();
        QVERIFY(total()->property("done").toBool() && !total()->property("working").toBool());
        QCOMPARE(busyFaults, QStringList());
        pendingTexts.sort();
        QCOMPARE(pendingTexts,
                 QStringList({"Process firmware data", "Validate new firmware version",
                              "Waiting for device response"}));
        QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5, 6, 7}));
        QCOMPARE(gone, QStringLiteral("Waiting for USB connection"));
        QVERIFY(!back.isEmpty() && !back.startsWith(QLatin1String("Ready"))); // the update keeps it
        QCOMPARE(atMainAnswer, "Main Board: Validate new firmware version (Total %p%)");
        QCOMPARE(enabledDuringRun, Parts());
        QVERIFY(heardEnd);
        QTRY_VERIFY(!running);
        // Every board is asked afresh when the run ends, and each answer makes it selectable.
        for (int p : allBoards) {
            const FirmwareFile image = builtInImage(p);
            QCOMPARE(sim.bytes("installedImage", p), image.getHexText());
            QCOMPARE(bar(p)->text(), success);
            QVERIFY(!check(p)->isChecked() && bar(p)->property("done").toBool());
            QTRY_COMPARE(widget<QLabel>(name("version", p))->text(), image.getVersion());
            QTRY_VERIFY(check(p)->isEnabled());
        }
        // After the restart the window's version requests go first, then the updater's;
        // at the end of the run come the window's again.
        const QByteArray requests = "01060101010201030104010501070107";
        const auto log = sim.list("messages");
        QCOMPARE(log.mid(log.lastIndexOf(QByteArray::fromHex("0507")) + 1).join().toHex(),
                 requests + requests.left(28));
    }

    void selection_data()
    {
        QTest::addColumn<bool>("advanced");
        QTest::addColumn<Parts>("ticked");
        QTest::addColumn<Parts>("silent");
        QTest::addColumn<Parts>("updated");
        QTest::addColumn<int>("steps");
        QTest::newRow("table: sensors 2, 4") << true << Parts{2, 4} << Parts{} << Parts{2, 4} << 1;
        QTest::newRow("table: silent main") << true << Parts{6, 7} << Parts{7} << Parts{6} << 1;
        QTest::newRow("plain, silent")
            << false << Parts{} << Parts{3} << Parts{1, 2, 4, 5, 6, 7} << 3;
    }

    void selection()
    {
        QFETCH(bool, advanced);
        QFETCH(Parts, ticked);
        QFETCH(Parts, silent);
        QFETCH(Parts, updated);
        QFETCH(int, steps);
        open({testImage("PKEYS v2.1"), testImage("PCTRL v3.2"), testImage("PBASE v4.3")}, ticked,
             advanced, silent);
        QCOMPARE(start(), QString());
        QCOMPARE(total()->maximum(), steps * 1000);
        QCOMPARE(run(), success);
        QCOMPARE(startedBoards(), updated);
        for (int p : allBoards) {
            QCOMPARE(sim.bytes("installedImage", p).isEmpty(), !updated.contains(p));
            QCOMPARE(check(p)->isChecked(), !updated.contains(p) && ticked.contains(p));
        }
    }

    void failure_data()
    {
        QTest::addColumn<QByteArray>("mainImage");
        QTest::addColumn<int>("rejectedBy"); // the sensor board that rejects line 1, or 0
        QTest::addColumn<QString>("text");
        QTest::addColumn<Parts>("failed");
        QTest::addColumn<Parts>("started");
        QTest::newRow("a sensor board rejects a line")
            << testImage("PBASE v4.3") << 2 << "Sensor Boards: Errors while transfering data"
            << Parts{5, 1, 2, 3, 4} << Parts{1, 2, 3, 4, 5};
        QTest::newRow("main-board image unusable")
            << testImage("PBASE v4.3", 25) << 0 << "Main Board: Invalid firmware file" << Parts{7}
            << Parts{};
    }

    // The failed step's boards show the error, the total bar says which step failed and
    // why, the boards of other steps are left alone; then the boards are asked afresh,
    // and only those that answer are selectable again.
    void failure()
    {
        QFETCH(QByteArray, mainImage);
        QFETCH(int, rejectedBy);
        QFETCH(QString, text);
        QFETCH(Parts, failed);
        QFETCH(Parts, started);
        open({testImage("PKEYS v2.1"), testImage("PCTRL v3.2"), mainImage}, {}, false);
        if (rejectedBy)
            sim.run("rejectLine", rejectedBy, 1);
        QCOMPARE(start(), QString());
        sim.run("absent", 6); // the control panel goes quiet; no step reaches it
        QCOMPARE(run(), text);
        QVERIFY(total()->property("error").toBool() && !total()->property("working").toBool());
        QCOMPARE(total()->value(), 3000);
        const QString error = text.section(QStringLiteral(": "), 1);
        for (int p : allBoards) {
            QCOMPARE(bar(p)->text(), failed.contains(p) ? error + " (100%)" : QString());
            QCOMPARE(bar(p)->property("error").toBool(), failed.contains(p));
            QCOMPARE(sim.bytes("installedImage", p), QByteArray());
        }
        QCOMPARE(startedBoards(), started);
        QTRY_COMPARE(enabledBoxes(), Parts({5, 1, 2, 3, 4, 7}));
        QTest::qWait(20);
        QCOMPARE(enabledBoxes(), Parts({5, 1, 2, 3, 4, 7}));

        // Nothing of the failed run lingers: the next run starts and completes.
        if (rejectedBy)
            sim.run("rejectLine", rejectedBy, -1);
        QVERIFY(load(testImage("PBASE v4.3")).contains(QLatin1String("replace")));
        sim.run("clearLog");
        QCOMPARE(start(), QString());
        QCOMPARE(run(), success);
        QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5, 7}));
    }

    // The run flashes the images the window showed when Start was pressed: loading a
    // file, or stamping (which brings the built-in images back), is for the next run.
    void imagesTakenAtStart()
    {
        open({testImage("PBASE v4.3")}, {1, 7}, true); // the built-in sensor image takes a while
        QCOMPARE(start(), QString());
        QTRY_VERIFY(bar(1)->format().startsWith(QLatin1String("Transferring")));
        QVERIFY(load(testImage("PBASE v5.6")).contains(QLatin1String("replace")));
        QMetaObject::invokeMethod(loader.data(), "updateFileState");
        QCOMPARE(widget<QLabel>("fileStateMainboard")->text().left(14), "PBASE-v5.6.hex");
        QCOMPARE(answering(QMessageBox::Ok,
                           [this] { QMetaObject::invokeMethod(loader.data(), "calcChecksum"); }),
                 QString());
        QCOMPARE(widget<QLabel>("fileStateMainboard")->text().left(14), "PBASE-v3.3.hex");
        QVERIFY(bar(7)->format().isEmpty()); // all of this while the sensor step still ran
        QCOMPARE(run(), success);
        QCOMPARE(sim.value("boardVersion", 7), 43);
        QTRY_COMPARE(widget<QLabel>("versionMainboard")->text(), QStringLiteral("v4.3"));
    }

    void closeDuringUpdate_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("No keeps the window") << false;
        QTest::newRow("Yes closes it") << true;
    }

    void closeDuringUpdate()
    {
        QFETCH(bool, yes);
        open({}, {6}, true);
        QCOMPARE(start(), QString());
        QTRY_VERIFY(sim.bytes("receivedText", 6).size() > 200); // well into the built-in image
        const int before = sim.list("messages").size();
        QCOMPARE(
            answering(yes ? QMessageBox::Yes : QMessageBox::No, [this] { loader->close(); }),
            QStringLiteral("Cancel update|Do you really want to cancel the firmware  update?"));
        QCOMPARE(loader->isVisible(), !yes);
        if (yes) {
            for (const QByteArray &m : sim.list("messages").mid(before))
                QCOMPARE(int(m.at(0)), 0x03); // the transfer went on while the question was open
            loader.reset();
            const int atClose = sim.list("messages").size();
            QTest::qWait(50);
            QCOMPARE(sim.list("messages").size(), atClose);
        } else {
            QCOMPARE(run(), success);
        }
        QCOMPARE(sim.bytes("installedImage", 6).isEmpty(), yes);
    }

    void anotherInstrument_data()
    {
        QTest::addColumn<bool>("serials");
        QTest::addColumn<QString>("text");
        QTest::newRow("serial numbers: the same one checked") << true << success;
        QTest::newRow("none: not checked")
            << false << "Main Board: New firmware not checked: another instrument is attached";
    }

    // A second instrument plugged in during a run leaves the run alone: it goes on with its
    // own instrument, and checks its main board after the restart, though the other one is
    // listed first then and already runs the new firmware. Without serial numbers the link
    // cannot tell the two apart, and the check fails. The other instrument hears nothing;
    // with both attached the window stays locked, with the run's result shown.
    void anotherInstrument()
    {
        QFETCH(bool, serials);
        QFETCH(QString, text);
        zelsim::Instrument &updated = zelsim::Instrument::instance(2);
        sim.run("reset");
        sim.run("unplug");
        sim.run("version", 7, 33); // the built-in image's v3.3
        updated.run("plug");
        updated.run("restartMs", 100);
        if (serials) {
            sim.run("serial", "HR36-0001");
            updated.run("serial", "HR36-0002");
        }
        loader.reset(new zelLoader);
        loader->show();
        QTRY_VERIFY(check(7)->isEnabled());
        widget<QCheckBox>("advanced")->setChecked(true);
        for (int p : allBoards)
            check(p)->setChecked(p == 7);
        QCOMPARE(start(), QString());
        sim.run("plug");
        QVERIFY(waitFor([this] { return !total()->property("working").toBool(); }, 60000));
        QCOMPARE(total()->format(), text);
        QCOMPARE(updated.bytes("installedImage", 7), builtInImage(7).getHexText());
        QCOMPARE(sim.list("messages"), QByteArrayList());
        QVERIFY(!startButton()->isEnabled());
        QCOMPARE(widget<QLabel>("versionMainboard")->text(), QString());
    }

private:
    // Opens the window with `images` loaded over the built-in ones, waits for the boards
    // that answer, ticks `ticked` (the board table keeps ticks in either view) and leaves
    // the view advanced or plain.
    void open(const QByteArrayList &images, const Parts &ticked, bool advanced,
              const Parts &silent = {})
    {
        sim.run("reset");
        sim.run("restartMs", 100); // back before the second after the restart is over
        for (int p : silent)
            sim.run("absent", p);
        loader.reset(new zelLoader);
        loader->show();
        for (const QByteArray &image : images)
            QVERIFY(load(image).contains(QLatin1String("replace")));
        for (int p : allBoards) {
            QTRY_VERIFY(check(p)->isEnabled() || silent.contains(p));
            QCOMPARE(check(p)->isEnabled(), !silent.contains(p));
            check(p)->setChecked(ticked.contains(p));
        }
        widget<QCheckBox>("advanced")->setChecked(advanced);
        sim.run("clearLog");
    }

    // Loads a test image, answering Yes; returns the question asked.
    QString load(const QByteArray &image)
    {
        QTemporaryFile file;
        if (!file.open() || file.write(image) != image.size() || !file.flush())
            return QString();
        return answering(QMessageBox::Yes, [&] {
            QMetaObject::invokeMethod(loader.data(), "loadFirmware",
                                      Q_ARG(QString, file.fileName()));
        });
    }

    // Runs until the update has ended and returns the total bar's text.
    QString run()
    {
        waitFor([this] { return startButton()->isEnabled(); }, 60000);
        return total()->format();
    }

    QString start()
    {
        return answering(QMessageBox::Ok, [this] { startButton()->click(); });
    }

    template <class T> T *widget(const QString &n) const { return loader->findChild<T *>(n); }
    QCheckBox *check(int part) const { return widget<QCheckBox>(name("check", part)); }
    QProgressBar *bar(int part) const { return widget<QProgressBar>(name("progress", part)); }
    QProgressBar *total() const { return widget<QProgressBar>("totalProgress"); }
    QPushButton *startButton() const { return widget<QPushButton>("startUpdate"); }
    Parts enabledBoxes() const
    {
        Parts out;
        for (int p : allBoards) {
            if (check(p)->isEnabled())
                out << p;
        }
        return out;
    }

    QScopedPointer<zelLoader> loader;
};

QTEST_MAIN(tst_UpdateSequence)
#include "tst_updatesequence.moc"

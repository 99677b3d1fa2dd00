// Updating the instrument from the window, end to end: the real dialog drives
// the real updaters against the simulated instrument.
#include "hexrecord.h"
#include "siminstrument.h"
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

// An image ("FAMILY vX.Y") of little more than its information block, which
// keeps two characters in each group of four bytes: most runs take milliseconds.
QByteArray testImage(const QByteArray &familyAndVersion)
{
    QByteArray text = hexRecord(4, 0, QByteArray(2, '\0')) + "\r\n";
    text += infoBlock(familyAndVersion.left(5), familyAndVersion.mid(6), "Mar 01 2016 10:00:00");
    text += ":00000001FF\r\n";
    return text + hexRecord(0x80, 0, QByteArray(1, '\0') + char(FirmwareFile::fileChecksum(text))) +
           "\r\n";
}

// Boards that were sent a start message, in the order they were sent.
Parts startedBoards()
{
    Parts out;
    for (const QByteArray &m : sim.messages()) {
        if (m.at(0) == 0x02)
            out.append(m.at(1));
    }
    return out;
}

// Runs `action`, answering the modal box it opens with `button`; returns the
// box's title and text, empty if none showed (a stray box is closed, not left to hang).
QString answering(QMessageBox::StandardButton button, const std::function<void()> &action)
{
    QString seen;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            seen = box->windowTitle() + QLatin1Char('|') + box->text();
            box->button(button) ? box->button(button)->click() : box->reject();
        }
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
    void fullRunWithBuiltInImages();
    void selection_data();
    void selection();
    void sensorFailureEndsRun();
    void closeDuringUpdate_data();
    void closeDuringUpdate();
    void nothingSelected();

private:
    void open(bool testImages, const Parts &ticked, bool advanced, const Parts &silent = {});
    QString start()
    {
        return answering(QMessageBox::Ok, [this] { startButton()->click(); });
    }
    QString run();

    template <class T> T *widget(const QString &n) const { return loader->findChild<T *>(n); }
    QCheckBox *check(int part) const { return widget<QCheckBox>(name("check", part)); }
    QProgressBar *bar(int part) const { return widget<QProgressBar>(name("progress", part)); }
    QProgressBar *total() const { return widget<QProgressBar>("totalProgress"); }
    QPushButton *startButton() const { return widget<QPushButton>("startUpdate"); }

    QScopedPointer<zelLoader> loader;
};

// Opens the window, waits for the boards that answer, ticks `ticked` (the
// board table keeps ticks in either view) and leaves the view advanced or plain.
void tst_UpdateSequence::open(bool testImages, const Parts &ticked, bool advanced,
                              const Parts &silent)
{
    sim.reset();
    for (int p : silent)
        sim.setBoardPresent(p, false);
    loader.reset(new zelLoader);
    loader->show();
    const QByteArrayList images = {"PKEYS v2.1", "PCTRL v3.2", "PBASE v4.3"};
    for (int i = 0; testImages && i < images.size(); ++i) {
        QTemporaryFile file;
        QVERIFY(file.open() && file.write(testImage(images[i])) > 0 && file.flush());
        QVERIFY(answering(QMessageBox::Yes, [&] {
                    QMetaObject::invokeMethod(loader.data(), "loadFirmware",
                                              Q_ARG(QString, file.fileName()));
                }).contains(QLatin1String("replace")));
    }
    for (int p : allBoards) {
        QTRY_VERIFY(check(p)->isEnabled() || silent.contains(p));
        QCOMPARE(check(p)->isEnabled(), !silent.contains(p));
        check(p)->setChecked(ticked.contains(p));
    }
    widget<QCheckBox>("advanced")->setChecked(advanced);
    sim.clearLog();
}

// Runs until the update has ended and returns the total bar's text. QTRY_*
// naps 10 ms between its looks, and the link's 1 ms poll would nap with it.
QString tst_UpdateSequence::run()
{
    for (int i = 0; i < 12000 && !startButton()->isEnabled(); ++i) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return total()->format();
}

void tst_UpdateSequence::fullRunWithBuiltInImages()
{
    open(false, {1, 3, 6}, false); // the plain view takes unticked boards too
    QList<int> duringPanel;
    QString gone, back, atMainAnswer;
    QObject scope; // the watchers end with this test, not with the window
    connect(total(), &QProgressBar::valueChanged, &scope, [&](int value) {
        if (bar(6)->format().startsWith(QLatin1String("Transferring")))
            duringPanel << value;
    });
    // Around the main board's restart; the window's slots run first, the updater's last.
    auto *device = loader->findChild<zelInterface *>();
    connect(device, &UsbHid::disconnected, &scope, [&] { gone = total()->format(); });
    connect(device, &UsbHid::connected, &scope, [&] { back = total()->format(); });
    connect(device, &zelInterface::firmwareVersion, &scope, [&](zelInterface::PartType part) {
        if (part == zelInterface::Mainboard && !back.isEmpty() && atMainAnswer.isEmpty())
            atMainAnswer = total()->format();
    });
    QCOMPARE(start(), QString());
    QCOMPARE(QPoint(total()->minimum(), total()->maximum()), QPoint(0, 3000));
    QCOMPARE(run(), success);
    // The sensor step's share stays counted while the control panel's goes out.
    QVERIFY(!duringPanel.isEmpty() && duringPanel.first() >= 1000 && duringPanel.last() == 2000);
    QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5, 6, 7}));
    for (int p : allBoards) {
        FirmwareFile image;
        image.load(QStringLiteral(":/firmware/p") + (p == 7 ? "base" : p == 6 ? "ctrl" : "keys"));
        QVERIFY(!check(p)->isChecked());
        QCOMPARE(sim.installedImage(p), image.getHexText());
        QTRY_COMPARE(widget<QLabel>(name("version", p))->text(), image.getVersion());
    }
    QCOMPARE(gone, QStringLiteral("Waiting for USB connection"));
    QVERIFY(!back.isEmpty() && !back.startsWith(QLatin1String("Ready"))); // the update keeps it
    QCOMPARE(atMainAnswer, "Main Board: Validate new firmware version (Total %p%)");
    const auto log = sim.messages(); // after the restart the window's version requests go first
    QCOMPARE(log.mid(log.lastIndexOf(QByteArray::fromHex("0507")) + 1).join().toHex(),
             QByteArray("01060101010201030104010501070107"));
}

void tst_UpdateSequence::selection_data()
{
    QTest::addColumn<bool>("advanced");
    QTest::addColumn<Parts>("ticked");
    QTest::addColumn<Parts>("silent");
    QTest::addColumn<Parts>("updated");
    QTest::addColumn<int>("steps");
    QTest::newRow("table: sensors 2, 4") << true << Parts{2, 4} << Parts{} << Parts{2, 4} << 1;
    QTest::newRow("table: silent main") << true << Parts{6, 7} << Parts{7} << Parts{6} << 1;
    QTest::newRow("plain, silent") << false << Parts{} << Parts{3} << Parts{1, 2, 4, 5, 6, 7} << 3;
}

void tst_UpdateSequence::selection()
{
    QFETCH(bool, advanced);
    QFETCH(Parts, ticked);
    QFETCH(Parts, silent);
    QFETCH(Parts, updated);
    QFETCH(int, steps);
    open(true, ticked, advanced, silent);
    QCOMPARE(start(), QString());
    QCOMPARE(total()->maximum(), steps * 1000);
    QCOMPARE(run(), success);
    QCOMPARE(startedBoards(), updated);
    for (int p : allBoards) {
        QCOMPARE(sim.installedImage(p).isEmpty(), !updated.contains(p));
        QCOMPARE(check(p)->isChecked(), !updated.contains(p) && ticked.contains(p));
    }
}

void tst_UpdateSequence::sensorFailureEndsRun()
{
    open(true, {}, false);
    sim.setRejectLine(2, 1); // one board of the group fails the whole first step
    QCOMPARE(start(), QString());
    QCOMPARE(run(), QStringLiteral("Sensor Boards: Errors while transfering data"));
    QVERIFY(total()->property("error").toBool() && total()->value() == 3000);
    for (int p = 1; p <= 5; ++p)
        QCOMPARE(bar(p)->text(), QStringLiteral("Errors while transfering data (100%)"));
    for (int p : {6, 7})
        QVERIFY(bar(p)->format().isEmpty() && !bar(p)->value() && sim.installedImage(p).isEmpty());
    QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5}));
    // Nothing of the failed run lingers: the next run starts and completes.
    sim.setRejectLine(2, -1);
    sim.clearLog();
    QCOMPARE(start(), QString());
    QCOMPARE(run(), success);
    QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5, 6, 7}));
}

void tst_UpdateSequence::closeDuringUpdate_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("No keeps the window") << false;
    QTest::newRow("Yes closes it") << true;
}

void tst_UpdateSequence::closeDuringUpdate()
{
    QFETCH(bool, yes);
    open(false, {6}, true);
    QCOMPARE(start(), QString());
    QTRY_VERIFY(sim.receivedText(6).size() > 200); // well into the built-in image
    const int before = sim.messages().size();
    QCOMPARE(answering(yes ? QMessageBox::Yes : QMessageBox::No, [this] { loader->close(); }),
             QStringLiteral("Cancel update|Do you really want to cancel the firmware  update?"));
    QCOMPARE(loader->isVisible(), !yes);
    if (yes) {
        for (const QByteArray &m : sim.messages().mid(before))
            QCOMPARE(int(m.at(0)), 0x03); // the transfer went on while the question was open
        loader.reset();
        const int atClose = sim.messages().size();
        QTest::qWait(50);
        QCOMPARE(sim.messages().size(), atClose);
    } else {
        QCOMPARE(run(), success);
    }
    QCOMPARE(sim.installedImage(6).isEmpty(), yes);
}

void tst_UpdateSequence::nothingSelected()
{
    open(false, {}, true);
    QCOMPARE(start(), QStringLiteral("No update selected|No board has been selected for firmware "
                                     "update. Please select boards you want to update."));
    QCOMPARE(total()->value(), 0);
    QVERIFY(!loader->findChild<zelUpdater *>() && startedBoards().isEmpty());
}

QTEST_MAIN(tst_UpdateSequence)
#include "tst_updatesequence.moc"

// Updating the instrument from the window, end to end: the real dialog drives
// the real updaters against the simulated instrument.
#include "firmwarefile.h"
#include "siminstrument.h"
#include "zelinterface.h"
#include "zelloader.h"
#include "zelupdater.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using Part = zelInterface::PartType;
using Parts = QList<int>;

namespace {

const QList<int> allBoards = {5, 1, 2, 3, 4, 6, 7};

QString checkName(int part)
{
    if (part >= 1 && part <= 5)
        return QStringLiteral("checkSensor%1").arg(part);
    return part == 6 ? QStringLiteral("checkTerminal") : QStringLiteral("checkMainboard");
}

QString barName(int part)
{
    if (part >= 1 && part <= 5)
        return QStringLiteral("progressSensor%1").arg(part);
    return part == 6 ? QStringLiteral("progressTerminal") : QStringLiteral("progressMainboard");
}

QString versionName(int part)
{
    if (part >= 1 && part <= 5)
        return QStringLiteral("versionSensor%1").arg(part);
    return part == 6 ? QStringLiteral("versionTerminal") : QStringLiteral("versionMainboard");
}

QString resourceOf(int part)
{
    if (part == 7)
        return QStringLiteral(":/firmware/pbase");
    return part == 6 ? QStringLiteral(":/firmware/pctrl") : QStringLiteral(":/firmware/pkeys");
}

QByteArray record(quint16 address, quint8 type, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : qAsConst(bytes))
        sum += quint8(c);
    bytes.append(char(quint8(0x100 - sum)));
    return ':' + bytes.toHex().toUpper() + "\r\n";
}

// The information block keeps two characters in each group of four bytes.
QByteArray infoRecords(quint16 base, const QByteArray &text)
{
    QByteArray block(64, '\0');
    for (int i = 0; i < text.size(); ++i)
        block[(i / 2) * 4 + i % 2] = text.at(i);
    QByteArray out;
    for (int r = 0; r < 4; ++r)
        out += record(quint16(base + r * 16), 0x00, block.mid(r * 16, 16));
    return out;
}

// A small but complete image of one family, so that most runs take milliseconds.
QString writeImage(const QTemporaryDir &dir, const QByteArray &family, const QByteArray &version,
                   int dataLines)
{
    QByteArray text = record(0, 0x04, QByteArray::fromHex("0000"));
    quint16 address = 0;
    for (int i = 0; i < dataLines; ++i) {
        if (address == 0x800)
            address = 0x8C0; // keep clear of the information block
        QByteArray data(16, '\0');
        for (int b = 0; b < 16; ++b)
            data[b] = char((i * 7 + b) & 0xFF);
        text += record(address, 0x00, data);
        address += 16;
        if (address == 0x800) {
            text += infoRecords(0x800, family);
            text += infoRecords(0x840, version);
            text += infoRecords(0x880, "Mar 01 2016 10:00:00");
        }
    }
    if (address < 0x800) {
        text += infoRecords(0x800, family);
        text += infoRecords(0x840, version);
        text += infoRecords(0x880, "Mar 01 2016 10:00:00");
    }
    text += ":00000001FF\r\n";
    const quint8 sum = FirmwareFile::fileChecksum(text);
    text += QStringLiteral(":0200008000%1%2\n")
                .arg(sum, 2, 16, QLatin1Char('0'))
                .arg(quint8(0x7E - sum), 2, 16, QLatin1Char('0'))
                .toLatin1();
    const QString path = dir.filePath(QString::fromLatin1(family) + QStringLiteral(".hex"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(text);
    return path;
}

QList<QByteArray> messagesWith(char command)
{
    QList<QByteArray> out;
    const auto all = zelsim::Instrument::instance().messages();
    for (const QByteArray &m : all) {
        if (!m.isEmpty() && m.at(0) == command)
            out.append(m);
    }
    return out;
}

// Boards that were sent a start message, in the order they were sent.
Parts startedBoards()
{
    Parts out;
    const auto starts = messagesWith(0x02);
    for (const QByteArray &m : starts)
        out.append(int(m.at(1)));
    return out;
}

} // namespace

// What a modal message box showed before the test answered it.
struct SeenBox
{
    bool seen = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttonCount = 0;
    QWidget *parent = nullptr;
};

class tst_UpdateSequence : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullRunWithBuiltInImages();
    void selection_data();
    void selection();
    void failureEndsRun_data();
    void failureEndsRun();
    void mainBoardRestart();
    void closeDuringUpdate_data();
    void closeDuringUpdate();
    void nothingSelected_data();
    void nothingSelected();

private:
    zelLoader *openLoader();
    void useTestImages();
    void setAdvanced(bool on);
    void tick(const Parts &parts);
    void clickStart(bool boxExpected = false);
    void answerNextBox(QMessageBox::StandardButton button, SeenBox *seen);
    bool finished() const;
    bool runUntilFinished(int timeoutMs = 20000);

    template <typename T> T *widget(const QString &name) const
    {
        return loader->findChild<T *>(name);
    }
    QCheckBox *check(int part) const { return widget<QCheckBox>(checkName(part)); }
    QProgressBar *bar(int part) const { return widget<QProgressBar>(barName(part)); }
    QProgressBar *total() const { return widget<QProgressBar>(QStringLiteral("totalProgress")); }
    QPushButton *startButton() const { return widget<QPushButton>(QStringLiteral("startUpdate")); }

    zelLoader *loader = nullptr;
    std::unique_ptr<QTemporaryDir> dir;
    QList<QTimer *> answerers;
};

void tst_UpdateSequence::init()
{
    zelsim::Instrument::instance().reset();
    zelsim::Instrument::instance().setRestartDelayMs(50);
    dir = std::make_unique<QTemporaryDir>();
}

void tst_UpdateSequence::cleanup()
{
    qDeleteAll(answerers);
    answerers.clear();
    delete loader;
    loader = nullptr;
    dir.reset();
}

zelLoader *tst_UpdateSequence::openLoader()
{
    loader = new zelLoader;
    loader->show();
    // The updater gives the main board a second before it waits for the
    // reconnection; the simulated board is back much sooner, so let that second
    // pass at once when the device goes away (the restart's only visible sign).
    auto *device = loader->findChild<zelInterface *>();
    connect(device, &UsbHid::disconnected, loader, [this] {
        const auto updaters = loader->findChildren<zelUpdater *>();
        for (zelUpdater *u : updaters) {
            auto *timer = u->findChild<QTimer *>();
            if (u->contains(zelInterface::Mainboard) && timer && timer->isActive() &&
                timer->interval() == 1000)
                timer->start(1);
        }
    });
    return loader;
}

void tst_UpdateSequence::useTestImages()
{
    const QList<QPair<QByteArray, QByteArray>> images = {
        {"PKEYS", "v2.1"}, {"PCTRL", "v3.2"}, {"PBASE", "v4.3"}};
    for (const auto &image : images) {
        const QString path = writeImage(*dir, image.first, image.second, 20);
        QVERIFY(!path.isEmpty());
        SeenBox question;
        answerNextBox(QMessageBox::Yes, &question);
        QVERIFY(QMetaObject::invokeMethod(loader, "loadFirmware", Q_ARG(QString, path)));
        QVERIFY(question.seen);
    }
}

void tst_UpdateSequence::setAdvanced(bool on)
{
    auto *advanced = widget<QCheckBox>(QStringLiteral("advanced"));
    QVERIFY(advanced);
    if (advanced->isChecked() != on)
        advanced->click();
    QCOMPARE(advanced->isChecked(), on);
}

void tst_UpdateSequence::tick(const Parts &parts)
{
    for (int p : allBoards)
        check(p)->setChecked(parts.contains(p));
}

void tst_UpdateSequence::clickStart(bool boxExpected)
{
    QVERIFY(startButton()->isEnabled());
    // A box nobody expects would wait for an answer for ever; close it and fail.
    SeenBox stray;
    if (!boxExpected)
        answerNextBox(QMessageBox::Ok, &stray);
    QTest::mouseClick(startButton(), Qt::LeftButton);
    if (!boxExpected) {
        QTimer *guard = answerers.takeLast();
        delete guard;
        QVERIFY2(!stray.seen, qPrintable(stray.title));
    }
}

void tst_UpdateSequence::answerNextBox(QMessageBox::StandardButton button, SeenBox *seen)
{
    auto *timer = new QTimer;
    timer->setInterval(1);
    connect(timer, &QTimer::timeout, timer, [timer, button, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->buttonCount = box->buttons().size();
        seen->parent = box->parentWidget();
        if (QAbstractButton *b = box->button(button))
            b->click();
        else
            box->reject();
    });
    timer->start();
    answerers.append(timer);
}

bool tst_UpdateSequence::finished() const
{
    const QString text = total()->format();
    return startButton()->isEnabled() && (text == QLatin1String("Firmware update successfull") ||
                                          total()->property("error").toBool());
}

// QTRY_* naps 10 ms between its looks, and the link's 1 ms poll would sleep
// with it; a real event loop keeps the transfer at its own pace.
bool tst_UpdateSequence::runUntilFinished(int timeoutMs)
{
    QEventLoop loop;
    QTimer look;
    connect(&look, &QTimer::timeout, &loop, [&] {
        if (finished())
            loop.quit();
    });
    look.start(5);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return finished();
}

void tst_UpdateSequence::fullRunWithBuiltInImages()
{
    openLoader();
    for (int p : allBoards)
        QTRY_VERIFY(check(p)->isEnabled());

    // A few boards ticked in the board table, then back to the plain view: the
    // plain view updates every board that answered, ticked or not.
    setAdvanced(true);
    tick({1, 3, 6});
    setAdvanced(false);

    // The total bar during the control panel's transfer, to see that the
    // sensor step's share stays counted.
    int terminalLow = INT_MAX;
    int terminalHigh = -1;
    bool totalFellBack = false;
    int lastTotal = 0;
    QObject scope; // the watcher ends with this test, not with the window
    connect(total(), &QProgressBar::valueChanged, &scope, [&](int value) {
        if (value < lastTotal)
            totalFellBack = true;
        lastTotal = value;
        if (bar(6)->format().startsWith(QLatin1String("Transferring"))) {
            terminalLow = qMin(terminalLow, value);
            terminalHigh = qMax(terminalHigh, value);
        }
    });

    clickStart();
    QCOMPARE(total()->minimum(), 0);
    QCOMPARE(total()->maximum(), 3000);
    QVERIFY(!startButton()->isEnabled());
    QVERIFY(runUntilFinished(60000));

    QCOMPARE(total()->format(), QStringLiteral("Firmware update successfull"));
    QVERIFY(total()->property("done").toBool());
    QVERIFY(!total()->property("working").toBool());
    QCOMPARE(total()->value(), 3000);
    QVERIFY(!totalFellBack);
    QVERIFY(terminalLow >= 1000);
    QCOMPARE(terminalHigh, 2000);

    // Sensor group first (all five at once), then the control panel, then the main board.
    QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5, 6, 7}));

    auto &sim = zelsim::Instrument::instance();
    for (int p : allBoards) {
        QVERIFY2(!check(p)->isChecked(), qPrintable(checkName(p)));
        FirmwareFile image;
        QCOMPARE(image.load(resourceOf(p)), FirmwareFile::Ok);
        QCOMPARE(sim.installedImage(p), image.getHexText());
        QTRY_COMPARE(widget<QLabel>(versionName(p))->text(), image.getVersion());
        QCOMPARE(bar(p)->format(), QStringLiteral("Firmware update successfull"));
        QVERIFY(bar(p)->property("done").toBool());
    }
}

void tst_UpdateSequence::selection_data()
{
    QTest::addColumn<bool>("advanced");
    QTest::addColumn<Parts>("ticked");
    QTest::addColumn<int>("silent");
    QTest::addColumn<Parts>("updated");
    QTest::addColumn<int>("steps");

    QTest::newRow("plain view takes unticked boards")
        << false << Parts{} << 0 << Parts{1, 2, 3, 4, 5, 6, 7} << 3;
    QTest::newRow("board table: sensors 2 and 4") << true << Parts{2, 4} << 0 << Parts{2, 4} << 1;
    QTest::newRow("board table: control panel and main board")
        << true << Parts{6, 7} << 0 << Parts{6, 7} << 2;
    QTest::newRow("plain view: silent sensor 3, ticked")
        << false << Parts{3} << 3 << Parts{1, 2, 4, 5, 6, 7} << 3;
    QTest::newRow("board table: silent sensor 3, ticked")
        << true << Parts{3, 5} << 3 << Parts{5} << 1;
    QTest::newRow("board table: silent main board, ticked")
        << true << Parts{6, 7} << 7 << Parts{6} << 1;
}

void tst_UpdateSequence::selection()
{
    QFETCH(bool, advanced);
    QFETCH(Parts, ticked);
    QFETCH(int, silent);
    QFETCH(Parts, updated);
    QFETCH(int, steps);

    auto &sim = zelsim::Instrument::instance();
    if (silent)
        sim.setBoardPresent(silent, false);
    openLoader();
    useTestImages();
    for (int p : allBoards) {
        if (p != silent)
            QTRY_VERIFY(check(p)->isEnabled());
    }
    if (silent)
        QVERIFY(!check(silent)->isEnabled());

    setAdvanced(true);
    tick(ticked);
    setAdvanced(advanced);
    sim.clearLog();

    clickStart();
    QCOMPARE(total()->maximum(), steps * 1000);
    QVERIFY(runUntilFinished());
    QCOMPARE(total()->format(), QStringLiteral("Firmware update successfull"));
    QCOMPARE(total()->value(), steps * 1000);

    QCOMPARE(startedBoards(), updated);
    for (int p : allBoards) {
        const bool isUpdated = updated.contains(p);
        QCOMPARE(sim.installedImage(p).isEmpty(), !isUpdated);
        // Updated boxes are unticked; boxes the run did not take keep their tick.
        QCOMPARE(check(p)->isChecked(), !isUpdated && ticked.contains(p));
        if (!isUpdated) {
            QCOMPARE(bar(p)->format(), QString());
            QCOMPARE(bar(p)->value(), 0);
        }
    }
    // Data lines for sensor boards go once, to the whole group.
    const auto data = messagesWith(0x03);
    for (const QByteArray &m : data)
        QVERIFY(m.at(1) == 0 || m.at(1) == 6 || m.at(1) == 7);
}

void tst_UpdateSequence::failureEndsRun_data()
{
    QTest::addColumn<int>("fault"); // 0 reject a line, 1 refuse start, 2 reject end
    QTest::addColumn<int>("faultyBoard");
    QTest::addColumn<Parts>("failed");
    QTest::addColumn<Parts>("succeeded");
    QTest::addColumn<Parts>("untouched");
    QTest::addColumn<QString>("totalText");
    QTest::addColumn<QString>("boardText");

    QTest::newRow("sensor board rejects a line (first of three steps)")
        << 0 << 2 << Parts{1, 2, 3, 4, 5} << Parts{} << Parts{6, 7}
        << "Sensor Boards: Errors while transfering data"
        << "Errors while transfering data (100%)";
    QTest::newRow("control panel refuses to start (second step)")
        << 1 << 6 << Parts{6} << Parts{1, 2, 3, 4, 5} << Parts{7}
        << "Control Panel: Firmware update mode could not be startet"
        << "Firmware update mode could not be startet (100%)";
    QTest::newRow("main board rejects the end (last step)")
        << 2 << 7 << Parts{7} << Parts{1, 2, 3, 4, 5, 6} << Parts{}
        << "Main Board: Invalid firmware file"
        << "Invalid firmware file (100%)";
}

void tst_UpdateSequence::failureEndsRun()
{
    QFETCH(int, fault);
    QFETCH(int, faultyBoard);
    QFETCH(Parts, failed);
    QFETCH(Parts, succeeded);
    QFETCH(Parts, untouched);
    QFETCH(QString, totalText);
    QFETCH(QString, boardText);

    auto &sim = zelsim::Instrument::instance();
    if (fault == 0)
        sim.setRejectLine(faultyBoard, 1);
    else if (fault == 1)
        sim.setRefuseStart(faultyBoard, true);
    else
        sim.setRejectEnd(faultyBoard, true);

    openLoader();
    useTestImages();
    for (int p : allBoards)
        QTRY_VERIFY(check(p)->isEnabled());
    sim.clearLog();

    clickStart();
    QCOMPARE(total()->maximum(), 3000);
    QVERIFY(runUntilFinished());

    QCOMPARE(total()->format(), totalText);
    QVERIFY(total()->property("error").toBool());
    QVERIFY(!total()->property("working").toBool());
    QCOMPARE(total()->value(), total()->maximum());
    QVERIFY(startButton()->isEnabled());

    for (int p : failed) {
        QCOMPARE(bar(p)->text(), boardText);
        QVERIFY(bar(p)->property("error").toBool());
    }
    for (int p : succeeded) {
        QCOMPARE(bar(p)->format(), QStringLiteral("Firmware update successfull"));
        QVERIFY(bar(p)->property("done").toBool());
    }
    for (int p : untouched) {
        QCOMPARE(bar(p)->format(), QString());
        QCOMPARE(bar(p)->value(), 0);
        QVERIFY(sim.installedImage(p).isEmpty());
        QVERIFY(!startedBoards().contains(p));
    }

    // Nothing of the failed run lingers: the next run starts and completes.
    sim.setRejectLine(faultyBoard, -1);
    sim.setRefuseStart(faultyBoard, false);
    sim.setRejectEnd(faultyBoard, false);
    for (int p : allBoards)
        QTRY_VERIFY(check(p)->isEnabled());
    sim.clearLog();
    clickStart();
    QVERIFY(!total()->property("error").toBool());
    QVERIFY(total()->property("working").toBool());
    QVERIFY(runUntilFinished());
    QCOMPARE(total()->format(), QStringLiteral("Firmware update successfull"));
    QVERIFY(!total()->property("error").toBool());
    QCOMPARE(total()->value(), total()->maximum());
    QCOMPARE(startedBoards(), Parts({1, 2, 3, 4, 5, 6, 7}));
    for (int p : allBoards)
        QVERIFY(!sim.installedImage(p).isEmpty());
}

void tst_UpdateSequence::mainBoardRestart()
{
    auto &sim = zelsim::Instrument::instance();
    openLoader();
    useTestImages();
    QTRY_VERIFY(check(7)->isEnabled());
    setAdvanced(true);
    tick({7});

    auto *device = loader->findChild<zelInterface *>();
    QString textWhileGone;
    QString textOnReturn;
    // The window connected to the device first, so its slots have run by now.
    QObject scope; // the watchers below end with this test, not with the window
    connect(device, &UsbHid::disconnected, &scope, [&] { textWhileGone = total()->format(); });
    connect(device, &UsbHid::connected, &scope, [&] { textOnReturn = total()->format(); });
    QStringList totalPerState;
    QSignalSpy starts(device, &UsbHid::connected);

    sim.clearLog();
    clickStart();
    auto *running = loader->findChild<zelUpdater *>();
    QVERIFY(running);
    connect(running, &zelUpdater::currentState, &scope,
            [&](zelUpdater::State state, zelUpdater::Err) {
                if (state == zelUpdater::VerifyVersion)
                    totalPerState.append(total()->format());
            });
    QVERIFY(runUntilFinished());
    QCOMPARE(total()->format(), QStringLiteral("Firmware update successfull"));

    QCOMPARE(sim.restartCount(), 1);
    QCOMPARE(starts.count(), 1);
    QCOMPARE(textWhileGone, QStringLiteral("Waiting for USB connection"));
    // Still the connection text when the device is back: an update runs, so
    // the window leaves the total bar to it.
    QVERIFY(textOnReturn != QLatin1String("Ready to start firmware update"));
    QCOMPARE(totalPerState,
             QStringList{QStringLiteral("Main Board: Validate new firmware version (Total %p%)")});

    // After the restart the window's seven version requests leave first, the
    // updater's own request for the main board after them.
    const auto log = sim.messages();
    int restart = -1;
    for (int i = 0; i < log.size(); ++i) {
        if (log.at(i) == QByteArray::fromHex("0507"))
            restart = i;
    }
    QVERIFY(restart >= 0);
    const QList<QByteArray> after = log.mid(restart + 1);
    const QList<QByteArray> expected = {QByteArray::fromHex("0106"), QByteArray::fromHex("0101"),
                                        QByteArray::fromHex("0102"), QByteArray::fromHex("0103"),
                                        QByteArray::fromHex("0104"), QByteArray::fromHex("0105"),
                                        QByteArray::fromHex("0107"), QByteArray::fromHex("0107")};
    QCOMPARE(after, expected);
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
    auto &sim = zelsim::Instrument::instance();
    openLoader();
    QTRY_VERIFY(check(6)->isEnabled());
    setAdvanced(true);
    tick({6});
    clickStart();
    // Well into the transfer of the (built-in) control panel image.
    QTRY_VERIFY(messagesWith(0x03).size() > 5);

    const int before = sim.messages().size();
    SeenBox question;
    answerNextBox(yes ? QMessageBox::Yes : QMessageBox::No, &question);
    loader->close();
    QVERIFY(question.seen);
    QCOMPARE(question.title, QStringLiteral("Cancel update"));
    QCOMPARE(question.text, QStringLiteral("Do you really want to cancel the firmware  update?"));
    QCOMPARE(question.icon, QMessageBox::Critical);

    if (!yes) {
        QVERIFY(loader->isVisible());
        QVERIFY(runUntilFinished(30000));
        QCOMPARE(total()->format(), QStringLiteral("Firmware update successfull"));
        FirmwareFile image;
        image.load(resourceOf(6));
        QCOMPARE(sim.installedImage(6), image.getHexText());
        return;
    }

    QVERIFY(!loader->isVisible());
    // Closing tells the instrument nothing: while the question was open the
    // transfer simply went on, and once the window is gone, so is the traffic.
    const auto log = sim.messages();
    for (int i = before; i < log.size(); ++i)
        QCOMPARE(int(log.at(i).at(0)), 0x03);
    delete loader;
    loader = nullptr;
    const int atClose = sim.messages().size();
    QTest::qWait(50);
    QCOMPARE(sim.messages().size(), atClose);
    QCOMPARE(sim.mode(6), zelsim::Mode::Update);
    QVERIFY(sim.installedImage(6).isEmpty());
}

void tst_UpdateSequence::nothingSelected_data()
{
    QTest::addColumn<bool>("noBoardAnswers");
    QTest::newRow("board table, nothing ticked") << false;
    QTest::newRow("plain view, no board answered") << true;
}

void tst_UpdateSequence::nothingSelected()
{
    QFETCH(bool, noBoardAnswers);
    auto &sim = zelsim::Instrument::instance();
    if (noBoardAnswers) {
        for (int p : allBoards)
            sim.setBoardPresent(p, false);
    }
    openLoader();
    QTRY_VERIFY(widget<QWidget>(QStringLiteral("mainControl"))->isEnabled());
    if (!noBoardAnswers) {
        for (int p : allBoards)
            QTRY_VERIFY(check(p)->isEnabled());
        setAdvanced(true);
        tick({});
    }
    QTest::qWait(20); // let the version requests of the connection go out first
    sim.clearLog();

    SeenBox box;
    answerNextBox(QMessageBox::Ok, &box);
    clickStart(true);
    QVERIFY(box.seen);
    QCOMPARE(box.title, QStringLiteral("No update selected"));
    QCOMPARE(box.text, QStringLiteral("No board has been selected for firmware update. Please "
                                      "select boards you want to update."));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.buttonCount, 1);
    QCOMPARE(box.parent, static_cast<QWidget *>(loader));

    QVERIFY(startButton()->isEnabled());
    QCOMPARE(total()->value(), 0);
    QVERIFY(total()->property("working").toBool());
    QVERIFY(loader->findChild<zelUpdater *>() == nullptr);
    QTest::qWait(20);
    QVERIFY(sim.messages().isEmpty());
}

QTEST_MAIN(tst_UpdateSequence)
#include "tst_updatesequence.moc"

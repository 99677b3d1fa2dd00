#include "accesstexts.h"
#include "filesizetext.h"
#include "firmwarefile.h"
#include "hexrecord.h"
#include "siminstrument.h"
#include "updaterun.h"
#include "zelloader.h"
#include "zelproject.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

const QString builtInMainboard = QStringLiteral("PBASE-v3.3.hex (Feb 12 2015 09:48:59, 197 kB)");
const QString waiting = QStringLiteral("Waiting for USB connection");
const QString ready = QStringLiteral("Ready to start firmware update");
const QString several =
    QStringLiteral("Several instruments are attached: connect only the one to update");
const QString date = QStringLiteral("Mar 01 2016 10:00:00");          // hexImage() writes it
const QStringList boards{"",        "Sensor1", "Sensor2",  "Sensor3", // indexed by PartType
                         "Sensor4", "Sensor5", "Terminal", "Mainboard"};
const QStringList families{"Mainboard", "Terminal", "Sensor"}; // one file-state line each

// Writes files/<name>, stamped by the reader under test unless `stamp` is false.
void writeImage(const QString &name, const QString &family, const QString &version,
                bool stamp = true, bool descending = false)
{
    QList<QByteArray> records = hexImage(family.toLatin1(), version.toLatin1()).split('\n');
    records.removeLast(); // nothing after the last line end
    const QByteArray end = records.takeLast();
    if (descending)
        std::reverse(records.begin(), records.end());
    QFile file("files/" + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(records.join('\n') + '\n' + end + '\n');
    file.close();
    if (stamp)
        QCOMPARE(FirmwareFile().load(file.fileName(), true), FirmwareFile::Ok);
}

} // namespace

class TestZelLoader : public QObject
{
    Q_OBJECT

    template <typename T> T *widget(const QString &n) const { return loader->findChild<T *>(n); }
    QString text(const QString &name) const { return widget<QLabel>(name)->text(); }
    QString totalText() const { return widget<QProgressBar>("totalProgress")->format(); }
    bool enabled(const QString &name) const { return widget<QWidget>(name)->isEnabled(); }
    void click(const QString &name) { widget<QAbstractButton>(name)->click(); }
    void create(bool attached = true)
    {
        if (!attached)
            zelsim::Instrument::instance().run("unplug");
        loader = std::make_unique<zelLoader>();
    }

    // Modal windows are answered from a timer running inside their event loops: the file
    // dialog picks `files`, each box presses the next of `buttons`. Anything else is rejected
    // and noted, so a test cannot hang; cleanup() checks all.
    QStringList files;
    QList<QMessageBox::StandardButton> buttons;
    QStringList seen;  // "title|text" of each modal window
    QStringList shown; // the main board's file state while each one was open
    QStringList problems;
    QTimer modalTimer;

    void answerModal()
    {
        auto *w = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!w || !w->isVisible())
            return;
        auto *box = qobject_cast<QMessageBox *>(w);
        seen << w->windowTitle() + '|' + (box ? box->text() : QString());
        shown << text("fileStateMainboard");
        if (auto *dialog = qobject_cast<QFileDialog *>(w); dialog && !files.isEmpty()) {
            dialog->setDirectory(QDir::current().filePath("files"));
            dialog->findChild<QLineEdit *>("fileNameEdit")
                ->setText('"' + files.join("\" \"") + '"');
            files.clear();
            w->accept(); // QFileDialog hides it
        } else if (box && !buttons.isEmpty() && box->button(buttons.first())) {
            box->button(buttons.takeFirst())->click();
        } else {
            problems << "unexpected " + seen.last();
            w->reject();
        }
    }

    QTemporaryDir dir;
    std::unique_ptr<zelLoader> loader;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid() && QDir(dir.path()).mkdir("files"));
        QVERIFY(QDir::setCurrent(dir.path())); // the load buttons start in "files"
        connect(&modalTimer, &QTimer::timeout, this, &TestZelLoader::answerModal);
        modalTimer.start(5);
    }
    void init()
    {
        zelsim::Instrument::instance().run("reset");
        files.clear();
        buttons.clear();
        seen.clear();
        shown.clear();
        problems.clear();
    }
    void cleanup()
    {
        loader.reset();
        QVERIFY2(problems.isEmpty() && files.isEmpty() && buttons.isEmpty(),
                 qPrintable(problems.join('\n')));
    }

    // The window's widgets and texts, and the licence box behind its "?" button.
    void form()
    {
        create(false);
        // A name ending in '*' stands for every board row, one ending in '+' for each family.
        const char *const table[][2] = {
            {"QLabel", "label zeloraInfo headerUpdate version* header+ fileState+ fileStateLabel+"},
            {"QCheckBox", "advanced check*"},
            {"QProgressBar", "totalProgress progress*"},
            {"QToolButton", "frameworkInfo load+"},
            {"QPushButton", "startUpdate"},
            {"QWidget", "logoHeader mainControl controlWidget"},
        };
        for (const auto &row : table)
            for (QString name : QString(row[1]).split(' ')) {
                const QChar wild = name.back();
                const QStringList suffixes = wild == '*'   ? QStringList(boards.mid(1))
                                             : wild == '+' ? families
                                                           : QStringList{""};
                name.remove(QRegularExpression("[*+]$"));
                for (const QString &suffix : suffixes) {
                    QObject *object = loader->findChild<QObject *>(name + suffix);
                    QVERIFY2(object && object->metaObject()->className() == QByteArray(row[0]),
                             qPrintable(name + suffix));
                }
            }
        // The project version 1.1.4 reads "v1.14" in the header line; the title has none.
        const QStringList version = QStringLiteral(ZEL_VERSION).split('.');
        QCOMPARE(version.size(), 3);
        QCOMPARE(text("zeloraInfo"),
                 "Zelora HR36 Firmware Update Tool v" + version[0] + '.' + version[1] + version[2]);
        QCOMPARE(loader->windowTitle(), QStringLiteral("Zelora HR36 Firmware Update Tool"));
        QCOMPARE(text("fileStateLabelTerminal"), QStringLiteral("Update firmware to:"));
        QStringList captions;
        for (const QString &board : boards.mid(1))
            captions << widget<QAbstractButton>("check" + board)->text();
        QCOMPARE(captions.join('|'), QStringLiteral("Keys 21-42|Keys 43-64|Keys 65-86|Keys 87-108|"
                                                    "Keys 12-20|PCTRL|PBASE"));

        QList<QSize> iconSizes = loader->windowIcon().availableSizes();
        std::sort(iconSizes.begin(), iconSizes.end(),
                  [](QSize a, QSize b) { return a.width() < b.width(); });
        QCOMPARE(iconSizes,
                 (QList<QSize>{
                     {16, 16}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));

        // What the licence box says must hold for the Qt the program runs with.
        buttons = {QMessageBox::Ok};
        click("frameworkInfo");
        QCOMPARE(seen.size(), 1);
        QVERIFY(seen[0].startsWith("Licence Information|"));
        for (const QString &said :
             {QStringLiteral("Qt version %1.").arg(qVersion()),
              QStringLiteral("GNU Lesser General Public License version 3."),
              QStringLiteral("product of The Qt Company"),
              QStringLiteral("href=\"https://www.qt.io/\""),
              QStringLiteral("zelLoader version " ZEL_VERSION " is licensed under the MIT License"),
              QStringLiteral("<h1>About HIDAPI</h1>"),
              QStringLiteral("under the terms of a BSD-style license")})
            QVERIFY2(seen[0].contains(said), qPrintable(said));
        for (const char *unsaid : {"version 2.1", "Digia"})
            QVERIFY2(!seen[0].contains(QLatin1String(unsaid)), unsaid);
    }

    void connection()
    {
        auto &sim = zelsim::Instrument::instance();
        sim.run("absent", 3);
        create(false);
        QVERIFY(!enabled("controlWidget") && !enabled("mainControl"));
        QCOMPARE(totalText(), waiting);
        QCOMPARE(text("fileStateMainboard"), builtInMainboard);
        QVERIFY(text("fileStateTerminal").startsWith("PCTRL-v2.4.hex (Jan 20 2015 14:02:11, "));
        QVERIFY(text("fileStateSensor").startsWith("PKEYS-v1.9.hex (Dec 03 2014 11:27:40, "));

        sim.run("plug");
        QTRY_COMPARE(totalText(), ready);
        QVERIFY(enabled("controlWidget") && enabled("mainControl"));
        // All answering boards have reported once the main board has, or a few ticks later.
        QTRY_COMPARE(text("versionMainboard"), QStringLiteral("v3.1"));
        QTest::qWait(20);
        // A report for the sensor group refreshes the labels and makes nothing selectable.
        widget<QLabel>("versionMainboard")->setText("stale");
        widget<QLabel>("fileStateMainboard")->setText("stale");
        sim.run("injectInputReport", QByteArray("\x01\x00\x1d", 3));
        QTRY_COMPARE(text("versionMainboard"), QStringLiteral("v3.1"));
        QCOMPARE(text("fileStateMainboard"), builtInMainboard);
        for (int part = 1; part <= 7; ++part) {
            const QString version = part == 7 ? "v3.1" : part == 6 ? "v2.2" : "v1.7";
            QCOMPARE(enabled("check" + boards[part]), part != 3);
            QCOMPARE(text("version" + boards[part]), part != 3 ? version : QString());
        }

        sim.run("unplug");
        QTRY_COMPARE(totalText(), waiting);
        QVERIFY(!enabled("controlWidget") && !enabled("mainControl"));
        // The versions of before are forgotten: a board silent now is not selectable.
        sim.run("absent", 2);
        sim.run("absent", 3, false);
        sim.run("version", 7, 35);
        sim.run("plug");
        QTRY_COMPARE(text("versionMainboard"), QStringLiteral("v3.5"));
        QCOMPARE(totalText(), ready);
        QVERIFY(enabled("controlWidget") && !enabled("checkSensor2") && enabled("checkSensor3"));
        QCOMPARE(text("versionSensor2"), QString());
    }

    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        // clang-format off
        QTest::newRow("1024 stays bytes") << qint64(1024) << "1024 Byte";
        QTest::newRow("1025 is 1 kB") << qint64(1025) << "  1 kB";
        QTest::newRow("1536 rounds up") << qint64(1536) << "  2 kB";
        QTest::newRow("1 MiB stays kB") << qint64(1048576) << "1024 kB";
        QTest::newRow("one more is 1 MB") << qint64(1048577) << "  1 MB";
        // clang-format on
    }
    void sizeText()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(fileSizeText(bytes), text);
    }

    // The family code inside the file, not the button, chooses the field.
    void loadQuestion_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("family");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("field"); // empty: none
        // clang-format off
        QTest::newRow("PBASE via sensor button, yes") << "Sensor" << "PBASE" << true << "Mainboard";
        QTest::newRow("PBASE, no") << "Mainboard" << "PBASE" << false << "Mainboard";
        QTest::newRow("PCTRL via main board button") << "Mainboard" << "PCTRL" << true << "Terminal";
        QTest::newRow("PKEYS, no") << "Terminal" << "PKEYS" << false << "Sensor";
        QTest::newRow("unknown family, yes") << "Mainboard" << "PDRUM" << true << "";
        QTest::newRow("unknown family, no") << "Sensor" << "PDRUM" << false << "";
        // clang-format on
    }
    void loadQuestion()
    {
        QFETCH(QString, button);
        QFETCH(QString, family);
        QFETCH(bool, yes);
        QFETCH(QString, field);
        create();
        writeImage("new.hex", family, "v7.1");
        QMap<QString, QString> before;
        for (const QString &f : families)
            before[f] = text("fileState" + f);

        files = QStringList{"new.hex"};
        buttons = {yes ? QMessageBox::Yes : QMessageBox::No};
        if (yes && field.isEmpty())
            buttons << QMessageBox::Ok; // "No firmware has been replaced"
        click("load" + button);

        const QString newName = family + "-v7.1.hex (" + date + ')';
        QString question = QStringLiteral("Use selected firmware?\n\"%1\"").arg(newName);
        if (!field.isEmpty())
            question = QStringLiteral("Do you want to replace existing firmware file\n\"%1\"\nwith "
                                      "selected firmware file?\n\"%2\"")
                           .arg(before[field].section(',', 0, 0) + ')', newName);
        QCOMPARE(seen.value(1), "Load firmware file|" + question);
        for (const QString &f : families) // 20 records of 45 bytes and the end-of-file line
            QCOMPARE(text("fileState" + f),
                     yes && f == field ? newName.chopped(1) + ", 913 Byte)" : before[f]);
    }

    // One question or error box per file; the display changes once, after the last. A file
    // refused for its size says so, and is left as it was.
    void severalFiles()
    {
        create();
        QFile big("files/big.hex");
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(64 * 1024 * 1024 + 1));
        big.close();
        writeImage("a.hex", "PBASE", "v4.0");
        writeImage("b.hex", "PCTRL", "v4.1");
        writeImage("c.hex", "PBASE", "v4.9", false); // corrupted: no checksum record
        writeImage("d.hex", "PKEYS", "v4.2");
        files = QStringList{"a.hex", "b.hex", "c.hex", "big.hex", "d.hex"};
        buttons = {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Ok,
                   QMessageBox::Yes};
        click("loadTerminal");
        QCOMPARE(seen.size(), 6);
        QVERIFY(seen[2].endsWith("\"PCTRL-v4.1.hex (" + date + ")\""));
        const QString error = "Load firmwar efile|An error occured while loading firmware file\n\"";
        QCOMPARE(seen[3], error + QFileInfo("files/c.hex").absoluteFilePath() +
                              "\"\nFirmware file has been corrupted");
        QCOMPARE(seen[4], error + QFileInfo(big).absoluteFilePath() +
                              "\"\nFirmware file is too large (more than 64 MB)");
        QCOMPARE(big.size(), 64 * 1024 * 1024 + 1);
        QVERIFY(big.remove());
        QCOMPARE(shown, QStringList(QVector<QString>(6, builtInMainboard).toList()));
        QVERIFY(text("fileStateMainboard").startsWith("PBASE-v4.0.hex"));
        QVERIFY(text("fileStateTerminal").startsWith("PCTRL-v2.4.hex"));
        QVERIFY(text("fileStateSensor").startsWith("PKEYS-v4.2.hex"));
    }

    void calcChecksum()
    {
        create(false);
        writeImage("unsorted.hex", "PBASE", "v5.0", false, true);

        // Yes puts the stamped file in place, but only until the built-in images return.
        files = QStringList{"unsorted.hex"};
        buttons = {QMessageBox::Yes};
        QVERIFY(QMetaObject::invokeMethod(loader.get(), "calcChecksum"));
        QVERIFY(seen.value(1).endsWith("\"PBASE-v5.0.hex (" + date + ")\""));
        QCOMPARE(text("fileStateMainboard"), builtInMainboard);

        QFile f("files/unsorted.hex");
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<quint32> addresses;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const FirmwareFile::HexRecord r = FirmwareFile::parseHexLine(line + '\n');
            if (r.valid && r.type == 0x00)
                addresses << r.address;
        }
        QVERIFY(addresses.size() == 20 && std::is_sorted(addresses.begin(), addresses.end()));
        FirmwareFile stamped;
        QCOMPARE(stamped.load(f.fileName()), FirmwareFile::Ok); // checked, not stamped again
        QCOMPARE(stamped.getVersion(), QStringLiteral("v5.0"));
    }

    // A file refused for its size says so when stamped too, and is left as it was.
    void fileTooLargeToStamp()
    {
        create();
        QFile big("files/big.hex");
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(64 * 1024 * 1024 + 1));
        big.close();
        files = QStringList{"big.hex"};
        buttons = {QMessageBox::Ok};
        QVERIFY(QMetaObject::invokeMethod(loader.get(), "calcChecksum"));
        QCOMPARE(seen.value(1), "Firmware files|Firmware file is too large (more than 64 MB)");
        QCOMPARE(big.size(), 64 * 1024 * 1024 + 1);
        QVERIFY(big.remove());
    }

    // Return presses "Start Update" when it is enabled and does nothing while it is not.
    // Every show starts in the plain mode, even after Advanced was ticked. While idle, Escape
    // and closing hide the window without a question, and Escape must not reject behind the
    // question's back.
    void windowEventsWhileIdle_data()
    {
        QTest::addColumn<bool>("attached");
        QTest::newRow("connected") << true;
        QTest::newRow("waiting for the instrument") << false;
    }
    void windowEventsWhileIdle()
    {
        QFETCH(bool, attached);
        create(attached);
        QCOMPARE(totalText(), attached ? ready : waiting); // connected inside the constructor
        QVERIFY(!enabled("checkMainboard"));               // selectable only once it has answered
        QSignalSpy rejected(loader.get(), &QDialog::rejected);
        auto *advanced = widget<QCheckBox>("advanced");
        auto *table = widget<QWidget>("controlWidget");
        for (bool escape : {true, false}) {
            loader->show();
            QVERIFY(QTest::qWaitForWindowExposed(loader.get()));
            QVERIFY(!advanced->isChecked() && !table->isVisible());
            advanced->click(); // disabled while waiting
            QCOMPARE(advanced->isChecked() && table->isVisible(), attached);
            if (escape && attached)
                buttons = {QMessageBox::Ok};
            if (escape) // nothing ticked: Start can only say so
                QTest::keyClick(loader.get(), Qt::Key_Return);
            escape ? QTest::keyClick(loader.get(), Qt::Key_Escape) : void(loader->close());
            QVERIFY(!loader->isVisible());
        }
        QCOMPARE(seen, attached ? QStringList{"No update selected|No board has been selected for "
                                              "firmware update. Please select boards you want to "
                                              "update."}
                                : QStringList{});
        QCOMPARE(rejected.count(), 0);
        // Nothing started: no run, nothing sent but the window's version requests, the total
        // bar as it was.
        QVERIFY(!loader->findChild<UpdateRun *>());
        for (const QByteArray &message : zelsim::Instrument::instance().list("messages"))
            QCOMPARE(int(message.at(0)), 0x01);
        QCOMPARE(widget<QProgressBar>("totalProgress")->value(), 0);
        QVERIFY(widget<QProgressBar>("totalProgress")->property("working").toBool() == attached);
    }

    // With a second instrument attached the window refuses to update and shows no versions;
    // with one left it is as before. A device that is there but refuses to open is said so,
    // until access is granted or the device goes away. Steps separated by ';': "open" the
    // window, "@2 plug" and the like for instrument N, "grant" access, "notice" (a change in
    // /dev), "start" (Start Update); "=S", "=R", "=W" or "=D" after a step: the window then
    // says several are attached, ready, waiting, denied. Instrument 1's main board runs v3.1,
    // instrument 2's v3.5.
    void instruments_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("version"); // the main board's, shown at the end
        // clang-format off
        QTest::newRow("two at the start") << "@2 plug;open=S" << "";
        QTest::newRow("one of them unplugged: the other one shown") << "@2 plug;open=S;unplug=R" << "v3.5";
        QTest::newRow("a second one plugged in, and gone again") << "open=R;@2 plug;notice=S;@2 unplug;notice=R" << "v3.1";
        QTest::newRow("the one shown unplugged, the other one left") << "open=R;@2 plug;notice=S;unplug=R" << "v3.5";
        QTest::newRow("Start Update looks afresh") << "open=R;@2 plug;start=S" << "";
        // One refusal is not yet a denial.
        QTest::newRow("access denied, then granted") << "accessDenied;open=W;=D;grant=R" << "v3.1";
        QTest::newRow("access denied, then unplugged") << "accessDenied;open=W;=D;unplug=W" << "";
        // clang-format on
    }
    void instruments()
    {
        QFETCH(QString, steps);
        QFETCH(QString, version);
        zelsim::Instrument::instance(2).run("version", 7, 35);
        const QMap<QString, QString> states{
            {"S", several}, {"R", ready}, {"W", waiting}, {"D", ZEL_DENIED_STATUS}};
        for (const QString &step : steps.split(';')) {
            const QString action = step.section('=', 0, 0);
            QStringList words = action.split(' ');
            auto &sim = words.first().startsWith('@')
                            ? zelsim::Instrument::instance(words.takeFirst().mid(1).toInt())
                            : zelsim::Instrument::instance();
            if (action == "open") {
                create();
            } else if (action == "notice") {
                QMetaObject::invokeMethod(loader->findChild<QFileSystemWatcher *>(),
                                          "directoryChanged", Q_ARG(QString, "/dev"));
            } else if (action == "grant") {
                sim.run("accessDenied", false);
            } else if (action == "start") {
                QVERIFY(enabled("startUpdate"));
                click("startUpdate");
            } else if (!action.isEmpty()) {
                sim.run(qPrintable(words.first()));
            }
            if (step.contains('=')) {
                QTRY_COMPARE(totalText(), states.value(step.section('=', 1)));
                QCOMPARE(enabled("controlWidget") || enabled("mainControl"), step.endsWith("=R"));
            }
        }
        QCOMPARE(enabled("mainControl"), !version.isEmpty());
        QTRY_COMPARE(text("versionMainboard"), version);
        QCOMPARE(enabled("checkMainboard"), !version.isEmpty());
        for (int n : {1, 2}) {
            for (const QByteArray &message : zelsim::Instrument::instance(n).list("messages"))
                QCOMPARE(message.at(0), '\x01'); // version requests only
        }
    }
};

QTEST_MAIN(TestZelLoader)
#include "tst_zelloader.moc"

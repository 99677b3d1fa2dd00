#include "filesizetext.h"
#include "firmwarefile.h"
#include "siminstrument.h"
#include "zelloader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <hidapi.h>

#include <functional>
#include <memory>

namespace {

const char builtInMainboard[] = "PBASE-v3.3.hex (Feb 12 2015 09:48:59, 197 kB)";

// What one modal window showed.
struct Seen
{
    QString className;
    QString title;
    QString text;
    int icon = -1;
    QString directory;
    QStringList filters;
};

// Answers the modal windows the window opens, one queued action per window, in
// order, from a timer running inside their event loops. A window nobody expected
// is rejected and noted, so a test can never hang on it.
class ModalAnswers : public QObject
{
public:
    using Action = std::function<QString(QWidget *)>; // returns a failure, or empty

    ModalAnswers()
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(5);
    }

    // Presses `button` of a message box; `before` runs first, while the box is open.
    ModalAnswers &press(QMessageBox::StandardButton button, std::function<void()> before = {})
    {
        actions << [button, before](QWidget *w) -> QString {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box)
                return QStringLiteral("expected a message box, got %1")
                    .arg(w->metaObject()->className());
            if (before)
                before();
            QAbstractButton *b = box->button(button);
            if (!b)
                return QStringLiteral("the box has no button %1").arg(int(button));
            b->click();
            return {};
        };
        return *this;
    }

    // Picks `names` in `dir` in a file dialog; no names cancels it.
    ModalAnswers &choose(const QString &dir, const QStringList &names)
    {
        actions << [dir, names](QWidget *w) -> QString {
            auto *dialog = qobject_cast<QFileDialog *>(w);
            if (!dialog)
                return QStringLiteral("expected a file dialog, got %1")
                    .arg(w->metaObject()->className());
            if (names.isEmpty()) {
                dialog->reject();
                return {};
            }
            dialog->setDirectory(dir);
            QString typed = names.first();
            if (names.size() > 1)
                typed = QLatin1Char('"') + names.join(QLatin1String("\" \"")) + QLatin1Char('"');
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(typed);
            static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides it
            return {};
        };
        return *this;
    }

    ModalAnswers &cancel() { return choose(QString(), {}); }

    bool allAnswered() const { return actions.isEmpty(); }

    QList<Seen> seen;
    QStringList failures;

private:
    void poll()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        Seen s;
        s.className = QString::fromLatin1(w->metaObject()->className());
        s.title = w->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            s.text = box->text();
            s.icon = box->icon();
        }
        if (auto *dialog = qobject_cast<QFileDialog *>(w)) {
            s.directory = dialog->directory().absolutePath();
            s.filters = dialog->nameFilters();
        }
        seen << s;
        if (actions.isEmpty()) {
            failures
                << QStringLiteral("unexpected %1 \"%2\": %3").arg(s.className, s.title, s.text);
            if (auto *dialog = qobject_cast<QDialog *>(w))
                dialog->reject();
            else
                w->close();
            return;
        }
        const QString failure = actions.takeFirst()(w);
        if (!failure.isEmpty()) {
            failures << failure;
            if (auto *dialog = qobject_cast<QDialog *>(w))
                dialog->reject();
        }
    }

    QTimer timer;
    QList<Action> actions;
};

QByteArray hexRecord(quint16 address, quint8 type, const QByteArray &data)
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
    bytes.append(char(quint8(-sum)));
    return ':' + bytes.toHex().toUpper() + "\r\n";
}

// The information-block text of one range: two characters in each group of four bytes.
QList<QByteArray> infoRecords(quint16 base, const QString &text)
{
    QByteArray bytes(64, '\0');
    const QByteArray ascii = text.toLatin1();
    for (int i = 0; i < ascii.size(); ++i)
        bytes[(i / 2) * 4 + i % 2] = ascii[i];
    QList<QByteArray> records;
    for (int r = 0; r < 4; ++r)
        records << hexRecord(base + r * 16, 0x00, bytes.mid(r * 16, 16));
    return records;
}

struct Image
{
    QString family;
    QString version;
    QString date;
    int codeRecords = 8; // 16-byte data records after the information block
    bool info = true;    // without it the file holds no firmware
    bool stamp = true;   // without it the file has no checksum record
    bool descending = false;
    bool garbage = false; // one line that is not a record
};

// Writes a firmware file of the given family; stamped by the reader under test.
void writeImage(const QString &path, const Image &image)
{
    QList<QByteArray> records;
    if (image.info)
        records << infoRecords(0x800, image.family) << infoRecords(0x840, image.version)
                << infoRecords(0x880, image.date);
    for (int i = 0; i < image.codeRecords; ++i)
        records << hexRecord(0x1000 + i * 16, 0x00, QByteArray(16, char(i)));
    if (image.descending)
        std::reverse(records.begin(), records.end());
    if (image.garbage)
        records.insert(1, "this is no record\r\n");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (const QByteArray &r : qAsConst(records))
        file.write(r);
    file.write(":00000001FF\r\n");
    file.close();
    if (image.stamp)
        QCOMPARE(FirmwareFile().load(path, true),
                 image.info ? FirmwareFile::Ok : FirmwareFile::NoFirmware);
}

} // namespace

class TestZelLoader : public QObject
{
    Q_OBJECT

private:
    template <typename T> T *widget(const char *name) const
    {
        T *w = loader->findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("no widget %s", name);
        return w;
    }
    QString text(const char *name) const { return widget<QLabel>(name)->text(); }
    QString totalText() const { return widget<QProgressBar>("totalProgress")->format(); }
    void invoke(const char *slot) { QVERIFY(QMetaObject::invokeMethod(loader.get(), slot)); }
    QString path(const QString &name) const
    {
        return dir.filePath(QStringLiteral("files/") + name);
    }
    void create(bool attached = true)
    {
        if (!attached)
            zelsim::Instrument::instance().unplug();
        loader = std::make_unique<zelLoader>();
    }
    // All answering boards have reported once the main board has.
    void waitForVersions() { QTRY_COMPARE(text("versionMainboard"), QStringLiteral("v3.1")); }

    QTemporaryDir dir;
    std::unique_ptr<zelLoader> loader;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("files")));
        // The load buttons start in "files" below the working directory.
        QVERIFY(QDir::setCurrent(dir.path()));
    }

    void init() { zelsim::Instrument::instance().reset(); }

    void cleanup() { loader.reset(); }

    // --- the form ---

    void formWidgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("text");

        auto row = [](const char *name, const char *cls, const char *text = nullptr) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                                << (text ? QString::fromLatin1(text) : QString());
        };
        row("logoHeader", "QWidget");
        row("label", "QLabel");
        row("zeloraInfo", "QLabel", "Zelora HR36 Firmware Update Tool v1.14");
        row("frameworkInfo", "QToolButton", "?");
        row("mainControl", "QWidget");
        row("headerUpdate", "QLabel", "Update");
        row("totalProgress", "QProgressBar");
        row("advanced", "QCheckBox", "Advanced");
        row("startUpdate", "QPushButton", "Start Update");
        row("controlWidget", "QWidget");
        row("headerSensor", "QLabel", "Sensor Boards");
        row("headerTerminal", "QLabel", "Control Panel");
        row("headerMainboard", "QLabel", "Main Board");
        row("fileStateLabelSensor", "QLabel", "Update firmware to:");
        row("fileStateLabelTerminal", "QLabel", "Update firmware to:");
        row("fileStateLabelMainboard", "QLabel", "Update firmware to:");
        row("fileStateSensor", "QLabel");
        row("fileStateTerminal", "QLabel");
        row("fileStateMainboard", "QLabel");
        row("loadSensor", "QToolButton", "...");
        row("loadTerminal", "QToolButton", "...");
        row("loadMainboard", "QToolButton", "...");
        row("checkSensor5", "QCheckBox", "Keys 12-20");
        row("checkSensor1", "QCheckBox", "Keys 21-42");
        row("checkSensor2", "QCheckBox", "Keys 43-64");
        row("checkSensor3", "QCheckBox", "Keys 65-86");
        row("checkSensor4", "QCheckBox", "Keys 87-108");
        row("checkTerminal", "QCheckBox", "PCTRL");
        row("checkMainboard", "QCheckBox", "PBASE");
        for (const char *n :
             {"versionSensor1", "versionSensor2", "versionSensor3", "versionSensor4",
              "versionSensor5", "versionTerminal", "versionMainboard"})
            row(n, "QLabel");
        for (const char *n :
             {"progressSensor1", "progressSensor2", "progressSensor3", "progressSensor4",
              "progressSensor5", "progressTerminal", "progressMainboard"})
            row(n, "QProgressBar");
        row("verticalLayout", "QVBoxLayout");
        row("horizontalLayout", "QHBoxLayout");
        row("mainControlLayout", "QVBoxLayout");
        row("layoutButtons", "QHBoxLayout");
        row("horizontalLayout_2", "QHBoxLayout");
        row("controlLayout", "QGridLayout");
        row("layoutSensorFirmware", "QHBoxLayout");
        row("layoutTerminalFirmware", "QHBoxLayout");
        row("layoutMainboardLayout", "QHBoxLayout");
    }

    void formWidgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QString, text);
        create(false);

        QObject *object = loader->findChild<QObject *>(name);
        QVERIFY2(object, qPrintable(name));
        QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
        if (text.isEmpty())
            return;
        if (auto *label = qobject_cast<QLabel *>(object))
            QCOMPARE(label->text(), text);
        else
            QCOMPARE(qobject_cast<QAbstractButton *>(object)->text(), text);
    }

    void formGrid_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("columnSpan");

        QTest::newRow("headerSensor") << "headerSensor" << 0 << 0 << 3;
        QTest::newRow("fileStateLabelSensor") << "fileStateLabelSensor" << 1 << 0 << 2;
        QTest::newRow("checkSensor5") << "checkSensor5" << 2 << 0 << 1;
        QTest::newRow("versionSensor5") << "versionSensor5" << 2 << 1 << 1;
        QTest::newRow("progressSensor5") << "progressSensor5" << 2 << 2 << 1;
        QTest::newRow("checkSensor1") << "checkSensor1" << 3 << 0 << 1;
        QTest::newRow("progressSensor2") << "progressSensor2" << 4 << 2 << 1;
        QTest::newRow("versionSensor3") << "versionSensor3" << 5 << 1 << 1;
        QTest::newRow("checkSensor4") << "checkSensor4" << 6 << 0 << 1;
        QTest::newRow("headerTerminal") << "headerTerminal" << 8 << 0 << 3;
        QTest::newRow("fileStateLabelTerminal") << "fileStateLabelTerminal" << 9 << 0 << 2;
        QTest::newRow("versionTerminal") << "versionTerminal" << 10 << 1 << 1;
        QTest::newRow("headerMainboard") << "headerMainboard" << 11 << 0 << 3;
        QTest::newRow("fileStateLabelMainboard") << "fileStateLabelMainboard" << 12 << 0 << 2;
        QTest::newRow("checkMainboard") << "checkMainboard" << 13 << 0 << 1;
        QTest::newRow("progressMainboard") << "progressMainboard" << 13 << 2 << 1;
    }

    void formGrid()
    {
        QFETCH(QString, name);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, columnSpan);
        create(false);

        auto *grid = widget<QGridLayout>("controlLayout");
        const int index = grid->indexOf(loader->findChild<QWidget *>(name));
        QVERIFY(index >= 0);
        int r, c, rs, cs;
        grid->getItemPosition(index, &r, &c, &rs, &cs);
        QCOMPARE(r, row);
        QCOMPARE(c, column);
        QCOMPARE(rs, 1);
        QCOMPARE(cs, columnSpan);
    }

    void formProperties()
    {
        create(false);

        // Creation order is the focus order of the board table.
        QStringList order;
        for (QObject *child : widget<QWidget>("controlWidget")->children())
            if (child->isWidgetType())
                order << child->objectName();
        QCOMPARE(order, QString("checkSensor5 progressSensor2 progressSensor4 fileStateMainboard "
                                "loadMainboard fileStateLabelTerminal checkTerminal "
                                "fileStateLabelMainboard versionSensor5 fileStateLabelSensor "
                                "checkSensor1 versionTerminal progressMainboard versionMainboard "
                                "checkSensor4 versionSensor4 checkSensor3 versionSensor1 "
                                "progressTerminal versionSensor3 headerTerminal fileStateTerminal "
                                "loadTerminal progressSensor1 progressSensor5 headerMainboard "
                                "progressSensor3 fileStateSensor loadSensor versionSensor2 "
                                "checkMainboard headerSensor checkSensor2")
                            .split(QLatin1Char(' ')));

        QCOMPARE(loader->objectName(), QStringLiteral("zelLoader"));
        QCOMPARE(loader->windowTitle(), QStringLiteral("Zelora HR36 Firmware Update Tool"));
        QCOMPARE(loader->locale(), QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY(loader->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QVERIFY(!loader->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        QVERIFY(loader->windowType() != Qt::Dialog);
        QCOMPARE(loader->layout()->sizeConstraint(), QLayout::SetFixedSize);
        QVERIFY(widget<QPushButton>("startUpdate")->isDefault());

        auto *logo = widget<QLabel>("label");
        QVERIFY(logo->openExternalLinks());
        QVERIFY(widget<QLabel>("zeloraInfo")->openExternalLinks());
        QVERIFY(
            logo->text().contains(QLatin1String("<img src=\":/img/zel-logo\" height=\"33\"/>")));
        QVERIFY(logo->text().contains(QLatin1String("rgb(245, 177, 1)")));
        QVERIFY(logo->text().contains(QLatin1String("<a href=\"http")));

        // The form's placeholders are gone once the window has set itself up.
        const char *const bars[] = {"progressSensor1",  "progressSensor2", "progressSensor3",
                                    "progressSensor4",  "progressSensor5", "progressTerminal",
                                    "progressMainboard"};
        for (const char *name : bars) {
            QCOMPARE(widget<QProgressBar>(name)->format(), QString());
            QCOMPARE(widget<QProgressBar>(name)->value(), 0);
        }
        QCOMPARE(widget<QLabel>("headerSensor")->font().pointSize(), 12);
        QVERIFY(widget<QLabel>("headerSensor")->font().bold());
    }

    // --- connection and versions ---

    void startWithoutInstrument()
    {
        create(false);
        QVERIFY(!widget<QWidget>("controlWidget")->isEnabled());
        QVERIFY(!widget<QWidget>("mainControl")->isEnabled());
        QCOMPARE(totalText(), QStringLiteral("Waiting for USB connection"));
        QCOMPARE(text("versionMainboard"), QString());

        zelsim::Instrument::instance().plug();
        QTRY_COMPARE(totalText(), QStringLiteral("Ready to start firmware update"));
        QVERIFY(widget<QWidget>("controlWidget")->isEnabled());
        QVERIFY(widget<QWidget>("mainControl")->isEnabled());
        waitForVersions();
    }

    void versions_data()
    {
        QTest::addColumn<int>("silent");
        QTest::newRow("all answer") << 0;
        QTest::newRow("sensor board 3 silent") << 3;
        QTest::newRow("control panel silent") << 6;
    }

    void versions()
    {
        QFETCH(int, silent);
        if (silent)
            zelsim::Instrument::instance().setBoardPresent(silent, false);
        create();

        // Connected inside the constructor, before any event ran.
        QCOMPARE(totalText(), QStringLiteral("Ready to start firmware update"));
        QVERIFY(widget<QWidget>("controlWidget")->isEnabled());
        QVERIFY(!widget<QCheckBox>("checkMainboard")->isEnabled());

        waitForVersions();
        const struct
        {
            int part;
            const char *check;
            const char *label;
            const char *version;
        } rows[] = {
            {1, "checkSensor1", "versionSensor1", "v1.7"},
            {2, "checkSensor2", "versionSensor2", "v1.7"},
            {3, "checkSensor3", "versionSensor3", "v1.7"},
            {4, "checkSensor4", "versionSensor4", "v1.7"},
            {5, "checkSensor5", "versionSensor5", "v1.7"},
            {6, "checkTerminal", "versionTerminal", "v2.2"},
            {7, "checkMainboard", "versionMainboard", "v3.1"},
        };
        QTest::qWait(20); // a few more poll ticks for a late answer to show up
        for (const auto &r : rows) {
            const bool answers = r.part != silent;
            QCOMPARE(widget<QCheckBox>(r.check)->isEnabled(), answers);
            QCOMPARE(text(r.label), answers ? QString::fromLatin1(r.version) : QString());
        }
    }

    void foreignPartRefreshesLabelsOnly_data()
    {
        QTest::addColumn<int>("part");
        QTest::newRow("sensor group") << 0;
        QTest::newRow("no such board") << 9;
    }

    void foreignPartRefreshesLabelsOnly()
    {
        QFETCH(int, part);
        zelsim::Instrument::instance().setBoardPresent(3, false);
        create();
        waitForVersions();

        widget<QLabel>("versionMainboard")->setText(QStringLiteral("stale"));
        widget<QLabel>("fileStateMainboard")->setText(QStringLiteral("stale"));
        zelsim::Instrument::instance().injectInputReport(QByteArray::fromHex("01") + char(part) +
                                                         char(29));
        QTRY_COMPARE(text("versionMainboard"), QStringLiteral("v3.1"));
        QCOMPARE(text("fileStateMainboard"), QString::fromLatin1(builtInMainboard));
        QCOMPARE(text("versionSensor3"), QString());
        QVERIFY(!widget<QCheckBox>("checkSensor3")->isEnabled());
        QCOMPARE(text("versionSensor1"), QStringLiteral("v1.7"));
    }

    void unplugAndReplug()
    {
        create();
        waitForVersions();
        QVERIFY(widget<QCheckBox>("checkSensor2")->isEnabled());

        auto &sim = zelsim::Instrument::instance();
        sim.unplug();
        QTRY_COMPARE(totalText(), QStringLiteral("Waiting for USB connection"));
        QVERIFY(!widget<QWidget>("controlWidget")->isEnabled());
        QVERIFY(!widget<QWidget>("mainControl")->isEnabled());
        QCOMPARE(text("versionMainboard"), QStringLiteral("v3.1")); // kept while away

        // The versions of before are forgotten: a board silent now is not selectable.
        sim.setBoardPresent(2, false);
        sim.setBoardVersion(7, 35);
        sim.plug();
        QTRY_COMPARE(text("versionMainboard"), QStringLiteral("v3.5"));
        QCOMPARE(totalText(), QStringLiteral("Ready to start firmware update"));
        QVERIFY(widget<QWidget>("controlWidget")->isEnabled());
        QVERIFY(!widget<QCheckBox>("checkSensor2")->isEnabled());
        QCOMPARE(text("versionSensor2"), QString());
        QVERIFY(widget<QCheckBox>("checkSensor1")->isEnabled());
    }

    // --- firmware files ---

    void builtInFileState()
    {
        create(false);
        QCOMPARE(text("fileStateMainboard"), QString::fromLatin1(builtInMainboard));
        QVERIFY(text("fileStateTerminal").startsWith("PCTRL-v2.4.hex (Jan 20 2015 14:02:11, "));
        QVERIFY(text("fileStateSensor").startsWith("PKEYS-v1.9.hex (Dec 03 2014 11:27:40, "));
        QVERIFY(text("fileStateSensor").endsWith(" kB)"));
    }

    void sizeText_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << "  0 Byte";
        QTest::newRow("one byte") << qint64(1) << "  1 Byte";
        QTest::newRow("1024 stays bytes, wider than three") << qint64(1024) << "1024 Byte";
        QTest::newRow("1025 is 1 kB") << qint64(1025) << "  1 kB";
        QTest::newRow("1536 rounds up") << qint64(1536) << "  2 kB";
        QTest::newRow("two places") << qint64(89 * 1024) << " 89 kB";
        QTest::newRow("main board image") << qint64(197 * 1024 + 100) << "197 kB";
        QTest::newRow("1 MiB stays kB") << qint64(1048576) << "1024 kB";
        QTest::newRow("one more is 1 MB") << qint64(1048577) << "  1 MB";
    }

    void sizeText()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(fileSizeText(bytes), text);
    }

    void loadQuestion_data()
    {
        QTest::addColumn<QString>("button"); // the button does not decide the field
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("changedLabel");
        QTest::addColumn<QString>("oldName");

        QTest::newRow("main board from the sensor button, yes")
            << "loadSensor"
            << "PBASE" << int(QMessageBox::Yes) << "fileStateMainboard"
            << "PBASE-v3.3.hex (Feb 12 2015 09:48:59)";
        QTest::newRow("main board, no") << "loadMainboard"
                                        << "PBASE" << int(QMessageBox::No) << "fileStateMainboard"
                                        << "PBASE-v3.3.hex (Feb 12 2015 09:48:59)";
        QTest::newRow("control panel from the main board button, yes")
            << "loadMainboard"
            << "PCTRL" << int(QMessageBox::Yes) << "fileStateTerminal"
            << "PCTRL-v2.4.hex (Jan 20 2015 14:02:11)";
        QTest::newRow("sensor boards, yes") << "loadTerminal"
                                            << "PKEYS" << int(QMessageBox::Yes) << "fileStateSensor"
                                            << "PKEYS-v1.9.hex (Dec 03 2014 11:27:40)";
        QTest::newRow("sensor boards, no") << "loadSensor"
                                           << "PKEYS" << int(QMessageBox::No) << "fileStateSensor"
                                           << "PKEYS-v1.9.hex (Dec 03 2014 11:27:40)";
    }

    void loadQuestion()
    {
        QFETCH(QString, button);
        QFETCH(QString, family);
        QFETCH(int, answer);
        QFETCH(QString, changedLabel);
        QFETCH(QString, oldName);
        create();
        const QString file = path(family + ".hex");
        writeImage(file, {family, "v7.1", "Mar 04 2016 12:00:00"});

        const QStringList labels{"fileStateMainboard", "fileStateTerminal", "fileStateSensor"};
        QMap<QString, QString> before;
        for (const QString &l : labels)
            before[l] = text(qPrintable(l));

        ModalAnswers answers;
        answers.choose(dir.filePath("files"), {family + ".hex"})
            .press(QMessageBox::StandardButton(answer));
        widget<QToolButton>(qPrintable(button))->click();
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QVERIFY(answers.allAnswered());

        QCOMPARE(answers.seen.size(), 2);
        const Seen &dialog = answers.seen[0];
        QCOMPARE(dialog.title, QStringLiteral("Load firmware files"));
        QCOMPARE(dialog.directory, QDir(dir.filePath("files")).absolutePath());
        QCOMPARE(dialog.filters, QStringList{"Firmware (*.hex)"});
        const Seen &question = answers.seen[1];
        QCOMPARE(question.title, QStringLiteral("Load firmware file"));
        QCOMPARE(question.icon, int(QMessageBox::Question));
        const QString newName = family + "-v7.1.hex (Mar 04 2016 12:00:00)";
        QCOMPARE(question.text,
                 QStringLiteral("Do you want to replace existing firmware file\n\"%1\"\n"
                                "with selected firmware file?\n\"%2\"")
                     .arg(oldName, newName));

        for (const QString &l : labels) {
            if (l == changedLabel && answer == QMessageBox::Yes)
                // 20 records of 45 bytes and the end-of-file line.
                QCOMPARE(text(qPrintable(l)),
                         family + "-v7.1.hex (Mar 04 2016 12:00:00, 913 Byte)");
            else
                QCOMPARE(text(qPrintable(l)), before[l]);
        }
    }

    void unknownFamily_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("yes") << int(QMessageBox::Yes);
        QTest::newRow("no") << int(QMessageBox::No);
    }

    void unknownFamily()
    {
        QFETCH(int, answer);
        create(false);
        const QString file = path("foreign.hex");
        writeImage(file, {"PDRUM", "v1.0", "Mar 04 2016 12:00:00"});
        const QString mainBefore = text("fileStateMainboard");

        ModalAnswers answers;
        answers.press(QMessageBox::StandardButton(answer));
        if (answer == QMessageBox::Yes)
            answers.press(QMessageBox::Ok);
        QVERIFY(QMetaObject::invokeMethod(loader.get(), "loadFirmware", Q_ARG(QString, file)));
        invoke("updateFileState");
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QVERIFY(answers.allAnswered());

        QCOMPARE(answers.seen[0].text, QStringLiteral("Use selected firmware?\n\"PDRUM-v1.0.hex "
                                                      "(Mar 04 2016 12:00:00)\""));
        if (answer == QMessageBox::Yes) {
            QCOMPARE(answers.seen.size(), 2);
            QCOMPARE(answers.seen[1].icon, int(QMessageBox::Warning));
            QVERIFY(answers.seen[1].text.contains("PDRUM-v1.0.hex (Mar 04 2016 12:00:00)"));
            QVERIFY(answers.seen[1].text.contains("No firmware has been replaced"));
        }
        QCOMPARE(text("fileStateMainboard"), mainBefore);
        QVERIFY(text("fileStateTerminal").startsWith("PCTRL-v2.4.hex"));
        QVERIFY(text("fileStateSensor").startsWith("PKEYS-v1.9.hex"));
    }

    void fieldWithoutFirmwareGetsUseQuestion()
    {
        create();
        const QString file = path("vanishing.hex");
        writeImage(file, {"PBASE", "v4.0", "Mar 04 2016 12:00:00"});

        // The file disappears between the question and the second read.
        ModalAnswers answers;
        answers.press(QMessageBox::Yes, [&] { QVERIFY(QFile::remove(file)); });
        QVERIFY(QMetaObject::invokeMethod(loader.get(), "loadFirmware", Q_ARG(QString, file)));
        invoke("updateFileState");
        QCOMPARE(text("fileStateMainboard"), QStringLiteral("No valid firmware file"));
        invoke("zelConnected");
        QCOMPARE(totalText(), QStringLiteral("One or more firmware files are missing"));

        writeImage(file, {"PBASE", "v4.0", "Mar 04 2016 12:00:00"});
        answers.press(QMessageBox::Yes);
        QVERIFY(QMetaObject::invokeMethod(loader.get(), "loadFirmware", Q_ARG(QString, file)));
        invoke("updateFileState");
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QCOMPARE(answers.seen.size(), 2);
        QCOMPARE(answers.seen[1].text, QStringLiteral("Use selected firmware?\n\"PBASE-v4.0.hex "
                                                      "(Mar 04 2016 12:00:00)\""));
        QVERIFY(text("fileStateMainboard").startsWith("PBASE-v4.0.hex"));
    }

    void badFile_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("stamp");
        QTest::addColumn<bool>("garbage");
        QTest::addColumn<bool>("info");
        QTest::addColumn<QString>("status");
        QTest::newRow("without checksum")
            << true << false << false << true << "Firmware file has been corrupted";
        QTest::newRow("invalid line")
            << true << false << true << true << "Firmware file contains invalid data";
        QTest::newRow("no information block")
            << true << true << false << false << "No valid firmware file";
        QTest::newRow("missing") << false << false << false << false << "File access denied";
    }

    void badFile()
    {
        QFETCH(bool, exists);
        QFETCH(bool, stamp);
        QFETCH(bool, garbage);
        QFETCH(bool, info);
        QFETCH(QString, status);
        create(false);
        const QString file = path("bad.hex");
        QFile::remove(file);
        if (exists) {
            Image image{"PBASE", "v4.0", "Mar 04 2016 12:00:00"};
            image.stamp = stamp;
            image.garbage = garbage;
            image.info = info;
            writeImage(file, image);
        }
        const QString before = text("fileStateMainboard");

        ModalAnswers answers;
        answers.press(QMessageBox::Ok);
        QVERIFY(QMetaObject::invokeMethod(loader.get(), "loadFirmware", Q_ARG(QString, file)));
        invoke("updateFileState");
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QCOMPARE(answers.seen.size(), 1);
        QCOMPARE(answers.seen[0].title, QStringLiteral("Load firmwar efile"));
        QCOMPARE(answers.seen[0].icon, int(QMessageBox::Critical));
        QCOMPARE(answers.seen[0].text,
                 QStringLiteral("An error occured while loading firmware file\n\"%1\"\n%2")
                     .arg(file, status));
        QCOMPARE(text("fileStateMainboard"), before);
    }

    void severalFiles()
    {
        create();
        writeImage(path("a.hex"), {"PBASE", "v4.0", "Mar 04 2016 12:00:00"});
        writeImage(path("b.hex"), {"PCTRL", "v4.1", "Mar 05 2016 12:00:00"});
        writeImage(path("c.hex"), {"PKEYS", "v4.2", "Mar 06 2016 12:00:00"});
        const QString terminalBefore = text("fileStateTerminal");

        // The display changes once, after the last question.
        QStringList shownWhileAsking;
        auto look = [&] { shownWhileAsking << text("fileStateMainboard"); };
        ModalAnswers answers;
        answers.choose(dir.filePath("files"), {"a.hex", "b.hex", "c.hex"})
            .press(QMessageBox::Yes, look)
            .press(QMessageBox::No, look)
            .press(QMessageBox::Yes, look);
        widget<QToolButton>("loadTerminal")->click();
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QVERIFY(answers.allAnswered());

        QCOMPARE(answers.seen.size(), 4);
        QVERIFY(answers.seen[1].text.endsWith("\"PBASE-v4.0.hex (Mar 04 2016 12:00:00)\""));
        QVERIFY(answers.seen[2].text.endsWith("\"PCTRL-v4.1.hex (Mar 05 2016 12:00:00)\""));
        QVERIFY(answers.seen[3].text.endsWith("\"PKEYS-v4.2.hex (Mar 06 2016 12:00:00)\""));
        const QString builtIn = QString::fromLatin1(builtInMainboard);
        QCOMPARE(shownWhileAsking, (QStringList{builtIn, builtIn, builtIn}));

        QVERIFY(text("fileStateMainboard").startsWith("PBASE-v4.0.hex"));
        QCOMPARE(text("fileStateTerminal"), terminalBefore);
        QVERIFY(text("fileStateSensor").startsWith("PKEYS-v4.2.hex"));
    }

    void cancelledDialogStillRefreshes()
    {
        create(false);
        widget<QLabel>("fileStateMainboard")->setText(QStringLiteral("stale"));
        ModalAnswers answers;
        answers.cancel();
        invoke("openFirmware");
        QVERIFY(answers.allAnswered());
        QCOMPARE(answers.failures, QStringList());
        QCOMPARE(text("fileStateMainboard"), QString::fromLatin1(builtInMainboard));
    }

    // --- checksum stamping ---

    void checksumShortcut()
    {
        // Works without an instrument and with the board table hidden.
        create(false);
        loader->show();
        loader->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(loader.get()));
        QVERIFY(!widget<QWidget>("controlWidget")->isVisible());

        ModalAnswers answers;
        answers.cancel();
        QTest::keyClick(loader.get(), Qt::Key_F11, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(answers.allAnswered());
        QCOMPARE(answers.failures, QStringList());
        QCOMPARE(answers.seen[0].title, QStringLiteral("Firmware files"));
        QCOMPARE(answers.seen[0].directory, QDir::current().absolutePath());
        QCOMPARE(answers.seen[0].filters, QStringList{"Firmware (*.hex)"});
    }

    void calcChecksum()
    {
        create(false);
        const QString file = path("unsorted.hex");
        Image image{"PBASE", "v5.0", "Mar 04 2016 12:00:00"};
        image.stamp = false;
        image.descending = true;
        writeImage(file, image);

        // Yes puts the stamped file in place, but only until the built-in images return.
        ModalAnswers answers;
        answers.choose(dir.filePath("files"), {"unsorted.hex"}).press(QMessageBox::Yes);
        invoke("calcChecksum");
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QVERIFY(answers.allAnswered());
        QCOMPARE(answers.seen.size(), 2);
        QVERIFY(answers.seen[1].text.endsWith("\"PBASE-v5.0.hex (Mar 04 2016 12:00:00)\""));
        QCOMPARE(text("fileStateMainboard"), QString::fromLatin1(builtInMainboard));

        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.first(), QByteArray(":020000040000fa\r"));
        quint32 previous = 0;
        for (const QByteArray &line : lines) {
            const FirmwareFile::HexRecord r = FirmwareFile::parseHexLine(line + '\n');
            if (r.valid && r.type == 0x00) {
                QVERIFY(r.address >= previous);
                previous = r.address;
            }
        }
        QVERIFY(lines.at(lines.size() - 2).startsWith(":0200008000"));
        FirmwareFile stamped;
        QCOMPARE(stamped.load(file), FirmwareFile::Ok);
        QCOMPARE(stamped.getVersion(), QStringLiteral("v5.0"));
    }

    void calcChecksumFailures_data()
    {
        QTest::addColumn<bool>("garbage");
        QTest::addColumn<QString>("status");
        QTest::newRow("invalid line") << true << "Firmware file contains invalid data";
        QTest::newRow("no information block") << false << "No valid firmware file";
    }

    void calcChecksumFailures()
    {
        QFETCH(bool, garbage);
        QFETCH(QString, status);
        create(false);
        const QString file = path("broken.hex");
        Image image{"PBASE", "v5.0", "Mar 04 2016 12:00:00"};
        image.stamp = false;
        image.garbage = garbage;
        image.info = garbage; // the invalid line alone is enough to fail
        writeImage(file, image);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray original = f.readAll();
        f.close();

        widget<QLabel>("fileStateMainboard")->setText(QStringLiteral("stale"));
        ModalAnswers answers;
        answers.choose(dir.filePath("files"), {"broken.hex"}).press(QMessageBox::Ok);
        invoke("calcChecksum");
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QCOMPARE(answers.seen.size(), 2);
        QCOMPARE(answers.seen[1].title, QStringLiteral("Firmware files"));
        QCOMPARE(answers.seen[1].icon, int(QMessageBox::Critical));
        QCOMPARE(answers.seen[1].text, status);
        QCOMPARE(text("fileStateMainboard"), QString::fromLatin1(builtInMainboard));
        if (garbage) {
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), original);
        }
    }

    // --- dialog behaviours ---

    void escapeAndCloseWhileIdle_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("escape") << true;
        QTest::newRow("close") << false;
    }

    void escapeAndCloseWhileIdle()
    {
        QFETCH(bool, escape);
        create();
        loader->show();
        QVERIFY(QTest::qWaitForWindowExposed(loader.get()));
        // Escape must not reject the dialog behind the close question's back.
        QSignalSpy rejected(loader.get(), &QDialog::rejected);
        ModalAnswers answers;
        if (escape)
            QTest::keyClick(loader.get(), Qt::Key_Escape);
        else
            QVERIFY(loader->close());
        QVERIFY(!loader->isVisible());
        QCOMPARE(rejected.count(), 0);
        QCOMPARE(answers.failures, QStringList()); // no question while idle
    }

    void showResetsAdvancedMode()
    {
        create();
        loader->show();
        QVERIFY(QTest::qWaitForWindowExposed(loader.get()));
        auto *advanced = widget<QCheckBox>("advanced");
        auto *table = widget<QWidget>("controlWidget");
        QVERIFY(!table->isVisible());
        const int plainHeight = loader->sizeHint().height();

        advanced->click();
        QVERIFY(advanced->isChecked());
        QVERIFY(table->isVisible());
        QTRY_VERIFY(loader->height() > plainHeight);

        loader->hide();
        loader->show();
        QVERIFY(!advanced->isChecked());
        QVERIFY(!table->isVisible());
        QTRY_COMPARE(loader->height(), plainHeight);

        advanced->click();
        QVERIFY(table->isVisible());
        advanced->click();
        QVERIFY(!table->isVisible());
    }

    void licence()
    {
        create(false);
        ModalAnswers answers;
        answers.press(QMessageBox::Ok);
        QMetaObject::invokeMethod(loader.get(), "showLicense");
        QVERIFY2(answers.failures.isEmpty(), qPrintable(answers.failures.join('\n')));
        QCOMPARE(answers.seen.size(), 1);
        const Seen &box = answers.seen[0];
        QCOMPARE(box.title, QStringLiteral("Licence Information"));
        QVERIFY(box.text.contains("<h1>About Qt</h1>"));
        QVERIFY(box.text.contains("<h1>About HIDAPI</h1>"));
        QVERIFY(box.text.indexOf("About Qt") < box.text.indexOf("About HIDAPI"));
        QVERIFY(box.text.contains(QStringLiteral("Qt version %1").arg(qVersion())));
        QVERIFY(box.text.contains(QStringLiteral("HIDAPI version %1").arg(HID_API_VERSION_STR)));
        QCOMPARE(box.text.count("rgb(245, 177, 1)"), 2);
    }
};

QTEST_MAIN(TestZelLoader)
#include "tst_zelloader.moc"

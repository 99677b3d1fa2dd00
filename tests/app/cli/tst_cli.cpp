#include "accesstexts.h"
#include "testimages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

const QString demo = QStringLiteral(ZEL_CLI_DEMO);
const QString product = QStringLiteral(ZEL_CLI);

// No display of any kind: the command line must not need one. script(1) runs its
// command with "$SHELL -c", which must be a shell that leaves the terminal's Ctrl+C
// to the command (see askAndInterrupt).
QProcessEnvironment environment(const QString &sim)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ZEL_SIM"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/sh"));
    if (!sim.isNull())
        env.insert(QStringLiteral("ZEL_SIM"), sim);
    return env;
}

// Small firmware files for updates, so that a run takes a moment rather than
// the built-in images' seconds: "@keys", "@panel", "@main" images of the
// three families (v9.3, v9.2, v9.1), "@long" a control-panel image with lines
// too long for one message, "@foo" an image of an unknown family,
// "@unstamped" one without its checksum record, "@slow" a control-panel image of
// 600 lines, whose transfer with late answers lasts long enough for Ctrl+C.
QMap<QString, QString> images;

// The arguments, each image's name replaced by its path.
QStringList withImages(const QStringList &arguments)
{
    QStringList resolved;
    for (const QString &argument : arguments)
        resolved << images.value(argument, argument);
    return resolved;
}

Ran run(const QStringList &arguments, const QString &sim = QString(),
        const QString &workingDirectory = QString(), const QString &program = demo)
{
    return runProcess(program, withImages(arguments), environment(sim), workingDirectory, 60000);
}

QJsonObject parseJson(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << "not JSON:" << error.errorString() << bytes;
    return document.object();
}

// The boards as the command line must show them, in its order.
const QList<QStringList> boardRows = {
    {"keys5", "5", "Keys 12-20", "PKEYS"},  {"keys1", "1", "Keys 21-42", "PKEYS"},
    {"keys2", "2", "Keys 43-64", "PKEYS"},  {"keys3", "3", "Keys 65-86", "PKEYS"},
    {"keys4", "4", "Keys 87-108", "PKEYS"}, {"panel", "6", "Control Panel", "PCTRL"},
    {"main", "7", "Main Board", "PBASE"},
};

// A distinct version per board, so that a row showing another board's answer
// shows up: part 1 reports v1.1, part 2 v2.2, and so on.
const QString distinctVersions = "version=1:11;version=2:22;version=3:33;version=4:44;"
                                 "version=5:55;version=6:66;version=7:77;";

// Every line of an update's --json output as an object.
QList<QJsonObject> events(const QByteArray &out)
{
    QList<QJsonObject> list;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            list << parseJson(line);
    return list;
}

// A command left running, for what it writes meanwhile and for Ctrl+C.
struct Running
{
    QProcess process;
    QByteArray out, err;

    Running(const QString &sim, const QStringList &arguments, const QString &program = demo)
    {
        process.setProcessEnvironment(environment(sim));
        process.start(program, withImages(arguments));
    }
    QByteArray &read(bool fromErr = false)
    {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return fromErr ? err : out;
    }
    // Whether stdout (or stderr) comes to hold `text` `count` times.
    bool waitFor(const QByteArray &text, bool inErr = false, int count = 1)
    {
        return QTest::qWaitFor([&] { return read(inErr).count(text) >= count; }, 60000);
    }
    // The exit code, -1 if it crashed or did not end.
    int finish()
    {
        const bool ended = process.waitForFinished(60000);
        read();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
#ifdef Q_OS_UNIX
    void interrupt()
    {
        ::kill(pid_t(process.processId()), SIGINT);
    }
#endif
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    // Where the simulated instrument writes what it held when the command ended (report=).
    const QString reportPath = dir.filePath(QStringLiteral("report.json"));
    QJsonValue held() const { return parseJson(readFile(reportPath)); }

    // A test file from a short description: "res:NAME" a built-in image,
    // "strip:NAME" a built-in image without its checksum record, "text:..." the
    // text itself, "missing" no file at all, "large" a sparse file a byte over the
    // size limit. Returns its path under `folder`.
    QString makeFile(const QString &kind, const QString &folder, int index)
    {
        const QString path = QDir(folder).filePath(QStringLiteral("f%1.hex").arg(index));
        QByteArray bytes;
        if (kind == QLatin1String("missing"))
            return path;
        if (kind == QLatin1String("large")) {
            writeFile(path, ":");
            QFile file(path);
            if (!file.resize(64 * 1024 * 1024 + 1))
                qFatal("cannot make a sparse file");
            return path;
        }
        if (kind.startsWith(QLatin1String("res:")) || kind.startsWith(QLatin1String("strip:"))) {
            bytes = readFile(QStringLiteral(":/firmware/") + kind.section(QLatin1Char(':'), 1, 1));
            if (kind.startsWith(QLatin1String("strip:")))
                bytes.truncate(bytes.lastIndexOf(":00000001FF") + 13);
        } else {
            bytes = kind.mid(kind.indexOf(QLatin1Char(':')) + 1).toLatin1();
        }
        writeFile(path, bytes);
        return path;
    }

private Q_SLOTS:
    void init() { QFile::remove(reportPath); }

    void initTestCase()
    {
        QVERIFY(dir.isValid());
        const QList<QStringList> made = {
            {"@keys", "PKEYS", "v9.3", "24"}, {"@panel", "PCTRL", "v9.2", "16"},
            {"@main", "PBASE", "v9.1", "16"}, {"@long", "PCTRL", "v9.4", "25"},
            {"@foo", "PFOO", "v1.0", "16"},   {"@unstamped", "", "", "16"},
            {"@slow", "PCTRL", "v9.5", "16"}};
        for (const QStringList &image : made) {
            const QString path = dir.filePath(image[0].mid(1) + ".hex");
            const QByteArray family = image[1].isEmpty() ? "PKEYS" : image[1].toLatin1();
            QVERIFY(writeFile(path, hexImage(family, image[2].toLatin1(),
                                             image[0] == "@slow" ? 600 : 8, image[3].toInt())));
            if (!image[1].isEmpty())
                QCOMPARE(FirmwareFile().load(path, true), FirmwareFile::Ok);
            images.insert(image[0], path);
        }
    }

    // Usage, help and version go through the product: it starts without the
    // instrument and without a display.
    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        // In stderr; on success, how stdout begins, and after each "|-" an option that the
        // help describes, in its order.
        QTest::addColumn<QString>("message");
        const QString top = "Usage: zelloader-cli COMMAND [OPTIONS] [FILE...]\n";
        const QString files = " [options] FILE...\n|--json|-h, --help";
        // clang-format off
        QTest::newRow("no command") << QStringList() << 2 << "no command given";
        QTest::newRow("unknown command") << QStringList{"flash"} << 2 << "unknown command 'flash'";
        QTest::newRow("option before the command")
            << QStringList{"--json", "list"} << 2 << "unknown option '--json'";
        QTest::newRow("unknown option") << QStringList{"list", "--fast"} << 2 << "Unknown option";
        QTest::newRow("list with a file") << QStringList{"list", "a.hex"} << 2 << "no file";
        QTest::newRow("wait without seconds") << QStringList{"list", "--wait"} << 2 << "--wait";
        QTest::newRow("negative wait") << QStringList{"list", "--wait", "-1"} << 2 << "'-1'";
        QTest::newRow("wait not a number")
            << QStringList{"list", "--wait", "soon"} << 2 << "'soon'";
        QTest::newRow("wait over a day")
            << QStringList{"list", "--wait", "86401"} << 2 << "'86401'";
        QTest::newRow("info without files") << QStringList{"info"} << 2 << "at least one";
        QTest::newRow("stamp without files")
            << QStringList{"stamp", "--json"} << 2 << "at least one";
        QTest::newRow("update with a file argument")
            << QStringList{"update", "--yes", "a.hex"} << 2 << "give firmware files with --file";
        QTest::newRow("update an unknown board")
            << QStringList{"update", "--yes", "--board", "keys9"} << 2 << "unknown board 'keys9'";
        QTest::newRow("repeat without yes") << QStringList{"update", "--repeat"} << 2 << "give --yes";
        QTest::newRow("repeat, one chosen")
            << QStringList{"update", "--yes", "--repeat", "--device", "B-2"} << 2 << "no --device";
        QTest::newRow("help") << QStringList{"--help"} << 0 << top + "|--wait SECONDS"
            "|--device PATH|SERIAL|--board NAME|--file FILE.hex|-y, --yes|--repeat|--json"
            "|-h, --help|-V, --version";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "zelloader-cli " ZEL_VERSION "\n";
        QTest::newRow("help word") << QStringList{"help"} << 0 << top;
        // A command's help comes from its parser: its usage, and each of its options.
        QTest::newRow("list help") << QStringList{"list", "--help"} << 0
            << "Usage: zelloader-cli list [options]\n|--json|--wait <SECONDS>"
               "|--device <PATH|SERIAL>|-h, --help";
        QTest::newRow("update help") << QStringList{"update", "--yes", "--help"} << 0
            << "Usage: zelloader-cli update [options]\n|--board <NAME>|--file <FILE.hex>|-y, --yes"
               "|--repeat|--json|--wait <SECONDS>|--device <PATH|SERIAL>|-h, --help";
        QTest::newRow("info help") << QStringList{"info", "--help"} << 0
                                   << "Usage: zelloader-cli info" + files;
        QTest::newRow("stamp help, short") << QStringList{"stamp", "-h", "a.hex"} << 0
                                           << "Usage: zelloader-cli stamp" + files;
        // clang-format on
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, message);
        const Ran result = run(arguments, QString(), dir.path(), product);
        QCOMPARE(result.code, code);
        if (code == 0) {
            const QStringList options = message.split(QRegularExpression("\\|(?=-)"));
            QVERIFY2(result.out.startsWith(options.first().toUtf8()), result.out);
            QCOMPARE(result.err, QByteArray());
            QStringList described;
            const QRegularExpression option("\n  (-.*?)  +[a-z]");
            for (auto match = option.globalMatch(result.out); match.hasNext();)
                described << match.next().captured(1);
            if (options.size() > 1)
                QCOMPARE(described, options.mid(1));
        } else {
            QCOMPARE(result.out, QByteArray());
            QVERIFY2(result.err.contains(message.toUtf8()), result.err);
            QVERIFY(result.err.contains("Try 'zelloader-cli --help'"));
        }
    }

    // The command line is built without widgets; a link to them would make it
    // need a display on some platforms and pull in a dozen libraries.
    void productNeedsNoGui()
    {
        const QString ldd = QStandardPaths::findExecutable(QStringLiteral("ldd"));
        if (ldd.isEmpty())
            QSKIP("no ldd here");
        const QByteArray libraries = runProcess(ldd, {product}).out;
        QVERIFY(libraries.contains("Core"));
        QVERIFY2(!libraries.contains("Gui") && !libraries.contains("Widgets"), libraries);
    }

    // `versions`: the version shown in each row of boardRows, "-" for no answer, none
    // where the command fails. Each part reports its own version (distinctVersions).
    void list_data()
    {
        QTest::addColumn<QString>("sim");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("versions");
        QTest::addColumn<QString>("message");
        const QString all = "v5.5 v1.1 v2.2 v3.3 v4.4 v6.6 v7.7", none;

        QTest::newRow("all boards") << "" << QStringList() << 0 << all << "";
        QTest::newRow("one board silent")
            << "absent=3" << QStringList() << 0 << "v5.5 v1.1 v2.2 - v4.4 v6.6 v7.7"
            << "";
        QTest::newRow("no sensor board answers") << "absent=1;absent=2;absent=3;absent=4;absent=5"
                                                 << QStringList() << 0 << "- - - - - v6.6 v7.7"
                                                 << "";
        QTest::newRow("plugged in within a fraction of a second")
            << "unplugged;plugAfterMs=100" << QStringList{"--wait", "0.9"} << 0 << all
            << "Waiting up to 0.9 s for the instrument";
        QTest::newRow("no instrument, a single attempt")
            << "unplugged" << QStringList{"--wait", "0"} << 3 << none
            << "no instrument found within 0 s";
        QTest::newRow("access denied")
            << "accessDenied" << QStringList{"--wait", "1"} << 4 << none
            << ZEL_DENIED_ADVICE;
        // A denial does not end the wait: udev may be applying a rule just installed.
        QTest::newRow("access granted while waiting")
            << "accessDenied;grantAfterMs=1500" << QStringList{"--wait", "30"} << 0 << all
            << "access to it was denied; waiting in case it is granted";
        QTest::newRow("gone before the answers")
            << "failRead=0" << QStringList() << 3 << none << "went away";
        // A broken set-up of the simulated instrument must not pass for a behaviour.
        QTest::newRow("unknown ZEL_SIM setting")
            << "teleport" << QStringList() << 64 << none << "ZEL_SIM";
        QTest::newRow("ZEL_SIM setting without its number")
            << "rejectLine=6" << QStringList() << 64 << none << "ZEL_SIM";
    }

    void list()
    {
        QFETCH(QString, sim);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, versions);
        QFETCH(QString, message);
        const Ran text = run(QStringList{"list"} + arguments, distinctVersions + sim);
        const Ran json = run(QStringList{"list", "--json"} + arguments, distinctVersions + sim);
        QCOMPARE(text.code, code);
        QCOMPARE(json.code, code);
        QVERIFY2(text.err.contains(message.toUtf8()), text.err);
        if (code != 0) {
            QCOMPARE(text.out + json.out, QByteArray());
            return;
        }
        // The text and JSON rows both say what the board is and runs ("null": no answer).
        const QStringList lines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
        const QJsonArray boards = parseJson(json.out).value("boards").toArray();
        QCOMPARE(lines.size(), 8);
        QCOMPARE(boards.size(), boardRows.size());
        QCOMPARE(lines[0].split(QRegularExpression(" +")),
                 QStringList({"BOARD", "PART", "DESCRIPTION", "VERSION"}));
        for (int row = 0; row < boardRows.size(); ++row) {
            const QString version = versions.section(' ', row, row);
            QCOMPARE(lines[row + 1].trimmed().split(QRegularExpression("  +")),
                     boardRows[row].mid(0, 3) +
                         QStringList{version == "-" ? "no answer" : version});
            const QJsonValue board = boards[row];
            QCOMPARE(QStringList({board["name"].toString(), QString::number(board["part"].toInt()),
                                  board["description"].toString(), board["family"].toString(),
                                  board["version"].isNull() ? "-" : board["version"].toString()}),
                     boardRows[row] + QStringList{version});
        }
    }

    // `plan`: the boards the plan names; `steps`: each step that ended, "name:1" for
    // success, "name:0" for failure; `boards`: per part 1 to 7 what the board holds
    // afterwards: "-" untouched (nothing received, not in update mode), "x" no new
    // image, else the version of the image it installed.
    void update_data()
    {
        QTest::addColumn<QString>("sim");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("plan");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("boards");
        QTest::addColumn<QString>("message");
        const QStringList small = {"--yes", "--file", "@main", "--file",
                                   "@keys", "--file", "@panel"};
        const QString all = "keys5 keys1 keys2 keys3 keys4 panel main";
        const QString threeSteps = "sensors:1 panel:1 main:1";
        const QString none = "- - - - - - -";
        // clang-format off
        QTest::newRow("every board, built-in images")
            << "" << QStringList{"--yes"} << 0 << all << threeSteps
            << "v1.9 v1.9 v1.9 v1.9 v1.9 v2.4 v3.3" << "";
        // Boards in the window's order, each once, whatever the order of the names; the
        // files are given in another order than the steps take them.
        QTest::newRow("chosen boards, files by family")
            << "" << QStringList{"--yes", "--board", "main", "--file", "@main", "--board",
                                 "sensors", "--file", "@keys", "--board", "keys2"}
            << 0 << "keys5 keys1 keys2 keys3 keys4 main" << "sensors:1 main:1"
            << "v9.3 v9.3 v9.3 v9.3 v9.3 - v9.1" << "";
        QTest::newRow("a silent board is left out")
            << "absent=3" << small << 0 << "keys5 keys1 keys2 keys4 panel main" << threeSteps
            << "v9.3 v9.3 - v9.3 v9.3 v9.2 v9.1" << "";
        QTest::newRow("a board rejects a line")
            << "rejectLine=6:2" << small + QStringList{"--board", "all"} << 1 << all
            << "sensors:1 panel:0" << "v9.3 v9.3 v9.3 v9.3 v9.3 x -"
            << "the update failed: Control Panel: Errors while transfering data; not updated: "
               "Main Board";
        QTest::newRow("the first step fails")
            << "refuseStart=2" << small << 1 << all << "sensors:0" << "x x x x x - -"
            << "Sensor Boards: Firmware update mode could not be startet; not updated: Control "
               "Panel and Main Board";
        QTest::newRow("a chosen board does not answer")
            << "absent=3" << QStringList{"--yes", "--board", "keys3", "--board", "panel"}
            << 1 << "" << "" << none << "keys3 (Keys 65-86) did not answer";
        QTest::newRow("no board answers")
            << "absent=1;absent=2;absent=3;absent=4;absent=5;absent=6;absent=7"
            << QStringList{"--yes"} << 1 << "" << "" << none << "no board answered";
        // The window's up-front check: the failure of the step the file is for, before
        // the sensor boards before it are written.
        QTest::newRow("a line too long for one message")
            << "" << QStringList{"--yes", "--file", "@long"} << 1 << all << "panel:0" << none
            << "the update failed: Control Panel: Invalid firmware file; not updated: Main Board";
        QTest::newRow("a file for none of the boards")
            << "" << QStringList{"--yes", "--board", "main", "--file", "@keys"} << 2 << "" << ""
            << none << "is firmware for none of the boards to update";
        QTest::newRow("two files of one family")
            << "" << QStringList{"--yes", "--file", "@main", "--file", "@main"} << 2 << "" << ""
            << none << "are both PBASE firmware";
        QTest::newRow("a file of no known family")
            << "" << QStringList{"--yes", "--file", "@foo"} << 2 << "" << "" << none << "'PFOO'";
        QTest::newRow("a file that does not load")
            << "" << QStringList{"--yes", "--file", "@unstamped"} << 2 << "" << "" << none
            << "Firmware file has been corrupted";
        QTest::newRow("no instrument")
            << "unplugged" << QStringList{"--yes", "--wait", "0.2"} << 3 << "" << "" << none
            << "no instrument found within 0.2 s";
        QTest::newRow("access denied")
            << "accessDenied" << QStringList{"--yes", "--wait", "1"} << 4 << "" << "" << none
            << ZEL_DENIED_ADVICE;
        // Refused before the wait: the instrument is not even plugged in.
        QTest::newRow("no terminal to ask on")
            << "unplugged" << QStringList{} << 2 << "" << "" << none << "not updating without --yes";
        // clang-format on
    }

    void update()
    {
        QFETCH(QString, sim);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, plan);
        QFETCH(QString, steps);
        QFETCH(QString, boards);
        QFETCH(QString, message);
        const Ran result = run(QStringList{"update", "--json"} + arguments,
                               "restartMs=200;" + distinctVersions + sim + ";report=" + reportPath);
        QCOMPARE(result.code, code);
        QVERIFY2(result.err.contains(message.toUtf8()), result.err);

        QStringList planned, ended;
        QMap<int, QString> next; // by part, the version the plan says each board gets
        QJsonObject shown;       // the last progress event
        int percent = 0;
        const QList<QJsonObject> all = events(result.out);
        for (const QJsonObject &event : all) {
            const QString type = event.value("event").toString();
            if (type == "plan") {
                QVERIFY(planned.isEmpty() && ended.isEmpty());
                for (const QJsonValue board : event["boards"].toArray()) {
                    const int part = board["part"].toInt();
                    planned << board["name"].toString();
                    QCOMPARE(board["current"].toString(), QStringLiteral("v%1.%1").arg(part));
                    next[part] = board["new"].toString();
                }
            } else if (type == "progress") {
                // Only a change of the step, its whole percent or its text is news.
                QVERIFY2(event != shown, QJsonDocument(event).toJson());
                const int now = event["percent"].toInt();
                QVERIFY(now >= (event["step"] == shown.value("step") ? percent : 0) && now <= 100);
                shown = event;
                percent = now;
            } else if (type == "step") {
                const bool ok = event.value("ok").toBool();
                ended << event.value("step").toString() + (ok ? ":1" : ":0");
                if (ok)
                    QCOMPARE(percent, 100);
            } else {
                QCOMPARE(type, "result");
                QCOMPARE(&event, &all.last());
                QCOMPARE(event.value("ok").toBool(), code == 0);
                if (code != 0) {
                    QCOMPARE(event.value("step").toString() + ":0", ended.last());
                    QVERIFY(result.err.contains(event.value("text").toString().toUtf8()));
                }
            }
        }
        QCOMPARE(planned.join(' '), plan);
        QCOMPARE(ended.join(' '), steps);
        QCOMPARE(!all.isEmpty() && all.last().value("event") == "result", !steps.isEmpty());

        const QJsonValue report = held();
        for (int part = 1; part <= 7; ++part) {
            const QJsonObject board = report["boards"][QString::number(part)].toObject();
            const QString expected = boards.section(' ', part - 1, part - 1);
            QVERIFY2(!board.isEmpty(), "no report");
            QCOMPARE(board.value("installed").toBool(), expected.startsWith('v'));
            if (expected.startsWith('v')) {
                const int version = board.value("version").toInt();
                QCOMPARE(QStringLiteral("v%1.%2").arg(version / 10).arg(version % 10), expected);
                QCOMPARE(next.value(part), expected);
            }
            if (expected == "-") {
                QCOMPARE(board.value("received").toInt(), 0);
                QCOMPARE(board.value("mode").toString(), "normal");
            }
        }
        if (boards.count('-') == 7)
            QCOMPARE(report["updateMessages"].toInt(), 0);
        QCOMPARE(report["restarts"].toInt(), boards.endsWith('-') || boards.endsWith('x') ? 0 : 1);
    }

    // Plain lines, for a log: the plan, each state of each step, each tenth of each step
    // and the failure. A first step that succeeds and a second that fails.
    void updateText()
    {
        const Ran result = run({"update", "--yes", "--board", "main", "--board", "panel", "--file",
                                "@main", "--file", "@panel"},
                               "restartMs=200;rejectEnd=7;" + distinctVersions);
        QCOMPARE(result.code, 1);
        QCOMPARE(result.err, QByteArray("zelloader-cli: the update failed: Main Board: Invalid "
                                        "firmware file\n"));
        const QStringList out = QString::fromUtf8(result.out).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(out.mid(0, 3), QStringList({"BOARD  PART  DESCRIPTION    CURRENT  NEW",
                                             "panel     6  Control Panel  v6.6     v9.2",
                                             "main      7  Main Board     v7.7     v9.1"}));
        QStringList states, tenths, expectedTenths;
        for (const QString &line : out.mid(3))
            (line.endsWith('%') ? tenths : states) << line;
        for (const char *board : {"Control Panel", "Main Board"})
            for (int tenth = 10; tenth <= 100; tenth += 10)
                expectedTenths << QStringLiteral("%1: %2%").arg(board).arg(tenth);
        QCOMPARE(tenths, expectedTenths);
        QCOMPARE(
            states,
            QStringList(
                {"Control Panel: Validate compability", "Control Panel: Start firmware update mode",
                 "Control Panel: Transferring firmware file",
                 "Control Panel: Validate firmware file and process data",
                 "Control Panel: Waiting for device response",
                 "Control Panel: Firmware update successfull", "Main Board: Validate compability",
                 "Main Board: Start firmware update mode", "Main Board: Transferring firmware file",
                 "Main Board: Validate firmware file and process data",
                 "Main Board: Invalid firmware file"}));
    }

    // Several instruments attached, the second with serial number B-2 and its main board at
    // v3.5. `shown`: pieces of stdout, or of stderr where the exit code is not 0, separated
    // by '|'; with --json the instruments named ("path=serial", "-" for none; "top" where the
    // one instrument's members stand at the top as well). `updated`: the instruments sent
    // anything but version requests.
    void severalInstruments_data()
    {
        QTest::addColumn<QString>("sim");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("updated");
        const QString two = "@2 plug;@2 serial=B-2;@2 version=7:35";
        const QString first = "Instrument zelsim:hidraw0, serial number none\nBOARD";
        const QString second = "Instrument zelsim:hidraw1, serial number B-2\nBOARD";
        const QString main35 = "main      7  Main Board     v3.5\n";
        const QString both = "zelsim:hidraw0=- zelsim:hidraw1=B-2";
        using L = QStringList;
        // clang-format off
        QTest::newRow("list: each one, named")
            << two << L{"list"} << 0 << first + "|v3.1\n\n" + second + "|" + main35 << "";
        QTest::newRow("list one by serial number")
            << two << L{"list", "--device", "B-2"} << 0 << second + "|" + main35 << "";
        QTest::newRow("update: choose one") << two << L{"update", "--yes"} << 2
            << "zelloader-cli: several instruments are attached; choose one with --device PATH or "
               "--device SERIAL:\n  zelsim:hidraw0, serial number none\n"
               "  zelsim:hidraw1, serial number B-2\n" << "";
        // Back from its restart, an instrument without a serial number cannot be told from
        // the other one.
        QTest::newRow("update by path: the main board not checked")
            << two << L{"update", "--yes", "--board", "main", "--device", "zelsim:hidraw0"} << 1
            << "Main Board: New firmware not checked: another instrument is attached" << "1";
        QTest::newRow("none of that name")
            << two << L{"update", "--yes", "--wait", "0", "--device", "C-3"} << 3
            << "no instrument 'C-3' found within 0 s" << "";
        QTest::newRow("two of that name") << two + ";serial=B-2" << L{"update", "--yes", "--device", "B-2"} << 2
            << "more than one instrument is 'B-2'; choose one by its path" << "";
        QTest::newRow("--json: list one") << "" << L{"list", "--json"} << 0 << "zelsim:hidraw0=- top" << "";
        QTest::newRow("--json: list two") << two << L{"list", "--json"} << 0 << both << "";
        QTest::newRow("--json: to choose from") << two << L{"update", "--yes", "--json"} << 2 << both << "";
        QTest::newRow("--json: the plan's")
            << "serial=A-1" << L{"update", "--yes", "--board", "panel", "--json"} << 0
            << "zelsim:hidraw0=A-1 top" << "1";
        // clang-format on
    }
    void severalInstruments()
    {
        QFETCH(QString, sim);
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        QFETCH(QString, shown);
        QFETCH(QString, updated);
        const Ran result =
            run(arguments, sim + ";restartMs=100;@2 restartMs=100;report=" + reportPath);
        QCOMPARE(result.code, code);
        if (arguments.contains("--json")) {
            const QJsonObject first =
                arguments[0] == "list" ? parseJson(result.out) : events(result.out).value(0);
            const QJsonArray listed = first.value("instruments").toArray();
            QStringList named;
            for (const QJsonValue each : listed.isEmpty() ? QJsonArray{first} : listed)
                named << each["path"].toString() + '=' + each["serial"].toString("-");
            QCOMPARE(named.join(' ') + (first.contains("path") ? " top" : ""), shown);
        } else {
            for (const QString &piece : shown.split('|'))
                QVERIFY2((code ? result.err : result.out).contains(piece.toUtf8()),
                         code ? result.err : result.out);
        }
        QString sent;
        for (const QString n : {"1", "2"})
            sent += held()["instruments"][n]["updateMessages"].toInt() ? n : "";
        QCOMPARE(sent, updated);
    }

#ifdef Q_OS_UNIX
    // Ctrl+C while waiting for the instrument ends the command at once.
    void interruptWhileWaiting()
    {
        Running cli("unplugged", {"list", "--wait", "600"});
        // The note on stderr comes after the handler is in place.
        QVERIFY(cli.waitFor("Waiting", true));
        cli.interrupt();
        QCOMPARE(cli.finish(), 5);
        QCOMPARE(cli.out, QByteArray());
    }

    // One update of the control panel. On a terminal (`answer` given), without --yes, the
    // plan is shown and the answer decides, and the step's bar is redrawn in place; off
    // one the update prints plain lines, or JSON. One Ctrl+C only warns, on a line of its
    // own; a second one within 3 s stops the update.
    void askAndInterrupt_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("presses");
        QTest::addColumn<bool>("updated");
        QTest::newRow("terminal: y, and one Ctrl+C") << QByteArray("y\n") << 1 << true;
        QTest::newRow("terminal: yes in any case") << QByteArray("  YeS \n") << 0 << true;
        QTest::newRow("terminal: not quite yes") << QByteArray("yesterday\n") << 0 << false;
        QTest::newRow("plain: one Ctrl+C, the update goes on") << QByteArray() << 1 << true;
        QTest::newRow("JSON: two Ctrl+C stop it") << QByteArray() << 2 << false;
    }

    void askAndInterrupt()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, presses);
        QFETCH(bool, updated);
        const bool terminal = !answer.isEmpty(), stopped = presses == 2;
        QString program = demo;
        QStringList arguments = {"update", "--board", "panel", "--file",
                                 presses ? "@slow" : "@panel"};
        if (terminal) {
            program = QStandardPaths::findExecutable(QStringLiteral("script"));
            if (program.isEmpty())
                QSKIP("no script(1) here to run the command on a terminal");
            // script(1) runs the command with "$SHELL -c"; dash stays as the parent and
            // would die of the Ctrl+C itself, so the command replaces the shell.
            arguments = QStringList{
                "-qec", "exec '" + (QStringList{demo} + withImages(arguments)).join("' '") + "'",
                "/dev/null"};
        } else {
            arguments += stopped ? QStringList{"--yes", "--json"} : QStringList{"--yes"};
        }
        Running cli((presses ? "latencyMs=2;report=" : "report=") + reportPath, arguments, program);
        cli.process.write(answer);
        if (presses) {
            QVERIFY(cli.waitFor("Transferring"));
            // The terminal turns the key into SIGINT for the command.
            if (terminal)
                cli.process.write("\x03");
            else
                cli.interrupt();
            // Presses sent together could merge into one signal.
            QVERIFY(cli.waitFor("Stopping now may leave a board without firmware", !terminal));
            if (stopped)
                cli.interrupt();
        }
        QCOMPARE(cli.finish(), stopped ? 5 : 0);
        const QJsonValue panel = held()["boards"]["6"];
        QCOMPARE(panel["installed"].toBool(), updated);
        QCOMPARE(panel["received"].toInt() > 0, updated || stopped);
        QCOMPARE(panel["mode"].toString(), stopped ? "update" : "normal");
        QCOMPARE(cli.err.contains("interrupted during the update of the Control Panel"), stopped);
        if (stopped) {
            const QJsonObject result = events(cli.out).last();
            QCOMPARE(result.value("event").toString(), "result");
            QCOMPARE(result.value("ok").toBool(), false);
            QCOMPARE(result.value("interrupted").toBool(), true);
            return;
        }
        if (!terminal) { // the warning between two lines repeats neither
            QCOMPARE(cli.out.count("Control Panel: Transferring firmware file"), 1);
            QVERIFY(cli.out.endsWith("\nFirmware update successfull\n"));
            return;
        }
        const QByteArray shown = cli.out.replace("\r\n", "\n").replace("^C", "");
        QVERIFY2(shown.contains("Update these boards? [y/N] "), shown);
        QCOMPARE(shown.contains("Nothing was updated."), !updated);
        QCOMPARE(shown.contains("\nStopping now may leave a board without firmware"), presses > 0);
        // One bar per step, redrawn in place: only on a change, and with spaces over what
        // a longer drawing left; full when the step ends.
        const QRegularExpression bar("^Control Panel \\[(#*)\\.*\\] +(\\d+)% (.*)$");
        QString last;
        for (const QByteArray &line : shown.split('\n')) {
            // The first bar begins on the prompt's line: the answer typed ahead was echoed before.
            if (line.indexOf('\r') < 0)
                continue;
            QString before;
            for (const QString &drawn :
                 QString::fromUtf8(line.mid(line.indexOf('\r') + 1)).split('\r')) {
                const QRegularExpressionMatch match = bar.match(drawn);
                QVERIFY2(match.hasMatch(), qPrintable(drawn));
                const int hashes = match.capturedLength(1), percent = match.captured(2).toInt();
                QCOMPARE(drawn.indexOf(']') - drawn.indexOf('['), 31);
                QVERIFY2(hashes >= 3 * percent / 10 && hashes <= (30 * percent + 27) / 100,
                         qPrintable(drawn));
                const QString visible = QString(drawn).remove(QRegularExpression(" +$"));
                QVERIFY2(visible != before && drawn.size() >= before.size(), qPrintable(drawn));
                before = last = visible;
            }
        }
        QCOMPARE(last.startsWith("Control Panel [" + QString(30, '#') +
                                 "] 100% Firmware update successfull"),
                 updated);
    }

    // The service bench: three instruments plugged in one after another (the demo's bench
    // unplugs each once its update is over and plugs in the next), the second, without a
    // serial number, refusing its main-board image. A result for each, Ctrl+C while it waits
    // for a fourth, the summary; exit 1, since one failed. Each one updated once.
    void repeat()
    {
        Running cli("bench=3;serial=A-1;@3 serial=C-3;@2 rejectEnd=7;restartMs=100;"
                    "@2 restartMs=100;@3 restartMs=100;report=" +
                        reportPath,
                    {"update", "--yes", "--repeat", "--board", "main", "--json"});
        QVERIFY(cli.waitFor("\"instrument\"", false, 3));
        cli.interrupt();
        QCOMPARE(cli.finish(), 1);
        QStringList results;
        for (const QJsonObject &event : events(cli.out)) {
            const QJsonValue main = event["boards"][0];
            if (event["event"] == "instrument")
                results << event["serial"].toString("-") +
                               (event["ok"].toBool() ? " ok " : " no ") +
                               main["before"].toString() + '>' + main["after"].toString();
            else if (event["event"] == "summary")
                results << QString::number(event["succeeded"].toInt()) + " ok, " +
                               QString::number(event["failed"].toInt()) + " failed";
        }
        QCOMPARE(results, QStringList({"A-1 ok v3.1>v3.3", "- no v3.1>v3.1", "C-3 ok v3.1>v3.3",
                                       "2 ok, 1 failed"}));
        for (const QString n : {"1", "2", "3", "4"})
            QCOMPARE(held()["instruments"][n]["restarts"].toInt(), int(n == "1" || n == "3"));
    }
#endif

    // Each row: the files given, the load result of each and what info prints, "{0}"
    // and so on standing for their paths. --json must say what the text says.
    void info_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<QString>("shown");
        const QString ok = "  status      Firmware file is OK\n";
        const QString keys = ok + "  family      PKEYS\n  version     v1.9\n  build date  Dec 03 "
                                  "2014 11:27:40\n  checksum    0x30\n  size        43770 bytes\n";
        const QString panel = ok + "  family      PCTRL\n  version     v2.4\n  build date  Jan 20 "
                                   "2015 14:02:11\n  checksum    0x1C\n  size        58170 bytes\n";
        const QString main = ok + "  family      PBASE\n  version     v3.3\n  build date  Feb 12 "
                                  "2015 09:48:59\n  checksum    0x3D\n  size        201737 bytes\n";
        const QString invalid = "  status      Firmware file contains invalid data\n";
        const QString corrupted = "  status      Firmware file has been corrupted\n";
        QTest::newRow("all three images")
            << QStringList{"res:pkeys", "res:pctrl", "res:pbase"} << QList<int>{0, 0, 0}
            << "{0}\n" + keys + "\n{1}\n" + panel + "\n{2}\n" + main;
        QTest::newRow("missing file")
            << QStringList{"missing"} << QList<int>{1} << "{0}\n  status      File access denied\n";
        QTest::newRow("not a HEX file")
            << QStringList{"text:hello\r\n"} << QList<int>{2} << "{0}\n" + invalid;
        QTest::newRow("no checksum record")
            << QStringList{"strip:pkeys"} << QList<int>{3} << "{0}\n" + corrupted;
        QTest::newRow("a file over the size limit")
            << QStringList{"large"} << QList<int>{2}
            << "{0}\n  status      Firmware file is too large (more than 64 MB)\n";
        QTest::newRow("a good and a bad file")
            << QStringList{"res:pctrl", "text:hello\r\n"} << QList<int>{0, 2}
            << "{0}\n" + panel + "\n{1}\n" + invalid;
        QTest::newRow("a bad and a good file")
            << QStringList{"strip:pbase", "res:pkeys"} << QList<int>{3, 0}
            << "{0}\n" + corrupted + "\n{1}\n" + keys;
    }

    void info()
    {
        QFETCH(QStringList, files);
        QFETCH(QList<int>, statuses);
        QFETCH(QString, shown);
        const QString folder = dir.filePath(QTest::currentDataTag());
        QStringList paths;
        for (int i = 0; i < files.size(); ++i) {
            paths << makeFile(files[i], folder, i);
            shown.replace(QStringLiteral("{%1}").arg(i), paths[i]);
        }
        const int code = statuses.count(0) == statuses.size() ? 0 : 2;

        const Ran text = run(QStringList{"info"} + paths);
        QCOMPARE(text.code, code);
        QCOMPARE(text.err, QByteArray());
        QCOMPARE(QString::fromUtf8(text.out), shown);

        // --json says what the text says: the values in the text's order, "family" and
        // what follows only for a file that loads.
        const Ran json = run(QStringList{"info", "--json"} + paths);
        QCOMPARE(json.code, code);
        QStringList said, fromJson;
        QList<int> jsonStatuses;
        for (const QString &line : shown.split('\n', Qt::SkipEmptyParts))
            said << (line.startsWith(' ') ? line.mid(14) : line);
        for (const QJsonValue entry : parseJson(json.out)["files"].toArray()) {
            jsonStatuses << entry["status"].toInt(-1);
            fromJson << entry["path"].toString() << entry["statusText"].toString();
            if (entry.toObject().contains("family"))
                fromJson << entry["family"].toString() << entry["version"].toString()
                         << entry["buildDate"].toString()
                         << QString::asprintf("0x%02X", entry["checksum"].toInt(-1))
                         << QString::number(entry["size"].toInt(-1)) + " bytes";
        }
        QCOMPARE(jsonStatuses, statuses);
        QCOMPARE(fromJson, said);
    }

    // A path from the command line is a file, even when it reads like one of the
    // program's own resources.
    void resourceLikePath()
    {
        const QString folder = dir.filePath(QStringLiteral("resourceLike"));
        QVERIFY(writeFile(folder + "/:/firmware/pbase", QByteArray()));
        const Ran result = run({"info", "--json", ":/firmware/pbase"}, QString(), folder);
        QCOMPARE(result.code, 2);
        const QJsonObject entry = parseJson(result.out).value("files").toArray()[0].toObject();
        QCOMPARE(entry.value("status").toInt(), int(FirmwareFile::Corrupted));
    }

    // `results`: the result each file must end with; `shown`: the line stamp prints
    // for each, "{0}" standing for its path; `rewritten`: whether each file must have
    // been rewritten. --json must say what the text says; stamped files must pass info.
    void stamp_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QList<int>>("results");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QList<bool>>("rewritten");
        const QString noInfoBlock = "text:" + hexRecord(0x00, 0x100, "abcd") + "\r\n";
        const QString invalid = "{0}: Firmware file contains invalid data (unchanged)";
        // The rewrite writes the extended address records in lower case, so a stamped
        // built-in image carries another checksum than it came with.
        QTest::newRow("unstamped image")
            << QStringList{"strip:pkeys"} << QList<int>{0}
            << QStringList{"{0}: Firmware file is OK (checksum 0x1E)"} << QList<bool>{true};
        QTest::newRow("stamped image, stamped again")
            << QStringList{"res:pctrl"} << QList<int>{0}
            << QStringList{"{0}: Firmware file is OK (checksum 0xF2)"} << QList<bool>{true};
        QTest::newRow("invalid line") << QStringList{"text::0100000001\r\n"} << QList<int>{2}
                                      << QStringList{invalid} << QList<bool>{false};
        QTest::newRow("missing file")
            << QStringList{"missing"} << QList<int>{1}
            << QStringList{"{0}: File access denied (unchanged)"} << QList<bool>{false};
        QTest::newRow("no information block")
            << QStringList{noInfoBlock} << QList<int>{6}
            << QStringList{"{0}: No valid firmware file (rewritten)"} << QList<bool>{true};
        QTest::newRow("a bad file does not stop the next")
            << QStringList{"text:hello\r\n", "strip:pbase"} << QList<int>{2, 0}
            << QStringList{invalid, "{1}: Firmware file is OK (checksum 0x37)"}
            << QList<bool>{false, true};
    }

    void stamp()
    {
        QFETCH(QStringList, files);
        QFETCH(QList<int>, results);
        QFETCH(QStringList, shown);
        QFETCH(QList<bool>, rewritten);
        for (const bool json : {false, true}) {
            const QString folder =
                dir.filePath(QTest::currentDataTag() + QString(json ? "-json" : "-text"));
            QStringList paths, lines = shown, good;
            QList<QByteArray> before;
            for (int i = 0; i < files.size(); ++i) {
                paths << makeFile(files[i], folder, i);
                lines[i].replace(QStringLiteral("{%1}").arg(i), paths[i]);
                before << readFile(paths[i]);
                if (results[i] == 0)
                    good << paths[i];
            }
            const Ran result =
                run(QStringList{"stamp"} + (json ? QStringList{"--json"} : QStringList()) + paths);
            QCOMPARE(result.code, results.count(0) == results.size() ? 0 : 2);
            for (int i = 0; i < paths.size(); ++i)
                if (!rewritten[i])
                    QCOMPARE(readFile(paths[i]), before[i]);
            if (!json) {
                QCOMPARE(QString::fromUtf8(result.out), lines.join('\n') + '\n');
                continue;
            }
            QStringList fromJson;
            QList<int> statuses;
            QList<bool> rewrote;
            for (const QJsonValue entry : parseJson(result.out)["files"].toArray()) {
                statuses << entry["status"].toInt(-1);
                rewrote << entry["rewritten"].toBool();
                fromJson << entry["path"].toString() + ": " + entry["statusText"].toString() +
                                (entry["checksum"].isUndefined()
                                     ? (rewrote.last() ? " (rewritten)" : " (unchanged)")
                                     : QString::asprintf(" (checksum 0x%02X)",
                                                         entry["checksum"].toInt()));
            }
            QCOMPARE(statuses, results);
            QCOMPARE(rewrote, rewritten);
            QCOMPARE(fromJson, lines);
            // What stamp made, info accepts.
            if (!good.isEmpty())
                QCOMPARE(run(QStringList{"info"} + good).code, 0);
        }
    }

    // Help and man page describe the same command line (the package's test renders the page).
    void manPage()
    {
        if (QStringLiteral(ZEL_CLI_MANPAGE).isEmpty())
            QSKIP("this system has no man pages");
        const QString page = QString::fromUtf8(readFile(QStringLiteral(ZEL_CLI_MANPAGE)));
        QVERIFY(!page.isEmpty());
        const QString help = QString::fromUtf8(run({"--help"}, QString(), QString(), product).out);
        for (auto options = QRegularExpression("--([a-z]+)").globalMatch(help);
             options.hasNext();) {
            const QString option = options.next().captured(1);
            QVERIFY2(page.contains("\\-\\-" + option), qPrintable(option));
        }
        for (const QString command : {"list", "update", "info", "stamp"}) {
            QVERIFY2(help.contains("  " + command + " "), qPrintable(command));
            QVERIFY2(page.contains(".B zelloader-cli " + command), qPrintable(command));
        }
        const QString exitStatus = page.section(".SH EXIT STATUS", 1).section(".SH", 0, 0);
        for (int code = 0; code <= 5; ++code) {
            QVERIFY(exitStatus.contains(QStringLiteral(".B %1\n").arg(code)));
            QVERIFY(help.contains(QStringLiteral("\n  %1  ").arg(code)));
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"

#include "clioutput.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// One call on the printer: an update, or the end of a step.
struct Call
{
    int step;
    int permille; // for an end: 1 success, 0 failure
    QString text;
    bool end = false;
};

Call update(int step, int permille, const QString &text)
{
    return {step, permille, text, false};
}

Call finish(int step, bool ok, const QString &text)
{
    return {step, ok ? 1 : 0, text, true};
}

// A message is about to be printed.
const Call breakLine = {-1, 0, QString(), false};

QString printed(CliOutput::Mode mode, const QList<Call> &calls)
{
    QBuffer out, err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    CliOutput output(mode, &out, &err);
    ProgressPrinter printer(&output);
    for (const Call &call : calls) {
        const auto step = zelInterface::PartType(call.step);
        if (call.step < 0)
            printer.breakLine();
        else if (call.end)
            printer.finish(step, call.permille != 0, call.text);
        else
            printer.update(step, call.permille, call.text);
    }
    return QString::fromUtf8(out.data());
}

const QString transfer = QStringLiteral("Transferring firmware file");

} // namespace

Q_DECLARE_METATYPE(QList<Call>)

class TestCliOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void table_data()
    {
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QList<int>>("rightAligned");
        QTest::addColumn<QString>("expected");
        QTest::newRow("widest cell sets the column")
            << QList<QStringList>{{"a", "bbb", "c"}, {"dddd", "e", "f"}} << QList<int>()
            << "a     bbb  c\ndddd  e    f\n";
        QTest::newRow("right-aligned column")
            << QList<QStringList>{{"BOARD", "PART", "X"}, {"keys5", "5", "y"}} << QList<int>{1}
            << "BOARD  PART  X\nkeys5     5  y\n";
        QTest::newRow("no trailing spaces")
            << QList<QStringList>{{"a", "b"}, {"long", ""}} << QList<int>() << "a     b\nlong\n";
        QTest::newRow("rows of different length")
            << QList<QStringList>{{"a"}, {"bb", "c"}} << QList<int>() << "a\nbb  c\n";
    }

    void table()
    {
        QFETCH(QList<QStringList>, rows);
        QFETCH(QList<int>, rightAligned);
        QFETCH(QString, expected);
        QCOMPARE(CliOutput::table(rows, rightAligned), expected);
    }

    void bar_data()
    {
        QTest::addColumn<int>("permille");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << 0 << "[" + QString(30, '.') + "]   0%";
        QTest::newRow("half") << 500 << "[" + QString(15, '#') + QString(15, '.') + "]  50%";
        QTest::newRow("not yet full") << 999 << "[" + QString(29, '#') + ".]  99%";
        QTest::newRow("full") << 1000 << "[" + QString(30, '#') + "] 100%";
        QTest::newRow("below range") << -20 << "[" + QString(30, '.') + "]   0%";
        QTest::newRow("above range") << 1500 << "[" + QString(30, '#') + "] 100%";
    }

    void bar()
    {
        QFETCH(int, permille);
        QFETCH(QString, expected);
        QCOMPARE(ProgressPrinter::bar(permille), expected);
    }

    void plain_data()
    {
        QTest::addColumn<QList<Call>>("calls");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a state per line, tenths of the step")
            << QList<Call>{update(7, 0, "Validate compability"),
                           update(7, 0, transfer),
                           update(7, 0, transfer),
                           update(7, 150, transfer),
                           update(7, 199, transfer),
                           update(7, 450, transfer),
                           update(7, 1000, transfer),
                           update(7, 1000, "Process firmware data"),
                           finish(7, true, "Firmware update successfull")}
            << "Main Board: Validate compability\nMain Board: " + transfer +
                   "\nMain Board: 10%\nMain Board: 40%\nMain Board: 100%\n"
                   "Main Board: Process firmware data\nMain Board: Firmware update successfull\n";
        QTest::newRow("next step starts from nothing")
            << QList<Call>{update(3, 1000, transfer), finish(3, true, "done"),
                           update(6, 0, transfer), update(6, 100, transfer)}
            << "Sensor Boards: " + transfer +
                   "\nSensor Boards: 100%\nSensor Boards: done\n"
                   "Control Panel: " +
                   transfer + "\nControl Panel: 10%\n";
        QTest::newRow("failure") << QList<Call>{update(6, 300, transfer),
                                                finish(6, false, "No response from device")}
                                 << "Control Panel: " + transfer +
                                        "\nControl Panel: 30%\nControl Panel: No response from "
                                        "device\n";
        QTest::newRow("a message between lines repeats nothing")
            << QList<Call>{update(6, 100, transfer), breakLine, update(6, 100, transfer)}
            << "Control Panel: " + transfer + "\nControl Panel: 10%\n";
    }

    void plain()
    {
        QFETCH(QList<Call>, calls);
        QFETCH(QString, expected);
        QCOMPARE(printed(CliOutput::Mode::Plain, calls), expected);
    }

    // One line per step, redrawn in place: a carriage return before each drawing,
    // a line end only when the step ends or the next one begins, and spaces over
    // what a longer drawing before left.
    void terminal_data()
    {
        QTest::addColumn<QList<Call>>("calls");
        QTest::addColumn<QString>("expected");
        const QString panel = QStringLiteral("\rControl Panel ");
        const QString sensors = QStringLiteral("\rSensor Boards ");
        QTest::newRow("redrawn only on a change")
            << QList<Call>{update(6, 0, transfer), update(6, 4, transfer), update(6, 400, transfer),
                           finish(6, false, "Errors while transfering data")}
            << panel + ProgressPrinter::bar(0) + " " + transfer + panel +
                   ProgressPrinter::bar(400) + " " + transfer + panel + ProgressPrinter::bar(400) +
                   " Errors while transfering data\n";
        QTest::newRow("shorter text wipes the longer")
            << QList<Call>{update(7, 1000, "Validate new firmware version"), update(7, 1000, "ok")}
            << "\rMain Board    " + ProgressPrinter::bar(1000) + " Validate new firmware version" +
                   "\rMain Board    " + ProgressPrinter::bar(1000) + " ok" + QString(27, ' ');
        QTest::newRow("success fills the bar, next step on a new line")
            << QList<Call>{update(2, 970, transfer), finish(2, true, "Firmware update successfull"),
                           update(6, 0, transfer)}
            << sensors + ProgressPrinter::bar(970) + " " + transfer + sensors +
                   ProgressPrinter::bar(1000) + " Firmware update successfull" + QString(1, '\n') +
                   panel + ProgressPrinter::bar(0) + " " + transfer;
        // Below a message the bar is drawn again, though nothing changed.
        QTest::newRow("a message between drawings")
            << QList<Call>{update(6, 400, transfer), breakLine, breakLine, update(6, 400, transfer)}
            << panel + ProgressPrinter::bar(400) + " " + transfer + "\n" + panel +
                   ProgressPrinter::bar(400) + " " + transfer;
    }

    void terminal()
    {
        QFETCH(QList<Call>, calls);
        QFETCH(QString, expected);
        QCOMPARE(printed(CliOutput::Mode::Terminal, calls), expected);
    }

    // One compact object per line, on each change of the whole percent or the text.
    void json()
    {
        const QString out = printed(
            CliOutput::Mode::Json, {update(0, 0, transfer), update(0, 9, transfer),
                                    update(0, 10, transfer), update(0, 10, "Process firmware data"),
                                    finish(0, true, "Firmware update successfull")});
        const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
        const QList<QJsonObject> expected = {
            {{"event", "progress"}, {"step", "sensors"}, {"percent", 0}, {"text", transfer}},
            {{"event", "progress"}, {"step", "sensors"}, {"percent", 1}, {"text", transfer}},
            {{"event", "progress"},
             {"step", "sensors"},
             {"percent", 1},
             {"text", "Process firmware data"}},
            {{"event", "step"},
             {"step", "sensors"},
             {"ok", true},
             {"text", "Firmware update successfull"}},
        };
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(QJsonDocument::fromJson(lines[i].toUtf8()).object(), expected[i]);
    }
};

QTEST_GUILESS_MAIN(TestCliOutput)
#include "tst_clioutput.moc"

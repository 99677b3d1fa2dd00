#include "boardtable.h"
#include "cliboards.h"
#include "clioutput.h"
#include "hexrecord.h"
#include "updateplan.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using Parts = QList<zelInterface::PartType>;
using Versions = QMap<zelInterface::PartType, QString>;

Q_DECLARE_METATYPE(Versions)

namespace {

QString builtInVersion(const char *resource)
{
    FirmwareFile file;
    file.load(QLatin1String(resource));
    return file.getVersion();
}

} // namespace

class TestUpdatePlan : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // A stamped firmware file of `family` with version `version`, or, for an empty
    // family, a file without checksum record.
    QString image(const QString &name, const QByteArray &family, const QByteArray &version)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        if (!family.isEmpty())
            file.write(infoBlock(family, version, "Jan 01 2020 00:00:00"));
        file.write(":00000001FF\r\n");
        file.close();
        if (!family.isEmpty())
            FirmwareFile().load(path, true);
        return path;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void boardNames_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<Parts>("parts");
        QTest::addColumn<QString>("error");
        using P = zelInterface::PartType;
        QTest::newRow("none") << QStringList() << Parts() << "";
        QTest::newRow("keysN is part N") << QStringList{"keys3"} << Parts{P(3)} << "";
        QTest::newRow("window order, each once")
            << QStringList{"main", "keys1", "keys5", "keys1"} << Parts{P(5), P(1), P(7)} << "";
        QTest::newRow("sensors") << QStringList{"sensors"} << Parts{P(5), P(1), P(2), P(3), P(4)}
                                 << "";
        QTest::newRow("panel and sensors") << QStringList{"panel", "sensors", "keys2"}
                                           << Parts{P(5), P(1), P(2), P(3), P(4), P(6)} << "";
        QTest::newRow("all") << QStringList{"all"}
                             << Parts{P(5), P(1), P(2), P(3), P(4), P(6), P(7)} << "";
        QTest::newRow("no such sensor board") << QStringList{"main", "keys6"} << Parts() << "keys6";
        QTest::newRow("names are lower case") << QStringList{"Main"} << Parts() << "'Main'";
        QTest::newRow("empty name") << QStringList{""} << Parts() << "''";
    }

    void boardNames()
    {
        QFETCH(QStringList, names);
        QFETCH(Parts, parts);
        QFETCH(QString, error);
        Parts parsed = {zelInterface::Sensors};
        QString message;
        QCOMPARE(parseBoardNames(names, &parsed, &message), error.isEmpty());
        if (error.isEmpty())
            QCOMPARE(parsed, parts);
        else
            QVERIFY2(message.contains(error), qPrintable(message));
    }

    // `versions`: the expected version of the main board's, the control panel's
    // and the sensor boards' image; `sources`: where each comes from ("" built in).
    void useFile_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("versions");
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QString>("error");
        const QString main = image("main.hex", "PBASE", "v9.1");
        const QString panel = image("panel.hex", "PCTRL", "v9.2");
        const QString keys = image("keys.hex", "PKEYS", "v9.3");
        const QString otherMain = image("other.hex", "PBASE", "v9.4");
        const QString strange = image("strange.hex", "PFOO", "v1.0");
        const QString unstamped = image("unstamped.hex", "", "");
        const QString pbase = builtInVersion(":/firmware/pbase"),
                      pctrl = builtInVersion(":/firmware/pctrl"),
                      pkeys = builtInVersion(":/firmware/pkeys");

        QTest::newRow("built-in images")
            << QStringList() << QStringList{pbase, pctrl, pkeys} << QStringList{"", "", ""} << "";
        QTest::newRow("family code decides")
            << QStringList{keys, main} << QStringList{"v9.1", pctrl, "v9.3"}
            << QStringList{main, "", keys} << "";
        QTest::newRow("all three")
            << QStringList{panel, keys, main} << QStringList{"v9.1", "v9.2", "v9.3"}
            << QStringList{main, panel, keys} << "";
        QTest::newRow("two files of one family") << QStringList{main, otherMain} << QStringList()
                                                 << QStringList() << "are both PBASE firmware";
        QTest::newRow("unknown family")
            << QStringList{strange} << QStringList() << QStringList() << "'PFOO'";
        QTest::newRow("file that does not load")
            << QStringList{unstamped} << QStringList() << QStringList()
            << unstamped + ": " + FirmwareFile::statusText(FirmwareFile::Corrupted);
    }

    void useFile()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, versions);
        QFETCH(QStringList, sources);
        QFETCH(QString, error);
        FirmwareImages images;
        QString message;
        bool ok = true;
        for (const QString &file : files)
            ok = ok && images.useFile(file, &message);
        QCOMPARE(ok, error.isEmpty());
        if (!ok) {
            QVERIFY2(message.contains(error), qPrintable(message));
            return;
        }
        const Parts boards = {zelInterface::Mainboard, zelInterface::Terminal,
                              zelInterface::Sensor5};
        for (int i = 0; i < boards.size(); ++i) {
            QCOMPARE(images.image(boards[i]).getStatus(), FirmwareFile::Ok);
            QCOMPARE(images.image(boards[i]).getVersion(), versions[i]);
            QCOMPARE(images.source(boards[i]), sources[i].isEmpty() ? "built-in" : sources[i]);
        }
        // Every sensor board, and the sensor group, takes the one PKEYS image.
        for (int part = 0; part <= 5; ++part)
            QCOMPARE(images.image(zelInterface::PartType(part)).getVersion(), versions[2]);
    }

    void plan_data()
    {
        QTest::addColumn<Parts>("chosen");
        QTest::addColumn<Versions>("answered");
        QTest::addColumn<Parts>("planned");
        QTest::addColumn<QString>("error");
        using P = zelInterface::PartType;
        const Versions all = {{P(1), "v1.1"}, {P(2), "v1.2"}, {P(3), "v1.3"}, {P(4), "v1.4"},
                              {P(5), "v1.5"}, {P(6), "v2.0"}, {P(7), "v3.0"}};
        Versions without3 = all;
        without3.remove(P(3));
        QTest::newRow("every board that answered")
            << Parts() << without3 << Parts{P(5), P(1), P(2), P(4), P(6), P(7)} << "";
        QTest::newRow("chosen boards in window order")
            << Parts{P(7), P(2), P(5)} << all << Parts{P(5), P(2), P(7)} << "";
        QTest::newRow("a chosen board did not answer")
            << Parts{P(1), P(3)} << without3 << Parts() << "keys3 (Keys 65-86) did not answer";
        QTest::newRow("no board answered")
            << Parts() << Versions() << Parts() << "no board answered";
    }

    void plan()
    {
        QFETCH(Parts, chosen);
        QFETCH(Versions, answered);
        QFETCH(Parts, planned);
        QFETCH(QString, error);
        const FirmwareImages images;
        QList<PlanRow> plan;
        QString message;
        QCOMPARE(buildPlan(chosen, answered, images, &plan, &message), error.isEmpty());
        if (!error.isEmpty()) {
            QVERIFY2(message.contains(error), qPrintable(message));
            return;
        }
        QCOMPARE(plan.size(), planned.size());
        const QStringList table = planTable(plan).split('\n', Qt::SkipEmptyParts);
        const QJsonArray json = planJson(plan);
        QCOMPARE(table.value(0).split(QRegularExpression("  +")),
                 QStringList({"BOARD", "PART", "DESCRIPTION", "CURRENT", "NEW"}));
        for (int i = 0; i < plan.size(); ++i) {
            const zelInterface::PartType part = planned[i];
            const QString next = images.image(part).getVersion();
            QCOMPARE(plan[i].part, part);
            QCOMPARE(plan[i].current, answered.value(part));
            QCOMPARE(plan[i].next, next);
            QCOMPARE(
                table.value(i + 1).split(QRegularExpression("  +")),
                QStringList({BoardTable::find(part)->name, QString::number(part),
                             BoardTable::find(part)->description, answered.value(part), next}));
            QCOMPARE(json[i].toObject(), QJsonObject({{"name", BoardTable::find(part)->name},
                                                      {"part", int(part)},
                                                      {"current", answered.value(part)},
                                                      {"new", next}}));
        }
    }

    void askToProceed_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("proceed");
        QTest::newRow("y") << QByteArray("y\n") << true;
        QTest::newRow("yes, any case, spaces") << QByteArray("  YeS \r\n") << true;
        QTest::newRow("no") << QByteArray("n\n") << false;
        QTest::newRow("just Enter") << QByteArray("\n") << false;
        QTest::newRow("end of input") << QByteArray() << false;
        QTest::newRow("not quite yes") << QByteArray("yesterday\n") << false;
        QTest::newRow("only the first line counts") << QByteArray("no\ny\n") << false;
    }

    void askToProceed()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, proceed);
        QBuffer in(&input), out, err;
        in.open(QIODevice::ReadOnly);
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        CliOutput output(CliOutput::Mode::Terminal, &out, &err);
        QCOMPARE(::askToProceed(&output, &in), proceed);
        QCOMPARE(err.data(), QByteArray("Update these boards? [y/N] "));
        QCOMPARE(out.data(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestUpdatePlan)
#include "tst_updateplan.moc"

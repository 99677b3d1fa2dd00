#include "siminstrument.h"
#include "zelinterface.h"

#include <QTest>

namespace {
// Open, polled by hand (no event loop runs); every answer is logged as "kind part value", in
// arrival order.
class Device : public zelInterface
{
public:
    Device()
    {
        const auto log = [this](const char *kind) {
            return [this, kind](PartType part, auto value) {
                answers << QStringLiteral("%1 %2 %3").arg(kind).arg(int(part)).arg(value);
            };
        };
        connect(this, &zelInterface::firmwareVersion, this, log("version"));
        connect(this, &zelInterface::firmwareUpdateStartAck, this, log("start"));
        connect(this, &zelInterface::firmwareUpdateDataAck, this, log("data"));
        connect(this, &zelInterface::firmwareUpdateEndAck, this, log("end"));
        open();
    }
    using zelInterface::polling;
    QStringList answers;
};

QByteArray bytes(std::initializer_list<int> values, int size = 0)
{
    QByteArray result;
    for (int v : values)
        result.append(char(v));
    return result.leftJustified(size, '\0');
}
} // namespace

class TestZelInterface : public QObject
{
    Q_OBJECT

private slots:
    void init() { zelsim::Instrument::instance().reset(); }

    void parsing_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<QStringList>("answers");
        QTest::newRow("stop at the padding") << bytes({1, 7, 0x1D, 1, 6, 0x0C}, 64)
                                             << QStringList{"version 7 v2.9", "version 6 v1.2"};
        QTest::newRow("every kind")
            << bytes({2, 6, 5, 2, 1, 0, 3, 0, 0xFF, 3, 2, 1, 4, 5, 0x80, 4, 7, 0}, 64)
            << QStringList{"start 6 1", "start 1 0", "data 0 -1", "data 2 1", "end 5 1", "end 7 0"};
        QTest::newRow("stop at an unknown byte")
            << bytes({1, 7, 0x1D, 5, 7, 1, 1, 6, 0x0C}, 64) << QStringList{"version 7 v2.9"};
        QTest::newRow("zero first") << bytes({0, 1, 7, 0x1D}, 64) << QStringList{};
        QTest::newRow("truncated answer")
            << bytes({1, 7, 0x1D, 1, 6}) << QStringList{"version 7 v2.9"};
        const QList<QPair<int, QString>> versions{{0, "v0.0"},    {7, "v0.7"},    {29, "v2.9"},
                                                  {100, "v10.0"}, {128, "v12.8"}, {255, "v25.5"}};
        for (const auto &v : versions) {
            QTest::addRow("version byte %d", v.first)
                << bytes({1, 7, v.first}, 64) << QStringList{"version 7 " + v.second};
        }
    }

    void parsing()
    {
        QFETCH(QByteArray, report);
        QFETCH(QStringList, answers);
        Device device;
        zelsim::Instrument::instance().injectInputReport(report);
        device.polling();
        QCOMPARE(device.answers, answers);
    }

    // Every request's bytes, packed in queue order: the data message no longer fits the first
    // report, so it opens the second.
    void requests()
    {
        auto &sim = zelsim::Instrument::instance();
        sim.setMessageHook([](const QByteArray &) { return false; }); // only the bytes matter
        Device device;
        device.requestFirmwareVersion();
        device.requestFirmwareVersion(zelInterface::Sensor3);
        device.firmwareUpdateStart(zelInterface::Terminal);
        device.firmwareUpdateData(zelInterface::Sensors, QByteArray(45, 'L'));
        device.firmwareUpdateEnd(zelInterface::Mainboard, 0x3D);
        device.firmwareUpdateRestart(zelInterface::Mainboard);
        for (int i = 0; i < 3; ++i)
            device.polling();
        const QByteArray line = QByteArray(45, 'L');
        QCOMPARE(
            sim.writtenReports(),
            (QList<QByteArray>{bytes({0, 1, 6, 1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 7, 1, 3, 2, 6}, 65),
                               (bytes({0, 3, 0, 45}) + line + bytes({4, 7, 0x3D, 5, 7}))
                                   .leftJustified(65, '\0')}));
    }
};

QTEST_GUILESS_MAIN(TestZelInterface)
#include "tst_zelinterface.moc"

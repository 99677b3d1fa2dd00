#include "siminstrument.h"
#include "zelinterface.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <functional>

using Request = std::function<void(zelInterface &)>;
Q_DECLARE_METATYPE(Request)

namespace {
// Poll steps by hand; every answer of the four kinds is logged in arrival order.
class Device : public zelInterface
{
public:
    Device()
    {
        findChild<QTimer *>()->stop();
        connect(this, &zelInterface::firmwareVersion, this, [this](PartType part, QString v) {
            answers << QStringLiteral("version %1 %2").arg(int(part)).arg(v);
        });
        connect(this, &zelInterface::firmwareUpdateStartAck, this, [this](PartType part, bool r) {
            answers << QStringLiteral("start %1 %2").arg(int(part)).arg(r);
        });
        connect(this, &zelInterface::firmwareUpdateDataAck, this, [this](PartType part, int ok) {
            answers << QStringLiteral("data %1 %2").arg(int(part)).arg(ok);
        });
        connect(this, &zelInterface::firmwareUpdateEndAck, this, [this](PartType part, bool ok) {
            answers << QStringLiteral("end %1 %2").arg(int(part)).arg(ok);
        });
    }
    using zelInterface::polling;
    QStringList answers;
};

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int v : values) {
        result.append(char(v));
    }
    return result;
}

QByteArray padded(const QByteArray &data)
{
    return data + QByteArray(64 - data.size(), '\0');
}
} // namespace

class TestZelInterface : public QObject
{
    Q_OBJECT

private slots:
    void init() { zelsim::Instrument::instance().reset(); }

    void construction()
    {
        zelInterface device;
        QCOMPARE(device.findChild<QTimer *>()->interval(), 1);
        QSignalSpy connected(&device, &UsbHid::connected);
        device.setAutoOpen(true);
        QCOMPARE(connected.count(), 1); // found under the instrument's ids
    }

    void parsing_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<QStringList>("answers");

        QTest::newRow("two versions, stop at padding")
            << padded(bytes({0x01, 0x07, 0x1D, 0x01, 0x06, 0x0C}))
            << QStringList{"version 7 v2.9", "version 6 v1.2"};
        QTest::newRow("data acks in order")
            << padded(bytes({0x03, 0x01, 0x01, 0x03, 0x02, 0x00, 0x03, 0x03, 0x01}))
            << QStringList{"data 1 1", "data 2 0", "data 3 1"};
        QTest::newRow("start ready")
            << padded(bytes({0x02, 0x06, 0x05})) << QStringList{"start 6 1"};
        QTest::newRow("start refused")
            << padded(bytes({0x02, 0x06, 0x00})) << QStringList{"start 6 0"};
        QTest::newRow("end accepted and rejected")
            << padded(bytes({0x04, 0x07, 0x01, 0x04, 0x06, 0x00}))
            << QStringList{"end 7 1", "end 6 0"};
        QTest::newRow("all kinds mixed")
            << padded(
                   bytes({0x02, 0x01, 0x01, 0x03, 0x00, 0xFF, 0x04, 0x05, 0x80, 0x01, 0x02, 0x11}))
            << QStringList{"start 1 1", "data 0 -1", "end 5 1", "version 2 v1.7"};
        QTest::newRow("restart byte is no answer")
            << padded(bytes({0x05, 0x07, 0x01, 0x01, 0x07, 0x1D})) << QStringList{};
        QTest::newRow("zero first") << padded(bytes({0x00, 0x01, 0x07, 0x1D})) << QStringList{};
        QTest::newRow("0xFF first") << padded(bytes({0xFF, 0x01, 0x07})) << QStringList{};
        QTest::newRow("unknown byte ends the run")
            << padded(bytes({0x01, 0x07, 0x1D, 0x09, 0x01, 0x07, 0x01, 0x06, 0x0C}))
            << QStringList{"version 7 v2.9"};
        QTest::newRow("truncated answer ignored")
            << bytes({0x01, 0x07, 0x1D, 0x01, 0x06}) << QStringList{"version 7 v2.9"};
        QTest::newRow("negative part passes on")
            << padded(bytes({0x02, 0xFF, 0x01})) << QStringList{"start -1 1"};

        QByteArray full;
        QStringList acks;
        for (int i = 0; i < 21; ++i) {
            full += bytes({0x03, 1 + i % 5, 0x01});
            acks << QStringLiteral("data %1 1").arg(1 + i % 5);
        }
        QTest::newRow("21 answers, 64th byte cannot start one") << full + bytes({0x01}) << acks;

        const QList<QPair<int, QString>> versions{{0, "v0.0"},    {7, "v0.7"},    {29, "v2.9"},
                                                  {100, "v10.0"}, {110, "v11.0"}, {128, "v12.8"},
                                                  {255, "v25.5"}};
        for (const auto &v : versions) {
            QTest::addRow("version byte %d", v.first)
                << padded(bytes({0x01, 0x07, v.first})) << QStringList{"version 7 " + v.second};
        }
        for (int value : {0x7F, 0x80, 0xFF}) {
            QTest::addRow("data ack byte 0x%02X", value)
                << padded(bytes({0x03, 0x06, value}))
                << QStringList{QStringLiteral("data 6 %1").arg(int(qint8(value)))};
        }
    }

    void parsing()
    {
        QFETCH(QByteArray, report);
        QFETCH(QStringList, answers);
        Device device;
        device.open();
        zelsim::Instrument::instance().injectInputReport(report);
        device.polling();
        QCOMPARE(device.answers, answers);
    }

    // The part travels as the enum through the meta-object system too.
    void partTypeInSignalSpy()
    {
        Device device;
        QSignalSpy versions(&device, &zelInterface::firmwareVersion);
        device.open();
        zelsim::Instrument::instance().injectInputReport(padded(bytes({0x01, 0x06, 0x16})));
        device.polling();
        QCOMPARE(versions.count(), 1);
        QCOMPARE(versions.at(0).at(0).value<zelInterface::PartType>(), zelInterface::Terminal);
        QCOMPARE(versions.at(0).at(1).toString(), QStringLiteral("v2.2"));
    }

    void requests_data()
    {
        QTest::addColumn<Request>("request");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("all versions, one report")
            << Request([](zelInterface &d) { d.requestFirmwareVersion(); })
            << bytes({0x01, 0x06, 0x01, 0x01, 0x01, 0x02, 0x01, 0x03, 0x01, 0x04, 0x01, 0x05, 0x01,
                      0x07});
        QTest::newRow("version of one board")
            << Request([](zelInterface &d) { d.requestFirmwareVersion(zelInterface::Sensor3); })
            << bytes({0x01, 0x03});
        QTest::newRow("start") << Request([](zelInterface &d) {
            d.firmwareUpdateStart(zelInterface::Terminal);
        }) << bytes({0x02, 0x06});
        const QByteArray line45(45, 'L');
        QTest::newRow("data, 45 bytes to the sensor group") << Request([line45](zelInterface &d) {
            d.firmwareUpdateData(zelInterface::Sensors, line45);
        }) << bytes({0x03, 0x00, 0x2D}) + line45;
        const QByteArray line61(61, 'M');
        QTest::newRow("data, 61 bytes fill the report") << Request([line61](zelInterface &d) {
            d.firmwareUpdateData(zelInterface::Sensor1, line61);
        }) << bytes({0x03, 0x01, 0x3D}) + line61;
        QTest::newRow("data too long for a report is dropped, the next goes out")
            << Request([](zelInterface &d) {
                   d.firmwareUpdateData(zelInterface::Sensor1, QByteArray(62, 'N'));
                   d.requestFirmwareVersion(zelInterface::Sensor1);
               })
            << bytes({0x01, 0x01});
        QTest::newRow("end with checksum")
            << Request([](zelInterface &d) { d.firmwareUpdateEnd(zelInterface::Mainboard, 0x3D); })
            << bytes({0x04, 0x07, 0x3D});
        QTest::newRow("restart") << Request([](zelInterface &d) {
            d.firmwareUpdateRestart(zelInterface::Mainboard);
        }) << bytes({0x05, 0x07});
    }

    void requests()
    {
        QFETCH(Request, request);
        QFETCH(QByteArray, sent);
        auto &sim = zelsim::Instrument::instance();
        // Keep the boards quiet: only the bytes on the wire matter here.
        sim.setMessageHook([](const QByteArray &) { return false; });
        Device device;
        device.open();
        request(device);
        device.polling();
        device.polling();
        const QList<QByteArray> reports = sim.writtenReports();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.at(0), QByteArray(1, '\0') + padded(sent));
    }

    void requestWhileClosedIsLost()
    {
        Device device;
        device.requestFirmwareVersion();
        device.open();
        device.polling();
        QVERIFY(zelsim::Instrument::instance().writtenReports().isEmpty());
    }

    // The whole road through the link's timer: seven requests out, seven
    // answers back, the instrument's default versions.
    void versionsFromInstrument()
    {
        zelInterface device;
        QSignalSpy versions(&device, &zelInterface::firmwareVersion);
        connect(&device, &UsbHid::connected, &device,
                qOverload<>(&zelInterface::requestFirmwareVersion));
        device.setAutoOpen(true);
        QTRY_COMPARE(versions.count(), 7);
        QMap<int, QString> byPart;
        for (const QList<QVariant> &args : versions) {
            byPart.insert(int(args.at(0).value<zelInterface::PartType>()), args.at(1).toString());
        }
        QCOMPARE(byPart.keys(), (QList<int>{1, 2, 3, 4, 5, 6, 7}));
        QCOMPARE(byPart.value(7), QStringLiteral("v3.1"));
        QCOMPARE(byPart.value(6), QStringLiteral("v2.2"));
        QCOMPARE(byPart.value(3), QStringLiteral("v1.7"));
    }
};

QTEST_GUILESS_MAIN(TestZelInterface)
#include "tst_zelinterface.moc"

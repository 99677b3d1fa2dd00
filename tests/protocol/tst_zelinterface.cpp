#include "siminstrument.h"
#include "zelinterface.h"

#include <QTest>

namespace {
// Open, polled by hand (no event loop runs). How input reports are read is the fuzz
// target fuzz_report's, replayed from its corpus in every build.
class Device : public zelInterface
{
public:
    Device() { open(); }
    using zelInterface::polling;
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
    void init() { zelsim::Instrument::instance().run("reset"); }

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
            sim.list("writtenReports"),
            (QList<QByteArray>{bytes({0, 1, 6, 1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 7, 1, 3, 2, 6}, 65),
                               (bytes({0, 3, 0, 45}) + line + bytes({4, 7, 0x3D, 5, 7}))
                                   .leftJustified(65, '\0')}));
    }
};

QTEST_GUILESS_MAIN(TestZelInterface)
#include "tst_zelinterface.moc"

#pragma once

// A bench of several instruments as the system's HIDAPI lists them, in process
// (tst_siminstrument) and through the rig's device nodes (tst_hidrig): the same
// steps, the same listing but for where the nodes are; and the answers read, alike.

#include "siminstrument.h"

#include <QStringList>
#include <QTest>

#include <hidapi.h>

#include <functional>

// Steps separated by ';': a command of the table for an instrument ("@2 plug",
// "serial A"; at most one argument) or "list", which looks as a program would.
// Then the listing: path=serial for each device listed, in the order listed.
inline void benchRows()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("listed");
    // clang-format off
    QTest::newRow("the first alone, as ever") << "" << "hidraw0=";
    QTest::newRow("in the bench's order, with serial numbers") << "@3 plug;@3 serial C-3;serial A-1" << "hidraw0=A-1 hidraw1=C-3";
    QTest::newRow("the second alone takes the lowest number") << "unplug;@2 plug" << "hidraw0=";
    QTest::newRow("back under another number, listed in its place") << "@2 plug;list;unplug;@3 plug;list;plug" << "hidraw2= hidraw1= hidraw0=";
    QTest::newRow("reset: the first alone again") << "@2 plug;@2 serial B;reset" << "hidraw0=";
    QTest::newRow("reset of one: that one unplugged") << "@2 plug;serial A;list;@2 reset;@3 plug" << "hidraw0=A hidraw1=";
    // clang-format on
}

// Answers of an input report as "command.part.value", up to the zero padding.
inline QString answers(const unsigned char *report, int size)
{
    QStringList out;
    for (int k = 0; k + 3 <= size && report[k]; k += 3)
        out << QStringLiteral("%1.%2.%3").arg(report[k]).arg(report[k + 1]).arg(report[k + 2]);
    return out.join(' ');
}

// A restart takes the device off the bus: its handle fails for good, the library
// finds nothing until it is back, and then a new handle works. `gone` looks further at
// the dead handle, first.
inline void checkRestart(const std::function<void(hid_device *)> &gone = {})
{
    zelsim::Instrument &sim = zelsim::Instrument::instance();
    sim.run("restartMs", 200);
    hid_device *dev = hid_open(0x04D8, 0xF93C, nullptr);
    QVERIFY(dev && hid_set_nonblocking(dev, 1) == 0);
    const unsigned char restart[65] = {0, 0x05, 7}, request[65] = {0, 0x01, 7};
    QCOMPARE(hid_write(dev, restart, 65), 65);
    unsigned char report[65] = {};
    // The rig's server takes the device away once it has handled the write, which may
    // come after our first look.
    QTRY_COMPARE(hid_read(dev, report, 65), -1);
    if (gone)
        gone(dev);
    QCOMPARE(hid_write(dev, request, 65), -1);
    QVERIFY(!hid_enumerate(0x04D8, 0xF93C));
    // QTRY_VERIFY evaluates its condition once more after it held: open only once.
    hid_device *again = nullptr;
    const auto reopened = [&] {
        if (!again)
            again = hid_open(0x04D8, 0xF93C, nullptr);
        return again != nullptr;
    };
    QTRY_VERIFY(reopened());
    QCOMPARE(hid_write(again, request, 65), 65);
    QCOMPARE(hid_read_timeout(again, report, 65, 10000), 64);
    QCOMPARE(answers(report, 64), QStringLiteral("1.7.31"));
    QCOMPARE(hid_write(dev, request, 65), -1); // the handle of before stays dead
    hid_close(again);
    hid_close(dev);
    QCOMPARE(sim.value("restartCount"), 1);
}

// `folder` is where the nodes are: "zelsim:" in process, "/dev/" in the rig.
inline QString listed(const QString &folder)
{
    QStringList out;
    hid_device_info *all = hid_enumerate(0x04D8, 0xF93C);
    for (const hid_device_info *d = all; d; d = d->next) {
        QString path = QString::fromUtf8(d->path);
        if (path.startsWith(folder))
            path.remove(0, folder.size());
        out << path + '=' + QString::fromWCharArray(d->serial_number ? d->serial_number : L"");
    }
    hid_free_enumeration(all);
    return out.join(' ');
}

inline void checkBench(const QString &folder)
{
    QFETCH(QString, steps);
    QFETCH(QString, listed);
    for (const QString &step : steps.split(';', Qt::SkipEmptyParts)) {
        QStringList words = step.split(' ');
        zelsim::Instrument &sim =
            words.first().startsWith('@')
                ? zelsim::Instrument::instance(words.takeFirst().mid(1).toInt())
                : zelsim::Instrument::instance();
        const QByteArray name = words.takeFirst().toUtf8();
        if (name == "list")
            ::listed(folder);
        else if (words.isEmpty())
            sim.run(name.constData());
        else
            sim.run(name.constData(), words.first().toUtf8().constData());
    }
    // The rig's server publishes a plug a moment after the command.
    QTRY_COMPARE(::listed(folder), listed);
}

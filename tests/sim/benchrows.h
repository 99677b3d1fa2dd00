#pragma once

// A bench of several instruments as the system's HIDAPI lists them, in process
// (tst_siminstrument) and through the rig's device nodes (tst_hidrig): the same
// steps, the same listing but for where the nodes are.

#include "siminstrument.h"

#include <QStringList>
#include <QTest>

#include <hidapi.h>

// Steps separated by ';': a command of the table for an instrument ("@2 plug",
// "serial A"; at most one argument) or "list", which looks as a program would.
// Then the listing: path=serial for each device listed, in the order listed.
inline void benchRows()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("listed");
    QTest::newRow("the first alone, as ever") << ""
                                              << "hidraw0=";
    QTest::newRow("in the bench's order, with serial numbers") << "@3 plug;@3 serial C-3;serial A-1"
                                                               << "hidraw0=A-1 hidraw1=C-3";
    QTest::newRow("the second alone takes the lowest number") << "unplug;@2 plug"
                                                              << "hidraw0=";
    QTest::newRow("back under another number, listed in its place")
        << "@2 plug;list;unplug;@3 plug;list;plug"
        << "hidraw2= hidraw1= hidraw0=";
    QTest::newRow("reset: the first alone again") << "@2 plug;@2 serial B;reset"
                                                  << "hidraw0=";
    QTest::newRow("reset of one: that one unplugged") << "@2 plug;serial A;list;@2 reset;@3 plug"
                                                      << "hidraw0=A hidraw1=";
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

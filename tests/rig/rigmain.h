#pragma once

// Included ahead of a test source that is built a second time to run in the
// hidraw rig: its QTEST_MAIN skips the whole test, saying why, where the rig
// could not be set up, and runs it as written otherwise. The main is spelt out
// rather than built on Qt's own, whose inner macros differ between Qt versions.
#include <QApplication>
#include <QtTest/QtTest>

#include "rigcontrol.h"

#undef QTEST_MAIN
#define QTEST_MAIN(TestObject)                                                                     \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        if (!zelrig::unavailableReason().isEmpty())                                                \
            return zelrig::skipAll(argc, argv);                                                    \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

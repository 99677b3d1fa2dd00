#pragma once

// Included ahead of a test source that is built a second time to run in the
// hidraw rig: its QTEST_MAIN skips the whole test, saying why, where the rig
// could not be set up, and runs it as written otherwise.
#include <QtTest/QtTest>

#include "rigcontrol.h"

#undef QTEST_MAIN
#define QTEST_MAIN(TestObject)                                                                     \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        if (!zelrig::unavailableReason().isEmpty())                                                \
            return zelrig::skipAll(argc, argv);                                                    \
        QTEST_MAIN_IMPL(TestObject)                                                                \
    }

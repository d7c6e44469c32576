// Base of every test that runs the tool or the stand-in.
#ifndef QUARCTL_TEST_DESKTOP_TEST_H
#define QUARCTL_TEST_DESKTOP_TEST_H

#include <gtest/gtest.h>

#include "process.h"

// The programs share one desktop and one mutex name, so these tests never
// run side by side (a CTest resource lock), and each must leave no process
// of theirs behind.
class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CountToolProcesses(), 0) << "left over from elsewhere";
        if (GetFileAttributesA(ToolPath().c_str()) == INVALID_FILE_ATTRIBUTES) {
            GTEST_SKIP() << "no quarctl.exe of the other architecture at " << ToolPath() << ": build it first";
        }
    }
    void TearDown() override { EXPECT_EQ(CountToolProcesses(), 0) << "left behind by this test"; }
};

#endif

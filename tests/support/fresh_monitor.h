#pragma once
// A test that begins and ends with the monitor's settings at their defaults
// and no box in force.

#include <gtest/gtest.h>

#include "monitor/state/options.h"
#include "tests/support/monitor_testing.h"

class FreshMonitor : public testing::Test {
protected:
    void SetUp() override { forget(); }
    void TearDown() override { forget(); }

private:
    static void forget() {
        resetSettings();
        clearBoxList();
    }
};

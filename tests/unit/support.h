// What the unit tests share: a fixture that gives every test a fresh process (the
// program's process-wide state and the fake's script and records), and one-line
// descriptions of the records, so that a failed comparison prints both sides readably.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake/fake_platform.h"

// The process-wide state of the program back to its values at process start.
void ResetProgramState();

class FakeTest : public ::testing::Test {
   protected:
    void SetUp() override {
        FakeReset();
        ResetProgramState();
    }
    void TearDown() override { EXPECT_EQ(Fake.badHandleUses, 0) << "closed or wrong handle used"; }
};

// "start cp2 wait3000", "running", "stopped exit10048"; " refused" when it failed.
// Checks on the way what the state alone decides: service type, accepted controls,
// the check point of a settled state.
std::vector<std::string> Reports();

// "info 40020003 [abc]": type, full ID in hex, the strings joined by "|". The category
// and the source are shown only when they are not 0 and "Corvane".
std::vector<std::string> Events();

// Runs ServiceEntry on this thread, as the dispatcher's service thread would; returns
// when the run is over, so only for runs that end on their own.
void RunService();

// What the unit tests share: a fixture that gives every test a fresh process, the
// program's process-wide state and the fake's script and records alike.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "eventlog/eventlog.h"
#include "platform/constants.h"
#include "receiver/receiver.h"
#include "service/commands.h"
#include "service/service_main.h"
#include "service/status.h"
#include "tests/fake/fake.h"

using Strings = std::vector<std::string>;

inline const std::string STARTING = "info 40020004 Version 1.01";
inline const std::string LISTENING = "info 00020001 'Listening' on port 514, protocol UDP\n";

// The fake's script and records, and the program's process-wide state, as at process
// start.
inline void ResetProcess() {
    FakeReset();
    ServiceStatusRecord = {};
    StatusHandle = 0;
    CheckPointCounter = 1;
    StopEvent = 0;
    StopFlag = 0;
    LastFailureCode = 0;
    ErrorTextBuffer.fill('\0');
}

class FakeTest : public ::testing::Test {
   protected:
    void SetUp() override { ResetProcess(); }
    void TearDown() override { EXPECT_EQ(Fake.badHandleUses, 0) << "closed or wrong handle used"; }
};

// Runs ServiceEntry on this thread, as the dispatcher's service thread would.
inline void RunService() {
    char name[] = "Corvane";
    char* argVector[] = {name, nullptr};
    ServiceEntry(1, argVector);
}

// What the unit tests share: a fresh process for every test, program state and fake alike.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "eventlog/eventlog.h"
#include "platform/constants.h"
#include "receiver/receiver.h"
#include "service/commands.h"
#include "service/service_main.h"
#include "service/status.h"
#include "tests/fake/fake.h"

using Strings = std::vector<std::string>;

inline constexpr char STARTING[] = "info 40020004 Version 1.01";
inline constexpr char LISTENING[] = "info 00020001 'Listening' on port 514, protocol UDP\n";

inline void ResetProcess() {  // after checking what the test or row before left behind
    EXPECT_EQ(FakeOpenHandleCount(), 0u) << "handles left open";
    EXPECT_EQ(Fake.badHandleUses, 0) << "closed or wrong handle used";
    FakeReset();
    ServiceStatusRecord = {};
    StatusHandle = StopEvent = 0;
    CheckPointCounter = 1;
    StopFlag = LastFailureCode = 0;
    ErrorTextBuffer.fill('\0');
}

struct FakeTest : ::testing::Test {
    void SetUp() override { ResetProcess(); }
    void TearDown() override { ResetProcess(); }
};

inline void RunService() {  // on this thread, as the dispatcher's service thread would
    char name[] = "Corvane";
    char* argVector[] = {name, nullptr};
    ServiceEntry(1, argVector);
}

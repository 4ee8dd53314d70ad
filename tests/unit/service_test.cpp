// The service's conversation with the manager: states, check points, accepted controls
// and exit codes through whole runs, failing start-up steps and controls in every state.
#include <thread>

#include "eventlog/eventlog.h"
#include "platform/constants.h"
#include "service/service_main.h"
#include "service/status.h"
#include "tests/unit/support.h"

namespace {

using Strings = std::vector<std::string>;

const std::string STARTING = "info 40020004 Version 1.01";
const std::string LISTENING = "info 00020001 'Listening' on port 514, protocol UDP\n";
const std::string REPORT_FAILED = "error 00000000 Corvane error: 5|SetServiceStatus";

using ServiceTest = FakeTest;

TEST_F(ServiceTest, CleanRunFollowsTheStateTableAndStopsWithExitCodeZero) {
    std::thread service(RunService);
    EXPECT_TRUE(FakeWaitIdle());
    HandleControl(SERVICE_CONTROL_STOP);
    service.join();
    HandleControl(SERVICE_CONTROL_INTERROGATE);  // stopped: no report any more
    HandleControl(SERVICE_CONTROL_STOP);

    EXPECT_EQ(Reports(), (Strings{"start cp1 wait3000", "start cp2 wait3000", "start cp3 wait3000",
                                  "start cp4 wait3000", "start cp5 wait3000", "running",
                                  "stop-pending cp6", "stopped"}));
    EXPECT_EQ(Events(), (Strings{STARTING, LISTENING}));  // the stop itself writes none
    EXPECT_EQ(Fake.handlerServiceName, "Corvane");
    EXPECT_EQ(Fake.startupVersion, 0x0202);
    EXPECT_EQ(Fake.boundAddress, INADDR_ANY);
    EXPECT_EQ(Fake.boundPort, 514);
    EXPECT_EQ(FakeOpenHandleCount(), 0u);
}

TEST_F(ServiceTest, ControlsInEveryStateAreAnsweredWithAFreshReport) {
    FakeHoldCall(FakeCall::WSAStartup, 1);
    std::thread service(RunService);
    EXPECT_TRUE(FakeWaitHeld());
    HandleControl(SERVICE_CONTROL_INTERROGATE);  // start pending
    FakeReleaseHold();
    FakeHoldCall(FakeCall::CloseSocket, 1);  // keeps the service stop pending
    EXPECT_TRUE(FakeWaitIdle());
    HandleControl(SERVICE_CONTROL_INTERROGATE);  // running
    HandleControl(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(FakeWaitHeld());
    HandleControl(SERVICE_CONTROL_INTERROGATE);  // stop pending
    HandleControl(SERVICE_CONTROL_STOP);
    FakeReleaseHold();
    service.join();
    HandleControl(SERVICE_CONTROL_INTERROGATE);  // stopped
    HandleControl(SERVICE_CONTROL_STOP);

    EXPECT_EQ(Reports(), (Strings{"start cp1 wait3000", "start cp2 wait3000", "start cp3 wait3000",
                                  "start cp4", "start cp5 wait3000", "start cp6 wait3000",
                                  "running", "running", "stop-pending cp7", "stop-pending cp8",
                                  "stop-pending cp9", "stopped"}));
    EXPECT_EQ(CheckPointCounter, 10u);
    EXPECT_EQ(Events(), (Strings{STARTING, LISTENING}));
}

TEST_F(ServiceTest, EachFailingStartUpStepEndsTheRunWithItsOwnExitCode) {
    const std::string s1 = "start cp1 wait3000", s2 = "start cp2 wait3000",
                      s3 = "start cp3 wait3000", s4 = "start cp4 wait3000",
                      s5 = "start cp5 wait3000";
    struct Case {
        const char* name;
        FakeCall call;
        int nth;
        std::uint32_t error;
        Strings reports;
        Strings events;
    };
    const Case cases[] = {
        {"handler not registered", FakeCall::RegisterServiceCtrlHandler, 1, 5, {}, {}},
        {"first report",
         FakeCall::SetServiceStatus,
         1,
         5,
         {"start cp1 wait3000 refused", "stopped exit5"},
         {REPORT_FAILED}},
        {"run's first report",
         FakeCall::SetServiceStatus,
         2,
         5,
         {s1, "start cp2 wait3000 refused", "stopped exit5"},
         {REPORT_FAILED}},
        {"stop event", FakeCall::CreateEvent, 1, 8, {s1, s2, "stopped exit8"}, {STARTING}},
        {"report after stop event",
         FakeCall::SetServiceStatus,
         3,
         5,
         {s1, s2, "start cp3 wait3000 refused", "stopped exit5"},
         {STARTING, REPORT_FAILED}},
        {"socket layer",
         FakeCall::WSAStartup,
         1,
         10091,
         {s1, s2, s3, "stopped exit10091"},
         {STARTING, "error c0020005 WSAStartup failed with error 10091\n"}},
        {"report after socket layer",
         FakeCall::SetServiceStatus,
         4,
         5,
         {s1, s2, s3, "start cp4 wait3000 refused", "stopped exit5"},
         {STARTING, REPORT_FAILED}},
        {"socket",
         FakeCall::Socket,
         1,
         10024,
         {s1, s2, s3, s4, "stopped exit10024"},
         {STARTING, "error c0020005 socket() failed with error 10024\n"}},
        {"report after socket",
         FakeCall::SetServiceStatus,
         5,
         5,
         {s1, s2, s3, s4, "start cp5 wait3000 refused", "stopped exit5"},
         {STARTING, REPORT_FAILED}},
        {"bind, port taken",
         FakeCall::Bind,
         1,
         10048,
         {s1, s2, s3, s4, s5, "stopped exit10048"},
         {STARTING, "error c0020005 bind() failed with error 10048\n"}},
        {"running report",
         FakeCall::SetServiceStatus,
         6,
         5,
         {s1, s2, s3, s4, s5, "running refused", "stopped exit5"},
         {STARTING, REPORT_FAILED}},
        {"receive",
         FakeCall::Receive,
         1,
         10054,
         {s1, s2, s3, s4, s5, "running", "stopped exit10054"},
         {STARTING, LISTENING, "error c0020005 recv() failed: error 10054\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        ResetProgramState();
        FakeFailCall(c.call, c.nth, c.error);
        RunService();
        EXPECT_EQ(Reports(), c.reports);
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

TEST_F(ServiceTest, EarlierReportFailureOutranksTheRunsOwnFailureAsExitCode) {
    std::thread service(RunService);
    EXPECT_TRUE(FakeWaitIdle());
    FakeFailCall(FakeCall::SetServiceStatus, 7, 5);
    HandleControl(SERVICE_CONTROL_INTERROGATE);
    FakeQueueReceiveError(10054);
    service.join();

    EXPECT_EQ(Reports().back(), "stopped exit5");
    EXPECT_EQ(LastFailureCode.load(), 5u);
    EXPECT_EQ(Events(), (Strings{STARTING, LISTENING, REPORT_FAILED,
                                 "error c0020005 recv() failed: error 10054\n"}));
}

TEST_F(ServiceTest, StopRequestRacingTheRunsOwnEndNeverSignalsAClosedEvent) {
    for (int round = 0; round < 50; ++round) {
        FakeReset();
        ResetProgramState();
        std::thread service(RunService);
        EXPECT_TRUE(FakeWaitIdle());
        FakeQueueReceiveError(10054);
        HandleControl(SERVICE_CONTROL_STOP);
        service.join();
        EXPECT_EQ(Reports().back().substr(0, 7), "stopped");
        EXPECT_EQ(Fake.badHandleUses, 0) << "round " << round;
    }
}

}  // namespace

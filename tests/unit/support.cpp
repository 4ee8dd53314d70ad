#include "tests/unit/support.h"

#include <cstdio>

#include "eventlog/eventlog.h"
#include "platform/constants.h"
#include "receiver/receiver.h"
#include "service/commands.h"
#include "service/service_main.h"
#include "service/status.h"

void ResetProgramState() {
    ServiceStatusRecord = {};
    StatusHandle = 0;
    CheckPointCounter = 1;
    StopEvent = 0;
    StopFlag = 0;
    LastFailureCode = 0;
    ErrorTextBuffer.fill('\0');
}

std::vector<std::string> Reports() {
    static const char* const STATE_NAMES[] = {"?", "stopped", "start", "stop-pending", "running"};
    std::vector<std::string> described;
    for (const FakeStatusReport& report : Fake.reports) {
        const ServiceStatus& r = report.record;
        EXPECT_EQ(r.serviceType, SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(r.serviceSpecificExitCode, 0u);
        EXPECT_EQ(r.controlsAccepted,
                  r.currentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP)
            << "state " << r.currentState;
        if (r.currentState == SERVICE_RUNNING || r.currentState == SERVICE_STOPPED) {
            EXPECT_EQ(r.checkPoint, 0u) << "state " << r.currentState;
        }
        std::string text = r.currentState <= SERVICE_RUNNING ? STATE_NAMES[r.currentState] : "?";
        for (const auto& [label, value] :
             {std::pair{" cp", r.checkPoint}, {" wait", r.waitHint}, {" exit", r.win32ExitCode}}) {
            if (value != 0) {
                text += label + std::to_string(value);
            }
        }
        described.push_back(text + (report.taken ? "" : " refused"));
    }
    return described;
}

std::vector<std::string> Events() {
    std::vector<std::string> described;
    for (const FakeEvent& event : Fake.events) {
        char head[64];
        (void)std::snprintf(head, sizeof head, "%s %08x",
                            event.type == EVENTLOG_ERROR_TYPE         ? "error"
                            : event.type == EVENTLOG_INFORMATION_TYPE ? "info"
                                                                      : "type?",
                            static_cast<unsigned>(event.eventId));
        std::string text = head;
        if (event.category != 0) {
            text += " category" + std::to_string(event.category);
        }
        if (event.source != "Corvane") {
            text += " source " + event.source;
        }
        for (std::size_t i = 0; i < event.strings.size(); ++i) {
            text += (i == 0 ? " " : "|") + event.strings[i];
        }
        described.push_back(text);
    }
    return described;
}

void RunService() {
    char name[] = "Corvane";
    char* argVector[] = {name, nullptr};
    ServiceEntry(1, argVector);
}

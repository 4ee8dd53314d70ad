// The fake platform: every function of platform/*.h over a scripted in-memory system. It
// records what the program hands over as short lines, so a failed comparison reads plainly.
// Tests set the script before the program's threads start and read records after the join.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The calls a test can script, each counted from 1 since FakeReset.
enum class FakeCall {
    RegisterServiceCtrlHandler,
    SetServiceStatus,
    OpenSCManager,
    ChangeServiceConfig2,
    ControlService,
    QueryServiceStatus,
    DeleteService,
    RegisterEventSource,
    ReportEvent,
    CreateEvent,
    WSAStartup,
    Socket,
    Bind,
    DropSocketPrivileges,
    Receive,
    CloseSocket,
    RegSetValue,
    GetModuleFileName,
};

struct FakePlatform {
    std::vector<std::string> reports;  // "start cp2 wait3000", "stopped exit10048", " refused"
    std::vector<std::string> events;   // "info 40020003 [abc]": type, ID, strings joined by "|"
    std::vector<std::string> serviceTexts, trace;  // trace: the install's calls
    std::string console, installedService;         // sleeps show in the console as "<1000ms>"
    int badHandleUses;  // a closed, unknown or wrong-kind handle handed to any call
    // What the stop control finds, then each query; the last one stays. Start pending refuses
    // the stop (1061 unless scripted); its check point moves while `startAdvances`.
    std::vector<std::uint32_t> serviceStates;
    bool startAdvances;
    std::map<std::string, std::map<std::string, std::string>> registry;  // value: "type:bytes"
    std::map<std::uint32_t, std::string> systemTexts;                    // ending in CR LF
    std::uint32_t keepAliveMs;             // the manager's interval for signs; 0: none
    std::vector<std::uint64_t> keptAlive;  // when each sign went
    // The system's count of its UDP discards on all ports, each read taking the next; the
    // last one stays. Empty: the platform keeps none.
    std::vector<std::uint32_t> systemDiscards;
};

extern FakePlatform Fake;

void FakeReset();

// The nth call of that kind runs `code` first (the fake unlocked), then fails with `error` if
// not 0.
void FakeScript(FakeCall call, int nth, std::uint32_t error, std::function<void()> code = {});

// What the receive finds next: a control for the handler, time, which ends a timed wait, the
// platform's count of the datagrams it dropped so far (not 0) from then on, else a datagram
// or its error; what is behind a stop stays.
struct FakeNext {
    std::uint32_t control = 0;
    std::uint64_t ms = 0;
    std::uint32_t drops = 0;
    std::string bytes{};
    std::uint32_t error = 0;
};
void FakeQueue(FakeNext next);

// Handles opened and not closed (status handles never are).
std::size_t FakeOpenHandleCount();

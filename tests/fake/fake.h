// The fake platform: every function of platform/*.h over a scripted in-memory system. It
// records what the program hands over as short lines, so that a failed comparison prints
// both sides readably, and answers from the script a test sets up. Fake is guarded by
// FakeLock: a test sets the script before it starts the program's threads and reads the
// records after joining them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The calls a test can script, each counted from 1 since FakeReset.
enum class FakeCall {
    RegisterServiceCtrlHandler,
    SetServiceStatus,
    OpenSCManager,
    ControlService,
    QueryServiceStatus,
    DeleteService,
    RegisterEventSource,
    ReportEvent,
    CreateEvent,
    WSAStartup,
    Socket,
    Bind,
    Receive,
    CloseSocket,
    RegCreateKey,
    RegSetValue,
    GetModuleFileName,
};

struct FakePlatform {
    // Status reports: "start cp2 wait3000", "running", "stopped exit10048", with
    // " refused" when the report failed. A field off the rule of its state (service type,
    // accepted controls, specific exit code) shows as well.
    std::vector<std::string> reports;
    // Events: "info 40020003 [abc]", type, ID, strings joined by "|"; a category other
    // than 0, a source other than Corvane and UTF-8 text ("utf8") show as well.
    std::vector<std::string> events;
    std::vector<std::string> serviceTexts;  // the lines shown beside the state
    std::uint64_t nowMs;                    // the clock, moved on by FakeQueueTime
    std::string console;                    // sleeps show in it as "<1000ms>"
    // Manager, registry and socket-layer calls with their arguments, in order.
    std::vector<std::string> trace;
    int badHandleUses;  // a closed, unknown or wrong-kind handle handed to any call

    // The manager's database and the registry (key, value name, "<type>:<bytes>").
    std::string installedService;  // empty: none
    // What the stop control finds, then what each query answers; the last one stays.
    // Start pending refuses the stop with `startRefusal` (1061 after a reset) and has a
    // wait hint of 3000 ms and a check point that moves at each query while
    // `startAdvances`.
    std::deque<std::uint32_t> serviceStates;
    bool startAdvances;
    std::uint32_t startRefusal;
    std::map<std::string, std::map<std::string, std::string>> registry;

    // The process.
    std::map<std::uint32_t, std::string> systemTexts;  // ending in CR LF, as the system's do
    std::string modulePath;
    std::string binaryRefusal;  // non-empty: the reason OsCheckServiceBinary gives
    bool dispatcherConnects;    // false: 1063, as from a console
};

extern FakePlatform Fake;
extern std::mutex FakeLock;

// A fresh script: nothing installed or queued, no failures, the dispatcher refusing.
void FakeReset();

// The nth call of that kind runs `code` first, on the caller's thread outside FakeLock,
// then fails with `error` unless it is 0.
void FakeScript(FakeCall call, int nth, std::uint32_t error, std::function<void()> code = {});

// What the receive finds next, in order: a datagram's bytes (longer than the buffer
// too), with the platform's running count of dropped datagrams when not 0; a failure
// with a non-zero Windows Sockets `error`; a control, which it hands to the registered
// control handler before it goes on waiting; time passing, which ends a wait that has a
// limit and moves the clock on. Datagrams behind a stop are what the socket still holds
// when the run ends.
void FakeQueueDatagram(std::string_view bytes, int error = 0, std::uint32_t kernelDrops = 0);
void FakeQueueControl(std::uint32_t control);
void FakeQueueTime(std::uint64_t milliseconds);

// Handles, sockets, sources and keys opened and not closed (status handles never are).
std::size_t FakeOpenHandleCount();

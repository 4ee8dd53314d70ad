// The fake platform: a scripted stand-in for every function of platform/*.h, linked into
// the unit tests instead of a real layer. It records what the program hands to the
// platform (status reports, events, console output, manager and registry operations,
// sleeps), answers from a script the test sets up, and fails any call on demand.
//
// Everything below is guarded by FakeLock. A test sets the script before it starts the
// program's threads and reads the records after it has joined them; while they run, it
// uses only the functions, which take the lock themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/scm.h"
#include "platform/types.h"

// The calls a test can fail or hold; each kind is counted from the last FakeReset.
enum class FakeCall {
    StartServiceCtrlDispatcher,
    RegisterServiceCtrlHandler,
    SetServiceStatus,
    OpenSCManager,
    CreateService,
    OpenService,
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
    RegDeleteKey,
    GetModuleFileName,
    Count  // the number of kinds; scripted, a call that never comes
};

struct FakeStatusReport {
    ServiceStatus record;  // a copy, as the program handed it over
    bool taken;            // false when the report was made to fail
};

struct FakeEvent {
    std::string source;
    std::uint16_t type;
    std::uint16_t category;
    std::uint32_t eventId;
    std::vector<std::string> strings;
};

struct FakeRegistryValue {
    std::uint32_t type;
    std::vector<unsigned char> data;
    bool operator==(const FakeRegistryValue&) const = default;
};

// The service entry as the program asked the manager to create it.
struct FakeServiceConfig {
    std::string serviceName;
    std::string displayName;
    std::uint32_t desiredAccess;
    std::uint32_t serviceType;
    std::uint32_t startType;
    std::uint32_t errorControl;
    std::string binaryPath;
};

struct FakePlatform {
    // Records.
    std::vector<FakeStatusReport> reports;
    std::vector<FakeEvent> events;
    std::string console;
    // Manager, registry, console ("out:" + text) and sleep ("Sleep <ms>") calls in order.
    std::vector<std::string> trace;
    std::vector<std::string> dispatchedServices;  // the dispatch table's names
    std::string handlerServiceName;
    int badHandleUses;  // a closed, unknown or wrong-kind handle handed to any call
    std::uint16_t startupVersion;
    std::uint16_t boundPort;
    std::uint32_t boundAddress;

    // The manager's database and the registry, HKEY_LOCAL_MACHINE's subkeys by path.
    bool serviceInstalled;
    FakeServiceConfig serviceConfig;
    std::uint32_t serviceState;  // what a stop control and the queries find
    // The states the status queries answer after an accepted stop, in order; when they
    // run out the service has stopped.
    std::deque<std::uint32_t> stopAnswers;
    std::map<std::string, std::map<std::string, FakeRegistryValue>> registry;

    // Process facts.
    std::string modulePath;
    bool dispatcherConnects;             // false: the dispatcher fails with 1063, as from a console
    std::deque<std::uint32_t> controls;  // delivered once the receiver is idle
};

extern FakePlatform Fake;
extern std::mutex FakeLock;

// Empties the records and the script: nothing installed, nothing queued, no failures,
// the dispatcher refusing to connect.
void FakeReset();

// The nth call (counting from 1) of that kind fails, leaving `error` as its error code.
void FakeFailCall(FakeCall call, int nth, std::uint32_t error);

// The nth call of that kind waits inside the fake until FakeReleaseHold.
void FakeHoldCall(FakeCall call, int nth);
bool FakeWaitHeld();  // false after a generous timeout
void FakeReleaseHold();

int FakeCallCount(FakeCall call);

// Datagrams the receive hands out in order: any bytes, longer than the buffer included.
void FakeQueueDatagram(std::string_view bytes);
// A receive that fails with this Windows Sockets error number.
void FakeQueueReceiveError(int error);

// Waits until the receiver waits for a datagram with none queued; false after a
// generous timeout.
bool FakeWaitIdle();

// Makes the system text for `code` `length` bytes long, CR LF included.
void FakeSetLongMessage(std::uint32_t code, std::size_t length);

// Handles, sockets, sources and keys opened and not yet closed.
std::size_t FakeOpenHandleCount();

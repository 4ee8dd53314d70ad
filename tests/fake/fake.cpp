#include "tests/fake/fake.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/console.h"
#include "platform/constants.h"
#include "platform/eventlog.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/socket.h"
#include "platform/udp_statistics.h"

FakePlatform Fake;

namespace {

std::mutex FakeLock;  // guards all of the fake's state but the last errors
using Lock = std::unique_lock<std::mutex>;
constexpr std::string_view MODULE_PATH = "/usr/local/sbin/corvane";  // the install tests expect it
enum class Kind { Manager, Service, Status, Event, Socket, Source, Key };

struct Handle {
    Kind kind;
    std::string name;  // of a registry key or an event source
    bool signalled;
};
struct Scripted {
    std::uint32_t error;
    std::function<void()> code;
};
struct Internals {  // guarded by FakeLock like the script
    std::map<FakeCall, int> counts;
    std::map<std::pair<FakeCall, int>, Scripted> scripted;
    std::map<OsHandle, Handle> handles;  // the open ones
    OsHandle nextHandle = 0x100;
    std::vector<FakeNext> queue;
    std::size_t taken;          // from the queue
    std::uint32_t kernelDrops;  // as OsReadKernelDrops finds it
    ControlHandlerFunction handler;
    std::uint32_t checkPoint;  // of a service that is starting
    std::uint64_t nowMs;       // the fake clock, moved on by queued time
} Inner;

std::condition_variable Changed;
thread_local std::uint32_t LastError = 0;  // kept per thread, as the platform keeps them
thread_local std::uint32_t WSALastError = 0;

std::string Hex(std::uint32_t value, int width = 0) {
    char text[16];
    return {text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "%0*x", width,
                                                         static_cast<unsigned>(value)))};
}

// `label` and `value`, or nothing when the value is the usual one.
std::string Field(const char* label, std::uint32_t value, std::uint32_t usual = 0) {
    return value != usual ? label + std::to_string(value) : "";
}

// Leaves a non-zero `error` as the thread's last error; true when there is one.
bool SetError(std::uint32_t error, std::uint32_t& lastError) {
    lastError = error != 0 ? error : lastError;
    return error != 0;
}

// The one path every scripted call takes, under `lock`: traced as `line` unless empty,
// counted, and the test's code run outside the lock. True when the call fails: its scripted
// error is then in `lastError`.
bool Fails(Lock& lock, FakeCall call, std::uint32_t& lastError, std::string line = {}) {
    if (!line.empty()) {
        Fake.trace.push_back(std::move(line));
    }
    const auto found = Inner.scripted.find({call, ++Inner.counts[call]});
    if (found == Inner.scripted.end()) {
        return false;
    }
    const Scripted scripted = found->second;
    if (scripted.code) {
        lock.unlock();
        scripted.code();
        lock.lock();
    }
    return SetError(scripted.error, lastError);
}

OsHandle NewHandle(Kind kind, std::string name = {}) {
    const OsHandle handle = Inner.nextHandle++;
    Inner.handles[handle] = {kind, std::move(name), false};
    return handle;
}

// The handle, unless it is not open as `kind`: then null, with the bad use counted.
Handle* Find(OsHandle handle, Kind kind) {
    Handle* open = Inner.handles.contains(handle) ? &Inner.handles[handle] : nullptr;
    const bool right = open != nullptr && open->kind == kind;
    Fake.badHandleUses += right ? 0 : 1;
    return right ? open : nullptr;
}

bool Check(OsHandle handle, Kind kind) {
    return Find(handle, kind) != nullptr;
}

void Close(OsHandle handle, Kind kind) {
    const Lock lock(FakeLock);
    if (Check(handle, kind)) {
        Inner.handles.erase(handle);
    }
}

// A call that opens a handle: null with the scripted error as last error, or the handle.
OsHandle Open(FakeCall call, Kind kind, std::string line = {}, std::string name = {}) {
    Lock lock(FakeLock);
    return Fails(lock, call, LastError, std::move(line)) ? 0 : NewHandle(kind, std::move(name));
}

bool Signalled(OsHandle event) {
    return Inner.handles.contains(event) && Inner.handles[event].signalled;
}

std::string Describe(const ServiceStatus& s, bool taken) {
    static const char* const STATES[] = {"?", "stopped", "start", "stop-pending", "running"};
    const std::uint32_t accepts = s.currentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    std::string text = STATES[s.currentState <= SERVICE_RUNNING ? s.currentState : 0];
    text += Field(" cp", s.checkPoint) + Field(" wait", s.waitHint) +
            Field(" exit", s.win32ExitCode) +
            Field(" type", s.serviceType, SERVICE_WIN32_OWN_PROCESS) +
            Field(" accepts", s.controlsAccepted, accepts) +
            Field(" specific", s.serviceSpecificExitCode);
    return taken ? text : text + " refused";
}

// The first of `values`, taken unless it is the last one: that one stays.
template <typename Value>
Value TakeFirst(std::vector<Value>& values) {
    const Value first = values.front();
    if (values.size() > 1) {
        values.erase(values.begin());
    }
    return first;
}

// Takes what the queue holds next: time passing and the platform's drop count apply at once.
const FakeNext& Take() {
    const FakeNext& next = Inner.queue[Inner.taken++];
    Inner.nowMs += next.ms;
    Inner.kernelDrops = next.drops != 0 ? next.drops : Inner.kernelDrops;
    return next;
}

bool IsDatagram(const FakeNext& next) {
    return next.control == 0 && next.ms == 0 && next.drops == 0;
}

// A setting of the service, as the install makes it: traced, failing when scripted.
bool ChangeSetting(OsHandle service, const std::string& setting) {
    Lock lock(FakeLock);
    return Check(service, Kind::Service) && !Fails(lock, FakeCall::ChangeServiceConfig2, LastError,
                                                   "ChangeServiceConfig2 " + setting);
}

void CopyOut(std::string_view text, std::span<char> out) {
    const std::size_t copied = std::min(text.size(), out.size() - 1);
    std::memcpy(out.data(), text.data(), copied);
    out[copied] = '\0';
}

}  // namespace

void FakeReset() {
    const Lock lock(FakeLock);
    Fake = FakePlatform{};
    Fake.serviceStates = {SERVICE_STOPPED};
    Fake.systemTexts = {
        {5, "Access is denied.\r\n"},
        {1061, "The service cannot accept control messages at this time.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
    };
    Inner = Internals{};
    LastError = WSALastError = 0;
}

void FakeScript(FakeCall call, int nth, std::uint32_t error, std::function<void()> code) {
    const Lock lock(FakeLock);
    Inner.scripted[{call, nth}] = {error, std::move(code)};
}

void FakeQueue(FakeNext next) {
    const Lock lock(FakeLock);
    Inner.queue.push_back(std::move(next));
    Changed.notify_all();
}

std::size_t FakeOpenHandleCount() {
    const Lock lock(FakeLock);
    return std::ranges::count_if(Inner.handles,
                                 [](const auto& h) { return h.second.kind != Kind::Status; });
}

void OsConsoleSetup() {}
void OsConsoleWrite(std::string_view text) {
    const Lock lock(FakeLock);
    Fake.console += text;
}
void OsSleep(std::uint32_t milliseconds) {
    OsConsoleWrite("<" + std::to_string(milliseconds) + "ms>");
}
void OsShowServiceText(std::string_view text) {
    const Lock lock(FakeLock);
    Fake.serviceTexts.emplace_back(text);
}
std::uint32_t OsKeepAliveIntervalMs() {
    const Lock lock(FakeLock);
    return Fake.keepAliveMs;
}
void OsServiceKeepAlive() {
    const Lock lock(FakeLock);
    Fake.keptAlive.push_back(Inner.nowMs);
}
std::uint64_t OsTickCount() {
    const Lock lock(FakeLock);
    return Inner.nowMs;
}
std::uint32_t OsGetLastError() {
    return LastError;
}
void OsSetLastError(std::uint32_t code) {
    LastError = code;
}

OsHandle OsRegisterEventSource(const char* sourceName) {
    LastError = 0;  // a successful call may change it: a caller must not read it again
    return Open(FakeCall::RegisterEventSource, Kind::Source, {}, sourceName);
}

// A log scripted to be full (ERROR_TIMEOUT) spends the whole wait.
bool OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings,
                   std::uint32_t waitMs, TextCoding coding, const Ipv4Endpoint* /*sender*/) {
    Lock lock(FakeLock);
    const Handle* open = Find(source, Kind::Source);
    const std::string name = open != nullptr ? open->name : "";
    if (open == nullptr) {
        return SetError(ERROR_INVALID_HANDLE, LastError);
    }
    if (Fails(lock, FakeCall::ReportEvent, LastError)) {
        Inner.nowMs += LastError == ERROR_TIMEOUT ? waitMs : 0;
        return false;
    }
    static const char* const TYPES[] = {"?", "error", "warning", "?", "info"};
    std::string text = TYPES[eventType <= EVENTLOG_INFORMATION_TYPE ? eventType : 0];
    text += " " + Hex(eventId, 8) + (coding == TextCoding::Utf8 ? " utf8" : "") +
            Field(" category", category);
    text += name != "Corvane" ? " source " + name : "";
    for (std::size_t i = 0; i < strings.size(); ++i) {
        text += (i == 0 ? " " : "|") + std::string(strings[i]);
    }
    Fake.events.push_back(text);
    return true;
}

void OsDeregisterEventSource(OsHandle source) {
    Close(source, Kind::Source);
}

OsHandle OsCreateEvent() {
    return Open(FakeCall::CreateEvent, Kind::Event);
}

bool OsSetEvent(OsHandle event) {
    const Lock lock(FakeLock);
    Handle* open = Find(event, Kind::Event);
    if (open == nullptr) {
        return false;
    }
    open->signalled = true;
    Changed.notify_all();
    return true;
}

void OsCloseHandle(OsHandle handle) {
    Close(handle, Kind::Event);
}

std::size_t OsFormatSystemMessage(std::uint32_t code, std::span<char> out) {
    const Lock lock(FakeLock);
    const std::string text = Fake.systemTexts.contains(code) ? Fake.systemTexts[code] : "";
    CopyOut(text, out);
    LastError = 0;  // a successful call may change it: a caller must not read it again
    return text.size();
}

bool OsCheckServiceBinary(const char* /*path*/, std::span<char> /*reason*/) {
    return true;
}

std::uint32_t OsGetModuleFileName(std::span<char> out) {
    Lock lock(FakeLock);
    if (Fails(lock, FakeCall::GetModuleFileName, LastError)) {
        return 0;
    }
    CopyOut(MODULE_PATH, out);
    return static_cast<std::uint32_t>(MODULE_PATH.size());
}

long OsRegCreateKey(const char* subKey, std::uint32_t desiredAccess, OsHandle* key) {
    const Lock lock(FakeLock);
    Fake.trace.push_back("RegCreateKey " + std::string(subKey) + " " + Hex(desiredAccess));
    *key = NewHandle(Kind::Key, subKey);
    return ERROR_SUCCESS;
}

long OsRegSetValue(OsHandle key, const char* valueName, std::uint32_t type,
                   std::span<const unsigned char> data) {
    Lock lock(FakeLock);
    const Handle* open = Find(key, Kind::Key);
    const std::string name = open != nullptr ? open->name : "";
    std::uint32_t error = ERROR_INVALID_HANDLE;
    if (open == nullptr || Fails(lock, FakeCall::RegSetValue, error)) {
        return static_cast<long>(error);
    }
    const std::string value = std::to_string(type) + ":" + std::string(data.begin(), data.end());
    Fake.registry[name][valueName] = value;
    return ERROR_SUCCESS;
}

void OsRegCloseKey(OsHandle key) {
    Close(key, Kind::Key);
}

long OsRegDeleteKey(const char* subKey) {
    const Lock lock(FakeLock);
    Fake.registry.erase(subKey);
    return ERROR_SUCCESS;
}

// The tests call the service's entry on their own thread: no test connects to a manager.
bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* /*table*/) {
    LastError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    return false;
}

OsHandle OsRegisterServiceCtrlHandler(const char* /*serviceName*/, ControlHandlerFunction handler) {
    const OsHandle status = Open(FakeCall::RegisterServiceCtrlHandler, Kind::Status);
    const Lock lock(FakeLock);
    Inner.handler = handler;
    return status;
}

bool OsSetServiceStatus(OsHandle statusHandle, const ServiceStatus& status) {
    Lock lock(FakeLock);
    const bool taken =
        Check(statusHandle, Kind::Status) && !Fails(lock, FakeCall::SetServiceStatus, LastError);
    Fake.reports.push_back(Describe(status, taken));
    return taken;
}

OsHandle OsOpenSCManager(std::uint32_t desiredAccess) {
    return Open(FakeCall::OpenSCManager, Kind::Manager, "OpenSCManager " + Hex(desiredAccess));
}

OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* displayName,
                         std::uint32_t desiredAccess, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t errorControl,
                         const char* binaryPath, const char* account) {
    const Lock lock(FakeLock);
    Fake.trace.push_back(std::string("CreateService ") + serviceName + " " + displayName + " " +
                         Hex(desiredAccess) + " " + Hex(serviceType) + " " + Hex(startType) + " " +
                         Hex(errorControl) + " " + binaryPath + " as " + account);
    if (!Check(manager, Kind::Manager)) {
        return 0;
    }
    Fake.installedService = serviceName;
    return NewHandle(Kind::Service);
}

bool OsChangeServiceRequiredPrivileges(OsHandle service, const char* privilegeList) {
    std::string names;  // read as the manager reads the list: up to its empty name
    for (const char* name = privilegeList; *name != '\0'; name += std::strlen(name) + 1) {
        names += std::string(" ") + name;
    }
    return ChangeSetting(service, "privileges" + names);
}

bool OsChangeServiceSidType(OsHandle service, std::uint32_t sidType) {
    return ChangeSetting(service, "sid " + std::to_string(sidType));
}

bool OsChangeServiceFailureActions(OsHandle service, std::uint32_t restartDelayMs,
                                   std::uint32_t resetPeriodSeconds) {
    return ChangeSetting(service, "restart " + std::to_string(restartDelayMs) + "ms reset " +
                                      std::to_string(resetPeriodSeconds) + "s");
}

OsHandle OsOpenService(OsHandle manager, const char* /*serviceName*/,
                       std::uint32_t /*desiredAccess*/) {
    const Lock lock(FakeLock);
    return Check(manager, Kind::Manager) ? NewHandle(Kind::Service) : 0;
}

// A service still starting refuses the stop: 1061 unless scripted otherwise.
bool OsControlService(OsHandle service, std::uint32_t /*control*/, ServiceStatus* status) {
    Lock lock(FakeLock);
    std::uint32_t scripted = 0;
    (void)Fails(lock, FakeCall::ControlService, scripted);
    const std::uint32_t state = TakeFirst(Fake.serviceStates);
    const std::uint32_t refusal = scripted != 0 ? scripted : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    const std::uint32_t error = state == SERVICE_STOPPED         ? ERROR_SERVICE_NOT_ACTIVE
                                : state == SERVICE_START_PENDING ? refusal
                                                                 : scripted;
    if (!Check(service, Kind::Service) || SetError(error, LastError)) {
        return false;
    }
    *status = ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 0, 0};
    return true;
}

// A starting service's check point moves at each query while `startAdvances`.
bool OsQueryServiceStatus(OsHandle service, ServiceStatus* status) {
    Lock lock(FakeLock);
    if (!Check(service, Kind::Service) || Fails(lock, FakeCall::QueryServiceStatus, LastError)) {
        return false;
    }
    const std::uint32_t state = TakeFirst(Fake.serviceStates);
    const bool starting = state == SERVICE_START_PENDING;
    Inner.checkPoint += starting && Fake.startAdvances ? 1 : 0;
    *status =
        ServiceStatus{SERVICE_WIN32_OWN_PROCESS, state, 0, 0, 0, starting ? Inner.checkPoint : 0,
                      starting ? 3000U : 0};
    return true;
}

bool OsDeleteService(OsHandle service) {
    Lock lock(FakeLock);
    if (!Check(service, Kind::Service) || Fails(lock, FakeCall::DeleteService, LastError)) {
        return false;
    }
    Fake.installedService.clear();
    return true;
}

void OsCloseServiceHandle(OsHandle handle) {
    Lock lock(FakeLock);
    const bool manager =
        Inner.handles.contains(handle) && Inner.handles[handle].kind == Kind::Manager;
    lock.unlock();
    Close(handle, manager ? Kind::Manager : Kind::Service);
}

int OsWSAStartup(std::uint16_t /*version*/) {
    Lock lock(FakeLock);
    std::uint32_t error = 0;
    (void)Fails(lock, FakeCall::WSAStartup, error);
    return static_cast<int>(error);
}
void OsWSACleanup() {}
int OsWSAGetLastError() {
    return static_cast<int>(WSALastError);
}
int OsEnlargeReceiveBuffer(OsSocket /*socket*/) {
    return 1 << 20;
}
bool OsReadKernelDrops(OsSocket socket, std::uint32_t* count) {
    const Lock lock(FakeLock);
    (void)Check(socket, Kind::Socket);
    *count = Inner.kernelDrops;
    return true;
}
bool OsSeesKernelDrops() {
    return true;
}

OsSocket OsSocketCreate(int /*family*/, int /*type*/, int /*protocol*/) {
    Lock lock(FakeLock);
    return Fails(lock, FakeCall::Socket, WSALastError) ? INVALID_SOCKET : NewHandle(Kind::Socket);
}

int OsBind(OsSocket socket, std::uint32_t /*address*/, std::uint16_t /*port*/) {
    Lock lock(FakeLock);
    (void)Check(socket, Kind::Socket);
    return Fails(lock, FakeCall::Bind, WSALastError) ? SOCKET_ERROR : 0;
}

int OsDropSocketPrivileges() {
    Lock lock(FakeLock);
    return Fails(lock, FakeCall::DropSocketPrivileges, WSALastError) ? SOCKET_ERROR : 0;
}

int OsReceive(OsSocket socket, std::span<char> buffer, OsHandle stopEvent, std::uint32_t waitMs,
              Ipv4Endpoint* /*sender*/) {
    Lock lock(FakeLock);
    if (!Check(socket, Kind::Socket) || !Check(stopEvent, Kind::Event) ||
        Fails(lock, FakeCall::Receive, WSALastError)) {
        return SOCKET_ERROR;
    }
    for (;;) {
        Changed.wait(lock,
                     [&] { return Signalled(stopEvent) || Inner.taken < Inner.queue.size(); });
        if (Signalled(stopEvent)) {
            return RECEIVE_STOPPED;
        }
        const FakeNext& next = Take();
        if (next.control != 0) {
            const std::uint32_t control = next.control;  // the queue may grow meanwhile
            const ControlHandlerFunction handler = Inner.handler;
            lock.unlock();
            handler(control);
            lock.lock();
        } else if (next.ms != 0 && waitMs != WAIT_FOREVER) {
            return RECEIVE_TIMED_OUT;
        } else if (IsDatagram(next)) {
            const std::size_t size = next.bytes.size();
            if (SetError(size > buffer.size() ? WSAEMSGSIZE : next.error, WSALastError)) {
                return SOCKET_ERROR;
            }
            // Whatever lies past the datagram shows up in the text if the caller reads it.
            std::memset(buffer.data(), '#', buffer.size());
            std::memcpy(buffer.data(), next.bytes.data(), size);
            return static_cast<int>(size);
        }
    }
}

// A control ends what the socket holds at the stop; time passes while it is taken.
std::uint32_t OsDiscardQueued(OsSocket socket, std::uint32_t limit) {
    const Lock lock(FakeLock);
    (void)Check(socket, Kind::Socket);
    std::uint32_t taken = 0;
    while (taken < limit && Inner.taken < Inner.queue.size() &&
           Inner.queue[Inner.taken].control == 0) {
        taken += IsDatagram(Take()) ? 1 : 0;
    }
    return taken;
}

bool OsSystemUdpDiscards(std::uint32_t* discarded) {
    const Lock lock(FakeLock);
    *discarded = Fake.systemDiscards.empty() ? 0 : TakeFirst(Fake.systemDiscards);
    return !Fake.systemDiscards.empty();
}

void OsCloseSocket(OsSocket socket) {
    Lock lock(FakeLock);
    std::uint32_t unused = 0;  // the call is scripted for the test's code alone
    (void)Fails(lock, FakeCall::CloseSocket, unused);
    lock.unlock();
    Close(socket, Kind::Socket);
}

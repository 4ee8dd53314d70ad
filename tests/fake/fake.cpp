#include "tests/fake/fake.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/console.h"
#include "platform/constants.h"
#include "platform/eventlog.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/socket.h"

FakePlatform Fake;
std::mutex FakeLock;

namespace {

enum class Kind { Manager, Service, Status, Event, Socket, Source, Key };

struct Handle {
    Kind kind;
    bool signalled;    // events only
    std::string name;  // event sources and registry keys
};

struct Scripted {
    std::uint32_t error;
    std::function<void()> code;
};

struct Next {  // what the receive finds: a control, time, else a datagram or its error
    std::uint32_t control;
    std::string bytes;
    int error;
    std::uint32_t kernelDrops;
    std::uint64_t passingMs;
};

// The fake's own state, guarded by FakeLock like the script.
struct Internals {
    std::map<FakeCall, int> counts;
    std::map<std::pair<FakeCall, int>, Scripted> scripted;
    std::map<OsHandle, Handle> handles;
    OsHandle nextHandle;
    std::deque<Next> queue;
    ControlHandlerFunction handler;
    std::uint32_t checkPoint;
} Inner;

std::condition_variable Changed;  // on every change a waiting thread may wait for

// Kept per thread, as the platform keeps them.
thread_local std::uint32_t LastError = 0;
thread_local int WSALastError = 0;

std::string Hex(std::uint32_t value, int width = 0) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%0*x", width, static_cast<unsigned>(value));
    return text;
}

// Leaves a non-zero error as the thread's last error; true when there is one.
template <typename Code>
bool Fails(std::uint32_t error, Code& lastError) {
    if (error != 0) {
        lastError = static_cast<Code>(error);
    }
    return error != 0;
}

// Counts the call and runs the test's code for it; the scripted error, or 0. `lock`
// holds FakeLock.
std::uint32_t Enter(std::unique_lock<std::mutex>& lock, FakeCall call) {
    const auto found = Inner.scripted.find({call, ++Inner.counts[call]});
    if (found == Inner.scripted.end()) {
        return 0;
    }
    const Scripted scripted = found->second;
    if (scripted.code) {
        lock.unlock();
        scripted.code();
        lock.lock();
    }
    return scripted.error;
}

OsHandle NewHandle(Kind kind, std::string name = {}) {
    Inner.handles[Inner.nextHandle] = {kind, false, std::move(name)};
    return Inner.nextHandle++;
}

// A call that opens a handle: null with the scripted error as last error, or the handle.
OsHandle Open(std::unique_lock<std::mutex>& lock, FakeCall call, Kind kind, std::string name = {}) {
    return Fails(Enter(lock, call), LastError) ? 0 : NewHandle(kind, std::move(name));
}

// False, with the bad use counted, unless `handle` is open as `kind`.
bool Check(OsHandle handle, Kind kind) {
    const auto found = Inner.handles.find(handle);
    const bool open = found != Inner.handles.end() && found->second.kind == kind;
    Fake.badHandleUses += open ? 0 : 1;
    return open;
}

void Close(OsHandle handle, Kind kind) {
    if (Check(handle, kind)) {
        Inner.handles.erase(handle);
    }
}

// A manager call on an open handle: false with `error`, or the bad handle, as last error.
bool Admit(OsHandle handle, Kind kind, std::uint32_t error) {
    return !Fails(error != 0 || Check(handle, kind) ? error : ERROR_INVALID_HANDLE, LastError);
}

bool Signalled(OsHandle event) {
    const auto found = Inner.handles.find(event);
    return found != Inner.handles.end() && found->second.signalled;
}

std::string Describe(const ServiceStatus& s, bool taken) {
    static const char* const STATES[] = {"?", "stopped", "start", "stop-pending", "running"};
    std::string text = STATES[s.currentState <= SERVICE_RUNNING ? s.currentState : 0];
    const auto show = [&text](const char* label, std::uint32_t value, std::uint32_t usual) {
        text += value != usual ? label + std::to_string(value) : "";
    };
    show(" cp", s.checkPoint, 0);
    show(" wait", s.waitHint, 0);
    show(" exit", s.win32ExitCode, 0);
    show(" type", s.serviceType, SERVICE_WIN32_OWN_PROCESS);
    show(" accepts", s.controlsAccepted,
         s.currentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP);
    show(" specific", s.serviceSpecificExitCode, 0);
    return taken ? text : text + " refused";
}

std::uint32_t NextServiceState() {
    const std::uint32_t state = Fake.serviceStates.front();
    if (Fake.serviceStates.size() > 1) {
        Fake.serviceStates.pop_front();
    }
    return state;
}

void Queue(Next next) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Inner.queue.push_back(std::move(next));
    Changed.notify_all();
}

}  // namespace

void FakeReset() {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake = FakePlatform{};
    Fake.serviceStates = {SERVICE_STOPPED};
    Fake.startRefusal = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    Fake.modulePath = "/opt/corvane/bin/corvane";
    Fake.systemTexts = {
        {5, "Access is denied.\r\n"},
        {1060, "The specified service does not exist as an installed service.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
        {1073, "The specified service already exists.\r\n"},
    };
    Inner = Internals{};
    Inner.nextHandle = 0x100;
    LastError = 0;
    WSALastError = 0;
}

void FakeScript(FakeCall call, int nth, std::uint32_t error, std::function<void()> code) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Inner.scripted[{call, nth}] = {error, std::move(code)};
}

void FakeQueueDatagram(std::string_view bytes, int error, std::uint32_t kernelDrops) {
    Queue({0, std::string(bytes), error, kernelDrops, 0});
}

void FakeQueueControl(std::uint32_t control) {
    Queue({control, {}, 0, 0, 0});
}

void FakeQueueTime(std::uint64_t milliseconds) {
    Queue({0, {}, 0, 0, milliseconds});
}

std::size_t FakeOpenHandleCount() {
    const std::lock_guard<std::mutex> guard(FakeLock);
    return static_cast<std::size_t>(std::ranges::count_if(
        Inner.handles, [](const auto& entry) { return entry.second.kind != Kind::Status; }));
}

void OsConsoleSetup() {}

void OsConsoleWrite(std::string_view text) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.console += text;
}

OsHandle OsRegisterEventSource(const char* sourceName) {
    std::unique_lock<std::mutex> lock(FakeLock);
    return Open(lock, FakeCall::RegisterEventSource, Kind::Source, sourceName);
}

bool OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings, TextCoding coding) {
    std::unique_lock<std::mutex> lock(FakeLock);
    if (!Check(source, Kind::Source) || Fails(Enter(lock, FakeCall::ReportEvent), LastError)) {
        return false;
    }
    std::string text = eventType == EVENTLOG_ERROR_TYPE         ? "error "
                       : eventType == EVENTLOG_WARNING_TYPE     ? "warning "
                       : eventType == EVENTLOG_INFORMATION_TYPE ? "info "
                                                                : "type" + Hex(eventType) + " ";
    text += Hex(eventId, 8);
    text += coding == TextCoding::Utf8 ? " utf8" : "";
    text += category != 0 ? " category" + std::to_string(category) : "";
    const std::string& name = Inner.handles[source].name;
    text += name != "Corvane" ? " source " + name : "";
    for (std::size_t i = 0; i < strings.size(); ++i) {
        text += (i == 0 ? " " : "|") + std::string(strings[i]);
    }
    Fake.events.push_back(text);
    return true;
}

void OsDeregisterEventSource(OsHandle source) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Close(source, Kind::Source);
}

OsHandle OsCreateEvent() {
    std::unique_lock<std::mutex> lock(FakeLock);
    return Open(lock, FakeCall::CreateEvent, Kind::Event);
}

bool OsSetEvent(OsHandle event) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    if (!Check(event, Kind::Event)) {
        return false;
    }
    Inner.handles[event].signalled = true;
    Changed.notify_all();
    return true;
}

void OsCloseHandle(OsHandle handle) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Close(handle, Kind::Event);
}

std::uint32_t OsGetLastError() {
    return LastError;
}

void OsSetLastError(std::uint32_t code) {
    LastError = code;
}

std::size_t OsFormatSystemMessage(std::uint32_t code, std::span<char> out) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    const auto found = Fake.systemTexts.find(code);
    const std::string text = found != Fake.systemTexts.end() ? found->second : "";
    const std::size_t copied = std::min(text.size(), out.size() - 1);
    std::memcpy(out.data(), text.data(), copied);
    out[copied] = '\0';
    // A successful call may leave any last-error code behind. This one always does, so a
    // caller that reads the code again after the look-up prints the wrong one.
    LastError = 0;
    return text.size();
}

bool OsCheckServiceBinary(const char* /*path*/, std::span<char> reason) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    const std::size_t copied = std::min(Fake.binaryRefusal.size(), reason.size() - 1);
    std::memcpy(reason.data(), Fake.binaryRefusal.data(), copied);
    reason[copied] = '\0';
    return Fake.binaryRefusal.empty();
}

std::uint32_t OsGetModuleFileName(std::span<char> out) {
    std::unique_lock<std::mutex> lock(FakeLock);
    if (Fails(Enter(lock, FakeCall::GetModuleFileName), LastError) ||
        Fake.modulePath.size() >= out.size()) {
        return 0;
    }
    std::memcpy(out.data(), Fake.modulePath.c_str(), Fake.modulePath.size() + 1);
    return static_cast<std::uint32_t>(Fake.modulePath.size());
}

std::uint64_t OsTickCount() {
    const std::lock_guard<std::mutex> guard(FakeLock);
    return Fake.nowMs;
}

void OsShowServiceText(std::string_view text) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.serviceTexts.emplace_back(text);
}

void OsSleep(std::uint32_t milliseconds) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.console += "<" + std::to_string(milliseconds) + "ms>";
}

long OsRegCreateKey(const char* subKey, std::uint32_t desiredAccess, OsHandle* key) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("RegCreateKey ") + subKey + " " + Hex(desiredAccess));
    if (const std::uint32_t error = Enter(lock, FakeCall::RegCreateKey); error != 0) {
        return static_cast<long>(error);
    }
    (void)Fake.registry[subKey];
    *key = NewHandle(Kind::Key, subKey);
    return ERROR_SUCCESS;
}

long OsRegSetValue(OsHandle key, const char* valueName, std::uint32_t type,
                   std::span<const unsigned char> data) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("RegSetValue ") + valueName);
    if (const std::uint32_t error = Enter(lock, FakeCall::RegSetValue); error != 0) {
        return static_cast<long>(error);
    }
    if (Check(key, Kind::Key)) {
        Fake.registry[Inner.handles[key].name][valueName] =
            std::to_string(type) + ":" + std::string(data.begin(), data.end());
    }
    return ERROR_SUCCESS;
}

void OsRegCloseKey(OsHandle key) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Close(key, Kind::Key);
}

long OsRegDeleteKey(const char* subKey) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.trace.push_back(std::string("RegDeleteKey ") + subKey);
    Fake.registry.erase(subKey);
    return ERROR_SUCCESS;
}

// The dispatcher runs the service on a thread of its own; the receive plays the queued
// controls to the handler, so a stop reaches the service only once it runs.
bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* table) {
    {
        const std::lock_guard<std::mutex> guard(FakeLock);
        std::string names = "StartServiceCtrlDispatcher";
        for (const ServiceTableEntry* row = table; row->serviceName != nullptr; ++row) {
            names += std::string(" ") + row->serviceName;
        }
        Fake.trace.push_back(names);
        if (!Fake.dispatcherConnects) {
            LastError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
            return false;
        }
    }
    std::string name = table[0].serviceName;
    char* argVector[] = {name.data(), nullptr};
    std::thread(table[0].serviceProc, 1, argVector).join();
    return true;
}

OsHandle OsRegisterServiceCtrlHandler(const char* serviceName, ControlHandlerFunction handler) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("RegisterServiceCtrlHandler ") + serviceName);
    const OsHandle status = Open(lock, FakeCall::RegisterServiceCtrlHandler, Kind::Status);
    Inner.handler = status != 0 ? handler : nullptr;
    return status;
}

bool OsSetServiceStatus(OsHandle statusHandle, const ServiceStatus& status) {
    std::unique_lock<std::mutex> lock(FakeLock);
    const bool taken = !Fails(Enter(lock, FakeCall::SetServiceStatus), LastError);
    (void)Check(statusHandle, Kind::Status);
    Fake.reports.push_back(Describe(status, taken));
    return taken;
}

OsHandle OsOpenSCManager(std::uint32_t desiredAccess) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("OpenSCManager " + Hex(desiredAccess));
    return Open(lock, FakeCall::OpenSCManager, Kind::Manager);
}

OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* displayName,
                         std::uint32_t desiredAccess, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t errorControl,
                         const char* binaryPath) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.trace.push_back(std::string("CreateService ") + serviceName + " " + displayName + " " +
                         Hex(desiredAccess) + " " + Hex(serviceType) + " " + Hex(startType) + " " +
                         Hex(errorControl) + " " + binaryPath);
    if (!Admit(manager, Kind::Manager, Fake.installedService.empty() ? 0 : ERROR_SERVICE_EXISTS)) {
        return 0;
    }
    Fake.installedService = serviceName;
    return NewHandle(Kind::Service);
}

OsHandle OsOpenService(OsHandle manager, const char* serviceName, std::uint32_t desiredAccess) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.trace.push_back(std::string("OpenService ") + serviceName + " " + Hex(desiredAccess));
    const bool known = Fake.installedService == serviceName;
    return Admit(manager, Kind::Manager, known ? 0 : ERROR_SERVICE_DOES_NOT_EXIST)
               ? NewHandle(Kind::Service)
               : 0;
}

bool OsControlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("ControlService " + Hex(control));
    const std::uint32_t state = NextServiceState();
    const std::uint32_t error = state == SERVICE_STOPPED         ? ERROR_SERVICE_NOT_ACTIVE
                                : state == SERVICE_START_PENDING ? Fake.startRefusal
                                                                 : 0;
    if (!Admit(service, Kind::Service,
               error != 0 ? error : Enter(lock, FakeCall::ControlService))) {
        return false;
    }
    *status = ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 0, 0};
    return true;
}

bool OsQueryServiceStatus(OsHandle service, ServiceStatus* status) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.emplace_back("QueryServiceStatus");
    if (!Admit(service, Kind::Service, Enter(lock, FakeCall::QueryServiceStatus))) {
        return false;
    }
    const std::uint32_t state = NextServiceState();
    const bool starting = state == SERVICE_START_PENDING;
    Inner.checkPoint += starting && Fake.startAdvances ? 1 : 0;
    *status =
        ServiceStatus{SERVICE_WIN32_OWN_PROCESS, state, 0, 0, 0, starting ? Inner.checkPoint : 0,
                      starting ? 3000U : 0};
    return true;
}

bool OsDeleteService(OsHandle service) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.emplace_back("DeleteService");
    if (!Admit(service, Kind::Service, Enter(lock, FakeCall::DeleteService))) {
        return false;
    }
    Fake.installedService.clear();
    return true;
}

void OsCloseServiceHandle(OsHandle handle) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    const auto found = Inner.handles.find(handle);
    const bool manager = found != Inner.handles.end() && found->second.kind == Kind::Manager;
    Fake.trace.emplace_back(manager ? "CloseServiceHandle manager" : "CloseServiceHandle service");
    Close(handle, manager ? Kind::Manager : Kind::Service);
}

int OsWSAStartup(std::uint16_t version) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("WSAStartup " + Hex(version));
    return static_cast<int>(Enter(lock, FakeCall::WSAStartup));
}

void OsWSACleanup() {}

int OsWSAGetLastError() {
    return WSALastError;
}

OsSocket OsSocketCreate(int family, int type, int protocol) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("socket " + Hex(family) + " " + Hex(type) + " " + Hex(protocol));
    return Fails(Enter(lock, FakeCall::Socket), WSALastError) ? INVALID_SOCKET
                                                              : NewHandle(Kind::Socket);
}

int OsBind(OsSocket socket, std::uint32_t address, std::uint16_t port) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back("bind " + Hex(address) + " " + std::to_string(port));
    (void)Check(socket, Kind::Socket);
    return Fails(Enter(lock, FakeCall::Bind), WSALastError) ? SOCKET_ERROR : 0;
}

int OsEnlargeReceiveBuffer(OsSocket /*socket*/) {
    return 1 << 20;
}

int OsReceive(OsSocket socket, std::span<char> buffer, OsHandle stopEvent, std::uint32_t waitMs,
              std::uint32_t* kernelDrops) {
    std::unique_lock<std::mutex> lock(FakeLock);
    if (Fails(Enter(lock, FakeCall::Receive), WSALastError)) {
        return SOCKET_ERROR;
    }
    (void)Check(socket, Kind::Socket);
    (void)Check(stopEvent, Kind::Event);
    for (;;) {
        Changed.wait(lock, [&] { return Signalled(stopEvent) || !Inner.queue.empty(); });
        if (Signalled(stopEvent)) {
            return RECEIVE_STOPPED;
        }
        const Next next = Inner.queue.front();
        Inner.queue.pop_front();
        if (next.passingMs != 0) {
            Fake.nowMs += next.passingMs;
            if (waitMs != WAIT_FOREVER) {
                return RECEIVE_TIMED_OUT;
            }
        } else if (next.control == 0) {
            const bool overLong = next.bytes.size() > buffer.size();
            *kernelDrops = next.kernelDrops != 0 ? next.kernelDrops : *kernelDrops;
            if (Fails(overLong ? WSAEMSGSIZE : next.error, WSALastError)) {
                return SOCKET_ERROR;
            }
            // Whatever lies past the datagram shows up in the text if the caller reads it.
            std::memset(buffer.data(), '#', buffer.size());
            std::memcpy(buffer.data(), next.bytes.data(), next.bytes.size());
            return static_cast<int>(next.bytes.size());
        } else {
            const ControlHandlerFunction handler = Inner.handler;
            lock.unlock();
            handler(next.control);
            lock.lock();
        }
    }
}

// Datagrams queued behind the stop are still queued when the run ends; a control or time
// passing ends what the socket holds.
std::uint32_t OsDiscardQueued(OsSocket socket, std::uint32_t limit, std::uint32_t* kernelDrops) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    (void)Check(socket, Kind::Socket);
    std::uint32_t taken = 0;
    for (; taken < limit && !Inner.queue.empty(); ++taken) {
        const Next& next = Inner.queue.front();
        if (next.control != 0 || next.passingMs != 0) {
            break;
        }
        *kernelDrops = next.kernelDrops != 0 ? next.kernelDrops : *kernelDrops;
        Inner.queue.pop_front();
    }
    return taken;
}

bool OsSeesKernelDrops() {
    return true;
}

void OsCloseSocket(OsSocket socket) {
    std::unique_lock<std::mutex> lock(FakeLock);
    (void)Enter(lock, FakeCall::CloseSocket);
    Close(socket, Kind::Socket);
}

#include "platform/scm.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <string_view>

#include "platform/win32/handles.h"

namespace {

// The longest path the program hands over: its module path buffer, less the zero.
constexpr std::size_t MAX_PATH_BYTES = 511;
// Two quotes and the terminating zero more.
constexpr std::size_t MAX_QUOTED_PATH = MAX_PATH_BYTES + 2 + 1;
// Each UTF-16 unit of a path takes at least one byte of its ANSI rendering, save a
// surrogate pair, which may become a single '?'.
constexpr DWORD MAX_WIDE_PATH = 2 * MAX_PATH_BYTES + 1;

// The program's service main and control handler. Windows calls what it is given with
// the WINAPI convention, which on i686 is stdcall and not the convention of the
// program's functions; it is given the trampolines below, which call these. A process
// runs one service, so one of each is enough.
std::atomic<ServiceMainFunction> ServiceMain{nullptr};
std::atomic<ControlHandlerFunction> ControlHandler{nullptr};

VOID WINAPI ServiceMainTrampoline(DWORD argCount, LPSTR* argVector) {
    ServiceMain.load()(argCount, argVector);
}

VOID WINAPI ControlHandlerTrampoline(DWORD controlCode) {
    ControlHandler.load()(controlCode);
}

SERVICE_STATUS ToNativeStatus(const ServiceStatus& status) {
    SERVICE_STATUS native{};
    native.dwServiceType = status.serviceType;
    native.dwCurrentState = status.currentState;
    native.dwControlsAccepted = status.controlsAccepted;
    native.dwWin32ExitCode = status.win32ExitCode;
    native.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    native.dwCheckPoint = status.checkPoint;
    native.dwWaitHint = status.waitHint;
    return native;
}

void FromNativeStatus(const SERVICE_STATUS& native, ServiceStatus* status) {
    status->serviceType = native.dwServiceType;
    status->currentState = native.dwCurrentState;
    status->controlsAccepted = native.dwControlsAccepted;
    status->win32ExitCode = native.dwWin32ExitCode;
    status->serviceSpecificExitCode = native.dwServiceSpecificExitCode;
    status->checkPoint = native.dwCheckPoint;
    status->waitHint = native.dwWaitHint;
}

// Hands one setting to the manager, then asks for it back: Wine takes failure actions
// without keeping them, and only its answer to the query (ERROR_INVALID_LEVEL) says so.
// A buffer too small for the answer still proves that the setting is kept.
bool ChangeSetting(OsHandle service, DWORD level, void* info) {
    const auto native = ToNative<SC_HANDLE>(service);
    if (ChangeServiceConfig2A(native, level, info) == FALSE) {
        return false;
    }
    alignas(SERVICE_FAILURE_ACTIONSA) std::array<BYTE, 256> kept{};
    DWORD needed = 0;
    return QueryServiceConfig2A(native, level, kept.data(), kept.size(), &needed) != FALSE ||
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* table) {
    // One trampoline serves one service; a table with more is refused.
    if (table[0].serviceName == nullptr || table[1].serviceName != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ServiceMain = table[0].serviceProc;
    std::array<SERVICE_TABLE_ENTRYA, 2> nativeTable{{
        {const_cast<LPSTR>(table[0].serviceName), ServiceMainTrampoline},
        {nullptr, nullptr},
    }};
    return StartServiceCtrlDispatcherA(nativeTable.data()) != FALSE;
}

OsHandle OsRegisterServiceCtrlHandler(const char* serviceName, ControlHandlerFunction handler) {
    // Stored first: the dispatcher may call the handler as soon as it is registered.
    ControlHandler = handler;
    return FromNative(RegisterServiceCtrlHandlerA(serviceName, ControlHandlerTrampoline));
}

bool OsSetServiceStatus(OsHandle statusHandle, const ServiceStatus& status) {
    SERVICE_STATUS native = ToNativeStatus(status);
    return SetServiceStatus(ToNative<SERVICE_STATUS_HANDLE>(statusHandle), &native) != FALSE;
}

bool OsCheckServiceBinary(const char* path, std::span<char> reason) {
    // The ANSI path the program has is the system's rendering of the real one: a
    // character the code page lacks became '?' or a look-alike (a Greek omega an "O"),
    // which names no file or another one. Only a path that converts back without loss
    // is the executable's own. A UTF-8 code page represents everything, and takes no
    // flags.
    std::array<wchar_t, MAX_WIDE_PATH> wide{};
    const DWORD length = GetModuleFileNameW(nullptr, wide.data(), MAX_WIDE_PATH);
    std::array<char, MAX_PATH_BYTES + 1> narrow{};
    const bool utf8 = GetACP() == CP_UTF8;
    BOOL lossy = FALSE;
    if (length != 0 && length < MAX_WIDE_PATH &&
        WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide.data(), -1, narrow.data(),
                            static_cast<int>(narrow.size()), nullptr,
                            utf8 ? nullptr : &lossy) != 0 &&
        lossy == FALSE && std::string_view(narrow.data()) == path) {
        return true;
    }
    constexpr std::string_view CAUSE =
        "its path has characters the system's code page cannot represent";
    const std::size_t copied = CAUSE.copy(reason.data(), reason.size() - 1);
    reason[copied] = '\0';
    return false;
}

// The manager keeps no line of text beside a service's state: the counts show in the
// event log's loss reports only.
void OsShowServiceText(std::string_view /*text*/) {}

// The manager restarts a service by its failure actions when the process ends, and has no
// sign to watch for one that hangs.
std::uint32_t OsKeepAliveIntervalMs() {
    return 0;
}

void OsServiceKeepAlive() {}

OsHandle OsOpenSCManager(std::uint32_t desiredAccess) {
    return FromNative(OpenSCManagerA(nullptr, nullptr, desiredAccess));
}

OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* displayName,
                         std::uint32_t desiredAccess, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t errorControl,
                         const char* binaryPath, const char* account) {
    // The manager reads the path as a command line: unquoted, "C:\Program Files\x.exe"
    // would first run C:\Program.exe, as the service's account, if anyone put one there.
    std::array<char, MAX_QUOTED_PATH> quoted{};
    const int length = std::snprintf(quoted.data(), quoted.size(), "\"%s\"", binaryPath);
    if (length < 0 || static_cast<std::size_t>(length) >= quoted.size()) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    // The built-in service accounts take an empty password.
    return FromNative(CreateServiceA(ToNative<SC_HANDLE>(manager), serviceName, displayName,
                                     desiredAccess, serviceType, startType, errorControl,
                                     quoted.data(), nullptr, nullptr, nullptr, account, ""));
}

bool OsChangeServiceRequiredPrivileges(OsHandle service, const char* privilegeList) {
    SERVICE_REQUIRED_PRIVILEGES_INFOA info{const_cast<LPSTR>(privilegeList)};
    return ChangeSetting(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &info);
}

bool OsChangeServiceSidType(OsHandle service, std::uint32_t sidType) {
    SERVICE_SID_INFO info{sidType};
    return ChangeSetting(service, SERVICE_CONFIG_SERVICE_SID_INFO, &info);
}

// One restart each for the first, the second and the later failures, the three the
// Services console shows.
bool OsChangeServiceFailureActions(OsHandle service, std::uint32_t restartDelayMs,
                                   std::uint32_t resetPeriodSeconds) {
    std::array<SC_ACTION, 3> actions{};
    actions.fill({SC_ACTION_RESTART, restartDelayMs});
    SERVICE_FAILURE_ACTIONSA info{resetPeriodSeconds, nullptr, nullptr, actions.size(),
                                  actions.data()};
    return ChangeSetting(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info);
}

OsHandle OsOpenService(OsHandle manager, const char* serviceName, std::uint32_t desiredAccess) {
    return FromNative(OpenServiceA(ToNative<SC_HANDLE>(manager), serviceName, desiredAccess));
}

bool OsControlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
    SERVICE_STATUS native{};
    if (ControlService(ToNative<SC_HANDLE>(service), control, &native) == FALSE) {
        return false;
    }
    FromNativeStatus(native, status);
    return true;
}

bool OsQueryServiceStatus(OsHandle service, ServiceStatus* status) {
    SERVICE_STATUS native{};
    if (QueryServiceStatus(ToNative<SC_HANDLE>(service), &native) == FALSE) {
        return false;
    }
    FromNativeStatus(native, status);
    return true;
}

bool OsDeleteService(OsHandle service) {
    return DeleteService(ToNative<SC_HANDLE>(service)) != FALSE;
}

void OsCloseServiceHandle(OsHandle handle) {
    (void)CloseServiceHandle(ToNative<SC_HANDLE>(handle));
}

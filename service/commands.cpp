#include "service/commands.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

#include "names.h"
#include "platform/constants.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "service/console.h"
#include "service/status.h"

std::array<char, 256> ErrorTextBuffer{};

namespace {

constexpr std::size_t MODULE_PATH_SIZE = 512;
// A refusal names at most the executable's path and a short cause.
constexpr std::size_t REASON_SIZE = MODULE_PATH_SIZE + 128;
constexpr std::uint32_t STOP_POLL_MS = 1000;
constexpr std::uint32_t TYPES_SUPPORTED = 7;  // error, warning and information

// Room for " (0x", eight hex digits, ")" and the terminating zero.
constexpr int ERROR_TEXT_OVERHEAD = 14;

// A datagram from any host reaches the service's code: it owns no more of the machine
// than binding a port and writing events take, which this account has.
constexpr char SERVICE_ACCOUNT[] = R"(NT AUTHORITY\LocalService)";
// Its one privilege, as the manager reads a list: each name ends in a zero, the list in
// one more.
constexpr char REQUIRED_PRIVILEGES[] = "SeChangeNotifyPrivilege\0";
static_assert(std::string_view(REQUIRED_PRIVILEGES) == SE_CHANGE_NOTIFY_NAME &&
              sizeof REQUIRED_PRIVILEGES == sizeof SE_CHANGE_NOTIFY_NAME + 1);
constexpr std::uint32_t RESTART_DELAY_MS = 60'000;
constexpr std::uint32_t RESET_PERIOD_SECONDS = 86'400;  // a day

// A setting of the service beyond its entry's.
struct Setting {
    const char* call;         // the failure line's name for it
    const char* unsupported;  // the line when the system has no such setting
    bool (*change)(OsHandle service);
};

constexpr std::array<Setting, 3> SETTINGS{{
    {"ChangeServiceConfig2 (required privileges)",
     "Required privileges not supported by this system: the service keeps every privilege of "
     "its account",
     [](OsHandle service) {
         return OsChangeServiceRequiredPrivileges(service, REQUIRED_PRIVILEGES);
     }},
    {"ChangeServiceConfig2 (service SID)",
     "Service SID not supported by this system: no firewall rule can name the service",
     [](OsHandle service) {
         return OsChangeServiceSidType(service, SERVICE_SID_TYPE_UNRESTRICTED);
     }},
    {"ChangeServiceConfig2 (failure actions)",
     "Failure actions not supported by this system: the service is not restarted after a crash",
     [](OsHandle service) {
         return OsChangeServiceFailureActions(service, RESTART_DELAY_MS, RESET_PERIOD_SECONDS);
     }},
}};

const char* LastErrorText() {
    return FormatLastError(ErrorTextBuffer.data(), static_cast<int>(ErrorTextBuffer.size()));
}

// Registers the executable as the event source's message file. False, with the line
// printed, when the key or a value could not be written.
bool RegisterEventSourceKey(const char* messageFile, std::size_t pathLength) {
    OsHandle key = 0;
    if (OsRegCreateKey(EVENT_SOURCE_KEY, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        Print("Cannot create registry entries!\n");
        return false;
    }
    const auto* path = reinterpret_cast<const unsigned char*>(messageFile);
    const std::array<unsigned char, 4> types{TYPES_SUPPORTED, 0, 0, 0};  // little-endian DWORD
    long result =
        OsRegSetValue(key, "EventMessageFile", REG_EXPAND_SZ, std::span(path, pathLength + 1));
    if (result == ERROR_SUCCESS) {
        result = OsRegSetValue(key, "TypesSupported", REG_DWORD, types);
    }
    OsRegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        OsSetLastError(static_cast<std::uint32_t>(result));
        Print("RegSetValueEx failed - %s\n", LastErrorText());
        return false;
    }
    return true;
}

// Whether a refused setting is one the manager does not have, rather than one it failed
// to set. The settings are constants, their values proven against the system's headers,
// so what would elsewhere mean bad arguments can only mean a manager that does not know
// them: 124, an information level it lacks (Wine's answer when asked back for failure
// actions it took but did not keep); 87, Wine's answer for required privileges and the
// service SID; 50 and 120, a manager without the setting or without the call. Anything else (access
// denied, a service marked for deletion, a handle gone, memory, a manager that stopped answering)
// is a failure, and undoes the installation: the account is never optional, and neither is a
// setting a manager has and refused.
bool NoSuchSetting(std::uint32_t error) {
    return error == ERROR_INVALID_LEVEL || error == ERROR_INVALID_PARAMETER ||
           error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Gives the new service what its entry cannot say. False, with the line printed, when the
// manager refused one; a setting the system does not have is one line, and goes by.
bool ConfigureService(OsHandle service) {
    for (const Setting& setting : SETTINGS) {
        if (setting.change(service)) {
            continue;
        }
        if (!NoSuchSetting(OsGetLastError())) {
            Print("%s failed - %s\n", setting.call, LastErrorText());
            return false;
        }
        Print("%s - %s\n", setting.unsupported, LastErrorText());
    }
    return true;
}

// How the stop control ended: the service took it, it was not running, or a failure
// line was printed.
enum class StopControl { Accepted, NotRunning, Failed };

StopControl StopFailed(const char* call, std::uint32_t error) {
    OsSetLastError(error);
    Print("%s failed - %s\n", call, LastErrorText());
    return StopControl::Failed;
}

// Sends the stop control. What a refusal means is read from the state the manager
// reports after it, not from its code, which differs between managers. A service still
// starting, or running by the time its state is read (it refused while starting), is sent
// the control again each second for as long as its check point moves within its wait hint.
StopControl SendStopControl(OsHandle service) {
    std::uint32_t checkPoint = ~std::uint32_t{0};
    std::uint32_t stalledMs = 0;
    for (;;) {
        if (OsControlService(service, SERVICE_CONTROL_STOP, &ServiceStatusRecord)) {
            return StopControl::Accepted;
        }
        const std::uint32_t refusal = OsGetLastError();
        if (refusal == ERROR_SERVICE_NOT_ACTIVE) {
            return StopControl::NotRunning;
        }
        // The state only explains the refusal: without it the refusal is what to report.
        if (!OsQueryServiceStatus(service, &ServiceStatusRecord)) {
            return StopFailed("ControlService", refusal);
        }
        const ServiceStatus& now = ServiceStatusRecord;
        if (now.currentState == SERVICE_STOPPED) {
            // The manager found a process where the service should be, and not the service.
            if (refusal == ERROR_SERVICE_NOT_IN_EXE) {
                Print("%s is not running: the process its status names is not the service.\n",
                      SERVICE_NAME);
            }
            return StopControl::NotRunning;
        }
        if (now.currentState == SERVICE_STOP_PENDING) {
            return StopControl::Accepted;  // stopping already: wait for it
        }
        if (now.currentState != SERVICE_START_PENDING && now.currentState != SERVICE_RUNNING) {
            return StopFailed("ControlService", refusal);
        }
        stalledMs = now.checkPoint != checkPoint ? 0 : stalledMs + STOP_POLL_MS;
        checkPoint = now.checkPoint;
        if (stalledMs > now.waitHint + STOP_POLL_MS) {
            return StopFailed("ControlService", refusal);
        }
        OsSleep(STOP_POLL_MS);
    }
}

// Waits, a dot a second, while the service stops. False when it did not.
bool WaitForStop(OsHandle service) {
    Print("Stopping %s.", SERVICE_NAME);
    OsSleep(STOP_POLL_MS);
    while (OsQueryServiceStatus(service, &ServiceStatusRecord) &&
           ServiceStatusRecord.currentState == SERVICE_STOP_PENDING) {
        Print(".");
        OsSleep(STOP_POLL_MS);
    }
    if (ServiceStatusRecord.currentState == SERVICE_STOPPED) {
        Print("\n%s stopped.\n", SERVICE_NAME);
        return true;
    }
    Print("\n%s failed to stop.\n", SERVICE_NAME);
    return false;
}

}  // namespace

char* FormatLastError(char* outText, int outSize) {
    // Read once: looking the text up may change the thread's last error.
    const std::uint32_t code = OsGetLastError();
    std::array<char, 512> systemText{};
    const std::size_t length = OsFormatSystemMessage(code, systemText);
    outText[0] = '\0';
    // A text longer than the look-up buffer arrived cut: give none rather than a part.
    if (length < 2 || length >= systemText.size() || outSize < 0 ||
        static_cast<std::size_t>(outSize) < length + ERROR_TEXT_OVERHEAD) {
        return outText;
    }
    systemText[length - 2] = '\0';  // the system's closing CR LF
    // The room was checked above; a formatting failure still leaves no half text.
    if (std::snprintf(outText, static_cast<std::size_t>(outSize), "%s (0x%x)", systemText.data(),
                      static_cast<unsigned>(code)) < 0) {
        outText[0] = '\0';
    }
    return outText;
}

bool InstallCommand() {
    std::array<char, MODULE_PATH_SIZE> path{};
    const std::uint32_t pathLength = OsGetModuleFileName(path);
    if (pathLength == 0) {
        Print("Unable to install %s - %s\n", SERVICE_NAME, LastErrorText());
        return false;
    }
    std::array<char, REASON_SIZE> reason{};
    if (!OsCheckServiceBinary(path.data(), reason)) {
        Print("Unable to install %s - %s\n", SERVICE_NAME, reason.data());
        return false;
    }
    const OsHandle manager = OsOpenSCManager(SC_MANAGER_ALL_ACCESS);
    if (manager == 0) {
        Print("OpenSCManager failed - %s\n", LastErrorText());
        return false;
    }
    const OsHandle service = OsCreateService(
        manager, SERVICE_NAME, SERVICE_NAME, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.data(), SERVICE_ACCOUNT);
    bool installed = false;
    if (service == 0) {
        Print("CreateService failed - %s\n", LastErrorText());
    } else {
        // The executable itself holds the catalogue, wherever it was installed from.
        installed = ConfigureService(service) && RegisterEventSourceKey(path.data(), pathLength);
        if (installed) {
            Print("%s installed.\n", SERVICE_NAME);
        } else if (!OsDeleteService(service)) {  // all or nothing
            Print("DeleteService failed - %s\n", LastErrorText());
        }
        OsCloseServiceHandle(service);
    }
    OsCloseServiceHandle(manager);
    return installed;
}

// A service that could not be stopped, or whose state could not be learnt, stays
// installed: deleting it would orphan a running process.
bool RemoveCommand() {
    const OsHandle manager = OsOpenSCManager(SC_MANAGER_ALL_ACCESS);
    if (manager == 0) {
        Print("OpenSCManager failed - %s\n", LastErrorText());
        return false;
    }
    const OsHandle service = OsOpenService(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == 0) {
        Print("OpenService failed - %s\n", LastErrorText());
        OsCloseServiceHandle(manager);
        return false;
    }
    const StopControl control = SendStopControl(service);
    const bool stopped = control == StopControl::NotRunning ||
                         (control == StopControl::Accepted && WaitForStop(service));
    bool deleted = false;
    if (stopped) {
        deleted = OsDeleteService(service);
        if (deleted) {
            Print("%s removed.\n", SERVICE_NAME);
            (void)OsRegDeleteKey(EVENT_SOURCE_KEY);
        } else {
            Print("DeleteService failed - %s\n", LastErrorText());
        }
    }
    OsCloseServiceHandle(service);
    OsCloseServiceHandle(manager);
    return deleted;
}

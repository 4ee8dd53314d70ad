#include "platform/scm.h"

#include <windows.h>

#include <array>
#include <atomic>

#include "platform/win32/handles.h"

namespace {

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

// The manager keeps no line of text beside a service's state: the counts show in the
// event log's loss reports only.
void OsShowServiceText(std::string_view /*text*/) {}

OsHandle OsOpenSCManager(std::uint32_t desiredAccess) {
    return FromNative(OpenSCManagerA(nullptr, nullptr, desiredAccess));
}

OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* displayName,
                         std::uint32_t desiredAccess, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t errorControl,
                         const char* binaryPath) {
    return FromNative(CreateServiceA(ToNative<SC_HANDLE>(manager), serviceName, displayName,
                                     desiredAccess, serviceType, startType, errorControl,
                                     binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr));
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

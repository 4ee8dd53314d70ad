// The package's own custom actions (corvane_setup.dll, carried in its Binary table), for
// what neither its tables nor the system's sc.exe can do everywhere: learn whether the
// service runs before an upgrade or repair stops it, and make it start with Windows.
#include <windows.h>
// windows.h first: the installer's headers use its types.
#include <msi.h>
#include <msiquery.h>

#include <cstdio>

namespace {

constexpr char SERVICE_NAME[] = "Corvane";

// One line in the installer's log, with the system's error code.
void LogFailure(MSIHANDLE install, const char* call, DWORD error) {
    char text[128];
    (void)std::snprintf(text, sizeof text, "Corvane setup: %s failed, error %lu", call, error);
    const MSIHANDLE record = MsiCreateRecord(1);
    if (record != 0) {
        (void)MsiRecordSetStringA(record, 0, text);
        (void)MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
        (void)MsiCloseHandle(record);
    }
}

// The service opened for `access`, or null with nothing to close.
SC_HANDLE OpenCorvane(DWORD access, SC_HANDLE* manager) {
    *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (*manager == nullptr) {
        return nullptr;
    }
    SC_HANDLE service = OpenServiceA(*manager, SERVICE_NAME, access);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        (void)CloseServiceHandle(*manager);
        SetLastError(error);
    }
    return service;
}

}  // namespace

// Immediate, before an older release is taken away or anything is stopped: CORVANE_RUNNING
// is 1 when the service runs or is starting, so that the install starts it again at its
// end. No service is no answer.
extern "C" __declspec(dllexport) UINT __stdcall RememberRunning(MSIHANDLE install) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenCorvane(SERVICE_QUERY_STATUS, &manager);
    if (service == nullptr) {
        return ERROR_SUCCESS;
    }
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) == FALSE) {
        LogFailure(install, "QueryServiceStatus", GetLastError());
    } else if (status.dwCurrentState == SERVICE_RUNNING ||
               status.dwCurrentState == SERVICE_START_PENDING) {
        (void)MsiSetPropertyA(install, "CORVANE_RUNNING", "1");
    }
    (void)CloseServiceHandle(service);
    (void)CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Deferred, in the system's context, after the service is created: start with Windows.
// A failure fails the install, which then takes the service away again.
extern "C" __declspec(dllexport) UINT __stdcall StartWithWindows(MSIHANDLE install) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenCorvane(SERVICE_CHANGE_CONFIG, &manager);
    if (service == nullptr) {
        LogFailure(install, "OpenService", GetLastError());
        return ERROR_INSTALL_FAILURE;
    }
    UINT result = ERROR_SUCCESS;
    if (ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr) == FALSE) {
        LogFailure(install, "ChangeServiceConfig", GetLastError());
        result = ERROR_INSTALL_FAILURE;
    }
    (void)CloseServiceHandle(service);
    (void)CloseServiceHandle(manager);
    return result;
}

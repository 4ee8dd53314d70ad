// usage: service_control <service> <action>...
//
// Drives a service through the manager the way an administrator's tools do, with no
// pause between actions, so that a control can meet a service that is still starting.
// An action is "start" or a control code in decimal; each prints one line: the action,
// then "ok" (for a control with the state and check point the manager answered), or
// "failed" and the error code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argCount, char** argVector) {
    if (argCount < 3) {
        return 2;
    }
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceA(manager, argVector[1], SERVICE_ALL_ACCESS) : nullptr;
    if (service == nullptr) {
        (void)std::printf("open failed %lu\n", GetLastError());
        return 1;
    }
    for (int i = 2; i < argCount; ++i) {
        // A start is not followed by a query, so that the next control comes at once.
        if (std::strcmp(argVector[i], "start") == 0) {
            const bool started = StartServiceA(service, 0, nullptr) != FALSE;
            (void)std::printf(started ? "start ok\n" : "start failed %lu\n", GetLastError());
            continue;
        }
        SERVICE_STATUS status{};
        if (ControlService(service, std::strtoul(argVector[i], nullptr, 10), &status) != FALSE) {
            (void)std::printf("%s ok %lu %lu\n", argVector[i], status.dwCurrentState,
                              status.dwCheckPoint);
        } else {
            (void)std::printf("%s failed %lu\n", argVector[i], GetLastError());
        }
    }
    (void)CloseServiceHandle(service);
    (void)CloseServiceHandle(manager);
    return 0;
}

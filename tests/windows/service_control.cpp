// usage: service_control <service> <action>...
//
// Drives a service through the manager the way an administrator's tools do, with no
// pause between actions, so that a control can meet a service that is still starting.
// An action is "start" or a control code in decimal; each prints one line: the action,
// then "ok" with the state and check point the manager answered, or "failed" and the
// error code.
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
        SERVICE_STATUS status{};
        const bool done = std::strcmp(argVector[i], "start") == 0
                              ? StartServiceA(service, 0, nullptr) != FALSE &&
                                    QueryServiceStatus(service, &status) != FALSE
                              : ControlService(service, std::strtoul(argVector[i], nullptr, 10),
                                               &status) != FALSE;
        if (done) {
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

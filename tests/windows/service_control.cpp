// usage: service_control <service> ("start" | <control code>)...
//        service_control serve <milliseconds start pending> <1: accepts stop, 0: does not>
// Controls with no pause, to meet a service still starting; and a service that stays so.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static SERVICE_STATUS_HANDLE StatusHandle = nullptr;
static SERVICE_STATUS Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 1000};
static HANDLE Stopped = nullptr;
static char** Arguments = nullptr;

static VOID WINAPI HandleControl(DWORD control) {  // 128 ends one that refuses the stop
    const bool stop = control == SERVICE_CONTROL_STOP && Status.dwCurrentState == SERVICE_RUNNING;
    (void)(stop || control == 128 ? SetEvent(Stopped) : SetServiceStatus(StatusHandle, &Status));
}

static VOID WINAPI RunService(DWORD /*argCount*/, LPSTR* /*argVector*/) {
    Stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StatusHandle = RegisterServiceCtrlHandlerA("", HandleControl);
    for (DWORD waited = 0; waited < std::strtoul(Arguments[2], nullptr, 10); waited += 100) {
        ++Status.dwCheckPoint;
        (void)SetServiceStatus(StatusHandle, &Status);
        Sleep(100);
    }
    const DWORD accepted = std::strtoul(Arguments[3], nullptr, 10) != 0 ? SERVICE_ACCEPT_STOP : 0;
    Status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, accepted, NO_ERROR, 0, 0, 0};
    (void)SetServiceStatus(StatusHandle, &Status);
    (void)WaitForSingleObject(Stopped, INFINITE);
    Status.dwCurrentState = SERVICE_STOPPED;
    (void)SetServiceStatus(StatusHandle, &Status);
}

int main(int argCount, char** argVector) {
    Arguments = argVector;
    if (argCount == 4 && std::strcmp(argVector[1], "serve") == 0) {
        char name[] = "";
        const SERVICE_TABLE_ENTRYA table[] = {{name, RunService}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) != FALSE ? 0 : 1;
    }
    SC_HANDLE service = OpenServiceA(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS),
                                     argCount > 1 ? argVector[1] : "", SERVICE_ALL_ACCESS);
    for (int i = 2; i < argCount; ++i) {  // a start without a query: the next comes at once
        SERVICE_STATUS status{};
        const BOOL done =
            std::strcmp(argVector[i], "start") == 0
                ? StartServiceA(service, 0, nullptr)
                : ControlService(service, std::strtoul(argVector[i], nullptr, 10), &status);
        if (done != FALSE) {
            (void)std::printf("%s ok %lu %lu\n", argVector[i], status.dwCurrentState,
                              status.dwCheckPoint);
        } else {
            (void)std::printf("%s failed %lu\n", argVector[i], GetLastError());
        }
    }
    return 0;
}

// usage: slow_service <milliseconds start pending> <1: accepts stop, 0: does not>
//
// A service that stays start pending for the given time, a check point every 100 ms,
// then runs until it is told to stop: something for the remove command to meet that the
// real service never holds still long enough to show. Control 128 ends it whatever it
// accepts, so that a test can clear away one that refuses the stop.
#include <windows.h>

#include <cstdlib>

namespace {

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 1000};
HANDLE Stopped = nullptr;
DWORD StartMilliseconds = 0;
DWORD AcceptedControls = 0;
constexpr DWORD END_CONTROL = 128;

VOID WINAPI HandleControl(DWORD control) {
    if ((control == SERVICE_CONTROL_STOP && Status.dwCurrentState == SERVICE_RUNNING) ||
        control == END_CONTROL) {
        (void)SetEvent(Stopped);
        return;
    }
    (void)SetServiceStatus(StatusHandle, &Status);
}

VOID WINAPI RunService(DWORD /*argCount*/, LPSTR* /*argVector*/) {
    StatusHandle = RegisterServiceCtrlHandlerA("", HandleControl);
    for (DWORD waited = 0; waited < StartMilliseconds; waited += 100) {
        ++Status.dwCheckPoint;
        (void)SetServiceStatus(StatusHandle, &Status);
        Sleep(100);
    }
    Status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, AcceptedControls, NO_ERROR, 0, 0, 0};
    (void)SetServiceStatus(StatusHandle, &Status);
    (void)WaitForSingleObject(Stopped, INFINITE);
    Status.dwCurrentState = SERVICE_STOPPED;
    (void)SetServiceStatus(StatusHandle, &Status);
}

}  // namespace

int main(int argCount, char** argVector) {
    if (argCount < 3) {
        return 2;
    }
    StartMilliseconds = std::strtoul(argVector[1], nullptr, 10);
    AcceptedControls = std::strtoul(argVector[2], nullptr, 10) != 0 ? SERVICE_ACCEPT_STOP : 0;
    Stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char name[] = "";
    const SERVICE_TABLE_ENTRYA table[] = {{name, RunService}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE ? 0 : 1;
}

#include "service/status.h"

#include "eventlog/eventlog.h"
#include "platform/constants.h"
#include "platform/scm.h"

ServiceStatus ServiceStatusRecord{};
OsHandle StatusHandle = 0;
std::uint32_t CheckPointCounter = 1;
std::mutex StatusLock;

bool ReportServiceStatus(std::uint32_t newState, std::uint32_t exitCode, std::uint32_t waitHintMs) {
    const std::lock_guard<std::mutex> guard(StatusLock);
    return ReportServiceStatusLocked(newState, exitCode, waitHintMs);
}

bool ReportServiceStatusLocked(std::uint32_t newState, std::uint32_t exitCode,
                               std::uint32_t waitHintMs) {
    // A service still starting cannot be stopped half-way; from running on it can.
    ServiceStatusRecord.controlsAccepted =
        newState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    ServiceStatusRecord.currentState = newState;
    ServiceStatusRecord.win32ExitCode = exitCode;
    ServiceStatusRecord.waitHint = waitHintMs;
    const bool settled = newState == SERVICE_RUNNING || newState == SERVICE_STOPPED;
    ServiceStatusRecord.checkPoint = settled ? 0 : CheckPointCounter++;

    const bool taken = OsSetServiceStatus(StatusHandle, ServiceStatusRecord);
    if (!taken) {
        LogFailure("SetServiceStatus");
    }
    return taken;
}

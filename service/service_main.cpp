#include "service/service_main.h"

#include "eventlog/eventlog.h"
#include "names.h"
#include "platform/constants.h"
#include "platform/scm.h"
#include "receiver/receiver.h"
#include "service/status.h"

void ServiceEntry(std::uint32_t argCount, char** argVector) {
    StatusHandle = OsRegisterServiceCtrlHandler(SERVICE_NAME, HandleControl);
    if (StatusHandle == 0) {
        return;
    }
    ServiceStatusRecord.serviceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatusRecord.serviceSpecificExitCode = 0;

    std::uint32_t runFailure = NO_ERROR;
    if (ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS)) {
        runFailure = RunReceiver(argCount, argVector);
    }
    // A failed status report names the cause best; else whatever ended the run. Read
    // under the lock: a stop-pending report that the handler is still making may fail.
    const std::lock_guard<std::mutex> guard(StatusLock);
    const std::uint32_t reported = LastFailureCode.load();
    (void)ReportServiceStatusLocked(SERVICE_STOPPED, reported != 0 ? reported : runFailure, 0);
}

void HandleControl(std::uint32_t controlCode) {
    const std::lock_guard<std::mutex> guard(StatusLock);
    if (ServiceStatusRecord.currentState == SERVICE_STOPPED) {
        return;
    }
    if (controlCode == SERVICE_CONTROL_STOP) {
        ServiceStatusRecord.currentState = SERVICE_STOP_PENDING;
        RequestStop();
    }
    (void)ReportServiceStatusLocked(ServiceStatusRecord.currentState, NO_ERROR, 0);
}

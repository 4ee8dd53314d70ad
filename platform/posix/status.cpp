#include "platform/kernel.h"
#include "platform/posix/dispatcher.h"
#include "platform/posix/errors.h"
#include "platform/posix/notify.h"
#include "platform/posix/status_file.h"
#include "platform/posix/win32_codes.h"
#include "platform/scm.h"

// The file first: once the manager hears "ready" or "stopped", a query must already
// read the same.
bool OsSetServiceStatus(OsHandle statusHandle, const ServiceStatus& status) {
    if (!IsStatusHandle(statusHandle)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!WriteStatusFile(status) || !NotifyManager(status)) {
        return false;
    }
    NoteControlsAccepted(status.controlsAccepted);
    return true;
}

// A line the manager shows and nobody acts on: a failed send changes nothing.
void OsShowServiceText(std::string_view text) {
    const std::uint32_t error = OsGetLastError();
    (void)NotifyStatusText(text);
    OsSetLastError(error);
}

std::uint32_t OsKeepAliveIntervalMs() {
    return KeepAliveIntervalMs();
}

// A lost sign is the manager's to judge: the send's failure changes nothing here.
void OsServiceKeepAlive() {
    const std::uint32_t error = OsGetLastError();
    (void)NotifyKeepAlive();
    OsSetLastError(error);
}

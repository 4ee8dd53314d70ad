#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/kernel.h"
#include "platform/posix/errors.h"
#include "platform/posix/files.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/process.h"
#include "platform/posix/status_file.h"
#include "platform/posix/unit_file.h"
#include "platform/posix/win32_codes.h"
#include "platform/scm.h"

namespace {

// An open manager or service.
struct ServiceSlot {
    bool isService;
    std::array<char, PATH_MAX> unitPath;  // services only
};

// A console command opens one manager and one service; a few more cost nothing.
HandleTable<ServiceSlot, 8> Slots{};

OsHandle TakeSlot(bool isService, const char* unitPath) {
    ServiceSlot slot{isService, {}};
    (void)JoinPath(slot.unitPath, unitPath, "");
    const OsHandle handle = OpenSlot(Slots, slot);
    if (handle == 0) {
        (void)FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

// Whether the handle is open and of the wanted kind; a service's unit path goes into
// `unitPath`. False with ERROR_INVALID_HANDLE.
bool LookUpHandle(OsHandle handle, bool isService, std::span<char> unitPath) {
    ServiceSlot slot{};
    if (!ReadSlot(Slots, handle, &slot) || slot.isService != isService) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    return JoinPath(unitPath, slot.unitPath.data(), "");
}

// Where systemd is the init system it only sees unit files after a reload; elsewhere
// the file itself is the whole database. The file is in place either way, so a failed
// reload leaves nothing to undo: systemd reads it at its next reload.
void ReloadManager() {
    if (access("/run/systemd/system", F_OK) != 0) {
        return;
    }
    std::array<char, 16> program{"systemctl"};
    std::array<char, 16> verb{"daemon-reload"};
    std::array<char*, 3> arguments{program.data(), verb.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program.data(), nullptr, nullptr, arguments.data(), environ) != 0) {
        return;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// The service's status as the status file and the process table tell it; in *process
// a pidfd of the service's process, or none when none is proven to run. *impostor tells
// whether the file said the service runs in a process that lives but is not it.
bool CurrentStatus(StatusFileRecord* record, OwnedFd* process, bool* impostor) {
    *impostor = false;
    if (!ReadStatusFile(record)) {
        return false;
    }
    process->fd = OpenProvenProcess(record->pid, record->startTime, record->owner);
    if (process->fd < 0) {
        *impostor = record->status.currentState != SERVICE_STOPPED && ProcessExists(record->pid);
        // It ended without a last word (killed, crashed), or the file names a process
        // that is not it: either way no service runs.
        record->status.currentState = SERVICE_STOPPED;
        record->status.controlsAccepted = 0;
        record->status.checkPoint = 0;
        record->status.waitHint = 0;
    }
    return true;
}

// Whether a unit file stands at `unitPath`: true for a regular file, false with 1060
// when nothing does. Anything else there (a link, even a dangling one, a directory) is
// not a unit this program wrote: false with 1921, for creation and opening alike.
bool UnitFileExists(const char* unitPath) {
    struct stat info {};
    if (lstat(unitPath, &info) != 0) {
        return errno == ENOENT ? FailWith(ERROR_SERVICE_DOES_NOT_EXIST) : FailWithErrno();
    }
    return S_ISREG(info.st_mode) || FailWith(ERROR_CANT_RESOLVE_FILENAME);
}

// The unit file holds from the start what the settings beyond the entry's ask for:
// capabilities bounded and given up once the socket is bound, a user of its own, and
// Restart=on-abnormal. Only the handle is left to check.
bool HoldsSetting(OsHandle service) {
    std::array<char, PATH_MAX> unitPath{};
    return LookUpHandle(service, true, unitPath);
}

}  // namespace

OsHandle OsOpenSCManager(std::uint32_t /*desiredAccess*/) {
    // Every change the manager makes is a file in this directory.
    if (!MakeDirectories(UNIT_DIRECTORY) || access(UNIT_DIRECTORY, W_OK) != 0) {
        (void)FailWith(ERROR_ACCESS_DENIED);
        return 0;
    }
    return TakeSlot(false, "");
}

// Linux has no built-in service accounts: the unit runs as a user of its own for each
// run (DynamicUser=), whatever account is asked for.
OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* /*displayName*/,
                         std::uint32_t /*desiredAccess*/, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t /*errorControl*/,
                         const char* binaryPath, const char* /*account*/) {
    std::array<char, PATH_MAX> unitPath{};
    if (!LookUpHandle(manager, false, unitPath)) {
        return 0;
    }
    // Only what a unit without an [Install] section can be: its own process, started
    // on demand.
    if (serviceType != SERVICE_WIN32_OWN_PROCESS || startType != SERVICE_DEMAND_START ||
        serviceName == nullptr || binaryPath == nullptr) {
        (void)FailWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::array<char, std::size_t{2} * PATH_MAX> unitText{};
    const std::size_t length = ComposeUnitFile(binaryPath, unitText);
    if (!UnitFilePath(serviceName, unitPath)) {
        (void)FailWith(ERROR_INVALID_NAME);
        return 0;
    }
    if (length == 0) {
        (void)FailWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (UnitFileExists(unitPath.data())) {
        (void)FailWith(ERROR_SERVICE_EXISTS);
        return 0;
    }
    if (OsGetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        return 0;
    }
    if (!CreateNewFile(unitPath.data(), std::string_view(unitText.data(), length))) {
        (void)(errno == EEXIST ? FailWith(ERROR_SERVICE_EXISTS) : FailWithErrno());
        return 0;
    }
    ReloadManager();
    return TakeSlot(true, unitPath.data());
}

bool OsChangeServiceRequiredPrivileges(OsHandle service, const char* /*privilegeList*/) {
    return HoldsSetting(service);
}

bool OsChangeServiceSidType(OsHandle service, std::uint32_t /*sidType*/) {
    return HoldsSetting(service);
}

bool OsChangeServiceFailureActions(OsHandle service, std::uint32_t /*restartDelayMs*/,
                                   std::uint32_t /*resetPeriodSeconds*/) {
    return HoldsSetting(service);
}

OsHandle OsOpenService(OsHandle manager, const char* serviceName, std::uint32_t /*desiredAccess*/) {
    std::array<char, PATH_MAX> unitPath{};
    if (!LookUpHandle(manager, false, unitPath)) {
        return 0;
    }
    if (serviceName == nullptr || !UnitFilePath(serviceName, unitPath)) {
        (void)FailWith(ERROR_INVALID_NAME);
        return 0;
    }
    if (!UnitFileExists(unitPath.data())) {
        return 0;
    }
    return TakeSlot(true, unitPath.data());
}

// Stop is SIGTERM and interrogate SIGUSR1 to the process proven to have written the
// status file; the answer is the status it last reported. A file that names a live
// process not proven to be the service is refused with 1083, apart from a plain 1062.
bool OsControlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
    std::array<char, PATH_MAX> unitPath{};
    if (!LookUpHandle(service, true, unitPath)) {
        return false;
    }
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
        return FailWith(ERROR_INVALID_SERVICE_CONTROL);
    }
    StatusFileRecord record{};
    OwnedFd process;
    bool impostor = false;
    if (!CurrentStatus(&record, &process, &impostor)) {
        return false;
    }
    const bool stop = control == SERVICE_CONTROL_STOP;
    bool sent = false;
    if (impostor) {
        (void)FailWith(ERROR_SERVICE_NOT_IN_EXE);
    } else if (process.fd < 0 || record.status.currentState == SERVICE_STOPPED) {
        (void)FailWith(ERROR_SERVICE_NOT_ACTIVE);
    } else if (stop && (record.status.controlsAccepted & SERVICE_ACCEPT_STOP) == 0) {
        (void)FailWith(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    } else {
        // Through the pidfd: the signal reaches the proven process or none.
        sent =
            syscall(SYS_pidfd_send_signal, process.fd, stop ? SIGTERM : SIGUSR1, nullptr, 0) == 0 ||
            FailWithErrno();
    }
    if (sent) {
        *status = record.status;
    }
    return sent;
}

bool OsQueryServiceStatus(OsHandle service, ServiceStatus* status) {
    std::array<char, PATH_MAX> unitPath{};
    if (!LookUpHandle(service, true, unitPath)) {
        return false;
    }
    StatusFileRecord record{};
    OwnedFd process;
    bool impostor = false;
    if (!CurrentStatus(&record, &process, &impostor)) {
        return false;
    }
    *status = record.status;
    return true;
}

bool OsDeleteService(OsHandle service) {
    std::array<char, PATH_MAX> unitPath{};
    if (!LookUpHandle(service, true, unitPath)) {
        return false;
    }
    if (unlink(unitPath.data()) != 0) {
        return errno == ENOENT ? FailWith(ERROR_SERVICE_DOES_NOT_EXIST) : FailWithErrno();
    }
    ReloadManager();
    // The live half goes with the unit, unless a service still runs from it. What cannot
    // be proven the service's stays, and a later run by hand says where it is.
    StatusFileRecord record{};
    OwnedFd process;
    bool impostor = false;
    if (CurrentStatus(&record, &process, &impostor) && process.fd < 0) {
        (void)RemoveStatusDirectory();
    }
    return true;
}

void OsCloseServiceHandle(OsHandle handle) {
    CloseSlot(Slots, handle);
}

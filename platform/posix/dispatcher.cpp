#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <string_view>

#include "platform/posix/dispatcher.h"
#include "platform/posix/errors.h"
#include "platform/posix/privileges.h"
#include "platform/posix/win32_codes.h"
#include "platform/scm.h"

namespace {

// The status handle: there is one service in the process, so one constant will do.
constexpr OsHandle STATUS_HANDLE = 1;

// The service's name, also its one start argument; set while the dispatcher runs.
std::array<char, 257> ServiceName{};
ServiceMainFunction ServiceProc = nullptr;
std::atomic<bool> DispatcherRunning{false};

// Set by the service thread's registration, called on the dispatcher's thread.
std::atomic<ControlHandlerFunction> ControlHandler{nullptr};

// Whether the latest report declared SERVICE_ACCEPT_STOP.
std::atomic<bool> StopAccepted{false};
std::atomic<bool> ServiceReturned{false};

// eventfd through which the service thread wakes the dispatcher's thread: a stop became
// acceptable, or the service returned.
std::atomic<int> WakeFd{-1};

void Wake() {
    const int fd = WakeFd.load();
    const std::uint64_t one = 1;
    if (fd >= 0) {
        (void)write(fd, &one, sizeof one);
    }
}

void* ServiceThread(void* /*unused*/) {
    std::array<char*, 2> arguments{ServiceName.data(), nullptr};
    ServiceProc(1, arguments.data());
    ServiceReturned = true;
    Wake();
    return nullptr;
}

void DeliverControl(std::uint32_t control) {
    const ControlHandlerFunction handler = ControlHandler.load();
    if (handler != nullptr) {
        handler(control);
    }
}

// Turns one signal into a control. A stop that comes before the service accepts it is
// held in *stopHeld, as a service manager would hold it.
void HandleSignal(int signal, bool* stopHeld) {
    if (signal == SIGTERM || signal == SIGINT) {
        if (StopAccepted.load()) {
            DeliverControl(SERVICE_CONTROL_STOP);
        } else {
            *stopHeld = true;
        }
    } else if (signal == SIGUSR1) {
        DeliverControl(SERVICE_CONTROL_INTERROGATE);
    }
    // SIGHUP: no configuration to reload; taken only so it does not end the process.
}

// Serves signals on the calling thread until the service thread has returned.
void ServeControls(int signals, int wake) {
    bool stopHeld = false;
    while (!ServiceReturned.load()) {
        std::array<pollfd, 2> waits{{{signals, POLLIN, 0}, {wake, POLLIN, 0}}};
        if (poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // nothing left to serve controls with; the caller still joins
        }
        if ((waits[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)read(wake, &count, sizeof count);
        }
        if ((waits[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                HandleSignal(static_cast<int>(info.ssi_signo), &stopHeld);
            }
        }
        if (stopHeld && StopAccepted.load() && !ServiceReturned.load()) {
            stopHeld = false;
            DeliverControl(SERVICE_CONTROL_STOP);
        }
    }
}

// Blocks the control signals in this thread and every thread it starts later, and
// opens a descriptor that reads them. -1 with errno on failure.
int OpenControlSignals() {
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        (void)sigaddset(&set, signal);
    }
    const int blocked = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (blocked != 0) {
        errno = blocked;
        return -1;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    // A vanished reader must fail a write, not end the collector.
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &set, SFD_CLOEXEC);
}

// Runs the service thread and serves controls until it returns. False with errno when
// the thread cannot start.
bool RunService(int signals, int wake) {
    pthread_t thread{};
    ExpectControlThreadDrop();
    const int started = pthread_create(&thread, nullptr, ServiceThread, nullptr);
    if (started != 0) {
        errno = started;
        return false;
    }
    // Serving controls needs no privilege; the service thread has its own copy.
    DropControlThreadCapabilities();
    ServeControls(signals, wake);
    (void)pthread_join(thread, nullptr);
    return true;
}

}  // namespace

bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* table) {
    if (table == nullptr || table[0].serviceName == nullptr || table[0].serviceProc == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    const std::string_view name = table[0].serviceName;
    if (name.empty() || name.size() >= ServiceName.size()) {
        return FailWith(ERROR_INVALID_NAME);
    }
    if (DispatcherRunning.exchange(true)) {
        return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
    }
    ServiceName[name.copy(ServiceName.data(), name.size())] = '\0';
    ServiceProc = table[0].serviceProc;

    const int signals = OpenControlSignals();
    const int wake = signals < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    WakeFd = wake;
    const bool served = wake >= 0 && RunService(signals, wake);
    const bool result = served || FailWithErrno();
    WakeFd = -1;
    if (wake >= 0) {
        (void)close(wake);
    }
    if (signals >= 0) {
        (void)close(signals);
    }
    ControlHandler = nullptr;
    DispatcherRunning = false;
    return result;
}

OsHandle OsRegisterServiceCtrlHandler(const char* serviceName, ControlHandlerFunction handler) {
    if (!DispatcherRunning.load()) {
        (void)FailWith(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return 0;
    }
    if (serviceName == nullptr || handler == nullptr ||
        std::string_view(serviceName) != std::string_view(ServiceName.data())) {
        (void)FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
        return 0;
    }
    ControlHandler = handler;
    return STATUS_HANDLE;
}

bool IsStatusHandle(OsHandle statusHandle) {
    return statusHandle == STATUS_HANDLE && ControlHandler.load() != nullptr;
}

void NoteControlsAccepted(std::uint32_t controlsAccepted) {
    const bool accepts = (controlsAccepted & SERVICE_ACCEPT_STOP) != 0;
    if (StopAccepted.exchange(accepts) != accepts && accepts) {
        Wake();
    }
}

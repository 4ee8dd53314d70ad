#include "platform/kernel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/posix/errors.h"
#include "platform/posix/handles.h"
#include "platform/posix/win32_codes.h"

namespace {

// The thread's last-error code, as Win32 keeps one per thread.
thread_local std::uint32_t LastError = 0;

}  // namespace

// An eventfd whose counter nobody reads: once written it stays readable, which is
// exactly a manual-reset event that is never reset.
OsHandle OsCreateEvent() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        (void)FailWithErrno();
        return 0;
    }
    return HandleFromFd(fd);
}

bool OsSetEvent(OsHandle event) {
    if (event == 0) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    const std::uint64_t one = 1;
    const ssize_t written = write(FdFromHandle(event), &one, sizeof one);
    // EAGAIN: the counter is full, so the event is signalled already.
    if (written < 0 && errno != EAGAIN) {
        return FailWithErrno();
    }
    return true;
}

void OsCloseHandle(OsHandle handle) {
    if (handle != 0) {
        (void)close(FdFromHandle(handle));
    }
}

std::uint32_t OsGetLastError() {
    return LastError;
}

void OsSetLastError(std::uint32_t code) {
    LastError = code;
}

std::size_t OsFormatSystemMessage(std::uint32_t code, std::span<char> out) {
    const std::string_view text = SystemMessageText(code);
    if (text.empty() || out.empty()) {
        return text.size();
    }
    const std::size_t copied = text.copy(out.data(), out.size() - 1);
    out[copied] = '\0';
    return text.size();
}

std::uint32_t OsGetModuleFileName(std::span<char> out) {
    if (out.empty()) {
        (void)FailWith(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const ssize_t length = readlink("/proc/self/exe", out.data(), out.size());
    if (length < 0) {
        (void)FailWithErrno();
        return 0;
    }
    // readlink fills the buffer without a terminator: a full buffer may be a cut path.
    if (static_cast<std::size_t>(length) >= out.size()) {
        out[0] = '\0';
        (void)FailWith(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    out[static_cast<std::size_t>(length)] = '\0';
    return static_cast<std::uint32_t>(length);
}

void OsSleep(std::uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// The coarse clock is read without a system call and is exact to a few milliseconds,
// which is all the receive loop asks of it.
std::uint64_t OsTickCount() {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
}

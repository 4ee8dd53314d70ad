#include "platform/posix/notify.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/posix/win32_codes.h"

namespace {

// The longest message: every line present, every number at its widest.
constexpr std::size_t NOTIFY_TEXT_SIZE = 512;
static_assert(NOTIFY_TEXT_SIZE > sizeof("STATUS=Stop pending (check point 4294967295)\n"
                                        "EXTEND_TIMEOUT_USEC=4294967295000\nREADY=1\n"
                                        "STOPPING=1\nX_CORVANE_STATE=4294967295\n"
                                        "X_CORVANE_CONTROLS=4294967295\n"
                                        "X_CORVANE_EXIT_CODE=4294967295\n"
                                        "X_CORVANE_CHECKPOINT=4294967295\n"
                                        "X_CORVANE_WAIT_HINT=4294967295"));

// A manager that stops reading must not hold a status report for ever.
constexpr time_t SEND_TIMEOUT_SECONDS = 2;

using NotifyText = std::array<char, NOTIFY_TEXT_SIZE>;

// Appends formatted text; false once it no longer fits.
[[gnu::format(printf, 3, 4)]] bool Append(NotifyText& text, std::size_t* length, const char* format,
                                          ...) {
    va_list arguments;
    va_start(arguments, format);
    const int added =
        std::vsnprintf(text.data() + *length, text.size() - *length, format, arguments);
    va_end(arguments);
    if (added < 0 || static_cast<std::size_t>(added) >= text.size() - *length) {
        return false;
    }
    *length += static_cast<std::size_t>(added);
    return true;
}

// The human line and the protocol words for the state; the record itself follows.
bool AppendStateLines(NotifyText& text, std::size_t* length, const ServiceStatus& status) {
    switch (status.currentState) {
        case SERVICE_START_PENDING:
            return Append(text, length, "STATUS=Start pending (check point %u)\n",
                          status.checkPoint) &&
                   (status.waitHint == 0 ||
                    Append(text, length, "EXTEND_TIMEOUT_USEC=%llu\n",
                           static_cast<unsigned long long>(status.waitHint) * 1000ULL));
        case SERVICE_RUNNING:
            return Append(text, length, "STATUS=Running\nREADY=1\n");
        case SERVICE_STOP_PENDING:
            return Append(text, length, "STATUS=Stop pending (check point %u)\nSTOPPING=1\n",
                          status.checkPoint);
        case SERVICE_STOPPED:
            return Append(text, length, "STATUS=Stopped (exit code %u)\n", status.win32ExitCode);
        default:
            return Append(text, length, "STATUS=State %u\n", status.currentState);
    }
}

// The message's length, or 0 when it did not fit.
std::size_t FormatNotifyText(NotifyText& text, const ServiceStatus& status) {
    std::size_t length = 0;
    const bool whole = AppendStateLines(text, &length, status) &&
                       Append(text, &length,
                              "X_CORVANE_STATE=%u\nX_CORVANE_CONTROLS=%u\nX_CORVANE_EXIT_CODE=%u\n"
                              "X_CORVANE_CHECKPOINT=%u\nX_CORVANE_WAIT_HINT=%u",
                              status.currentState, status.controlsAccepted, status.win32ExitCode,
                              status.checkPoint, status.waitHint);
    return whole ? length : 0;
}

// The manager's address: a path, or "@name" for the abstract namespace. False when the
// name does not fit or is of a kind this layer does not speak.
bool NotifyAddress(std::string_view name, sockaddr_un* address, socklen_t* addressLength) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (name.size() < 2 || name.size() > sizeof address->sun_path ||
        (name[0] != '/' && name[0] != '@')) {
        return false;
    }
    name.copy(address->sun_path, name.size());
    if (name[0] == '@') {
        address->sun_path[0] = '\0';
    }
    *addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    return true;
}

bool SendDatagram(const sockaddr_un& address, socklen_t addressLength, std::string_view text) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailWithErrno();
    }
    const timeval timeout{SEND_TIMEOUT_SECONDS, 0};
    bool sent = setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
    if (sent) {
        sent = sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address),
                      addressLength) == static_cast<ssize_t>(text.size());
    }
    const int error = errno;
    (void)close(fd);
    if (!sent) {
        errno = error;
        return FailWithErrno();
    }
    return true;
}

}  // namespace

bool NotifyManager(const ServiceStatus& status) {
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr || socketName[0] == '\0') {
        return true;
    }
    sockaddr_un address{};
    socklen_t addressLength = 0;
    if (!NotifyAddress(socketName, &address, &addressLength)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    NotifyText text{};
    const std::size_t length = FormatNotifyText(text, status);
    if (length == 0) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    return SendDatagram(address, addressLength, std::string_view(text.data(), length));
}

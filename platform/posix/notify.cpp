// The notify protocol written here rather than taken from libsystemd: the library's send
// waits as long as the manager does not read, where a status report may cost
// SEND_TIMEOUT_SECONDS at most; each message is one short datagram, nothing more to it.
#include "platform/posix/notify.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/win32_codes.h"
#include "platform/text.h"

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

// Appends "\nNAME=<decimal>".
void AppendNumber(TextWriter& writer, std::string_view name, unsigned long long value) {
    std::array<char, 24> digits{};
    (void)std::snprintf(digits.data(), digits.size(), "%llu", value);
    Append(writer, "\n");
    Append(writer, name);
    Append(writer, "=");
    Append(writer, digits.data());
}

// The short human text of the state.
std::string_view StateText(const ServiceStatus& status, std::span<char> out) {
    int length = 0;
    switch (status.currentState) {
        case SERVICE_START_PENDING:
            length = std::snprintf(out.data(), out.size(), "Start pending (check point %u)",
                                   status.checkPoint);
            break;
        case SERVICE_RUNNING:
            length = std::snprintf(out.data(), out.size(), "Running");
            break;
        case SERVICE_STOP_PENDING:
            length = std::snprintf(out.data(), out.size(), "Stop pending (check point %u)",
                                   status.checkPoint);
            break;
        case SERVICE_STOPPED:
            length = std::snprintf(out.data(), out.size(), "Stopped (exit code %u)",
                                   status.win32ExitCode);
            break;
        default:
            length = std::snprintf(out.data(), out.size(), "State %u", status.currentState);
    }
    return length > 0 ? std::string_view(out.data(), static_cast<std::size_t>(length)) : "";
}

// The message's length, or 0 when it did not fit.
std::size_t FormatNotifyText(NotifyText& text, const ServiceStatus& status) {
    std::array<char, 64> stateText{};
    TextWriter writer = StartText(text);
    Append(writer, "STATUS=");
    Append(writer, StateText(status, stateText));
    if (status.currentState == SERVICE_START_PENDING && status.waitHint > 0) {
        AppendNumber(writer, "EXTEND_TIMEOUT_USEC", status.waitHint * 1000ULL);
    } else if (status.currentState == SERVICE_RUNNING) {
        Append(writer, "\nREADY=1");
    } else if (status.currentState == SERVICE_STOP_PENDING) {
        Append(writer, "\nSTOPPING=1");
    }
    AppendNumber(writer, "X_CORVANE_STATE", status.currentState);
    AppendNumber(writer, "X_CORVANE_CONTROLS", status.controlsAccepted);
    AppendNumber(writer, "X_CORVANE_EXIT_CODE", status.win32ExitCode);
    AppendNumber(writer, "X_CORVANE_CHECKPOINT", status.checkPoint);
    AppendNumber(writer, "X_CORVANE_WAIT_HINT", status.waitHint);
    return writer.cut ? 0 : writer.length;
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
    const OwnedFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const timeval timeout{SEND_TIMEOUT_SECONDS, 0};
    if (fd.fd < 0 || setsockopt(fd.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0 ||
        sendto(fd.fd, text.data(), text.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address),
               addressLength) != static_cast<ssize_t>(text.size())) {
        return FailWithErrno();
    }
    return true;
}

// Sends one message to the manager that NOTIFY_SOCKET names. True without one: there is
// no manager to tell.
bool SendToManager(std::string_view text) {
    // Nothing in this process changes its environment, so reading it from two threads
    // is safe.
    const char* socketName = std::getenv("NOTIFY_SOCKET");  // NOLINT(concurrency-mt-unsafe)
    if (socketName == nullptr || socketName[0] == '\0') {
        return true;
    }
    sockaddr_un address{};
    socklen_t addressLength = 0;
    if (!NotifyAddress(socketName, &address, &addressLength)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    return SendDatagram(address, addressLength, text);
}

}  // namespace

bool NotifyManager(const ServiceStatus& status) {
    NotifyText text{};
    const std::size_t length = FormatNotifyText(text, status);
    if (length == 0) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    return SendToManager(std::string_view(text.data(), length));
}

bool NotifyStatusText(std::string_view statusText) {
    NotifyText text{};
    TextWriter writer = StartText(text);
    Append(writer, "STATUS=");
    Append(writer, statusText);
    if (statusText.find('\n') != std::string_view::npos || writer.cut) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    return SendToManager(TextOf(writer));
}

std::uint32_t KeepAliveIntervalMs() {
    // Read once the service runs, by one thread: see SendToManager.
    const char* period = std::getenv("WATCHDOG_USEC");  // NOLINT(concurrency-mt-unsafe)
    const char* owner = std::getenv("WATCHDOG_PID");    // NOLINT(concurrency-mt-unsafe)
    if (period == nullptr || (owner != nullptr && std::strtoll(owner, nullptr, 10) != getpid())) {
        return 0;
    }
    char* end = nullptr;
    const unsigned long long periodUs = std::strtoull(period, &end, 10);
    if (end == period || *end != '\0' || period[0] == '-' || periodUs == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::clamp(periodUs / 3000, 1ULL, 0xFFFFFFFFULL));
}

bool NotifyKeepAlive() {
    return SendToManager("WATCHDOG=1");
}

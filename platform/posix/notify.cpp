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
#include "platform/posix/notify_text.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/win32_codes.h"
#include "platform/text.h"

namespace {

// A manager that stops reading must not hold a status report for ever.
constexpr time_t SEND_TIMEOUT_SECONDS = 2;

using NotifyText = std::array<char, NOTIFY_TEXT_SIZE>;

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
    const std::size_t length = FormatNotifyText(status, text);
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

#include "platform/socket.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/posix/errors.h"
#include "platform/posix/handles.h"
#include "platform/posix/privileges.h"
#include "platform/posix/win32_codes.h"

namespace {

// The thread's socket error, as Windows Sockets keeps one per thread.
thread_local int SocketError = 0;

// A receive buffer deep enough to ride out a burst while the journal is slow.
constexpr int WANTED_RECEIVE_BUFFER = 64 * 1024 * 1024;

constexpr OsSocket INVALID_SOCKET_VALUE = ~OsSocket{0};

int FailSocketCall() {
    SocketError = WinsockErrorFromErrno(errno);
    return -1;
}

int FdOf(OsSocket socket) {
    return static_cast<int>(socket);
}

// What ReceiveWaiting gives when no datagram is queued.
constexpr int NOTHING_QUEUED = -3;

// Reads a queued datagram without waiting, its source into *sender unless null. Its
// length, -1 with SocketError set, or NOTHING_QUEUED.
int ReceiveWaiting(int fd, std::span<char> buffer, Ipv4Endpoint* sender) {
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    sockaddr* const from = sender != nullptr ? reinterpret_cast<sockaddr*>(&source) : nullptr;
    for (;;) {
        // MSG_TRUNC: the datagram's own length, even where it was cut to fit the buffer.
        const ssize_t received =
            recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC, from,
                     sender != nullptr ? &sourceLength : nullptr);
        if (received >= 0) {
            if (sender != nullptr) {
                *sender = Ipv4Endpoint{ntohl(source.sin_addr.s_addr), ntohs(source.sin_port)};
            }
            if (static_cast<std::size_t>(received) > buffer.size()) {
                SocketError = WSAEMSGSIZE;
                return -1;
            }
            return static_cast<int>(received);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return NOTHING_QUEUED;
        }
        if (errno != EINTR) {
            return FailSocketCall();
        }
    }
}

// What is left of a wait of `waitMs` that began at `began`, for poll.
int RemainingWait(std::uint32_t waitMs, const timespec& began) {
    if (waitMs == WAIT_FOREVER) {
        return -1;
    }
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    const long long spent =
        (now.tv_sec - began.tv_sec) * 1000LL + (now.tv_nsec - began.tv_nsec) / 1000000LL;
    return spent >= static_cast<long long>(waitMs) ? 0 : static_cast<int>(waitMs - spent);
}

}  // namespace

// The socket layer of this platform needs no start-up.
int OsWSAStartup(std::uint16_t /*version*/) {
    return 0;
}

void OsWSACleanup() {}

int OsWSAGetLastError() {
    return SocketError;
}

OsSocket OsSocketCreate(int family, int type, int protocol) {
    if (family != WS_AF_INET) {
        SocketError = WSAEAFNOSUPPORT;
        return INVALID_SOCKET_VALUE;
    }
    if (type != WS_SOCK_DGRAM) {
        SocketError = WSAESOCKTNOSUPPORT;
        return INVALID_SOCKET_VALUE;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        (void)FailSocketCall();
        return INVALID_SOCKET_VALUE;
    }
    return static_cast<OsSocket>(fd);
}

int OsBind(OsSocket socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (bind(FdOf(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return FailSocketCall();
    }
    return 0;
}

// The capabilities granted for the start; the service's standard error says in words why
// they could not be given up.
int OsDropSocketPrivileges() {
    if (!DropCapabilities()) {
        SocketError = WinsockErrorFromErrno(errno);
        (void)std::fprintf(stderr, "Unable to give up capabilities after bind - %s\n",
                           strerrordesc_np(errno));
        return -1;
    }
    return 0;
}

// Forcing the size needs CAP_NET_ADMIN; without it the kernel caps the request at
// net.core.rmem_max.
int OsEnlargeReceiveBuffer(OsSocket socket) {
    const int fd = FdOf(socket);
    const int wanted = WANTED_RECEIVE_BUFFER;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) != 0) {
        return FailSocketCall();
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) {
        return FailSocketCall();
    }
    return granted;
}

// The socket's own drop counter, the one /proc/net/udp shows. Read on demand rather than
// with each datagram (SO_RXQ_OVFL): a control message on every receive costs more than the
// rest of the loop, and the drops at the end of a burst would wait for the next datagram.
bool OsReadKernelDrops(OsSocket socket, std::uint32_t* count) {
    std::array<std::uint32_t, SK_MEMINFO_VARS> memory{};
    socklen_t length = sizeof memory;
    if (getsockopt(FdOf(socket), SOL_SOCKET, SO_MEMINFO, memory.data(), &length) != 0 ||
        length < (SK_MEMINFO_DROPS + 1) * sizeof memory[0]) {
        return false;
    }
    *count = memory[SK_MEMINFO_DROPS];
    return true;
}

bool OsSeesKernelDrops() {
    return true;
}

int OsReceive(OsSocket socket, std::span<char> buffer, OsHandle stopEvent, std::uint32_t waitMs,
              Ipv4Endpoint* sender) {
    const int fd = FdOf(socket);
    std::array<pollfd, 2> waits{{{fd, POLLIN, 0}, {-1, POLLIN, 0}}};
    if (stopEvent != 0) {
        waits[1].fd = FdFromHandle(stopEvent);
    }
    timespec began{};  // read at the first wait: under load there is none
    bool waited = false;
    for (;;) {
        // The queued datagram first: under load the wait would only say that it is there,
        // at the cost of a second system call per datagram. A stop that comes meanwhile
        // is seen by the caller after this datagram's report.
        const int received = ReceiveWaiting(fd, buffer, sender);
        if (received != NOTHING_QUEUED) {
            return received;
        }
        if (!waited && waitMs != WAIT_FOREVER) {
            (void)clock_gettime(CLOCK_MONOTONIC, &began);
        }
        waited = true;
        const int ready = poll(waits.data(), waits.size(), RemainingWait(waitMs, began));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FailSocketCall();
        }
        if ((waits[1].revents & POLLIN) != 0) {
            return RECEIVE_STOPPED;
        }
        if ((waits[0].revents & POLLNVAL) != 0) {
            SocketError = WSAENOTSOCK;
            return -1;
        }
        if (ready == 0) {
            return RECEIVE_TIMED_OUT;
        }
    }
}

std::uint32_t OsDiscardQueued(OsSocket socket, std::uint32_t limit) {
    // The bytes are not wanted: a cut datagram is taken from the queue all the same.
    std::array<char, 1> sink{};
    std::uint32_t taken = 0;
    while (taken < limit) {
        const int received = ReceiveWaiting(FdOf(socket), sink, nullptr);
        if (received == NOTHING_QUEUED || (received < 0 && SocketError != WSAEMSGSIZE)) {
            break;
        }
        ++taken;
    }
    return taken;
}

void OsCloseSocket(OsSocket socket) {
    if (socket != INVALID_SOCKET_VALUE) {
        (void)close(FdOf(socket));
    }
}

#include "platform/socket.h"

// winsock2.h before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <array>

#include "platform/win32/handles.h"

namespace {

// The receive queue asked for. The socket layer keeps queued datagrams in nonpaged
// pool, which 32-bit Windows holds to a few hundred MiB at most (far less on a machine
// with little memory), shared by every driver. 4 MiB queues some ten thousand syslog
// lines, seconds of a busy network while one report is written, and is only drawn on
// while that many wait; a bigger queue would hold a backlog that one event report per
// datagram never catches up with anyway.
constexpr int RECEIVE_QUEUE_BYTES = 4 * 1024 * 1024;

// The socket being received from and the event its arrivals set. Made on the first
// receive, gone with the socket; only the service thread receives, so no lock.
SOCKET WatchedSocket = INVALID_SOCKET;
WSAEVENT ArrivalEvent = WSA_INVALID_EVENT;

// Lets the arrival event wake a wait on it; false with the reason in WSAGetLastError().
bool WatchSocket(SOCKET socket) {
    if (socket == WatchedSocket) {
        return true;
    }
    if (ArrivalEvent == WSA_INVALID_EVENT) {
        ArrivalEvent = WSACreateEvent();
        if (ArrivalEvent == WSA_INVALID_EVENT) {
            return false;
        }
    }
    // This also makes the socket non-blocking: a read with nothing queued fails with
    // WSAEWOULDBLOCK instead of waiting where a stop request cannot reach it.
    if (WSAEventSelect(socket, ArrivalEvent, FD_READ) == SOCKET_ERROR) {
        return false;
    }
    WatchedSocket = socket;
    return true;
}

// How often in a row a read that found nothing is tried again because the socket still
// says it is readable: a socket that keeps saying so must not hold a stop up.
constexpr std::uint32_t MAX_DOUBTS = 16;

// Whether a zero-timeout select finds a datagram queued. A read that finds nothing is no
// proof that the queue is empty: under Wine the socket answers through its server, and a
// read can miss datagrams that are already there.
bool StillReadable(SOCKET socket) {
    fd_set readable{};
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval now{0, 0};
    return select(0, &readable, nullptr, nullptr, &now) == 1;
}

}  // namespace

int OsWSAStartup(std::uint16_t version) {
    WSADATA granted{};
    return WSAStartup(version, &granted);
}

void OsWSACleanup() {
    (void)WSACleanup();
}

int OsWSAGetLastError() {
    return WSAGetLastError();
}

OsSocket OsSocketCreate(int family, int type, int protocol) {
    return socket(family, type, protocol);
}

int OsBind(OsSocket socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    return bind(socket, reinterpret_cast<const sockaddr*>(&local), static_cast<int>(sizeof local));
}

// The service account's rights are the service manager's to grant, for the whole run.
int OsDropSocketPrivileges() {
    return 0;
}

int OsEnlargeReceiveBuffer(OsSocket socket) {
    const int wanted = RECEIVE_QUEUE_BYTES;
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&wanted),
                   static_cast<int>(sizeof wanted)) == SOCKET_ERROR) {
        return SOCKET_ERROR;
    }
    int granted = 0;
    int length = static_cast<int>(sizeof granted);
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) ==
        SOCKET_ERROR) {
        return SOCKET_ERROR;
    }
    return granted;
}

int OsReceive(OsSocket socket, std::span<char> buffer, OsHandle stopEvent, std::uint32_t waitMs,
              Ipv4Endpoint* sender) {
    if (!WatchSocket(socket)) {
        return SOCKET_ERROR;
    }
    // The stop event first: when both are set, the wait names the lower index.
    const std::array<WSAEVENT, 2> events{ToNative<HANDLE>(stopEvent), ArrivalEvent};
    const ULONGLONG began = GetTickCount64();
    for (;;) {
        // Cleared before the read, so a datagram that lands after the read sets it again.
        (void)WSAResetEvent(ArrivalEvent);
        sockaddr_in from{};
        int fromLength = static_cast<int>(sizeof from);
        const int received = recvfrom(socket, buffer.data(), static_cast<int>(buffer.size()), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
        // An over-long datagram fails here with WSAEMSGSIZE, and is gone from the queue.
        if (received != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK) {
            *sender = Ipv4Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
            return received;
        }
        DWORD remaining = WSA_INFINITE;
        if (waitMs != WAIT_FOREVER) {
            const ULONGLONG spent = GetTickCount64() - began;
            remaining = spent >= waitMs ? 0 : static_cast<DWORD>(waitMs - spent);
        }
        const DWORD woken = WSAWaitForMultipleEvents(2, events.data(), FALSE, remaining, FALSE);
        if (woken == WSA_WAIT_EVENT_0) {
            return RECEIVE_STOPPED;
        }
        if (woken == WSA_WAIT_TIMEOUT) {
            return RECEIVE_TIMED_OUT;
        }
        if (woken != WSA_WAIT_EVENT_0 + 1) {
            return SOCKET_ERROR;  // the wait failed; WSAGetLastError() says why
        }
    }
}

std::uint32_t OsDiscardQueued(OsSocket socket, std::uint32_t limit) {
    // A socket never received from still blocks, and a read there would wait for traffic.
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking) == SOCKET_ERROR) {
        return 0;
    }
    // The bytes are not wanted: an over-long datagram leaves the queue all the same.
    std::array<char, 1> sink{};
    std::uint32_t taken = 0;
    std::uint32_t doubts = 0;
    while (taken < limit) {
        if (recv(socket, sink.data(), static_cast<int>(sink.size()), 0) != SOCKET_ERROR ||
            WSAGetLastError() == WSAEMSGSIZE) {
            ++taken;
            doubts = 0;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK || doubts == MAX_DOUBTS ||
                   !StillReadable(socket)) {
            break;
        } else {
            ++doubts;
        }
    }
    return taken;
}

// The socket layer keeps no count of the datagrams its full queue turned away.
bool OsReadKernelDrops(OsSocket /*socket*/, std::uint32_t* /*count*/) {
    return false;
}

bool OsSeesKernelDrops() {
    return false;
}

void OsCloseSocket(OsSocket socket) {
    (void)closesocket(socket);
    if (socket == WatchedSocket) {
        (void)WSACloseEvent(ArrivalEvent);
        ArrivalEvent = WSA_INVALID_EVENT;
        WatchedSocket = INVALID_SOCKET;
    }
}

#include "platform/socket.h"

#include <cstring>

#include "platform/constants.h"
#include "tests/fake/fake_state.h"

namespace {

constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int RECEIVE_BUFFER_GRANTED = 1 << 20;

}  // namespace

int OsWSAStartup(std::uint16_t version) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::WSAStartup, &error)) {
        return static_cast<int>(error);
    }
    Fake.startupVersion = version;
    return 0;
}

void OsWSACleanup() {}

int OsWSAGetLastError() {
    return FakeWSALastError;
}

OsSocket OsSocketCreate(int family, int type, int protocol) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::Socket, &error)) {
        FakeWSALastError = static_cast<int>(error);
        return INVALID_SOCKET;
    }
    if (family != AF_INET || type != SOCK_DGRAM || protocol != 0) {
        FakeWSALastError = WSAEAFNOSUPPORT;  // the fake knows IPv4 datagrams only
        return INVALID_SOCKET;
    }
    return FakeOpenHandle(FakeHandleKind::Socket);
}

int OsBind(OsSocket socket, std::uint32_t address, std::uint16_t port) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::Bind, &error)) {
        FakeWSALastError = static_cast<int>(error);
        return SOCKET_ERROR;
    }
    (void)FakeCheckHandle(socket, FakeHandleKind::Socket);
    Fake.boundAddress = address;
    Fake.boundPort = port;
    return 0;
}

int OsEnlargeReceiveBuffer(OsSocket socket) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    return FakeCheckHandle(socket, FakeHandleKind::Socket) ? RECEIVE_BUFFER_GRANTED : SOCKET_ERROR;
}

int OsReceive(OsSocket socket, std::span<char> buffer, OsHandle stopEvent) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::Receive, &error)) {
        FakeWSALastError = static_cast<int>(error);
        return SOCKET_ERROR;
    }
    (void)FakeCheckHandle(socket, FakeHandleKind::Socket);
    (void)FakeCheckHandle(stopEvent, FakeHandleKind::Event);
    const auto signalled = [stopEvent] {
        const auto event = FakeInner.handles.find(stopEvent);
        return event != FakeInner.handles.end() && event->second.signalled;
    };
    FakeInner.receiverWaiting = true;
    FakeInner.receiverStopEvent = stopEvent;
    FakeChanged.notify_all();
    FakeChanged.wait(lock, [&] { return signalled() || !FakeInner.datagrams.empty(); });
    FakeInner.receiverWaiting = false;
    if (signalled()) {
        return RECEIVE_STOPPED;
    }
    const FakeDatagram datagram = FakeInner.datagrams.front();
    FakeInner.datagrams.pop_front();
    FakeChanged.notify_all();
    if (datagram.error != 0 || datagram.bytes.size() > buffer.size()) {
        FakeWSALastError = datagram.error != 0 ? datagram.error : WSAEMSGSIZE;
        return SOCKET_ERROR;
    }
    // Whatever lies past the datagram shows up in the text if the caller reads it.
    std::memset(buffer.data(), '#', buffer.size());
    std::memcpy(buffer.data(), datagram.bytes.data(), datagram.bytes.size());
    return static_cast<int>(datagram.bytes.size());
}

void OsCloseSocket(OsSocket socket) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    (void)FakeEnter(lock, FakeCall::CloseSocket, &error);
    FakeCloseHandle(socket, FakeHandleKind::Socket);
}

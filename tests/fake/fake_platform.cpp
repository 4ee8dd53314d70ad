#include "tests/fake/fake_platform.h"

#include <chrono>
#include <utility>

#include "platform/constants.h"
#include "tests/fake/fake_state.h"

FakePlatform Fake;
std::mutex FakeLock;
std::condition_variable FakeChanged;
FakeInternals FakeInner;
thread_local std::uint32_t FakeLastError = 0;
thread_local int FakeWSALastError = 0;

namespace {

// Long enough for any sanitizer build on a loaded machine; a hung test fails instead.
constexpr std::chrono::seconds WAIT_LIMIT{20};

}  // namespace

void FakeReset() {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake = FakePlatform{};
    Fake.serviceState = SERVICE_STOPPED;
    Fake.modulePath = "/opt/corvane/bin/corvane";
    FakeInner = FakeInternals{};
    FakeInner.nextHandle = 0x100;
    FakeLastError = 0;
    FakeWSALastError = 0;
}

void FakeFailCall(FakeCall call, int nth, std::uint32_t error) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeInner.failures.push_back({call, nth, error});
}

void FakeHoldCall(FakeCall call, int nth) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeInner.holdCall = call;
    FakeInner.holdNth = nth;
}

bool FakeWaitHeld() {
    std::unique_lock<std::mutex> lock(FakeLock);
    return FakeChanged.wait_for(lock, WAIT_LIMIT, [] { return FakeInner.held; });
}

void FakeReleaseHold() {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeInner.holdNth = 0;
    FakeInner.held = false;
    FakeChanged.notify_all();
}

int FakeCallCount(FakeCall call) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    return FakeInner.callCounts[static_cast<int>(call)];
}

void FakeQueueDatagram(std::string_view bytes) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeInner.datagrams.push_back({std::string(bytes), 0});
    FakeChanged.notify_all();
}

void FakeQueueReceiveError(int error) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeInner.datagrams.push_back({{}, error});
    FakeChanged.notify_all();
}

bool FakeWaitIdle() {
    std::unique_lock<std::mutex> lock(FakeLock);
    return FakeChanged.wait_for(lock, WAIT_LIMIT, FakeReceiverIdle);
}

void FakeSetLongMessage(std::uint32_t code, std::size_t length) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeInner.longMessages[code] = length;
}

std::size_t FakeOpenHandleCount() {
    const std::lock_guard<std::mutex> guard(FakeLock);
    std::size_t open = 0;
    for (const auto& [handle, entry] : FakeInner.handles) {
        // A status handle is never closed, on any platform.
        open += entry.kind != FakeHandleKind::Status ? 1 : 0;
    }
    return open;
}

bool FakeEnter(std::unique_lock<std::mutex>& lock, FakeCall call, std::uint32_t* error) {
    const int count = ++FakeInner.callCounts[static_cast<int>(call)];
    if (FakeInner.holdNth == count && FakeInner.holdCall == call) {
        FakeInner.held = true;
        FakeChanged.notify_all();
        FakeChanged.wait(lock, [] { return !FakeInner.held; });
    }
    for (const FakeInternals::Failure& failure : FakeInner.failures) {
        if (failure.call == call && failure.nth == count) {
            *error = failure.error;
            return true;
        }
    }
    return false;
}

OsHandle FakeOpenHandle(FakeHandleKind kind, std::string name) {
    const OsHandle handle = FakeInner.nextHandle++;
    FakeInner.handles[handle] = {kind, false, std::move(name)};
    return handle;
}

bool FakeCheckHandle(OsHandle handle, FakeHandleKind kind) {
    const auto found = FakeInner.handles.find(handle);
    if (found == FakeInner.handles.end() || found->second.kind != kind) {
        ++Fake.badHandleUses;
        return false;
    }
    return true;
}

void FakeCloseHandle(OsHandle handle, FakeHandleKind kind) {
    if (FakeCheckHandle(handle, kind)) {
        FakeInner.handles.erase(handle);
        FakeChanged.notify_all();
    }
}

bool FakeReceiverIdle() {
    if (!FakeInner.receiverWaiting || !FakeInner.datagrams.empty()) {
        return false;
    }
    const auto event = FakeInner.handles.find(FakeInner.receiverStopEvent);
    return event == FakeInner.handles.end() || !event->second.signalled;
}

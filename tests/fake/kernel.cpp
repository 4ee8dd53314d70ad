#include "platform/kernel.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/constants.h"
#include "tests/fake/fake_state.h"

namespace {

constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;

struct SystemText {
    std::uint32_t code;
    const char* text;
};

// The few texts the tests read, worded and ended as the system words and ends them.
constexpr SystemText SYSTEM_TEXTS[] = {
    {5, "Access is denied.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1063, "The service process could not connect to the service controller.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
};

std::string TextFor(std::uint32_t code) {
    const auto longText = FakeInner.longMessages.find(code);
    if (longText != FakeInner.longMessages.end()) {
        const std::size_t length = longText->second < 3 ? 3 : longText->second;
        return std::string(length - 3, 'x') + ".\r\n";
    }
    for (const SystemText& entry : SYSTEM_TEXTS) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return {};
}

}  // namespace

OsHandle OsCreateEvent() {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::CreateEvent, &error)) {
        FakeLastError = error;
        return 0;
    }
    return FakeOpenHandle(FakeHandleKind::Event);
}

bool OsSetEvent(OsHandle event) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    if (!FakeCheckHandle(event, FakeHandleKind::Event)) {
        FakeLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    FakeInner.handles[event].signalled = true;
    FakeChanged.notify_all();
    return true;
}

void OsCloseHandle(OsHandle handle) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeCloseHandle(handle, FakeHandleKind::Event);
}

std::uint32_t OsGetLastError() {
    return FakeLastError;
}

void OsSetLastError(std::uint32_t code) {
    FakeLastError = code;
}

std::size_t OsFormatSystemMessage(std::uint32_t code, std::span<char> out) {
    std::string text;
    {
        const std::lock_guard<std::mutex> guard(FakeLock);
        text = TextFor(code);
    }
    if (!out.empty()) {
        const std::size_t copied = std::min(text.size(), out.size() - 1);
        std::memcpy(out.data(), text.data(), copied);
        out[copied] = '\0';
    }
    // A successful system call may leave any last-error code behind; this one always
    // does, so a caller that reads the code again after the lookup prints the wrong one.
    FakeLastError = 0;
    return text.size();
}

std::uint32_t OsGetModuleFileName(std::span<char> out) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::GetModuleFileName, &error)) {
        FakeLastError = error;
        return 0;
    }
    const std::string& path = Fake.modulePath;
    if (path.size() >= out.size()) {
        FakeLastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(out.data(), path.c_str(), path.size() + 1);
    return static_cast<std::uint32_t>(path.size());
}

void OsSleep(std::uint32_t milliseconds) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.trace.push_back("Sleep " + std::to_string(milliseconds));
}

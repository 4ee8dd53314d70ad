#include "platform/registry.h"

#include <string>

#include "platform/constants.h"
#include "tests/fake/fake_state.h"

namespace {

constexpr long ERROR_FILE_NOT_FOUND = 2;

}  // namespace

long OsRegCreateKey(const char* subKey, std::uint32_t /*desiredAccess*/, OsHandle* key) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("RegCreateKey ") + subKey);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::RegCreateKey, &error)) {
        return static_cast<long>(error);
    }
    (void)Fake.registry[subKey];
    *key = FakeOpenHandle(FakeHandleKind::Key, subKey);
    return ERROR_SUCCESS;
}

long OsRegSetValue(OsHandle key, const char* valueName, std::uint32_t type,
                   std::span<const unsigned char> data) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("RegSetValue ") + valueName);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::RegSetValue, &error)) {
        return static_cast<long>(error);
    }
    if (!FakeCheckHandle(key, FakeHandleKind::Key)) {
        return static_cast<long>(ERROR_INVALID_HANDLE);
    }
    Fake.registry[FakeInner.handles[key].name][valueName] = {type, {data.begin(), data.end()}};
    return ERROR_SUCCESS;
}

void OsRegCloseKey(OsHandle key) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeCloseHandle(key, FakeHandleKind::Key);
}

long OsRegDeleteKey(const char* subKey) {
    std::unique_lock<std::mutex> lock(FakeLock);
    Fake.trace.push_back(std::string("RegDeleteKey ") + subKey);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::RegDeleteKey, &error)) {
        return static_cast<long>(error);
    }
    return Fake.registry.erase(subKey) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

#include "platform/eventlog.h"

#include "tests/fake/fake_state.h"

OsHandle OsRegisterEventSource(const char* sourceName) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::RegisterEventSource, &error)) {
        FakeLastError = error;
        return 0;
    }
    return FakeOpenHandle(FakeHandleKind::Source, sourceName);
}

void OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings) {
    std::unique_lock<std::mutex> lock(FakeLock);
    std::uint32_t error = 0;
    if (FakeEnter(lock, FakeCall::ReportEvent, &error) ||
        !FakeCheckHandle(source, FakeHandleKind::Source)) {
        return;  // lost, as a refused report is
    }
    FakeEvent event{FakeInner.handles[source].name, eventType, category, eventId, {}};
    for (const char* text : strings) {
        event.strings.emplace_back(text != nullptr ? text : "(null)");
    }
    Fake.events.push_back(std::move(event));
}

void OsDeregisterEventSource(OsHandle source) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    FakeCloseHandle(source, FakeHandleKind::Source);
}

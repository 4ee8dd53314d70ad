#include "eventlog/eventlog.h"

#include <array>
#include <cstdio>
#include <span>

#include "platform/constants.h"
#include "platform/eventlog.h"
#include "platform/kernel.h"
#include "service/names.h"

std::atomic<std::uint32_t> LastFailureCode{0};

namespace {

void ReportOnce(std::uint16_t eventType, std::uint32_t eventId,
                std::span<const char* const> strings) {
    const OsHandle source = OsRegisterEventSource(SERVICE_NAME);
    if (source == 0) {
        return;
    }
    OsReportEvent(source, eventType, 0, eventId, strings);
    OsDeregisterEventSource(source);
}

}  // namespace

void LogFailure(const char* failureText) {
    // Read before anything else can overwrite the failed call's code.
    const std::uint32_t code = OsGetLastError();
    LastFailureCode = code;

    std::array<char, 256> text{};
    (void)std::snprintf(text.data(), text.size(), "%s error: %d", SERVICE_NAME,
                        static_cast<int>(code));
    const std::array<const char*, 2> strings{text.data(), failureText};
    ReportOnce(EVENTLOG_ERROR_TYPE, 0, strings);
}

void LogInfoEvent(const char* insertText, std::uint32_t eventId) {
    LogTypedEvent(insertText, eventId, EVENTLOG_INFORMATION_TYPE);
}

void LogTypedEvent(const char* insertText, std::uint32_t eventId, std::uint16_t eventType) {
    const std::array<const char*, 1> strings{insertText};
    ReportOnce(eventType, eventId, strings);
}

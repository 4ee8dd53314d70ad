#include "eventlog/eventlog.h"

#include <array>
#include <cstdio>
#include <span>

#include "names.h"
#include "platform/constants.h"
#include "platform/eventlog.h"
#include "platform/kernel.h"

std::atomic<std::uint32_t> LastFailureCode{0};

namespace {

// Writes one event through a source opened for it alone.
ReportOutcome WriteEvent(std::uint16_t eventType, std::uint32_t eventId,
                         std::span<const char* const> strings, std::uint32_t waitMs,
                         TextCoding coding, const Ipv4Endpoint* sender = nullptr) {
    const OsHandle source = OsRegisterEventSource(SERVICE_NAME);
    if (source == 0) {
        return ReportOutcome::Lost;
    }
    ReportOutcome outcome = ReportOutcome::Written;
    if (!OsReportEvent(source, eventType, 0, eventId, strings, waitMs, coding, sender)) {
        outcome = OsGetLastError() == ERROR_TIMEOUT ? ReportOutcome::LogFull : ReportOutcome::Lost;
    }
    OsDeregisterEventSource(source);
    return outcome;
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
    (void)WriteEvent(EVENTLOG_ERROR_TYPE, 0, strings, REPORT_WAIT_MS, TextCoding::Ansi);
}

bool LogInfoEvent(const char* insertText, std::uint32_t eventId, TextCoding coding) {
    return LogTypedEvent(insertText, eventId, EVENTLOG_INFORMATION_TYPE, coding);
}

bool LogTypedEvent(const char* insertText, std::uint32_t eventId, std::uint16_t eventType,
                   TextCoding coding) {
    const std::array<const char*, 1> strings{insertText};
    return WriteEvent(eventType, eventId, strings, REPORT_WAIT_MS, coding) ==
           ReportOutcome::Written;
}

ReportOutcome LogLineEvent(const char* logText, TextCoding coding, const Ipv4Endpoint& sender,
                           std::uint32_t waitMs) {
    const std::array<const char*, 1> strings{logText};
    return WriteEvent(EVENTLOG_INFORMATION_TYPE, MSG_LOG_LINE, strings, waitMs, coding, &sender);
}

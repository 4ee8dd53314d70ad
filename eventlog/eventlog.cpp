#include "eventlog/eventlog.h"

#include <array>
#include <cstdio>
#include <span>

#include "names.h"
#include "platform/constants.h"
#include "platform/eventlog.h"
#include "platform/kernel.h"

std::atomic<std::uint32_t> LastFailureCode{0};
std::atomic<std::uint64_t> UnwrittenReports{0};

namespace {

// Writes one event through a source opened for it alone; an event the log does not take
// is counted in UnwrittenReports. True when the log took it.
bool WriteEventOrCountLoss(std::uint16_t eventType, std::uint32_t eventId,
                           std::span<const char* const> strings, TextCoding coding,
                           const Ipv4Endpoint* sender = nullptr) {
    const OsHandle source = OsRegisterEventSource(SERVICE_NAME);
    bool written = false;
    if (source != 0) {
        written = OsReportEvent(source, eventType, 0, eventId, strings, coding, sender);
        OsDeregisterEventSource(source);
    }
    if (!written) {
        UnwrittenReports.fetch_add(1, std::memory_order_relaxed);
    }
    return written;
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
    (void)WriteEventOrCountLoss(EVENTLOG_ERROR_TYPE, 0, strings, TextCoding::Ansi);
}

bool LogInfoEvent(const char* insertText, std::uint32_t eventId, TextCoding coding,
                  const Ipv4Endpoint* sender) {
    const std::array<const char*, 1> strings{insertText};
    return WriteEventOrCountLoss(EVENTLOG_INFORMATION_TYPE, eventId, strings, coding, sender);
}

bool LogTypedEvent(const char* insertText, std::uint32_t eventId, std::uint16_t eventType,
                   TextCoding coding) {
    const std::array<const char*, 1> strings{insertText};
    return WriteEventOrCountLoss(eventType, eventId, strings, coding);
}

// Event reports: everything the service has to say while it runs goes to the event log
// of the source "Corvane", rendered there by the message catalogue (messages.h).
// Each report opens the source, writes one event and closes the source again. A report
// that the log does not take (the source cannot be opened, or the log refuses it or stays
// full for longer than the report may wait) is lost. Safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "messages.h"
#include "platform/eventlog.h"

// The last-error code captured by the latest LogFailure; 0 until one runs. Reported as
// the service's exit code when it stops.
extern std::atomic<std::uint32_t> LastFailureCode;

// How long a report may wait for room in a full log (a stalled journal): it costs the
// caller that much at most.
inline constexpr std::uint32_t REPORT_WAIT_MS = 2000;

// For a failed platform call of the service plumbing: captures the thread's last-error
// code first, then writes an error event with ID 0 and the strings
// "Corvane error: <code>" and `failureText`.
void LogFailure(const char* failureText);

// An information event with one insertion string. True when the log took it.
bool LogInfoEvent(const char* insertText, std::uint32_t eventId,
                  TextCoding coding = TextCoding::Ansi);

// An event of the given type with one insertion string. True when the log took it.
bool LogTypedEvent(const char* insertText, std::uint32_t eventId, std::uint16_t eventType,
                   TextCoding coding = TextCoding::Ansi);

// What became of a report.
enum class ReportOutcome : std::uint8_t {
    Written,
    Lost,     // the log cannot be reached or refused it
    LogFull,  // the log had no room within the wait: nothing written, it may be tried again
};

// A datagram's log line, MSG_LOG_LINE from `sender`, waiting at most `waitMs` for room in a
// full log.
ReportOutcome LogLineEvent(const char* logText, TextCoding coding, const Ipv4Endpoint& sender,
                           std::uint32_t waitMs);

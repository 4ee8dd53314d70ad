// Event reports: everything the service has to say while it runs goes to the event log
// of the source "Corvane", rendered there by the message catalogue (messages.h).
// Each report opens the source, writes one event and closes the source again. A report
// that the log does not take (the source cannot be opened, or the log refuses it or does
// not answer in time) is lost, and only counted. Safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "messages.h"
#include "platform/eventlog.h"

// The last-error code captured by the latest LogFailure; 0 until one runs. Reported as
// the service's exit code when it stops.
extern std::atomic<std::uint32_t> LastFailureCode;

// For a failed platform call of the service plumbing: captures the thread's last-error
// code first, then writes an error event with ID 0 and the strings
// "Corvane error: <code>" and `failureText`.
void LogFailure(const char* failureText);

// Reports the log did not take, counted from process start.
extern std::atomic<std::uint64_t> UnwrittenReports;

// An information event with one insertion string, from `sender` when it came from the
// network (OsReportEvent). True when the log took it.
bool LogInfoEvent(const char* insertText, std::uint32_t eventId,
                  TextCoding coding = TextCoding::Ansi, const Ipv4Endpoint* sender = nullptr);

// An event of the given type with one insertion string. True when the log took it.
bool LogTypedEvent(const char* insertText, std::uint32_t eventId, std::uint16_t eventType,
                   TextCoding coding = TextCoding::Ansi);

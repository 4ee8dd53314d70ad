// The event log. A source is opened by name for one report and closed again; what a
// report looked like to the reader is rendered from the message catalogue.
#pragma once

#include <cstdint>
#include <span>

#include "platform/types.h"

// How the insertion strings' bytes are to be read: in the system's 8-bit code page, or
// as UTF-8 (which the platform turns into its own wide text where it has one).
enum class TextCoding : std::uint8_t { Ansi, Utf8 };

// The source's handle, or null when the log cannot be reached.
OsHandle OsRegisterEventSource(const char* sourceName);

// Writes one event with its insertion strings in order. True when the log took it. A log
// that is full waits `waitMs` at most for room: still full, the call fails with
// ERROR_TIMEOUT and nothing is written, so the same report can be made again. Any other
// failure is a refusal, and the report is lost. A `sender` names the host the event's text
// came from, in a field of its own where the log has fields (the journal); where it has
// none the event is the same without it.
bool OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings,
                   std::uint32_t waitMs, TextCoding coding = TextCoding::Ansi,
                   const Ipv4Endpoint* sender = nullptr);

void OsDeregisterEventSource(OsHandle source);

// The event log. A source is opened by name for one report and closed again; what a
// report looked like to the reader is rendered from the message catalogue.
#pragma once

#include <cstdint>
#include <span>

#include "platform/types.h"

// The source's handle, or null when the log cannot be reached.
OsHandle OsRegisterEventSource(const char* sourceName);

// Writes one event with its insertion strings in order. Failures are not reported:
// a log that refuses a report has nobody left to tell.
void OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings);

void OsDeregisterEventSource(OsHandle source);

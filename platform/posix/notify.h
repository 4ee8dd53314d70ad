// The service manager's notify protocol: one datagram of "NAME=value" lines per report
// to the socket named by NOTIFY_SOCKET.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/types.h"

// Tells the manager about the report. True without NOTIFY_SOCKET (no manager to tell);
// false with the last error set when the datagram could not be sent.
bool NotifyManager(const ServiceStatus& status);

// Tells the manager a new status line (one line, no line feed) and nothing else. Same
// results as NotifyManager.
bool NotifyStatusText(std::string_view statusText);

// The manager's watchdog period as the interval at which to tell it the service still
// turns: a third of it, so that a report held up on the way loses no sign. 0 when the
// manager set no period, or set it for another process.
std::uint32_t KeepAliveIntervalMs();

// Tells the manager the service still turns. Same results as NotifyManager.
bool NotifyKeepAlive();

// The receiver run: one UDP socket on port 514 of every IPv4 interface, and one
// information event per datagram, its text in square brackets.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/types.h"
#include "receiver/log_text.h"

inline constexpr std::uint16_t SYSLOG_PORT = 514;

// Signalled to end a waiting receive; null before the run and after it. Guarded by
// StopEventLock, so a stop request never signals a closed event.
extern OsHandle StopEvent;
extern std::mutex StopEventLock;

// Set (after StopEvent is signalled) by the first stop request; never cleared.
extern std::atomic<std::uint32_t> StopFlag;

// Runs the receiver on the service thread until a stop request or a failure. Returns
// 0 after a stop, or the error number of the call that ended the run.
std::uint32_t RunReceiver(std::uint32_t argCount, char** argVector);

// Asks a run to end; does nothing before the run has made its stop event or after it.
void RequestStop();

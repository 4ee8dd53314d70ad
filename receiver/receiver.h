// The receiver run: one UDP socket on port 514 of every IPv4 interface, and one
// information event per datagram, its text in square brackets.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "platform/types.h"

inline constexpr std::uint16_t SYSLOG_PORT = 514;

// Longest datagram taken; a longer one is reported and dropped.
inline constexpr std::size_t DATAGRAM_BUFFER_SIZE = 256;

// "[" + the datagram + "]" + the terminating zero, with room to spare.
inline constexpr std::size_t LOG_TEXT_SIZE = 512;
static_assert(LOG_TEXT_SIZE >= DATAGRAM_BUFFER_SIZE + 3);

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

// The event text of one datagram: "[" + its bytes up to the first zero byte, less one
// trailing line feed, + "]". Returns the text's length; `out` is zero-terminated.
std::size_t FormatLogText(std::span<const char> datagram, std::span<char, LOG_TEXT_SIZE> out);

// The text of a status report in the service manager's notify protocol: "NAME=value"
// lines, the manager's own (STATUS, READY, STOPPING, EXTEND_TIMEOUT_USEC) and the full
// record under X_CORVANE_ names for the console commands.
#pragma once

#include <cstddef>
#include <span>

#include "platform/types.h"

// The longest message: every line present, every number at its widest.
inline constexpr std::size_t NOTIFY_TEXT_SIZE = 512;
static_assert(NOTIFY_TEXT_SIZE > sizeof("STATUS=Stop pending (check point 4294967295)\n"
                                        "EXTEND_TIMEOUT_USEC=4294967295000\nREADY=1\n"
                                        "STOPPING=1\nX_CORVANE_STATE=4294967295\n"
                                        "X_CORVANE_CONTROLS=4294967295\n"
                                        "X_CORVANE_EXIT_CODE=4294967295\n"
                                        "X_CORVANE_CHECKPOINT=4294967295\n"
                                        "X_CORVANE_WAIT_HINT=4294967295"));

// The report's text into `out`: its length, or 0 when it did not fit.
std::size_t FormatNotifyText(const ServiceStatus& status, std::span<char> out);

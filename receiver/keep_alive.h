// The sign to a manager that watches the service that its receive loop still turns: given
// from the loop's own waits, so that a loop that stops turning stops the signs too.
#pragma once

#include <cstdint>

struct KeepAlive {
    std::uint32_t intervalMs;  // 0: the manager watches for no sign
    std::uint64_t lastMs;      // when the last sign went, or the loop began
};

// The manager's interval, counted from `nowMs`.
KeepAlive StartKeepAlive(std::uint64_t nowMs);

// `waitMs`, or less when the next sign falls due sooner.
std::uint32_t KeepAliveWaitMs(const KeepAlive& keepAlive, std::uint64_t nowMs,
                              std::uint32_t waitMs);

// Gives the sign when it is due: once however late, the interval counted from now.
void KeepAliveIfDue(KeepAlive& keepAlive, std::uint64_t nowMs);

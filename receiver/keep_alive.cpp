#include "receiver/keep_alive.h"

#include <algorithm>

#include "platform/scm.h"

KeepAlive StartKeepAlive(std::uint64_t nowMs) {
    return {OsKeepAliveIntervalMs(), nowMs};
}

std::uint32_t KeepAliveWaitMs(const KeepAlive& keepAlive, std::uint64_t nowMs,
                              std::uint32_t waitMs) {
    if (keepAlive.intervalMs == 0) {
        return waitMs;
    }
    const std::uint64_t due = keepAlive.lastMs + keepAlive.intervalMs;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(waitMs, due > nowMs ? due - nowMs : 0));
}

void KeepAliveIfDue(KeepAlive& keepAlive, std::uint64_t nowMs) {
    if (keepAlive.intervalMs != 0 && nowMs - keepAlive.lastMs >= keepAlive.intervalMs) {
        OsServiceKeepAlive();
        keepAlive.lastMs = nowMs;
    }
}

// The service's status as the manager sees it, and the one road every report takes.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/types.h"

// How long the manager is to wait for the next start-pending report.
inline constexpr std::uint32_t START_WAIT_HINT_MS = 3000;

// The record last handed to the manager (also the removal command's answer buffer).
// Guarded by StatusLock while the service runs.
extern ServiceStatus ServiceStatusRecord;

// The handle from the control handler's registration; null until ServiceEntry has it.
extern OsHandle StatusHandle;

// The check point of the next pending-state report; starts at 1 and only goes up.
extern std::uint32_t CheckPointCounter;

// Serializes reports between the service thread and the control handler. Not
// re-entrant: take it once per report, or hold it around ReportServiceStatusLocked.
extern std::mutex StatusLock;

// Sets the record for `newState` (accepted controls, exit code, wait hint, check point)
// and hands it to the manager. On failure writes a "SetServiceStatus" failure event and
// returns false.
bool ReportServiceStatus(std::uint32_t newState, std::uint32_t exitCode, std::uint32_t waitHintMs);

// The same, for a caller that already holds StatusLock.
bool ReportServiceStatusLocked(std::uint32_t newState, std::uint32_t exitCode,
                               std::uint32_t waitHintMs);

// The status file's text: "name=value" lines, the writing process's ID and start time,
// then the status record field by field.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/types.h"

// "pid=", "startTime=" (up to twenty digits) and seven "name=value" lines with values of
// at most ten digits.
inline constexpr std::size_t STATUS_TEXT_SIZE = 256;
static_assert(STATUS_TEXT_SIZE > sizeof("pid=\nstartTime=\nserviceType=\ncurrentState=\n"
                                        "controlsAccepted=\nwin32ExitCode=\n"
                                        "serviceSpecificExitCode=\ncheckPoint=\nwaitHint=\n") +
                                     std::size_t{8} * 10 + 20);

// The service as the file last described it; the process that wrote it is proven by
// OpenProvenProcess (process.h) with its ID, start time and the file's owner.
struct StatusFileRecord {
    pid_t pid;                     // 0 when the file names none
    unsigned long long startTime;  // the process's, in clock ticks after boot
    uid_t owner;                   // the file's owner: the user the service ran as
    ServiceStatus status;
};

// The text for process `pid`, started at `startTime` (clock ticks after boot), reporting
// `status`: its length, or 0 when it does not fit `out`.
std::size_t FormatStatusText(pid_t pid, unsigned long long startTime, const ServiceStatus& status,
                             std::span<char> out);

// Applies each line of `text` to *record. Unknown names and bad numbers are skipped: what
// they would have set keeps its value.
void ParseStatusText(std::string_view text, StatusFileRecord* record);

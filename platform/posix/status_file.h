// The runtime status file: the live half of the service database. The running service
// writes every status report into it; the console commands read it to query the
// service and to find the process to send the stop control to.
#pragma once

#include <sys/types.h>

#include "platform/types.h"

inline constexpr char STATUS_DIRECTORY[] = "/run/Corvane";
inline constexpr char STATUS_FILE_PATH[] = "/run/Corvane/status";

// Replaces the file with this process's ID and the record. False with the last error
// set, also (1056) while another live process's report of a running service stands.
bool WriteStatusFile(const ServiceStatus& status);

// The service as the file last described it.
struct StatusFileRecord {
    pid_t pid;  // 0 when the file names none
    ServiceStatus status;
};

// Reads the file. A missing file reads as a stopped service without a process. False
// with the last error set when the file cannot be read.
bool ReadStatusFile(StatusFileRecord* record);

// True when the process that wrote the status file still runs.
bool ServiceProcessAlive(pid_t pid);

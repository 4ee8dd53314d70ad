// The runtime status file: the live half of the service database. The running service
// writes every status report into it; the console commands read it to query the
// service and to find the process to send the stop control to.
#pragma once

#include "platform/posix/status_text.h"
#include "platform/types.h"

inline constexpr char STATUS_DIRECTORY[] = "/run/Corvane";

// Replaces the file with this process's ID, start time and the record. False with the
// last error set, also (1056) while another live process's report of a running
// service stands, and (5) when the runtime directory is not this user's alone.
bool WriteStatusFile(const ServiceStatus& status);

// Reads the file (its record: status_text.h). A missing file reads as a stopped service
// without a process. False with the last error set when the file cannot be read, is not
// a regular file, or it or its directory can be changed by another user than the file's
// owner and root.
bool ReadStatusFile(StatusFileRecord* record);

// Removes the folder of a service that no longer runs, and the link to it that systemd
// makes for a dynamic user ("private/Corvane" beside it), so that nothing outlives the
// service. Only what is proven the service's goes: the status file and its temporary
// file, regular files of the folder's owner, in a folder only that owner can change.
// False, with everything else left in place, when anything else stands there.
bool RemoveStatusDirectory();

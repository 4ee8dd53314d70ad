// Processes known by more than their ID, which the system reuses: the ID with the
// process's start time and real user, as /proc tells them.
#pragma once

#include <sys/types.h>

// The start time (clock ticks after boot) and real user of a running process; false
// when it is gone.
bool ReadProcessIdentity(pid_t pid, unsigned long long* startTime, uid_t* realUser);

// A pidfd of process `pid`, or -1 unless it runs with that start time and real user.
// Whatever was proven stays true of the descriptor, even once the ID is reused.
int OpenProvenProcess(pid_t pid, unsigned long long startTime, uid_t realUser);

// Whether some process, whichever, has the ID `pid`.
bool ProcessExists(pid_t pid);

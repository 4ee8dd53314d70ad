// The capabilities the service needs only to set its socket up (a port below 1024, a
// receive buffer beyond the system's limit) and gives up for good once it has.
// Capabilities belong to each thread, so both threads of the service drop their own.
#pragma once

// The dispatcher's thread, before it starts the service thread: the service thread's
// drop is to wait for this thread's.
void ExpectControlThreadDrop();

// The dispatcher's thread, right after it started the service thread (which has its own
// copy): drops this thread's capabilities and records how that went.
void DropControlThreadCapabilities();

// The service thread, once its socket is set up: drops this thread's capabilities, then
// waits for the dispatcher's thread to have dropped its own. False with errno when
// either thread still holds any.
bool DropCapabilities();

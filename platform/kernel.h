// Kernel objects, the thread's last-error code and the few process facts the program
// needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/types.h"

// An unnamed, manual-reset event, not signalled; null on failure.
OsHandle OsCreateEvent();
bool OsSetEvent(OsHandle event);
void OsCloseHandle(OsHandle handle);

std::uint32_t OsGetLastError();
void OsSetLastError(std::uint32_t code);

// The system's text for an error code, as the system ends it (CR LF on every platform).
// Copies what fits into `out`, always zero-terminated, and returns the text's full
// length; 0 when the system has no text for the code.
std::size_t OsFormatSystemMessage(std::uint32_t code, std::span<char> out);

// The running executable's full path; its length, or 0 on failure (also when it does
// not fit).
std::uint32_t OsGetModuleFileName(std::span<char> out);

void OsSleep(std::uint32_t milliseconds);

// Milliseconds of a clock that only ever goes forward, from some fixed moment; cheap
// enough to read once per datagram.
std::uint64_t OsTickCount();

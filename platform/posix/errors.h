// One translation of the system's errors into the program's currency: errno to Win32
// error codes and to Windows Sockets numbers, and the system texts of those codes.
#pragma once

#include <cstdint>
#include <string_view>

// The Win32 code nearest to an errno value; ERROR_GEN_FAILURE for one without a match.
std::uint32_t Win32ErrorFromErrno(int error);

// The Windows Sockets number of an errno value; WSASYSCALLFAILURE without a match.
int WinsockErrorFromErrno(int error);

// The Windows English text of a code the port can produce, ending in CR LF; empty for
// a code without a text.
std::string_view SystemMessageText(std::uint32_t code);

// Sets the thread's last error from errno (as left by the failed call) and returns false,
// so that a failure path reads `return FailWithErrno();`.
bool FailWithErrno();

// Sets the thread's last error to `code` and returns false.
bool FailWith(std::uint32_t code);

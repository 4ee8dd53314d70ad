// The Win32 values the POSIX layer speaks at the boundary beyond those the program
// uses itself (platform/constants.h), under their Win32 names. The error numbers of each
// interface, Win32 and Windows Sockets, are one enumeration.
#pragma once

#include <cstdint>

#include "platform/constants.h"

enum : std::uint32_t {
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_WRITE_PROTECT = 19,
    ERROR_GEN_FAILURE = 31,
    ERROR_FILE_EXISTS = 80,
    ERROR_BROKEN_PIPE = 109,
    ERROR_DISK_FULL = 112,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_FILE_TOO_LARGE = 223,
    ERROR_INVALID_SERVICE_CONTROL = 1052,
    ERROR_SERVICE_ALREADY_RUNNING = 1056,
    ERROR_IO_DEVICE = 1117,
    ERROR_CONNECTION_REFUSED = 1225,
    ERROR_CANT_RESOLVE_FILENAME = 1921,
};

enum : int {
    WSAEINTR = 10004,
    WSAEACCES = 10013,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAENOTSOCK = 10038,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENOBUFS = 10055,
    WSAECONNREFUSED = 10061,
    WSASYSCALLFAILURE = 10107,
};

// Windows Sockets address family and socket type (the names themselves are the
// system's macros here).
inline constexpr int WS_AF_INET = 2;
inline constexpr int WS_SOCK_DGRAM = 2;

// The registry value type of plain text.
inline constexpr std::uint32_t REG_SZ = 1;

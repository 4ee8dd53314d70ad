// The Windows Sockets names of the receiver's socket. Apart from platform/constants.h
// because the POSIX socket headers define the same names as macros: platform layers
// include neither.
#pragma once

#include <cstdint>

inline constexpr int AF_INET = 2;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr std::uint32_t INADDR_ANY = 0;

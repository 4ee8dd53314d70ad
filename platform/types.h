// Types that cross the platform boundary. Each platform layer maps them onto its own
// objects; the program's code sees nothing else of the operating system.
#pragma once

#include <cstdint>

// An open platform object: a service, manager or status handle, an event, an event
// source or a registry key. 0 is the null handle, as Win32 has it.
using OsHandle = std::uintptr_t;

// A datagram socket. The invalid value is INVALID_SOCKET (platform/constants.h).
using OsSocket = std::uintptr_t;

// An IPv4 address and port, in host byte order: where a datagram came from.
struct Ipv4Endpoint {
    std::uint32_t address;
    std::uint16_t port;
};

// The service status record exchanged with the service control manager, field for
// field the platform's SERVICE_STATUS.
struct ServiceStatus {
    std::uint32_t serviceType;
    std::uint32_t currentState;
    std::uint32_t controlsAccepted;
    std::uint32_t win32ExitCode;
    std::uint32_t serviceSpecificExitCode;
    std::uint32_t checkPoint;
    std::uint32_t waitHint;
};
static_assert(sizeof(ServiceStatus) == 7 * sizeof(std::uint32_t));

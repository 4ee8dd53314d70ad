// The platform's values the program uses, under the platform's own names. The Win32
// layer does not include this file (its headers define the same names as macros);
// platform/win32/constants_check.cpp proves the values equal. The socket address names,
// which POSIX headers define too, stand apart in platform/socket_constants.h.
#pragma once

#include <cstdint>

#include "platform/types.h"

inline constexpr std::uint32_t NO_ERROR = 0;

// Service types, start types, error control, states, controls.
inline constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_DEMAND_START = 3;
inline constexpr std::uint32_t SERVICE_ERROR_NORMAL = 1;
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 1;

// A service's own SID, and the privilege Windows gives every account (it lets a path be
// walked through folders the account cannot list).
inline constexpr std::uint32_t SERVICE_SID_TYPE_UNRESTRICTED = 1;
inline constexpr char SE_CHANGE_NOTIFY_NAME[] = "SeChangeNotifyPrivilege";

// Access rights.
inline constexpr std::uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr std::uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0xF003F;

// Event types.
inline constexpr std::uint16_t EVENTLOG_ERROR_TYPE = 1;
inline constexpr std::uint16_t EVENTLOG_WARNING_TYPE = 2;
inline constexpr std::uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// Registry value types and results.
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr long ERROR_SUCCESS = 0;

// Win32 error codes the program itself sets or tests.
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr std::uint32_t ERROR_INVALID_LEVEL = 124;
inline constexpr std::uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr std::uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr std::uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr std::uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr std::uint32_t ERROR_SERVICE_EXISTS = 1073;
inline constexpr std::uint32_t ERROR_SERVICE_NOT_IN_EXE = 1083;
inline constexpr std::uint32_t ERROR_TIMEOUT = 1460;

// Windows Sockets.
inline constexpr OsSocket INVALID_SOCKET = ~OsSocket{0};
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEADDRINUSE = 10048;

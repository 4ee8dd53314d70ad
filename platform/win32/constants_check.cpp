// Proves that the values the program uses under platform names (platform/constants.h,
// platform/socket_constants.h) and the shapes that cross the boundary
// (platform/types.h) are the platform's own.
// Nothing here runs: a mismatch stops the build.
#include <string_view>

#include "platform/constants.h"
#include "platform/socket_constants.h"

namespace program {

constexpr auto noError = NO_ERROR;
constexpr auto ownProcess = SERVICE_WIN32_OWN_PROCESS;
constexpr auto demandStart = SERVICE_DEMAND_START;
constexpr auto errorNormal = SERVICE_ERROR_NORMAL;
constexpr auto stopped = SERVICE_STOPPED;
constexpr auto startPending = SERVICE_START_PENDING;
constexpr auto stopPending = SERVICE_STOP_PENDING;
constexpr auto running = SERVICE_RUNNING;
constexpr auto controlStop = SERVICE_CONTROL_STOP;
constexpr auto controlInterrogate = SERVICE_CONTROL_INTERROGATE;
constexpr auto acceptStop = SERVICE_ACCEPT_STOP;
constexpr auto sidUnrestricted = SERVICE_SID_TYPE_UNRESTRICTED;
constexpr std::string_view changeNotify = SE_CHANGE_NOTIFY_NAME;
constexpr auto managerAllAccess = SC_MANAGER_ALL_ACCESS;
constexpr auto serviceAllAccess = SERVICE_ALL_ACCESS;
constexpr auto keyAllAccess = KEY_ALL_ACCESS;
constexpr auto errorType = EVENTLOG_ERROR_TYPE;
constexpr auto warningType = EVENTLOG_WARNING_TYPE;
constexpr auto informationType = EVENTLOG_INFORMATION_TYPE;
constexpr auto expandString = REG_EXPAND_SZ;
constexpr auto dword = REG_DWORD;
constexpr auto success = ERROR_SUCCESS;
constexpr auto invalidHandle = ERROR_INVALID_HANDLE;
constexpr auto notEnoughMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr auto notSupported = ERROR_NOT_SUPPORTED;
constexpr auto invalidParameter = ERROR_INVALID_PARAMETER;
constexpr auto callNotImplemented = ERROR_CALL_NOT_IMPLEMENTED;
constexpr auto invalidLevel = ERROR_INVALID_LEVEL;
constexpr auto serviceDoesNotExist = ERROR_SERVICE_DOES_NOT_EXIST;
constexpr auto cannotAcceptControl = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
constexpr auto serviceNotActive = ERROR_SERVICE_NOT_ACTIVE;
constexpr auto controllerConnect = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
constexpr auto serviceExists = ERROR_SERVICE_EXISTS;
constexpr auto serviceNotInExe = ERROR_SERVICE_NOT_IN_EXE;
constexpr auto timeout = ERROR_TIMEOUT;
constexpr auto invalidSocket = INVALID_SOCKET;
constexpr auto socketError = SOCKET_ERROR;
constexpr auto internet = AF_INET;
constexpr auto datagram = SOCK_DGRAM;
constexpr auto anyAddress = INADDR_ANY;
constexpr auto messageSize = WSAEMSGSIZE;
constexpr auto addressInUse = WSAEADDRINUSE;

}  // namespace program

// From here on the names are the platform's macros; winsock2.h goes first, before
// windows.h can bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <cstddef>

static_assert(program::noError == NO_ERROR);
static_assert(program::ownProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(program::demandStart == SERVICE_DEMAND_START);
static_assert(program::errorNormal == SERVICE_ERROR_NORMAL);
static_assert(program::stopped == SERVICE_STOPPED);
static_assert(program::startPending == SERVICE_START_PENDING);
static_assert(program::stopPending == SERVICE_STOP_PENDING);
static_assert(program::running == SERVICE_RUNNING);
static_assert(program::controlStop == SERVICE_CONTROL_STOP);
static_assert(program::controlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(program::acceptStop == SERVICE_ACCEPT_STOP);
static_assert(program::sidUnrestricted == SERVICE_SID_TYPE_UNRESTRICTED);
static_assert(program::changeNotify == SE_CHANGE_NOTIFY_NAME);
static_assert(program::managerAllAccess == SC_MANAGER_ALL_ACCESS);
static_assert(program::serviceAllAccess == SERVICE_ALL_ACCESS);
static_assert(program::keyAllAccess == KEY_ALL_ACCESS);
static_assert(program::errorType == EVENTLOG_ERROR_TYPE);
static_assert(program::warningType == EVENTLOG_WARNING_TYPE);
static_assert(program::informationType == EVENTLOG_INFORMATION_TYPE);
static_assert(program::expandString == REG_EXPAND_SZ);
static_assert(program::dword == REG_DWORD);
static_assert(program::success == ERROR_SUCCESS);
static_assert(program::invalidHandle == ERROR_INVALID_HANDLE);
static_assert(program::notEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(program::notSupported == ERROR_NOT_SUPPORTED);
static_assert(program::invalidParameter == ERROR_INVALID_PARAMETER);
static_assert(program::callNotImplemented == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(program::invalidLevel == ERROR_INVALID_LEVEL);
static_assert(program::serviceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(program::cannotAcceptControl == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
static_assert(program::serviceNotActive == ERROR_SERVICE_NOT_ACTIVE);
static_assert(program::controllerConnect == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(program::serviceExists == ERROR_SERVICE_EXISTS);
static_assert(program::serviceNotInExe == ERROR_SERVICE_NOT_IN_EXE);
static_assert(program::timeout == ERROR_TIMEOUT);
static_assert(program::invalidSocket == INVALID_SOCKET);
static_assert(program::socketError == SOCKET_ERROR);
static_assert(program::internet == AF_INET);
static_assert(program::datagram == SOCK_DGRAM);
static_assert(program::anyAddress == INADDR_ANY);
static_assert(program::messageSize == WSAEMSGSIZE);
static_assert(program::addressInUse == WSAEADDRINUSE);

// Handles and sockets pass through the boundary as integers of the same width.
static_assert(sizeof(OsHandle) == sizeof(HANDLE));
static_assert(sizeof(OsSocket) == sizeof(SOCKET));

// The status record is handed over field by field, in the platform's order.
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(offsetof(ServiceStatus, serviceType) == offsetof(SERVICE_STATUS, dwServiceType));
static_assert(offsetof(ServiceStatus, currentState) == offsetof(SERVICE_STATUS, dwCurrentState));
static_assert(offsetof(ServiceStatus, controlsAccepted) ==
              offsetof(SERVICE_STATUS, dwControlsAccepted));
static_assert(offsetof(ServiceStatus, win32ExitCode) == offsetof(SERVICE_STATUS, dwWin32ExitCode));
static_assert(offsetof(ServiceStatus, serviceSpecificExitCode) ==
              offsetof(SERVICE_STATUS, dwServiceSpecificExitCode));
static_assert(offsetof(ServiceStatus, checkPoint) == offsetof(SERVICE_STATUS, dwCheckPoint));
static_assert(offsetof(ServiceStatus, waitHint) == offsetof(SERVICE_STATUS, dwWaitHint));

// The service control manager and its dispatcher: the only way the program talks to
// whatever starts, stops and records services on this platform. Results follow Win32:
// a null handle or false on failure, with the reason in OsGetLastError().
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/types.h"

using ServiceMainFunction = void (*)(std::uint32_t argCount, char** argVector);
using ControlHandlerFunction = void (*)(std::uint32_t controlCode);

// One row of the dispatch table; the table ends with a row of nulls.
struct ServiceTableEntry {
    const char* serviceName;
    ServiceMainFunction serviceProc;
};

// Blocks the calling thread: starts the table's service on a thread of its own, calls
// the registered control handler on this thread, and returns true once the service has
// returned. False when the process cannot become a service at all.
bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* table);

// Registers the control handler of the running service; the status handle or null.
OsHandle OsRegisterServiceCtrlHandler(const char* serviceName, ControlHandlerFunction handler);

// Hands the whole record to the manager. A stop control is delivered only after a report
// that declared SERVICE_ACCEPT_STOP.
bool OsSetServiceStatus(OsHandle statusHandle, const ServiceStatus& status);

// Whether the manager can run the executable at `path`, this program's own as
// OsGetModuleFileName names it, as the service: false with a one-line reason (no line
// feed) in `reason` when it cannot.
bool OsCheckServiceBinary(const char* path, std::span<char> reason);

// A line of the running service's own for the manager to show beside its state, such as
// its counts; nothing where the manager shows no such line. Not a status report: the
// record stays as last reported. Failures are not reported: the line is only news.
void OsShowServiceText(std::string_view text);

// How often the running service must tell the manager that it still turns, in
// milliseconds: a manager that hears nothing for longer takes the service for hung. 0 where
// the manager watches for no such sign.
std::uint32_t OsKeepAliveIntervalMs();

// Tells the manager that the service still turns. Failures are not reported: a sign lost
// costs at most the restart the manager then decides on.
void OsServiceKeepAlive();

OsHandle OsOpenSCManager(std::uint32_t desiredAccess);

// Creates the service entry: own process, the given start type and error control, run
// under `account`, a built-in one that takes no password; no group, no dependencies.
OsHandle OsCreateService(OsHandle manager, const char* serviceName, const char* displayName,
                         std::uint32_t desiredAccess, std::uint32_t serviceType,
                         std::uint32_t startType, std::uint32_t errorControl,
                         const char* binaryPath, const char* account);

// The settings of a service entry beyond those it is created with. Each is true once the
// manager holds it; false with the manager's refusal in OsGetLastError(), or with the
// error of reading it back: a manager that takes a setting without keeping it shows it
// no more than one that has no such setting.

// Cuts the privileges the service's process gets to those in `privilegeList`: names,
// each ending in a zero, the list ending in one more.
bool OsChangeServiceRequiredPrivileges(OsHandle service, const char* privilegeList);

// Gives the service's process a SID of its own, of the given type.
bool OsChangeServiceSidType(OsHandle service, std::uint32_t sidType);

// Restarts the service `restartDelayMs` after each time its process ends without having
// reported it stopped; the count of such ends starts again after `resetPeriodSeconds`
// without one. A stop the service reports itself, with any exit code, is no such end.
bool OsChangeServiceFailureActions(OsHandle service, std::uint32_t restartDelayMs,
                                   std::uint32_t resetPeriodSeconds);

OsHandle OsOpenService(OsHandle manager, const char* serviceName, std::uint32_t desiredAccess);

// True with *status filled when the manager took the control; false when it refused it,
// with 1083 when a process that is not the service stands where it should run.
bool OsControlService(OsHandle service, std::uint32_t control, ServiceStatus* status);

bool OsQueryServiceStatus(OsHandle service, ServiceStatus* status);

bool OsDeleteService(OsHandle service);

void OsCloseServiceHandle(OsHandle handle);

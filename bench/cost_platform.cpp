// The rest of the own-cost harness's platform: no service manager, no registry, no
// console, and an event log that takes every report and keeps nothing. The harness
// hooks two moments of the run: the running report (the socket is bound, the loop is
// about to start) and each log-line report.

#include <cstdint>
#include <span>
#include <string_view>

#include "cost_hooks.h"
#include "platform/console.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/scm.h"

void OsConsoleSetup() {}

void OsConsoleWrite(std::string_view /*text*/) {}

OsHandle OsRegisterEventSource(const char* /*sourceName*/) {
    return 1;
}

bool OsReportEvent(OsHandle /*source*/, std::uint16_t eventType, std::uint16_t /*category*/,
                   std::uint32_t eventId, std::span<const char* const> strings,
                   std::uint32_t /*waitMs*/, TextCoding /*coding*/,
                   const Ipv4Endpoint* /*sender*/) {
    CostHooks::Reported(eventType, eventId, strings);
    return true;
}

void OsDeregisterEventSource(OsHandle /*source*/) {}

bool OsStartServiceCtrlDispatcher(const ServiceTableEntry* /*table*/) {
    return false;
}

OsHandle OsRegisterServiceCtrlHandler(const char* /*serviceName*/,
                                      ControlHandlerFunction /*handler*/) {
    return 1;
}

bool OsSetServiceStatus(OsHandle /*statusHandle*/, const ServiceStatus& status) {
    CostHooks::Status(status.currentState);
    return true;
}

void OsShowServiceText(std::string_view /*text*/) {}

// No manager watches the bench's loop.
std::uint32_t OsKeepAliveIntervalMs() {
    return 0;
}

void OsServiceKeepAlive() {}

OsHandle OsOpenSCManager(std::uint32_t /*desiredAccess*/) {
    return 0;
}

OsHandle OsCreateService(OsHandle, const char*, const char*, std::uint32_t, std::uint32_t,
                         std::uint32_t, std::uint32_t, const char*, const char*) {
    return 0;
}

bool OsChangeServiceRequiredPrivileges(OsHandle, const char*) {
    return false;
}

bool OsChangeServiceSidType(OsHandle, std::uint32_t) {
    return false;
}

bool OsChangeServiceFailureActions(OsHandle, std::uint32_t, std::uint32_t) {
    return false;
}

OsHandle OsOpenService(OsHandle, const char*, std::uint32_t) {
    return 0;
}

bool OsControlService(OsHandle, std::uint32_t, ServiceStatus*) {
    return false;
}

bool OsQueryServiceStatus(OsHandle, ServiceStatus*) {
    return false;
}

bool OsDeleteService(OsHandle) {
    return false;
}

void OsCloseServiceHandle(OsHandle) {}

long OsRegCreateKey(const char*, std::uint32_t, OsHandle* key) {
    *key = 0;
    return 5;
}

long OsRegSetValue(OsHandle, const char*, std::uint32_t, std::span<const unsigned char>) {
    return 5;
}

void OsRegCloseKey(OsHandle) {}

long OsRegDeleteKey(const char*) {
    return 5;
}

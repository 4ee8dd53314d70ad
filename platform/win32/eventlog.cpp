#include "platform/eventlog.h"

#include <windows.h>

#include "platform/win32/handles.h"

OsHandle OsRegisterEventSource(const char* sourceName) {
    return FromNative(RegisterEventSourceA(nullptr, sourceName));
}

void OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings) {
    // ReportEventA only reads the strings; its parameter is not declared const.
    (void)ReportEventA(ToNative<HANDLE>(source), eventType, category, eventId, nullptr,
                       static_cast<WORD>(strings.size()), 0, const_cast<LPCSTR*>(strings.data()),
                       nullptr);
}

void OsDeregisterEventSource(OsHandle source) {
    (void)DeregisterEventSource(ToNative<HANDLE>(source));
}

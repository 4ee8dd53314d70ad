#include "platform/eventlog.h"

#include <windows.h>

#include <array>

#include "platform/win32/handles.h"

namespace {

// Wide strings a UTF-8 report can carry, and the room for each: more than a log line
// needs, and within what the event log takes for one string.
constexpr std::size_t MAX_WIDE_STRINGS = 2;
constexpr int WIDE_STRING_SIZE = 16384;

using WideStrings = std::array<std::array<wchar_t, WIDE_STRING_SIZE>, MAX_WIDE_STRINGS>;

// The strings in UTF-16; false when there are too many, one is too long or one is not
// UTF-8 after all.
bool ToWide(std::span<const char* const> strings, WideStrings& wide,
            std::array<LPCWSTR, MAX_WIDE_STRINGS>& pointers) {
    if (strings.size() > MAX_WIDE_STRINGS) {
        return false;
    }
    for (std::size_t i = 0; i < strings.size(); ++i) {
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strings[i], -1, wide[i].data(),
                                WIDE_STRING_SIZE) == 0) {
            return false;
        }
        pointers[i] = wide[i].data();
    }
    return true;
}

}  // namespace

OsHandle OsRegisterEventSource(const char* sourceName) {
    return FromNative(RegisterEventSourceA(nullptr, sourceName));
}

// The 8-bit call reads its strings in the system's code page, which would garble a
// UTF-8 sender's text; such text goes through the wide call. Whatever cannot be
// converted goes as it came. An event has no field for its sender: the text alone
// tells the device, by the host name in its header. ReportEvent takes no bound for its
// wait: the event log takes the event or refuses it.
bool OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings,
                   std::uint32_t /*waitMs*/, TextCoding coding, const Ipv4Endpoint* /*sender*/) {
    if (coding == TextCoding::Utf8) {
        WideStrings wide;  // filled up to each terminator by the conversion
        std::array<LPCWSTR, MAX_WIDE_STRINGS> pointers{};
        if (ToWide(strings, wide, pointers)) {
            // ReportEventW only reads the strings; its parameter is not declared const.
            return ReportEventW(ToNative<HANDLE>(source), eventType, category, eventId, nullptr,
                                static_cast<WORD>(strings.size()), 0,
                                const_cast<LPCWSTR*>(pointers.data()), nullptr) != FALSE;
        }
    }
    // ReportEventA only reads the strings; its parameter is not declared const.
    return ReportEventA(ToNative<HANDLE>(source), eventType, category, eventId, nullptr,
                        static_cast<WORD>(strings.size()), 0, const_cast<LPCSTR*>(strings.data()),
                        nullptr) != FALSE;
}

void OsDeregisterEventSource(OsHandle source) {
    (void)DeregisterEventSource(ToNative<HANDLE>(source));
}

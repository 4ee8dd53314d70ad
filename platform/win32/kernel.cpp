#include "platform/kernel.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/handles.h"

OsHandle OsCreateEvent() {
    return FromNative(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

bool OsSetEvent(OsHandle event) {
    return SetEvent(ToNative<HANDLE>(event)) != FALSE;
}

void OsCloseHandle(OsHandle handle) {
    (void)CloseHandle(ToNative<HANDLE>(handle));
}

std::uint32_t OsGetLastError() {
    return GetLastError();
}

void OsSetLastError(std::uint32_t code) {
    SetLastError(code);
}

std::size_t OsFormatSystemMessage(std::uint32_t code, std::span<char> out) {
    if (!out.empty()) {
        out[0] = '\0';
    }
    // The system sizes the buffer, so the length is the whole text's, which the caller
    // needs for its test of what fits.
    LPSTR text = nullptr;
    // Some system texts hold insertion points ("Bad EXE format for %1."); with no
    // arguments to put in, they are left as they stand instead of read from nowhere.
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length =
        FormatMessageA(flags, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return 0;
    }
    if (!out.empty()) {
        const std::size_t copied = length < out.size() ? length : out.size() - 1;
        std::memcpy(out.data(), text, copied);
        out[copied] = '\0';
    }
    (void)LocalFree(text);
    return length;
}

std::uint32_t OsGetModuleFileName(std::span<char> out) {
    const DWORD length = GetModuleFileNameA(nullptr, out.data(), static_cast<DWORD>(out.size()));
    if (length == 0) {
        return 0;
    }
    // A path that filled the buffer was cut; older systems say so without an error code.
    if (length >= out.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return length;
}

void OsSleep(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

std::uint64_t OsTickCount() {
    return GetTickCount64();
}

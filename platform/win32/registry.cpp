#include "platform/registry.h"

#include <windows.h>

#include "platform/win32/handles.h"

long OsRegCreateKey(const char* subKey, std::uint32_t desiredAccess, OsHandle* key) {
    HKEY native = nullptr;
    const LONG result =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        desiredAccess, nullptr, &native, nullptr);
    *key = FromNative(native);
    return result;
}

long OsRegSetValue(OsHandle key, const char* valueName, std::uint32_t type,
                   std::span<const unsigned char> data) {
    return RegSetValueExA(ToNative<HKEY>(key), valueName, 0, type, data.data(),
                          static_cast<DWORD>(data.size()));
}

void OsRegCloseKey(OsHandle key) {
    (void)RegCloseKey(ToNative<HKEY>(key));
}

long OsRegDeleteKey(const char* subKey) {
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey);
}

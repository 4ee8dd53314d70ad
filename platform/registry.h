// The registry under HKEY_LOCAL_MACHINE. Results are Win32 error codes (ERROR_SUCCESS).
#pragma once

#include <cstdint>
#include <span>

#include "platform/types.h"

// Creates the key, or opens it when it exists.
long OsRegCreateKey(const char* subKey, std::uint32_t desiredAccess, OsHandle* key);

long OsRegSetValue(OsHandle key, const char* valueName, std::uint32_t type,
                   std::span<const unsigned char> data);

void OsRegCloseKey(OsHandle key);

long OsRegDeleteKey(const char* subKey);

// The boundary's handles are integers; Win32's are pointers of several types. Every
// conversion goes through here, so the layer's files never spell a cast themselves.
#pragma once

#include "platform/types.h"

template <typename Native>
Native ToNative(OsHandle handle) {
    return reinterpret_cast<Native>(handle);
}

template <typename Native>
OsHandle FromNative(Native handle) {
    return reinterpret_cast<OsHandle>(handle);
}

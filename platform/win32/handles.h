// The boundary's handles are integers; Win32's are pointers of several types. Every
// conversion goes through here, so the layer's files never spell a cast themselves.
#pragma once

#include "platform/types.h"

// A Win32 handle is an opaque value that the boundary carries as an integer; it is only
// ever handed back to the system, never dereferenced, so no pointer provenance is lost.
template <typename Native>
Native ToNative(OsHandle handle) {
    return reinterpret_cast<Native>(handle);  // NOLINT(performance-no-int-to-ptr)
}

template <typename Native>
OsHandle FromNative(Native handle) {
    return reinterpret_cast<OsHandle>(handle);
}

// Handles of objects that are file descriptors: the descriptor plus one, so that
// descriptor 0 still gives a non-null handle and 0 stays the null handle.
#pragma once

#include "platform/types.h"

constexpr OsHandle HandleFromFd(int fd) {
    return static_cast<OsHandle>(fd) + 1;
}

constexpr int FdFromHandle(OsHandle handle) {
    return static_cast<int>(handle - 1);
}

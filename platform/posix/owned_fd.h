// A file descriptor closed when its owner goes out of scope. The close keeps errno, so a
// failure path returns the failed call's error however it leaves the scope.
#pragma once

#include <unistd.h>

#include <cerrno>

struct OwnedFd {
    int fd = -1;

    OwnedFd() = default;
    explicit OwnedFd(int descriptor) : fd(descriptor) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd >= 0) {
            const int error = errno;
            (void)close(fd);
            errno = error;
        }
    }

    // Hands the descriptor over to the caller, who then closes it.
    int Release() {
        const int descriptor = fd;
        fd = -1;
        return descriptor;
    }
};

#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/posix/owned_fd.h"

namespace {

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes, syncs and closes; errno of the first failure survives the close.
bool FinishFile(int descriptor, std::string_view content) {
    OwnedFd fd(descriptor);
    if (!WriteAll(fd.fd, content) || fsync(fd.fd) != 0) {
        return false;
    }
    return close(fd.Release()) == 0;
}

}  // namespace

bool MakeDirectories(std::string_view path) {
    std::array<char, PATH_MAX> partial{};
    if (path.empty() || path.size() >= partial.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (std::size_t end = 1; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/') {
            continue;
        }
        path.copy(partial.data(), end);
        partial[end] = '\0';
        if (mkdir(partial.data(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    if (stat(partial.data(), &info) != 0) {
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool ReplaceFileAt(int directory, const char* name, std::string_view content) {
    std::array<char, PATH_MAX> temporary{};
    if (!JoinPath(temporary, name, ".tmp")) {
        errno = ENAMETOOLONG;
        return false;
    }
    // A leftover, or something planted there, is never written through: only a file
    // this call creates is.
    if (unlinkat(directory, temporary.data(), 0) != 0 && errno != ENOENT) {
        return false;
    }
    const int fd = openat(directory, temporary.data(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (!FinishFile(fd, content) || renameat(directory, temporary.data(), directory, name) != 0) {
        const int error = errno;
        (void)unlinkat(directory, temporary.data(), 0);
        errno = error;
        return false;
    }
    return true;
}

bool ReplaceFile(const char* path, std::string_view content) {
    return ReplaceFileAt(AT_FDCWD, path, content);
}

bool CreateNewFile(const char* path, std::string_view content) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (!FinishFile(fd, content)) {
        const int error = errno;
        (void)unlink(path);
        errno = error;
        return false;
    }
    return true;
}

int OpenRegularFile(int directory, const char* name, struct stat* info) {
    // Neither a link nor a FIFO gets further than the open: a FIFO opened without
    // waiting is refused below like any other file that is not a plain one.
    OwnedFd fd(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0 || fstat(fd.fd, info) != 0) {
        return -1;
    }
    if (!S_ISREG(info->st_mode)) {
        errno = EACCES;
        return -1;
    }
    return fd.Release();
}

long ReadSmallFileAt(int directory, const char* name, std::span<char> out, struct stat* info) {
    struct stat ignored {};
    const OwnedFd fd(OpenRegularFile(directory, name, info != nullptr ? info : &ignored));
    if (fd.fd < 0) {
        return -1;
    }
    std::size_t length = 0;
    for (;;) {
        if (length == out.size()) {
            // Full: only a file that ends here fits.
            char extra = 0;
            const ssize_t more = read(fd.fd, &extra, 1);
            if (more > 0) {
                errno = EFBIG;
            }
            return more == 0 ? static_cast<long>(length) : -1;
        }
        const ssize_t got = read(fd.fd, out.data() + length, out.size() - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0 ? static_cast<long>(length) : -1;
        }
        length += static_cast<std::size_t>(got);
    }
}

long ReadSmallFile(const char* path, std::span<char> out) {
    return ReadSmallFileAt(AT_FDCWD, path, out, nullptr);
}

bool JoinPath(std::span<char> out, std::string_view first, std::string_view second,
              std::string_view third) {
    const std::size_t total = first.size() + second.size() + third.size();
    if (total >= out.size()) {
        return false;
    }
    std::size_t at = first.copy(out.data(), first.size());
    at += second.copy(out.data() + at, second.size());
    at += third.copy(out.data() + at, third.size());
    out[at] = '\0';
    return true;
}

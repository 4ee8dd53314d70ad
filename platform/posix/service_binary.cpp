#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstdio>
#include <string_view>

#include "platform/posix/unit_file.h"
#include "platform/scm.h"

namespace {

bool Refuse(std::span<char> reason, std::string_view subject, const char* cause) {
    (void)std::snprintf(reason.data(), reason.size(), "%.*s%s%s", static_cast<int>(subject.size()),
                        subject.data(), subject.empty() ? "" : " ", cause);
    return false;
}

// Why the file or directory at `path` would let someone other than root change what the
// service runs, or keep the service's own user from running it; null when neither.
const char* AccessProblem(const char* path, bool isFile) {
    struct stat info {};
    if (lstat(path, &info) != 0) {
        return "cannot be examined";
    }
    if (S_ISLNK(info.st_mode)) {
        return "is a symbolic link";
    }
    if (isFile ? !S_ISREG(info.st_mode) : !S_ISDIR(info.st_mode)) {
        return isFile ? "is not a regular file" : "is not a directory";
    }
    // The unit grants the port's capability to whatever sits at this path.
    if (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "can be changed by a user other than root";
    }
    if ((info.st_mode & S_IXOTH) == 0) {
        return isFile ? "cannot be run by the service's unprivileged user"
                      : "cannot be searched by the service's unprivileged user";
    }
    return nullptr;
}

}  // namespace

bool OsCheckServiceBinary(const char* path, std::span<char> reason) {
    const std::string_view whole = path != nullptr ? path : "";
    if (const char* problem = ExecPathProblem(whole); problem != nullptr) {
        return Refuse(reason, "", problem);
    }
    if (const std::string_view place = SandboxHiddenPlace(whole); !place.empty()) {
        return Refuse(reason, place, "is hidden from the service by its sandbox");
    }
    // Every directory from the root down, then the file itself.
    std::array<char, PATH_MAX> partial{};
    if (whole.size() >= partial.size()) {
        return Refuse(reason, "", "its path is too long");
    }
    for (std::size_t end = 0; end <= whole.size(); ++end) {
        if (end < whole.size() && whole[end] != '/') {
            continue;
        }
        const std::string_view prefix = end == 0 ? "/" : whole.substr(0, end);
        prefix.copy(partial.data(), prefix.size());
        partial[prefix.size()] = '\0';
        if (const char* problem = AccessProblem(partial.data(), end == whole.size());
            problem != nullptr) {
            return Refuse(reason, prefix, problem);
        }
    }
    return true;
}

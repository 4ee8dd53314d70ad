#include "platform/posix/process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "platform/posix/files.h"
#include "platform/posix/owned_fd.h"

namespace {

// The number that starts `text`, or false.
template <typename Number>
bool LeadingNumber(std::string_view text, Number* number) {
    return std::from_chars(text.data(), text.data() + text.size(), *number).ec == std::errc();
}

// The process's /proc file `name` into `text`; empty when it cannot be read.
std::string_view ReadProcFile(pid_t pid, const char* name, std::span<char> text) {
    std::array<char, 64> path{};
    (void)std::snprintf(path.data(), path.size(), "/proc/%ld/%s", static_cast<long>(pid), name);
    const long length = ReadSmallFile(path.data(), text);
    return {text.data(), length > 0 ? static_cast<std::size_t>(length) : 0};
}

}  // namespace

bool ReadProcessIdentity(pid_t pid, unsigned long long* startTime, uid_t* realUser) {
    std::array<char, 4096> text{};
    // The command name in parentheses may hold anything: the fields follow its last ')',
    // the start time is the 22nd.
    std::string_view fields = ReadProcFile(pid, "stat", text);
    std::size_t at = fields.rfind(')');
    for (int field = 2; field < 22 && at != std::string_view::npos; ++field) {
        at = fields.find(' ', at + 1);
    }
    if (at == std::string_view::npos || !LeadingNumber(fields.substr(at + 1), startTime)) {
        return false;
    }
    fields = ReadProcFile(pid, "status", text);
    constexpr std::string_view UID = "\nUid:\t";  // real, effective, saved, file system
    at = fields.find(UID);
    return at != std::string_view::npos && LeadingNumber(fields.substr(at + UID.size()), realUser);
}

int OpenProvenProcess(pid_t pid, unsigned long long startTime, uid_t realUser) {
    if (pid <= 0 || startTime == 0) {
        return -1;
    }
    // Opened first: whatever is proven below stays true of this descriptor, even if the
    // ID is taken by another process meanwhile.
    OwnedFd fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    unsigned long long actualStart = 0;
    uid_t actualUser = 0;
    if (fd.fd < 0 || !ReadProcessIdentity(pid, &actualStart, &actualUser) ||
        actualStart != startTime || actualUser != realUser) {
        return -1;
    }
    return fd.Release();
}

bool ProcessExists(pid_t pid) {
    const OwnedFd fd(pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1);
    return fd.fd >= 0;
}

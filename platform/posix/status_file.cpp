#include "platform/posix/status_file.h"

#include <unistd.h>
#include <csignal>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/posix/files.h"
#include "platform/posix/win32_codes.h"

namespace {

// "pid=" and seven "name=value" lines with values of at most ten digits.
constexpr std::size_t STATUS_TEXT_SIZE = 256;
static_assert(STATUS_TEXT_SIZE > sizeof("pid=\nserviceType=\ncurrentState=\ncontrolsAccepted=\n"
                                        "win32ExitCode=\nserviceSpecificExitCode=\ncheckPoint=\n"
                                        "waitHint=\n") +
                                     std::size_t{8} * 10);

struct Field {
    std::string_view name;
    std::uint32_t ServiceStatus::*member;
};

constexpr std::array<Field, 7> FIELDS{{
    {"serviceType", &ServiceStatus::serviceType},
    {"currentState", &ServiceStatus::currentState},
    {"controlsAccepted", &ServiceStatus::controlsAccepted},
    {"win32ExitCode", &ServiceStatus::win32ExitCode},
    {"serviceSpecificExitCode", &ServiceStatus::serviceSpecificExitCode},
    {"checkPoint", &ServiceStatus::checkPoint},
    {"waitHint", &ServiceStatus::waitHint},
}};

// Applies one "name=value" line; unknown names and bad numbers are skipped.
void ParseLine(std::string_view line, StatusFileRecord* record) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals + 1 >= line.size()) {
        return;
    }
    std::array<char, 16> digits{};
    const std::string_view value = line.substr(equals + 1);
    if (value.size() >= digits.size()) {
        return;
    }
    value.copy(digits.data(), value.size());
    char* end = nullptr;
    const unsigned long number = std::strtoul(digits.data(), &end, 10);
    if (*end != '\0' || number > 0xFFFFFFFFUL) {
        return;
    }
    const std::string_view name = line.substr(0, equals);
    if (name == "pid") {
        record->pid = static_cast<pid_t>(number);
    }
    for (const Field& field : FIELDS) {
        if (field.name == name) {
            record->status.*field.member = static_cast<std::uint32_t>(number);
        }
    }
}

}  // namespace

// True when the process that wrote the status file still runs. A process that has
// taken over a dead service's ID is told apart by its executable's name.
bool ServiceProcessAlive(pid_t pid) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    std::array<char, 64> link{};
    std::array<char, PATH_MAX> theirs{};
    std::array<char, PATH_MAX> ours{};
    (void)std::snprintf(link.data(), link.size(), "/proc/%ld/exe", static_cast<long>(pid));
    const ssize_t theirLength = readlink(link.data(), theirs.data(), theirs.size() - 1);
    const ssize_t ourLength = readlink("/proc/self/exe", ours.data(), ours.size() - 1);
    if (theirLength <= 0 || ourLength <= 0) {
        return true;  // cannot tell: trust the file
    }
    // A replaced executable reads as "<path> (deleted)".
    std::string_view their(theirs.data(), static_cast<std::size_t>(theirLength));
    if (their.ends_with(" (deleted)")) {
        their.remove_suffix(sizeof(" (deleted)") - 1);
    }
    const std::string_view our(ours.data(), static_cast<std::size_t>(ourLength));
    return their.substr(their.rfind('/') + 1) == our.substr(our.rfind('/') + 1);
}

bool WriteStatusFile(const ServiceStatus& status) {
    // The file belongs to the service that runs: a second instance started beside it
    // must not make it look stopped, or removal would never stop it.
    StatusFileRecord current{};
    if (ReadStatusFile(&current) && current.pid != getpid() &&
        current.status.currentState != SERVICE_STOPPED && ServiceProcessAlive(current.pid)) {
        return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
    }
    std::array<char, STATUS_TEXT_SIZE> text{};
    const int length = std::snprintf(
        text.data(), text.size(),
        "pid=%ld\nserviceType=%u\ncurrentState=%u\ncontrolsAccepted=%u\nwin32ExitCode=%u\n"
        "serviceSpecificExitCode=%u\ncheckPoint=%u\nwaitHint=%u\n",
        static_cast<long>(getpid()), status.serviceType, status.currentState,
        status.controlsAccepted, status.win32ExitCode, status.serviceSpecificExitCode,
        status.checkPoint, status.waitHint);
    if (length < 0 || static_cast<std::size_t>(length) >= text.size()) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!MakeDirectories(STATUS_DIRECTORY) ||
        !ReplaceFile(STATUS_FILE_PATH,
                     std::string_view(text.data(), static_cast<std::size_t>(length)))) {
        return FailWithErrno();
    }
    return true;
}

bool ReadStatusFile(StatusFileRecord* record) {
    *record = StatusFileRecord{
        0, ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0}};
    std::array<char, 1024> text{};
    const long length = ReadSmallFile(STATUS_FILE_PATH, text);
    if (length < 0) {
        return errno == ENOENT || FailWithErrno();
    }
    std::string_view rest(text.data(), static_cast<std::size_t>(length));
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        ParseLine(rest.substr(0, newline), record);
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    }
    return true;
}

#include "platform/posix/status_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/posix/files.h"
#include "platform/posix/win32_codes.h"

namespace {

constexpr char STATUS_FILE_NAME[] = "status";
constexpr char STATUS_TEMPORARY_NAME[] = "status.tmp";  // as ReplaceFileAt names it

// The folder's name, in /run or in systemd's private folder.
constexpr const char* FOLDER_NAME = STATUS_DIRECTORY + sizeof "/run";
static_assert(std::string_view(STATUS_DIRECTORY).substr(0, sizeof "/run") == "/run/");
// Where systemd keeps a dynamic user's runtime folder, and what its link says.
constexpr char PRIVATE_PARENT[] = "/run/private";
constexpr std::string_view PRIVATE_LINK = "private/Corvane";
static_assert(PRIVATE_LINK.substr(sizeof "private") == FOLDER_NAME);

// Whether a run has told its standard error why its folder is not its own: each
// report fails alike, and once says it all.
std::atomic_flag RefusalTold = ATOMIC_FLAG_INIT;

// "pid=", "startTime=" (up to twenty digits) and seven "name=value" lines with values of
// at most ten digits.
constexpr std::size_t STATUS_TEXT_SIZE = 256;
static_assert(STATUS_TEXT_SIZE > sizeof("pid=\nstartTime=\nserviceType=\ncurrentState=\n"
                                        "controlsAccepted=\nwin32ExitCode=\n"
                                        "serviceSpecificExitCode=\ncheckPoint=\nwaitHint=\n") +
                                     std::size_t{8} * 10 + 20);

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
    std::array<char, 24> digits{};
    const std::string_view value = line.substr(equals + 1);
    if (value.size() >= digits.size()) {
        return;
    }
    value.copy(digits.data(), value.size());
    char* end = nullptr;
    const unsigned long long number = std::strtoull(digits.data(), &end, 10);
    const std::string_view name = line.substr(0, equals);
    if (*end != '\0' || (name != "startTime" && number > 0xFFFFFFFFULL)) {
        return;
    }
    if (name == "pid") {
        record->pid = static_cast<pid_t>(number);
    }
    if (name == "startTime") {
        record->startTime = number;
    }
    for (const Field& field : FIELDS) {
        if (field.name == name) {
            record->status.*field.member = static_cast<std::uint32_t>(number);
        }
    }
}

// The number that starts `text`, or false.
template <typename Number>
bool LeadingNumber(std::string_view text, Number* number) {
    return std::from_chars(text.data(), text.data() + text.size(), *number).ec == std::errc();
}

// The start time (clock ticks after boot) and real user of a running process; false
// when it is gone.
bool ProcessIdentity(pid_t pid, unsigned long long* startTime, uid_t* realUser) {
    std::array<char, 64> path{};
    std::array<char, 4096> text{};
    (void)std::snprintf(path.data(), path.size(), "/proc/%ld/stat", static_cast<long>(pid));
    long length = ReadSmallFile(path.data(), text);
    // The command name in parentheses may hold anything: the fields follow its last ')',
    // the start time is the 22nd.
    std::string_view fields(text.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
    std::size_t at = fields.rfind(')');
    for (int field = 2; field < 22 && at != std::string_view::npos; ++field) {
        at = fields.find(' ', at + 1);
    }
    if (at == std::string_view::npos || !LeadingNumber(fields.substr(at + 1), startTime)) {
        return false;
    }
    (void)std::snprintf(path.data(), path.size(), "/proc/%ld/status", static_cast<long>(pid));
    length = ReadSmallFile(path.data(), text);
    fields = std::string_view(text.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
    constexpr std::string_view UID = "\nUid:\t";  // real, effective, saved, file system
    at = fields.find(UID);
    return at != std::string_view::npos && LeadingNumber(fields.substr(at + UID.size()), realUser);
}

// The runtime directory. With a dynamic user systemd makes it a link into its private
// runtime folder: only root can place a link in /run, and what the link leads to is
// judged by its owner and mode once open.
int OpenStatusDirectory() {
    return open(STATUS_DIRECTORY, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Whether a file and its directory can be changed only by the file's owner and root.
bool OwnedAlone(const struct stat& directory, const struct stat& file) {
    return (directory.st_uid == 0 || directory.st_uid == file.st_uid) &&
           (directory.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           (file.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether `name` in `folder` is absent or a regular file of `owner`, as the service
// leaves its files.
bool AbsentOrOwnFile(int folder, const char* name, uid_t owner) {
    struct stat info {};
    if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    return S_ISREG(info.st_mode) && info.st_uid == owner;
}

// Removes the service's files from its folder in the open `parent`, then the folder.
// Nothing is followed: a name swapped meanwhile is only unlinked.
bool RemoveOwnFolder(int parent) {
    const int folder = openat(parent, FOLDER_NAME, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return errno == ENOENT;
    }
    struct stat parentInfo {};
    struct stat folderInfo {};
    bool removed = fstat(parent, &parentInfo) == 0 && fstat(folder, &folderInfo) == 0 &&
                   parentInfo.st_uid == 0 && OwnedAlone(parentInfo, folderInfo) &&
                   AbsentOrOwnFile(folder, STATUS_FILE_NAME, folderInfo.st_uid) &&
                   AbsentOrOwnFile(folder, STATUS_TEMPORARY_NAME, folderInfo.st_uid);
    for (const char* file : {STATUS_FILE_NAME, STATUS_TEMPORARY_NAME}) {
        removed = removed && (unlinkat(folder, file, 0) == 0 || errno == ENOENT);
    }
    (void)close(folder);
    // A folder that holds anything else is not the service's alone: it stays.
    return removed && unlinkat(parent, FOLDER_NAME, AT_REMOVEDIR) == 0;
}

// The same for the folder in the root-owned directory `parentPath`.
bool RemoveFolderIn(const char* parentPath) {
    const int parent = open(parentPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        return false;
    }
    const bool removed = RemoveOwnFolder(parent);
    (void)close(parent);
    return removed;
}

}  // namespace

bool RemoveStatusDirectory() {
    // Only root can put anything at this name in /run: systemd, or a run as root.
    std::array<char, 64> link{};
    const ssize_t linked = readlink(STATUS_DIRECTORY, link.data(), link.size());
    if (linked < 0) {
        return errno == ENOENT || RemoveFolderIn("/run");
    }
    // A link that systemd did not make leads to nothing of the service's.
    return std::string_view(link.data(), static_cast<std::size_t>(linked)) == PRIVATE_LINK &&
           RemoveFolderIn(PRIVATE_PARENT) && unlink(STATUS_DIRECTORY) == 0;
}

int OpenServiceProcess(const StatusFileRecord& record) {
    if (record.pid <= 0 || record.startTime == 0) {
        return -1;
    }
    // Opened first: whatever is proven below stays true of this descriptor, even if the
    // ID is taken by another process meanwhile.
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, record.pid, 0));
    if (fd < 0) {
        return -1;
    }
    unsigned long long startTime = 0;
    uid_t realUser = 0;
    if (!ProcessIdentity(record.pid, &startTime, &realUser) || startTime != record.startTime ||
        realUser != record.owner) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

bool WriteStatusFile(const ServiceStatus& status) {
    // The file belongs to the service that runs: a second instance started beside it
    // must not make it look stopped, or removal would never stop it.
    StatusFileRecord current{};
    if (ReadStatusFile(&current) && current.pid != getpid() &&
        current.status.currentState != SERVICE_STOPPED) {
        const int running = OpenServiceProcess(current);
        if (running >= 0) {
            (void)close(running);
            return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
        }
    }
    unsigned long long startTime = 0;
    uid_t realUser = 0;
    (void)ProcessIdentity(getpid(), &startTime, &realUser);
    std::array<char, STATUS_TEXT_SIZE> text{};
    const int length = std::snprintf(
        text.data(), text.size(),
        "pid=%ld\nstartTime=%llu\nserviceType=%u\ncurrentState=%u\ncontrolsAccepted=%u\n"
        "win32ExitCode=%u\nserviceSpecificExitCode=%u\ncheckPoint=%u\nwaitHint=%u\n",
        static_cast<long>(getpid()), startTime, status.serviceType, status.currentState,
        status.controlsAccepted, status.win32ExitCode, status.serviceSpecificExitCode,
        status.checkPoint, status.waitHint);
    if (length < 0 || static_cast<std::size_t>(length) >= text.size()) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!MakeDirectories(STATUS_DIRECTORY)) {
        return FailWithErrno();
    }
    const int directory = OpenStatusDirectory();
    if (directory < 0) {
        return FailWithErrno();
    }
    // Another user who can change the directory could swap the file under a reader.
    struct stat info {};
    bool written = fstat(directory, &info) == 0 || FailWithErrno();
    if (written && (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        // Most often the folder an installed service's own user left behind: the status
        // report fails into the log, but whoever started this run by hand reads this.
        if (!RefusalTold.test_and_set()) {
            (void)std::fprintf(stderr,
                               "Unable to write the service's status - %s belongs to user %lu "
                               "or others may change it; when the installed service is "
                               "stopped, remove the folder and start again\n",
                               STATUS_DIRECTORY, static_cast<unsigned long>(info.st_uid));
        }
        written = FailWith(ERROR_ACCESS_DENIED);
    }
    if (written &&
        !ReplaceFileAt(directory, STATUS_FILE_NAME,
                       std::string_view(text.data(), static_cast<std::size_t>(length)))) {
        written = FailWithErrno();
    }
    (void)close(directory);
    return written;
}

bool ReadStatusFile(StatusFileRecord* record) {
    *record = StatusFileRecord{
        0, 0, 0, ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0}};
    const int directory = OpenStatusDirectory();
    if (directory < 0) {
        return errno == ENOENT || FailWithErrno();
    }
    struct stat directoryInfo {};
    struct stat fileInfo {};
    std::array<char, 1024> text{};
    const long length = fstat(directory, &directoryInfo) == 0
                            ? ReadSmallFileAt(directory, STATUS_FILE_NAME, text, &fileInfo)
                            : -1;
    const int error = errno;
    (void)close(directory);
    if (length < 0) {
        errno = error;
        return errno == ENOENT || FailWithErrno();
    }
    // Anyone else who could write here could name any process to be signalled.
    if (!OwnedAlone(directoryInfo, fileInfo)) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    record->owner = fileInfo.st_uid;
    std::string_view rest(text.data(), static_cast<std::size_t>(length));
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        ParseLine(rest.substr(0, newline), record);
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    }
    return true;
}

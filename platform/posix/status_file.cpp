#include "platform/posix/status_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <span>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/posix/files.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/process.h"
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

// Whether another live process's report of a running service stands. The file belongs
// to the service that runs: a second instance started beside it must not make it look
// stopped, or removal would never stop it.
bool AnotherInstanceRuns() {
    StatusFileRecord current{};
    if (!ReadStatusFile(&current) || current.pid == getpid() ||
        current.status.currentState == SERVICE_STOPPED) {
        return false;
    }
    const OwnedFd running(OpenProvenProcess(current.pid, current.startTime, current.owner));
    return running.fd >= 0;
}

// The file's text for this process and `status`: its length, or 0 when it does not fit.
std::size_t FormatOwnStatusText(const ServiceStatus& status, std::span<char> text) {
    unsigned long long startTime = 0;
    uid_t realUser = 0;
    (void)ReadProcessIdentity(getpid(), &startTime, &realUser);
    return FormatStatusText(getpid(), startTime, status, text);
}

// Whether the open runtime directory is this user's alone: another user who can change
// it could swap the file under a reader. False with the last error set.
bool DirectoryIsOurs(int directory) {
    struct stat info {};
    if (fstat(directory, &info) != 0) {
        return FailWithErrno();
    }
    if (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Most often the folder an installed service's own user left behind: the status
        // report fails into the log, but whoever started this run by hand reads this.
        if (!RefusalTold.test_and_set()) {
            (void)std::fprintf(stderr,
                               "Unable to write the service's status - %s belongs to user %lu "
                               "or others may change it; when the installed service is "
                               "stopped, remove the folder and start again\n",
                               STATUS_DIRECTORY, static_cast<unsigned long>(info.st_uid));
        }
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return true;
}

}  // namespace

bool WriteStatusFile(const ServiceStatus& status) {
    if (AnotherInstanceRuns()) {
        return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
    }
    std::array<char, STATUS_TEXT_SIZE> text{};
    const std::size_t length = FormatOwnStatusText(status, text);
    if (length == 0) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!MakeDirectories(STATUS_DIRECTORY)) {
        return FailWithErrno();
    }
    const OwnedFd directory(OpenStatusDirectory());
    if (directory.fd < 0) {
        return FailWithErrno();
    }
    if (!DirectoryIsOurs(directory.fd)) {
        return false;
    }
    return ReplaceFileAt(directory.fd, STATUS_FILE_NAME, std::string_view(text.data(), length)) ||
           FailWithErrno();
}

bool ReadStatusFile(StatusFileRecord* record) {
    *record = StatusFileRecord{
        0, 0, 0, ServiceStatus{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0}};
    const OwnedFd directory(OpenStatusDirectory());
    if (directory.fd < 0) {
        return errno == ENOENT || FailWithErrno();
    }
    struct stat directoryInfo {};
    struct stat fileInfo {};
    std::array<char, 1024> text{};
    const long length = fstat(directory.fd, &directoryInfo) == 0
                            ? ReadSmallFileAt(directory.fd, STATUS_FILE_NAME, text, &fileInfo)
                            : -1;
    if (length < 0) {
        return errno == ENOENT || FailWithErrno();
    }
    // Anyone else who could write here could name any process to be signalled.
    if (!OwnedAlone(directoryInfo, fileInfo)) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    record->owner = fileInfo.st_uid;
    ParseStatusText(std::string_view(text.data(), static_cast<std::size_t>(length)), record);
    return true;
}

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

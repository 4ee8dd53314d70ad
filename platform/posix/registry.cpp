#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/posix/files.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/key_file.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/win32_codes.h"

namespace {

// Each key is a text file under this directory, its parents directories.
constexpr std::string_view PROGRAM_ROOT = "/etc/corvane";
constexpr std::string_view REGISTRY_ROOT = "/etc/corvane/registry/HKEY_LOCAL_MACHINE";

// A key file holds a few short lines; a larger one is not ours to rewrite.
constexpr std::size_t KEY_FILE_SIZE = 4096;

using KeyPath = std::array<char, PATH_MAX>;

// Open keys, each by its file's path.
HandleTable<KeyPath, 4> Keys{};

long ErrnoResult() {
    return static_cast<long>(Win32ErrorFromErrno(errno));
}

// The key's file: "\"-separated parts become directories. False for an empty part, a
// part that would climb out of the registry ("." or ".."), or a "/" inside a part.
bool KeyFilePath(std::string_view subKey, KeyPath& out) {
    if (!JoinPath(out, REGISTRY_ROOT, "/", subKey)) {
        return false;
    }
    std::string_view rest = subKey;
    for (;;) {
        const std::size_t end = rest.find('\\');
        const std::string_view part = rest.substr(0, end);
        if (part.empty() || part == "." || part == ".." ||
            part.find('/') != std::string_view::npos) {
            return false;
        }
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    for (std::size_t i = REGISTRY_ROOT.size(); out[i] != '\0'; ++i) {
        out[i] = out[i] == '\\' ? '/' : out[i];
    }
    return true;
}

}  // namespace

long OsRegCreateKey(const char* subKey, std::uint32_t /*desiredAccess*/, OsHandle* key) {
    KeyPath path{};
    if (subKey == nullptr || key == nullptr || !KeyFilePath(subKey, path)) {
        return static_cast<long>(ERROR_INVALID_NAME);
    }
    const std::string_view file(path.data());
    if (!MakeDirectories(file.substr(0, file.rfind('/')))) {
        return ErrnoResult();
    }
    // Never through a link, never waiting on a FIFO: only a plain file is a key.
    {
        const OwnedFd fd(
            open(path.data(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        if (fd.fd < 0) {
            return ErrnoResult();
        }
        struct stat info {};
        if (fstat(fd.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            return static_cast<long>(ERROR_ACCESS_DENIED);
        }
    }
    const OsHandle opened = OpenSlot(Keys, path);
    if (opened == 0) {
        return static_cast<long>(ERROR_NOT_ENOUGH_MEMORY);
    }
    *key = opened;
    return 0;
}

long OsRegSetValue(OsHandle key, const char* valueName, std::uint32_t type,
                   std::span<const unsigned char> data) {
    KeyPath path{};
    if (!ReadSlot(Keys, key, &path)) {
        return static_cast<long>(ERROR_INVALID_HANDLE);
    }
    std::array<char, KEY_FILE_SIZE> line{};
    const std::size_t lineLength = FormatValueLine(valueName, type, data, line);
    if (lineLength == 0) {
        return static_cast<long>(ERROR_INVALID_PARAMETER);
    }
    std::array<char, KEY_FILE_SIZE> old{};
    const long oldLength = ReadSmallFile(path.data(), old);
    if (oldLength < 0 && errno != ENOENT) {
        return ErrnoResult();
    }
    std::array<char, KEY_FILE_SIZE> merged{};
    const std::size_t length = MergeValueLine(
        std::string_view(old.data(), oldLength < 0 ? 0 : static_cast<std::size_t>(oldLength)),
        std::string_view(line.data(), lineLength), merged);
    if (length == 0) {
        return static_cast<long>(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!ReplaceFile(path.data(), std::string_view(merged.data(), length))) {
        return ErrnoResult();
    }
    return 0;
}

void OsRegCloseKey(OsHandle key) {
    CloseSlot(Keys, key);
}

long OsRegDeleteKey(const char* subKey) {
    KeyPath path{};
    if (subKey == nullptr || !KeyFilePath(subKey, path)) {
        return static_cast<long>(ERROR_INVALID_NAME);
    }
    if (unlink(path.data()) != 0) {
        return ErrnoResult();
    }
    // The folders above the key, up to the program's own, go with their last key.
    std::string_view folder(path.data());
    for (folder = folder.substr(0, folder.rfind('/')); folder.size() >= PROGRAM_ROOT.size();
         folder = folder.substr(0, folder.rfind('/'))) {
        KeyPath name{};
        if (!JoinPath(name, folder, "") || rmdir(name.data()) != 0) {
            break;
        }
    }
    return 0;
}

#include "platform/posix/errors.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/kernel.h"
#include "platform/posix/win32_codes.h"

namespace {

struct ErrnoCode {
    int error;
    std::uint32_t code;
};

// Several errno values share one Win32 code: the user needs the nearest meaning, not
// the errno's own.
constexpr auto WIN32_FROM_ERRNO = std::to_array<ErrnoCode>({
    {EPERM, ERROR_ACCESS_DENIED},
    {EACCES, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, ERROR_WRITE_PROTECT},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EIO, ERROR_IO_DEVICE},
    {ECONNREFUSED, ERROR_CONNECTION_REFUSED},
    {EAGAIN, ERROR_TIMEOUT},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {EFBIG, ERROR_FILE_TOO_LARGE},
});

struct ErrnoSocketCode {
    int error;
    // cppcheck-suppress unusedStructMember ; read through the search's result
    int code;
};

constexpr auto WINSOCK_FROM_ERRNO = std::to_array<ErrnoSocketCode>({
    {EINTR, WSAEINTR},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {ECONNREFUSED, WSAECONNREFUSED},
});

struct CodeText {
    std::uint32_t code;
    // cppcheck-suppress unusedStructMember ; read through the search's result
    std::string_view text;
};

// Worded as the system's English texts are, so a failure line reads the same on both
// platforms. Every code the two tables above or the layer itself can produce has one.
constexpr auto SYSTEM_TEXTS = std::to_array<CodeText>({
    {NO_ERROR, "The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service.\r\n"},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running.\r\n"},
    {ERROR_SERVICE_DOES_NOT_EXIST,
     "The specified service does not exist as an installed service.\r\n"},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
     "The service cannot accept control messages at this time.\r\n"},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started.\r\n"},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     "The service process could not connect to the service controller.\r\n"},
    {ERROR_SERVICE_EXISTS, "The specified service already exists.\r\n"},
    {ERROR_SERVICE_NOT_IN_EXE,
     "The executable program that this service is configured to run in does not implement "
     "the service.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {WSAEACCES,
     "An attempt was made to access a socket in a way forbidden by its access "
     "permissions.\r\n"},
    {WSAEINVAL, "An invalid argument was supplied.\r\n"},
    {WSAEMFILE, "Too many open sockets.\r\n"},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket.\r\n"},
    {WSAEMSGSIZE,
     "A message sent on a datagram socket was larger than the internal message buffer or "
     "some other network limit, or the buffer used to receive a datagram into was smaller "
     "than the datagram itself.\r\n"},
    {WSAEPROTONOSUPPORT,
     "The requested protocol has not been configured into the system, or no implementation "
     "for it exists.\r\n"},
    {WSAESOCKTNOSUPPORT,
     "The support for the specified socket type does not exist in this address family.\r\n"},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used.\r\n"},
    {WSAEADDRINUSE,
     "Only one usage of each socket address (protocol/network address/port) is normally "
     "permitted.\r\n"},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context.\r\n"},
    {WSAENETDOWN, "A socket operation encountered a dead network.\r\n"},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient "
     "buffer space or because a queue was full.\r\n"},
    {WSAECONNREFUSED,
     "No connection could be made because the target machine actively refused it.\r\n"},
    {WSASYSCALLFAILURE, "A system call that should never fail has failed.\r\n"},
});

}  // namespace

std::uint32_t Win32ErrorFromErrno(int error) {
    const auto entry = std::ranges::find_if(
        WIN32_FROM_ERRNO, [error](const ErrnoCode& candidate) { return candidate.error == error; });
    return entry != WIN32_FROM_ERRNO.end() ? entry->code : ERROR_GEN_FAILURE;
}

int WinsockErrorFromErrno(int error) {
    const auto entry = std::ranges::find_if(
        WINSOCK_FROM_ERRNO,
        [error](const ErrnoSocketCode& candidate) { return candidate.error == error; });
    return entry != WINSOCK_FROM_ERRNO.end() ? entry->code : WSASYSCALLFAILURE;
}

std::string_view SystemMessageText(std::uint32_t code) {
    const auto entry = std::ranges::find_if(
        SYSTEM_TEXTS, [code](const CodeText& candidate) { return candidate.code == code; });
    return entry != SYSTEM_TEXTS.end() ? entry->text : std::string_view();
}

bool FailWithErrno() {
    OsSetLastError(Win32ErrorFromErrno(errno));
    return false;
}

bool FailWith(std::uint32_t code) {
    OsSetLastError(code);
    return false;
}

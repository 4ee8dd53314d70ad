// The journal's native protocol, written here rather than taken from libsystemd: its send
// waits as long as a stalled journal does, where a report waits only as long as its caller
// allows, and it reports success for an entry lost to an absent journal, which must count.
#include <endian.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <tuple>

#include "platform/eventlog.h"
#include "platform/kernel.h"
#include "platform/posix/errors.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/owned_fd.h"
#include "platform/posix/render.h"
#include "platform/posix/win32_codes.h"

namespace {

constexpr char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";

// Insertion strings beyond this many are not stored; the catalogue uses two.
constexpr std::size_t MAX_STRINGS = 8;

// The fixed fields, the strings, then the sender.
constexpr std::size_t MAX_FIELDS = 7 + MAX_STRINGS + 1;

// "SENDER=" takes a sender's dotted address and port.
constexpr std::size_t SENDER_SIZE = sizeof "255.255.255.255:65535";

// Each field: name, (length), value, closing line feed.
constexpr std::size_t IOVECS_PER_FIELD = 4;

// The rendered message: the longest catalogue text with its strings put in, the longest
// being a log line of a whole receive buffer.
constexpr std::size_t MESSAGE_SIZE = 16384;

// An insertion string is stored up to this length (the longest the program hands over is
// that same log line); the rest is cut, so that every entry stays one datagram.
constexpr std::size_t MAX_STRING_BYTES = MESSAGE_SIZE;

// The event source's name, and the fields' names and numbers.
using SourceName = std::array<char, 64>;
using FieldName = std::array<char, 24>;
using NumberText = std::array<char, 16>;

// One datagram on the journal's socket holds at most the kernel's default send buffer
// (net.core.wmem_default, 212,992 bytes) less its own 32. The largest entry, every field
// in the binary form (name, line feed, 64-bit length, value, line feed), fits: the
// library's way with larger ones (the entry in a memfd passed along) is never needed.
constexpr std::size_t JOURNAL_DATAGRAM_BOUND = 212992 - 32;
constexpr std::size_t LARGEST_ENTRY =
    MAX_FIELDS * (std::tuple_size_v<FieldName> + 1 + 8 + 1) + MESSAGE_SIZE + 1 + MESSAGE_ID_LENGTH +
    std::tuple_size_v<SourceName> + 3 * std::tuple_size_v<NumberText> +
    MAX_STRINGS * MAX_STRING_BYTES;
static_assert(LARGEST_ENTRY <= JOURNAL_DATAGRAM_BOUND);

// The journal connection, kept for the process: a report is one send, never a connect.
// Guarded by JournalLock, which also makes each report one uninterrupted send.
int JournalFd = -1;
std::mutex JournalLock;

// Open event sources: a source's name becomes each entry's identifier.
HandleTable<SourceName, 8> Sources{};

// Opens the journal connection if it is not open. Caller holds JournalLock.
bool ConnectJournal() {
    if (JournalFd >= 0) {
        return true;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    static_assert(sizeof JOURNAL_SOCKET <= sizeof address.sun_path);
    std::memcpy(address.sun_path, JOURNAL_SOCKET, sizeof JOURNAL_SOCKET);
    OwnedFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0 ||
        connect(fd.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return FailWithErrno();
    }
    JournalFd = fd.Release();
    return true;
}

void DisconnectJournal() {
    if (JournalFd >= 0) {
        (void)close(JournalFd);
        JournalFd = -1;
    }
}

// The entry being built: its iovecs point at the caller's buffers and at constants.
struct Entry {
    std::array<iovec, MAX_FIELDS * IOVECS_PER_FIELD> parts;
    std::array<std::uint64_t, MAX_FIELDS> lengths;  // little-endian, for binary fields
    std::size_t partCount;
    std::size_t fieldCount;
};

void AddPart(Entry& entry, const void* data, std::size_t size) {
    // iovec has one pointer type for reading and writing; sendmsg only reads.
    entry.parts[entry.partCount++] = iovec{const_cast<void*>(data), size};
}

// Adds NAME=value, or the binary form (NAME, line feed, 64-bit little-endian length,
// value) for a value with a line feed, which the plain form cannot carry.
void AddField(Entry& entry, std::string_view name, std::string_view value) {
    if (entry.fieldCount == MAX_FIELDS) {
        return;
    }
    AddPart(entry, name.data(), name.size());
    if (value.find('\n') == std::string_view::npos) {
        AddPart(entry, "=", 1);
    } else {
        std::uint64_t& length = entry.lengths[entry.fieldCount];
        length = htole64(value.size());
        AddPart(entry, "\n", 1);
        AddPart(entry, &length, sizeof length);
    }
    AddPart(entry, value.data(), value.size());
    AddPart(entry, "\n", 1);
    ++entry.fieldCount;
}

// Waits until the journal has room for one more entry or `deadlineMs` has come; false
// then. Caller holds JournalLock.
bool AwaitRoom(std::uint64_t deadlineMs) {
    for (;;) {
        const std::uint64_t now = OsTickCount();
        if (now >= deadlineMs) {
            return false;
        }
        pollfd journal{JournalFd, POLLOUT, 0};
        const int ready = poll(&journal, 1, static_cast<int>(deadlineMs - now));
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;  // room, or an error the next send will name
        }
    }
}

// One entry: sent at once, or as soon as a full journal has room within `waitMs`. A journal
// that has restarted since the connect gets one reconnect. False with the reason when the
// entry was not sent: ERROR_TIMEOUT when the journal stayed full.
bool SendEntry(Entry& entry, std::uint32_t waitMs) {
    msghdr message{};
    message.msg_iov = entry.parts.data();
    message.msg_iovlen = entry.partCount;
    const std::uint64_t deadline = OsTickCount() + waitMs;
    const std::lock_guard<std::mutex> guard(JournalLock);
    bool reconnected = false;
    for (;;) {
        if (!ConnectJournal()) {
            return false;
        }
        if (sendmsg(JournalFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            return true;
        }
        if (errno == EAGAIN) {
            if (!AwaitRoom(deadline)) {
                return FailWith(ERROR_TIMEOUT);
            }
        } else if ((errno == ECONNREFUSED || errno == ENOENT || errno == ENOTCONN) &&
                   !reconnected) {
            DisconnectJournal();
            reconnected = true;
        } else {
            return FailWithErrno();
        }
    }
}

// The syslog priority of an event type: error, warning, else informational.
const char* PriorityOf(std::uint16_t eventType) {
    return eventType == EVENTLOG_ERROR_TYPE ? "3" : eventType == EVENTLOG_WARNING_TYPE ? "4" : "6";
}

}  // namespace

// The journal's socket stands for the event log service: when it cannot be reached the
// source cannot be opened and the report is lost, as the event log allows.
OsHandle OsRegisterEventSource(const char* sourceName) {
    const std::string_view name = sourceName != nullptr ? sourceName : "";
    if (name.empty() || name.size() >= std::tuple_size_v<SourceName> ||
        name.find('\n') != std::string_view::npos) {
        (void)FailWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    {
        const std::lock_guard<std::mutex> guard(JournalLock);
        if (!ConnectJournal()) {
            return 0;
        }
    }
    SourceName identifier{};
    (void)name.copy(identifier.data(), name.size());
    const OsHandle source = OpenSlot(Sources, identifier);
    if (source == 0) {
        (void)FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return source;
}

// The journal keeps the bytes as given, so UTF-8 text needs nothing done to it. The
// sender gets a field of its own, so that one device's lines can be matched while the
// text stays as it came: SENDER=192.0.2.10:514. MESSAGE_ID is what journalctl -x finds
// the event's explanation by, in the catalogue the package installs.
bool OsReportEvent(OsHandle source, std::uint16_t eventType, std::uint16_t category,
                   std::uint32_t eventId, std::span<const char* const> strings,
                   std::uint32_t waitMs, TextCoding /*coding*/, const Ipv4Endpoint* sender) {
    SourceName identifier{};
    if (!ReadSlot(Sources, source, &identifier)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    strings = strings.first(strings.size() < MAX_STRINGS ? strings.size() : MAX_STRINGS);
    std::array<char, MESSAGE_SIZE> message{};
    const std::size_t messageLength =
        RenderEventMessage(identifier.data(), eventId, strings, message);
    NumberText id{};
    NumberText type{};
    NumberText categoryText{};
    (void)std::snprintf(id.data(), id.size(), "0x%08X", static_cast<unsigned>(eventId));
    (void)std::snprintf(type.data(), type.size(), "%u", static_cast<unsigned>(eventType));
    (void)std::snprintf(categoryText.data(), categoryText.size(), "%u",
                        static_cast<unsigned>(category));

    Entry entry{};
    AddField(entry, "MESSAGE", std::string_view(message.data(), messageLength));
    if (const char* messageId = CatalogMessageId(eventId); messageId != nullptr) {
        AddField(entry, "MESSAGE_ID", messageId);
    }
    AddField(entry, "PRIORITY", PriorityOf(eventType));
    AddField(entry, "SYSLOG_IDENTIFIER", identifier.data());
    AddField(entry, "EVENT_ID", id.data());
    AddField(entry, "EVENT_TYPE", type.data());
    AddField(entry, "EVENT_CATEGORY", categoryText.data());
    std::array<FieldName, MAX_STRINGS> names{};
    for (std::size_t i = 0; i < strings.size(); ++i) {
        (void)std::snprintf(names[i].data(), names[i].size(), "EVENT_STRING_%zu", i + 1);
        const std::string_view string = strings[i] != nullptr ? strings[i] : "";
        AddField(entry, names[i].data(), string.substr(0, MAX_STRING_BYTES));
    }
    // The entry points into it until the send.
    std::array<char, SENDER_SIZE> senderText{};  // cppcheck-suppress variableScope
    if (sender != nullptr) {
        const std::uint32_t address = sender->address;
        (void)std::snprintf(senderText.data(), senderText.size(), "%u.%u.%u.%u:%u", address >> 24U,
                            (address >> 16U) & 0xFFU, (address >> 8U) & 0xFFU, address & 0xFFU,
                            static_cast<unsigned>(sender->port));
        AddField(entry, "SENDER", senderText.data());
    }
    return SendEntry(entry, waitMs);
}

void OsDeregisterEventSource(OsHandle source) {
    CloseSlot(Sources, source);
}

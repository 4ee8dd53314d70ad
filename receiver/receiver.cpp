#include "receiver/receiver.h"

#include <array>
#include <cstdio>

#include "eventlog/eventlog.h"
#include "names.h"
#include "platform/constants.h"
#include "platform/kernel.h"
#include "platform/socket.h"
#include "platform/socket_constants.h"
#include "platform/text.h"
#include "receiver/accounts.h"
#include "receiver/keep_alive.h"
#include "service/status.h"

OsHandle StopEvent = 0;
std::mutex StopEventLock;
std::atomic<std::uint32_t> StopFlag{0};

namespace {

constexpr std::uint16_t SOCKET_LAYER_VERSION = 0x0202;

// Failure texts, start-up notes and the listening line.
using MessageText = std::array<char, 256>;

// Writes "<what> <code>\n" as an error event; `what` names the failed call. Returns
// the code, as the run's failure.
std::uint32_t ReportSocketFailure(const char* what, int code) {
    MessageText text{};
    (void)std::snprintf(text.data(), text.size(), "%s %d\n", what, code);
    (void)LogTypedEvent(text.data(), MSG_SERVICE_ERROR, EVENTLOG_ERROR_TYPE);
    return static_cast<std::uint32_t>(code);
}

bool ReportStartPending() {
    return ReportServiceStatus(SERVICE_START_PENDING, NO_ERROR, START_WAIT_HINT_MS);
}

// The socket, its status report, the bind and giving up the privileges it needed. The
// bound socket, or INVALID_SOCKET with *failure set (left alone when a report failed: the
// report's own code then stands).
OsSocket CreateBoundSocket(std::uint32_t* failure) {
    const OsSocket socket = OsSocketCreate(AF_INET, SOCK_DGRAM, 0);
    if (socket == INVALID_SOCKET) {
        *failure = ReportSocketFailure("socket() failed with error", OsWSAGetLastError());
        return INVALID_SOCKET;
    }
    if (ReportStartPending()) {
        (void)OsEnlargeReceiveBuffer(socket);  // a small buffer loses bursts, not the service
        if (OsBind(socket, INADDR_ANY, SYSLOG_PORT) == SOCKET_ERROR) {
            *failure = ReportSocketFailure("bind() failed with error", OsWSAGetLastError());
        } else if (OsDropSocketPrivileges() == SOCKET_ERROR) {
            *failure =
                ReportSocketFailure("Giving up privileges failed with error", OsWSAGetLastError());
        } else {
            return socket;
        }
    }
    OsCloseSocket(socket);
    return INVALID_SOCKET;
}

// From the socket layer to the bound socket, each step followed by its status report.
// The bound socket, or INVALID_SOCKET with *failure set as above and nothing left open.
OsSocket OpenSyslogSocket(std::uint32_t* failure) {
    const int started = OsWSAStartup(SOCKET_LAYER_VERSION);
    if (started != 0) {
        *failure = ReportSocketFailure("WSAStartup failed with error", started);
        OsWSACleanup();
        return INVALID_SOCKET;
    }
    const OsSocket socket = ReportStartPending() ? CreateBoundSocket(failure) : INVALID_SOCKET;
    if (socket == INVALID_SOCKET) {
        OsWSACleanup();
    }
    return socket;
}

// How long one attempt of a log line waits for a full log: a stop request ends the wait
// within this long.
constexpr std::uint32_t LINE_WAIT_SLICE_MS = 250;

// One datagram's log line, its sender beside the text; counted as logged or not written.
// Text that is UTF-8 beyond ASCII is marked as such, so that it reads as the sender wrote
// it (plain ASCII, Latin-1 and broken sequences are left to the 8-bit code page).
// A full log (a stalled journal) holds the line until it has room, however long: what
// arrives meanwhile waits in the socket's receive buffer, which is far larger, and giving
// the line up would only lose it. The manager still hears the loop turn, from between the
// attempts: a stalled log is no hang of the service's. A stop request gives the line up.
void LogDatagram(std::span<const char> datagram, const Ipv4Endpoint& sender,
                 std::span<char, LOG_TEXT_SIZE> logText, KeepAlive& keepAlive,
                 RunAccounts& accounts) {
    const std::size_t length = FormatLogText(datagram, logText);
    const TextCoding coding =
        ClassifyUtf8(std::string_view(logText.data(), length)) == Utf8Kind::BeyondAscii
            ? TextCoding::Utf8
            : TextCoding::Ansi;
    ReportOutcome outcome = LogLineEvent(logText.data(), coding, sender, LINE_WAIT_SLICE_MS);
    while (outcome == ReportOutcome::LogFull && StopFlag.load() == 0) {
        const std::uint64_t now = OsTickCount();
        KeepAliveIfDue(keepAlive, now);
        outcome = LogLineEvent(logText.data(), coding, sender,
                               KeepAliveWaitMs(keepAlive, now, LINE_WAIT_SLICE_MS));
    }
    ++(outcome == ReportOutcome::Written ? accounts.counts.logged : accounts.counts.unwritten);
}

// Turns datagrams into events until a stop request or a receive failure; 0 after a
// stop, else the failure's error number.
std::uint32_t ReceiveLoop(OsSocket socket, OsHandle stopEvent, RunAccounts& accounts) {
    std::array<char, DATAGRAM_BUFFER_SIZE> datagram{};
    std::array<char, LOG_TEXT_SIZE> logText{};
    Ipv4Endpoint sender{};
    std::uint64_t now = OsTickCount();
    KeepAlive keepAlive = StartKeepAlive(now);
    for (;;) {
        const std::uint32_t waitMs = KeepAliveWaitMs(keepAlive, now, AccountsWaitMs(accounts, now));
        const int received = OsReceive(socket, datagram, stopEvent, waitMs, &sender);
        if (received == RECEIVE_STOPPED) {
            return NO_ERROR;
        }
        if (received == SOCKET_ERROR) {
            const std::uint32_t error =
                ReportSocketFailure("recv() failed: error", OsWSAGetLastError());
            // An over-long datagram is one bad packet, not a broken socket: anyone on the
            // network could otherwise silence the collector with it.
            if (error != WSAEMSGSIZE) {
                return error;
            }
            ++accounts.counts.tooLong;
        } else if (received != RECEIVE_TIMED_OUT) {
            LogDatagram(std::span(datagram.data(), static_cast<std::size_t>(received)), sender,
                        logText, keepAlive, accounts);
        }
        if (StopFlag.load() != 0) {
            return NO_ERROR;
        }
        now = OsTickCount();
        KeepAccounts(accounts, socket, now);
        KeepAliveIfDue(keepAlive, now);
    }
}

// What a stop may spend on the datagrams still queued: senders that keep the queue full
// must not hold it up. The time is looked at between takes of a batch.
constexpr std::uint32_t UNREAD_BATCH = 1024;
constexpr std::uint64_t UNREAD_TIME_MS = 500;

// Counts, without logging them, the datagrams still queued at a stop request, which closing
// the socket would discard without a word: until the queue is found empty, or the time is
// spent with datagrams still there (one more taken tells), which makes the count a lower bound.
void CountUnread(OsSocket socket, RunAccounts& accounts) {
    const std::uint64_t began = OsTickCount();
    std::uint32_t taken = UNREAD_BATCH;
    while (taken == UNREAD_BATCH) {
        const bool spent = OsTickCount() - began >= UNREAD_TIME_MS;
        taken = OsDiscardQueued(socket, spent ? 1 : UNREAD_BATCH);
        accounts.counts.unreadAtStop += taken;
        if (spent) {
            accounts.unreadLeft = taken != 0;
            return;
        }
    }
}

// Socket to datagrams: the run once the stop event exists. Same result as RunReceiver.
std::uint32_t ServeSocket(OsHandle stopEvent, RunAccounts& accounts) {
    std::uint32_t failure = NO_ERROR;
    const OsSocket socket = OpenSyslogSocket(&failure);
    if (socket == INVALID_SOCKET) {
        return failure;
    }
    const bool running = ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    if (running) {
        MessageText text{};
        (void)std::snprintf(text.data(), text.size(), "'Listening' on port %d, protocol %s\n",
                            SYSLOG_PORT, "UDP");
        (void)LogInfoEvent(text.data(), MSG_SERVICE_STARTED);
        failure = ReceiveLoop(socket, stopEvent, accounts);
        // After a receive failure the socket is suspect and has nothing worth counting.
        if (failure == NO_ERROR) {
            CountUnread(socket, accounts);
        }
        NoteKernelDrops(accounts, socket);
    }
    // Closed before the report, which may wait for the log: what arrives meanwhile is
    // refused at the port instead of queued and lost uncounted.
    OsCloseSocket(socket);
    OsWSACleanup();
    if (running) {
        CloseAccounts(accounts, failure == NO_ERROR);
    }
    return failure;
}

}  // namespace

std::uint32_t RunReceiver(std::uint32_t /*argCount*/, char** /*argVector*/) {
    if (!ReportStartPending()) {
        return NO_ERROR;
    }
    RunAccounts accounts = OpenAccounts();
    MessageText version{};
    (void)std::snprintf(version.data(), version.size(), "Version %s", VERSION_TEXT);
    (void)LogInfoEvent(version.data(), MSG_SERVICE_STARTING);

    OsHandle stopEvent = OsCreateEvent();
    if (stopEvent == 0) {
        const std::uint32_t error = OsGetLastError();
        return error != NO_ERROR ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    {
        const std::lock_guard<std::mutex> guard(StopEventLock);
        StopEvent = stopEvent;
    }
    std::uint32_t failure = NO_ERROR;
    if (ReportStartPending()) {
        failure = ServeSocket(stopEvent, accounts);
    }
    const std::lock_guard<std::mutex> guard(StopEventLock);
    OsCloseHandle(StopEvent);
    StopEvent = 0;
    return failure;
}

void RequestStop() {
    const std::lock_guard<std::mutex> guard(StopEventLock);
    if (StopEvent == 0) {
        return;
    }
    (void)OsSetEvent(StopEvent);
    StopFlag = 1;
}

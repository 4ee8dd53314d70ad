// What became of a run's datagrams: how many were logged and how many were lost, and
// why. The receive loop keeps the accounts: it alone reads and writes them, so they need
// no lock.
#pragma once

#include <cstdint>

#include "platform/types.h"

struct Counts {
    std::uint64_t logged;        // log lines the event log took
    std::uint64_t tooLong;       // datagrams longer than the receive buffer
    std::uint64_t kernelDrops;   // datagrams the platform dropped, the receive buffer full
    std::uint64_t unwritten;     // log lines the event log did not take
    std::uint64_t unreadAtStop;  // datagrams still queued when a stop was requested
    // Datagrams the system discarded on all UDP ports, where it counts no drops per socket:
    // ours among them, perhaps, but whose cannot be told.
    std::uint64_t systemDiscards;
    bool operator==(const Counts&) const = default;
};

// A running count the platform keeps, in 32 bits, as last read.
struct RunningCount {
    bool known;  // read once at least: what it grows by from then on is counted
    std::uint32_t seen;
};

struct RunAccounts {
    Counts counts;                    // since the start of the run
    RunningCount kernelDropsRead;     // the socket's, known from 0 as the socket is new
    RunningCount systemDiscardsRead;  // the system's, known from its first read
    Counts reported;                  // as the latest loss report gave them
    std::uint64_t reportedAtMs;
    Counts shown;  // as the latest status line gave them
    std::uint64_t shownAtMs;
    bool unreadLeft;  // the stop's time for counting the unread ran out before the queue did
};

// At most one loss report this often, and one status line while datagrams flow.
inline constexpr std::uint64_t LOSS_REPORT_INTERVAL_MS = 10000;
inline constexpr std::uint64_t STATUS_LINE_INTERVAL_MS = 1000;

// Accounts for a run that starts now, before its first report.
RunAccounts OpenAccounts();

// Takes the platform's running count of the datagrams it dropped for the socket, where it
// keeps one.
void NoteKernelDrops(RunAccounts& accounts, OsSocket socket);

// How long the receive may wait before a status line or a loss report falls due.
std::uint32_t AccountsWaitMs(const RunAccounts& accounts, std::uint64_t nowMs);

// Shows the counts, and reports the losses, when each is due, with the socket's drops as
// of then.
void KeepAccounts(RunAccounts& accounts, OsSocket socket, std::uint64_t nowMs);

// At the end of a run that lost anything: one more loss report, even with nothing new since
// the last, as the run's final figures. After a stop request it also names the datagrams
// left unread, even none, and says when that figure is a lower bound.
void CloseAccounts(RunAccounts& accounts, bool stopped);

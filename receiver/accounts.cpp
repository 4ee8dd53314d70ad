#include "receiver/accounts.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string_view>

#include "eventlog/eventlog.h"
#include "platform/constants.h"
#include "platform/kernel.h"
#include "platform/scm.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/udp_statistics.h"

namespace {

// The fixed words of a status line and a loss report; the longest report, every count at
// its largest, must fit the text whole, as a report cut short would lose the figures at its end.
constexpr std::string_view kTooLong = " too long, ";
constexpr std::string_view kKernelDrops = " dropped by the kernel, ";
constexpr std::string_view kSystemDiscards = " discarded by the system on all UDP ports, ";
constexpr std::string_view kUnwritten = " not written";
constexpr std::string_view kUnreadAtStop = " unread at stop";
constexpr std::string_view kSinceLast = "Lost since the last report: ";
constexpr std::string_view kSinceStart = "; since the start: ";
constexpr std::string_view kLargestCount = "18,446,744,073,709,551,615";

constexpr std::size_t kLongestLosses = 5 * kLargestCount.size() + kTooLong.size() +
                                       kKernelDrops.size() + kSystemDiscards.size() +
                                       kUnwritten.size() + 2 + kUnreadAtStop.size();
constexpr std::size_t kLongestReport =
    kSinceLast.size() + 2 * kLongestLosses + kSinceStart.size() + 1;

using Text = std::array<char, 640>;
static_assert(kLongestReport < Text{}.size(), "the longest loss report fits whole");

// Whether any loss count differs: what a loss report would say has changed.
bool LossesDiffer(const Counts& now, const Counts& then) {
    return now.tooLong != then.tooLong || now.kernelDrops != then.kernelDrops ||
           now.unwritten != then.unwritten || now.unreadAtStop != then.unreadAtStop ||
           now.systemDiscards != then.systemDiscards;
}

// A count with its thousands grouped, "1,204,311".
const char* Grouped(std::uint64_t value, std::array<char, 32>& out) {
    std::array<char, 24> digits{};
    const int count =
        std::snprintf(digits.data(), digits.size(), "%llu", static_cast<unsigned long long>(value));
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && (count - i) % 3 == 0) {
            out[at++] = ',';
        }
        out[at++] = digits[static_cast<std::size_t>(i)];
    }
    out[at] = '\0';
    return out.data();
}

// What a running count grew by since it was last read; nothing at its first read, which is
// where the run's count starts.
std::uint64_t Growth(RunningCount& count, std::uint32_t now) {
    // The count wraps at 2^32; the difference stays right across the wrap.
    const std::uint32_t grown = count.known ? now - count.seen : 0;
    count = {true, now};
    return grown;
}

// Takes the system's running count of its UDP discards, where it keeps one.
void NoteSystemDiscards(RunAccounts& accounts) {
    std::uint32_t discarded = 0;
    if (OsSystemUdpDiscards(&discarded)) {
        accounts.counts.systemDiscards += Growth(accounts.systemDiscardsRead, discarded);
    }
}

// "<n> too long, <n> dropped by the kernel, <n> not written", the kernel's part only where
// the platform tells of its drops, then at a stop ", <n> unread at stop". Where `system`
// (once the system discarded any), ", <n> discarded by the system on all UDP ports" follows
// the kernel's part: a run without such discards reads as it always did.
void AppendLosses(TextWriter& writer, const Counts& counts, bool atStop, bool system) {
    std::array<char, 32> number{};
    Append(writer, Grouped(counts.tooLong, number));
    Append(writer, kTooLong);
    if (OsSeesKernelDrops()) {
        Append(writer, Grouped(counts.kernelDrops, number));
        Append(writer, kKernelDrops);
    }
    if (system) {
        Append(writer, Grouped(counts.systemDiscards, number));
        Append(writer, kSystemDiscards);
    }
    Append(writer, Grouped(counts.unwritten, number));
    Append(writer, kUnwritten);
    if (atStop) {
        Append(writer, ", ");
        Append(writer, Grouped(counts.unreadAtStop, number));
        Append(writer, kUnreadAtStop);
    }
}

void ShowCounts(RunAccounts& accounts, const Counts& counts, std::uint64_t nowMs) {
    Text text{};
    TextWriter writer = StartText(text);
    std::array<char, 32> logged{};
    Append(writer, "Running: ");
    Append(writer, Grouped(counts.logged, logged));
    Append(writer, " logged, ");
    AppendLosses(writer, counts, false, counts.systemDiscards != 0);
    OsShowServiceText(text.data());
    accounts.shown = counts;
    accounts.shownAtMs = nowMs;
}

// One warning event with the losses since the latest report written and since the start.
void ReportLosses(RunAccounts& accounts, const Counts& counts, std::uint64_t nowMs, bool atStop) {
    const Counts& before = accounts.reported;
    const Counts since{0,
                       counts.tooLong - before.tooLong,
                       counts.kernelDrops - before.kernelDrops,
                       counts.unwritten - before.unwritten,
                       counts.unreadAtStop - before.unreadAtStop,
                       counts.systemDiscards - before.systemDiscards};
    const bool system = counts.systemDiscards != 0;
    Text text{};
    TextWriter writer = StartText(text);
    Append(writer, kSinceLast);
    AppendLosses(writer, since, atStop, system);
    Append(writer, kSinceStart);
    AppendLosses(writer, counts, atStop, system);
    Append(writer, ".");
    accounts.reportedAtMs = nowMs;
    // A warning the log did not take reported nothing: the next one still tells of its
    // losses. It lost no datagram, so it counts in no figure.
    const std::uint32_t eventId =
        atStop && accounts.unreadLeft ? MSG_MESSAGES_LOST_UNREAD_LEFT : MSG_MESSAGES_LOST;
    if (LogTypedEvent(text.data(), eventId, EVENTLOG_WARNING_TYPE)) {
        accounts.reported = counts;
    }
}

std::uint64_t Until(std::uint64_t dueMs, std::uint64_t nowMs) {
    return dueMs > nowMs ? dueMs - nowMs : 0;
}

}  // namespace

RunAccounts OpenAccounts() {
    RunAccounts accounts{};
    accounts.reportedAtMs = OsTickCount();
    accounts.shownAtMs = accounts.reportedAtMs;
    accounts.kernelDropsRead = {true, 0};
    NoteSystemDiscards(accounts);
    return accounts;
}

void NoteKernelDrops(RunAccounts& accounts, OsSocket socket) {
    std::uint32_t droppedSoFar = 0;
    if (OsReadKernelDrops(socket, &droppedSoFar)) {
        accounts.counts.kernelDrops += Growth(accounts.kernelDropsRead, droppedSoFar);
    }
}

std::uint32_t AccountsWaitMs(const RunAccounts& accounts, std::uint64_t nowMs) {
    const Counts& counts = accounts.counts;
    std::uint64_t wait = WAIT_FOREVER;
    if (counts != accounts.shown) {
        wait = std::min(wait, Until(accounts.shownAtMs + STATUS_LINE_INTERVAL_MS, nowMs));
    }
    if (LossesDiffer(counts, accounts.reported)) {
        wait = std::min(wait, Until(accounts.reportedAtMs + LOSS_REPORT_INTERVAL_MS, nowMs));
    }
    return static_cast<std::uint32_t>(wait);
}

void KeepAccounts(RunAccounts& accounts, OsSocket socket, std::uint64_t nowMs) {
    const Counts& counts = accounts.counts;
    const bool showDue =
        counts != accounts.shown && nowMs - accounts.shownAtMs >= STATUS_LINE_INTERVAL_MS;
    const bool reportDue = LossesDiffer(counts, accounts.reported) &&
                           nowMs - accounts.reportedAtMs >= LOSS_REPORT_INTERVAL_MS;
    // The platform's counts cost a system call: read when a line or a report falls due,
    // never for each datagram. Drops come only while datagrams queue, and each one read
    // makes a line due, so the line after a burst has them all.
    if (!showDue && !reportDue) {
        return;
    }
    NoteKernelDrops(accounts, socket);
    NoteSystemDiscards(accounts);
    if (showDue) {
        ShowCounts(accounts, counts, nowMs);
    }
    if (LossesDiffer(counts, accounts.reported) &&
        nowMs - accounts.reportedAtMs >= LOSS_REPORT_INTERVAL_MS) {
        ReportLosses(accounts, counts, nowMs, false);
    }
}

void CloseAccounts(RunAccounts& accounts, bool stopped) {
    NoteSystemDiscards(accounts);
    const Counts counts = accounts.counts;
    if (LossesDiffer(counts, Counts{})) {
        ReportLosses(accounts, counts, OsTickCount(), stopped);
    }
}

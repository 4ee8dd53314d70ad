// The service's conversation with the manager, and the events its datagrams and failures
// become.
#include <thread>

#include "tests/unit/support.h"

namespace {

using namespace std::string_literals;

constexpr char ERROR[] = "error c0020005 ";
constexpr char RECEIVE_FAILED[] = "error c0020005 recv() failed: error 10054\n";
constexpr char REPORT_FAILED[] = "error 00000000 Corvane error: 5|SetServiceStatus";
constexpr char SIGNED_FAILED[] = "error 00000000 Corvane error: -1073741819|SetServiceStatus";

// A loss report: the counts since the last report, then since the start.
std::string LossReport(const std::string& since, const std::string& total,
                       const char* event = "warning 80020006 ") {
    return event + ("Lost since the last report: " + since) + "; since the start: " + total + ".";
}

// The counts as the loss reports and the running text show them, the system's part included.
std::string Counts(const char* tooLong, const char* kernel, const char* system,
                   const char* unwritten) {
    return std::string(tooLong) + " too long, " + kernel + " dropped by the kernel, " + system +
           " discarded by the system on all UDP ports, " + unwritten + " not written";
}

using ServiceTest = FakeTest;

TEST_F(ServiceTest, ControlsInEveryStateAreAnsweredWithAFreshReport) {
    FakeScript(FakeCall::WSAStartup, 1, 0, [] { HandleControl(SERVICE_CONTROL_INTERROGATE); });
    FakeQueue({.control = SERVICE_CONTROL_INTERROGATE});  // running
    FakeQueue({.control = SERVICE_CONTROL_STOP});
    FakeScript(FakeCall::CloseSocket, 1, 0, [] {  // stop pending
        HandleControl(SERVICE_CONTROL_INTERROGATE);
        HandleControl(SERVICE_CONTROL_STOP);
    });
    RunService();
    HandleControl(SERVICE_CONTROL_INTERROGATE);  // stopped: no report any more
    HandleControl(SERVICE_CONTROL_STOP);
    RequestStop();  // nothing left to signal

    EXPECT_EQ(Fake.reports, (Strings{"start cp1 wait3000", "start cp2 wait3000",
                                     "start cp3 wait3000", "start cp4", "start cp5 wait3000",
                                     "start cp6 wait3000", "running", "running", "stop-pending cp7",
                                     "stop-pending cp8", "stop-pending cp9", "stopped"}));
    EXPECT_EQ(Fake.events, (Strings{STARTING, LISTENING}));  // the stop itself writes none
}

TEST_F(ServiceTest, EachFailingStartUpStepEndsTheRunWithItsOwnExitCode) {
    using enum FakeCall;
    // `startReports` taken before the failure, then `moreReports`, then "stopped exit<error>".
    struct Case {
        FakeCall call;
        int nth;
        std::uint32_t error;
        int startReports;
        Strings events, moreReports{};
    };
    const std::string dropFailed = ERROR + "Giving up privileges failed with error 10013\n"s;
    std::vector<Case> cases = {
        {CreateEvent, 1, 8, 2, {STARTING}},
        {WSAStartup, 1, 10091, 3, {STARTING, ERROR + "WSAStartup failed with error 10091\n"s}},
        {Socket, 1, 10024, 4, {STARTING, ERROR + "socket() failed with error 10024\n"s}},
        {Bind, 1, 10048, 5, {STARTING, ERROR + "bind() failed with error 10048\n"s}},
        {DropSocketPrivileges, 1, 10013, 5, {STARTING, dropFailed}},
        {Receive, 1, 10054, 5, {STARTING, LISTENING, RECEIVE_FAILED}, {"running"}},
    };
    for (int nth = 1; nth <= 6; ++nth) {  // each report refused in turn
        const std::string cp = "start cp" + std::to_string(nth) + " wait3000 refused";
        const Strings events = nth < 3 ? Strings{REPORT_FAILED} : Strings{STARTING, REPORT_FAILED};
        cases.push_back(
            {SetServiceStatus, nth, 5, nth - 1, events, {nth == 6 ? "running refused" : cp}});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "call " << static_cast<int>(c.call) << " #" << c.nth);
        ResetProcess();
        FakeScript(c.call, c.nth, c.error);
        RunService();
        Strings reports;
        for (int cp = 1; cp <= c.startReports; ++cp) {
            reports.push_back("start cp" + std::to_string(cp) + " wait3000");
        }
        reports.insert(reports.end(), c.moreReports.begin(), c.moreReports.end());
        reports.push_back("stopped exit" + std::to_string(c.error));
        EXPECT_EQ(Fake.reports, reports);
        EXPECT_EQ(Fake.events, c.events);
    }
    ResetProcess();  // without a status handle, nothing to report to
    FakeScript(RegisterServiceCtrlHandler, 1, 5);
    RunService();
    EXPECT_EQ(Fake.reports.size() + Fake.events.size(), 0u);
}

TEST_F(ServiceTest, EarlierReportFailureOutranksTheRunsOwnFailureAsExitCode) {
    FakeScript(FakeCall::SetServiceStatus, 7, 0xC0000005);  // its event shows it signed
    FakeQueue({.control = SERVICE_CONTROL_INTERROGATE});
    FakeQueue({.bytes = "", .error = 10054});
    FakeQueue({.bytes = "left"});  // not counted as unread: no loss report
    RunService();

    EXPECT_EQ(Fake.reports.back(), "stopped exit3221225477");
    EXPECT_EQ(Fake.events, (Strings{STARTING, LISTENING, SIGNED_FAILED, RECEIVE_FAILED}));
}

TEST_F(ServiceTest, StopRequestRacingTheRunsOwnEndNeverSignalsAClosedEvent) {
    for (int round = 0; round < 50; ++round) {
        ResetProcess();
        std::thread stop;
        FakeScript(FakeCall::Receive, 1, 0,
                   [&stop] { stop = std::thread(HandleControl, SERVICE_CONTROL_STOP); });
        FakeQueue({.bytes = "", .error = 10054});
        RunService();
        stop.join();
        EXPECT_TRUE(Fake.reports.back().starts_with("stopped"));
    }
}

TEST_F(ServiceTest, EachDatagramBecomesOneEventOfItsText) {
    const std::string log = "info 40020003 ", utf8 = "info 40020003 utf8 ";
    const std::string full(8191, 'a');  // with its line feed, the longest datagram
    const struct {
        std::string datagram, event;
    } cases[] = {
        {"abc\r\n", log + "[abc\r]"},  // one line feed dropped, not the CR before it
        {"\n", log + "[]"},
        {"ab\0cd"s, log + "[ab]"},  // a zero byte ends the text
        {full + "\n", log + "[" + full + "]"},
        {"%1 %2 %%1 %0", log + "[%1 %2 %%1 %0]"},   // insertion escapes as they stand
        {"caf\xc3\xa9\n", utf8 + "[caf\xc3\xa9]"},  // UTF-8 beyond ASCII goes wide
        {"caf\xe9", log + "[caf\xe9]"},
        {"\xc3\xa9\0\xff"s, utf8 + "[\xc3\xa9]"},  // only what is logged counts
    };
    Strings events = {STARTING, LISTENING};
    for (const auto& c : cases) {
        FakeQueue({.bytes = c.datagram});
        events.push_back(c.event);
    }
    FakeQueue({.control = SERVICE_CONTROL_STOP});
    RunService();

    EXPECT_EQ(Fake.events, events);
    EXPECT_EQ(Fake.reports.back(), "stopped");
}

TEST_F(ServiceTest, LossesAreReportedEveryTenSecondsAndAtStopWithTheCountsShownEachSecond) {
    // The system's count at the start, whenever a line or a report falls due (across its
    // wrap), and at the end.
    Fake.systemDiscards = {0xFFFFFF00, 4, 4, 4, 4, 44};
    FakeQueue({.bytes = "a"});
    FakeQueue({.drops = 1000});  // the platform has dropped 1,000 so far
    FakeQueue({.bytes = "b"});
    FakeScript(FakeCall::RegisterEventSource, 5, 1717);  // the log line of "c" finds no log
    FakeQueue({.bytes = "c"});
    FakeQueue({.bytes = std::string(8193, 'x')});
    FakeQueue({.ms = 9999});  // the counts are shown, the losses not yet reported
    FakeQueue({.ms = 1});
    FakeQueue({.bytes = "d"});
    FakeQueue({.drops = 1234567});  // a burst's tail: no datagram follows to bring the count
    FakeScript(FakeCall::ReportEvent, 8, 1460);  // the second loss report is lost itself
    FakeQueue({.ms = 10000});
    FakeQueue({.ms = 60000});  // its losses reported again; it lost no datagram
    FakeQueue({.ms = 60000});  // nothing new at all: the wait has no end
    FakeQueue({.control = SERVICE_CONTROL_STOP});
    FakeQueue({.drops = 1234600});
    RunService();

    const std::string first = Counts("1", "1,000", "260", "1"), unread = ", 0 unread at stop";
    EXPECT_EQ(Fake.events, (Strings{STARTING, LISTENING, "info 40020003 [a]", "info 40020003 [b]",
                                    ERROR + "recv() failed: error 10040\n"s,
                                    LossReport(first, first), "info 40020003 [d]",
                                    LossReport(Counts("0", "1,233,567", "0", "0"),
                                               Counts("1", "1,234,567", "260", "1")),
                                    LossReport(Counts("0", "33", "40", "0") + unread,
                                               Counts("1", "1,234,600", "300", "1") + unread)}));
    EXPECT_EQ(Fake.serviceTexts,
              (Strings{"Running: 2 logged, " + first,
                       "Running: 3 logged, " + Counts("1", "1,234,567", "260", "1")}));
}

TEST_F(ServiceTest, TheStopCountsTheUnreadUntilTheQueueIsEmptyOrItsHalfSecondIsSpent) {
    const struct {
        std::uint64_t ms;
        const char* event;
        std::string unread;
    } cases[] = {
        {499, "warning 80020006 ", "4,024"},  // all of it, just in time
        {500, "warning 80020007 ", "2,049"},  // two batches, and one more shows some are left
    };
    for (const auto& c : cases) {
        ResetProcess();
        FakeQueue({.control = SERVICE_CONTROL_STOP});
        for (int left = 0; left < 4024; ++left) {
            if (left == 1024) {
                FakeQueue({.ms = c.ms});  // passing while the second batch is taken
            }
            FakeQueue({.bytes = "left"});
        }
        RunService();
        const std::string counts =
            "0 too long, 0 dropped by the kernel, 0 not written, " + c.unread + " unread at stop";
        EXPECT_EQ(Fake.events.back(), LossReport(counts, counts, c.event));
    }
}

TEST_F(ServiceTest, AWatchingManagerHearsTheLoopTurnWhileIdleAndWhileALineWaitsOutAFullLog) {
    Fake.keepAliveMs = 10000;
    const auto full = [](int first, int last, const std::function<void()>& atLast = {}) {
        for (int nth = first; nth <= last; ++nth) {  // each attempt spends its whole wait
            FakeScript(FakeCall::ReportEvent, nth, ERROR_TIMEOUT, nth == last ? atLast : nullptr);
        }
    };
    FakeQueue({.ms = 9999});  // a wait that would have no end ends for the sign
    FakeQueue({.ms = 1});
    full(3, 102);  // 25 s of a stalled journal for "a", then "b" at once
    full(105, 109, [] { HandleControl(SERVICE_CONTROL_STOP); });  // "c" given up, "d" unread
    for (const char* line : {"a", "b", "c", "d"}) {
        FakeQueue({.bytes = line});
    }
    RunService();
    const std::string counts =
        "0 too long, 0 dropped by the kernel, 1 not written, 1 unread at stop";
    EXPECT_EQ(Fake.events, (Strings{STARTING, LISTENING, "info 40020003 [a]", "info 40020003 [b]",
                                    LossReport(counts, counts)}));
    EXPECT_EQ(Fake.keptAlive, (std::vector<std::uint64_t>{10000, 20000, 30000}));
}

}  // namespace

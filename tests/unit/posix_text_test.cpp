// The texts the POSIX layer writes and reads (unit, key, notify report and status files),
// checked without root, systemd or the port: what the system suites check end to end,
// here row by row.
#include <gtest/gtest.h>

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "platform/constants.h"
#include "platform/posix/key_file.h"
#include "platform/posix/notify_text.h"
#include "platform/posix/status_text.h"
#include "platform/posix/unit_file.h"
#include "platform/posix/win32_codes.h"

namespace {

using namespace std::string_literals;

const std::string SPECIAL =
    "its path has a control character, a quote or a backslash, which systemd refuses in a "
    "program path";

TEST(UnitTextTest, TheProgramIsOneExecStartWordOrRefusedWithItsReason) {
    const struct {
        std::string path, exec;  // the ExecStart line, or why there is none
        std::string_view hidden{};
    } cases[] = {
        {"/opt/corvane/corvane", "ExecStart=/opt/corvane/corvane"},
        {"/opt/Log Tools/corvane", "ExecStart=/opt/Log\\x20Tools/corvane"},
        {"/opt/100% $HOME ${X} \u00e9;@-/corvane",
         "ExecStart=/opt/100%%\\x20$HOME\\x20${X}\\x20\u00e9;@-/corvane"},
        {"/tmpx/corvane", "ExecStart=/tmpx/corvane"},
        {"/tmp/x/corvane", "ExecStart=/tmp/x/corvane", "/tmp"},
        {"/run/user/0/corvane", "ExecStart=/run/user/0/corvane", "/run/user"},
        {"/home/u/corvane", "ExecStart=/home/u/corvane", "/home"},
        {"/root", "ExecStart=/root", "/root"},
        {"opt/corvane", "its path is not absolute"},
        {"", "its path is not absolute"},
        {"/opt/a\"b/corvane", SPECIAL},
        {"/opt/a'b/corvane", SPECIAL},
        {"/opt/a\\b/corvane", SPECIAL},
        {"/opt/a\tb/corvane", SPECIAL},
        {"/opt/a\x7f"
         "b/corvane",
         SPECIAL},
        {"/opt/a\xff"
         "b/corvane",
         "its path is not valid UTF-8, which systemd cannot handle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::array<char, 4096> unit{};
        const std::size_t length = ComposeUnitFile(c.path, unit);
        const char* problem = ExecPathProblem(c.path);
        const std::string text(unit.data(), length);
        if (c.exec.starts_with("ExecStart=")) {
            EXPECT_EQ(problem, nullptr);
            EXPECT_NE(text.find("\n" + c.exec + "\n"), std::string::npos) << text;
            EXPECT_TRUE(text.starts_with("[Unit]\n") && text.ends_with("\n")) << text;
            EXPECT_EQ(text.find("[Install]"), std::string::npos) << "started on demand only";
            EXPECT_EQ(ComposeUnitFile(c.path, std::span(unit).first(length)), 0u) << "cut";
        } else {
            EXPECT_EQ(std::string(problem != nullptr ? problem : "none"), c.exec);
            EXPECT_EQ(length, 0u);
        }
        EXPECT_EQ(SandboxHiddenPlace(c.path), c.hidden);
    }
}

TEST(KeyTextTest, AValueIsOneLineThatReplacesItsOldLineAndKeepsTheOthers) {
    const struct {
        const char* name;
        std::uint32_t type;
        std::string data, line;  // "" when the value cannot be kept on one line
    } values[] = {
        {"EventMessageFile", REG_EXPAND_SZ, "/opt/x y\0"s,
         "EventMessageFile\tREG_EXPAND_SZ\t/opt/x y\n"},
        {"TypesSupported", REG_DWORD, "\x07\x00\x01\x80"s,
         "TypesSupported\tREG_DWORD\t2147549191\n"},
        {"Short", REG_DWORD, "\x07\x00\x00"s, ""},
        {"Tab\tName", REG_SZ, "x", ""},
        {"Lines", REG_SZ, "a\nb", ""},
        {"Binary", 3, "x", ""},
    };
    for (const auto& c : values) {
        std::array<char, 128> line{};
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.data.data());
        const std::size_t length = FormatValueLine(c.name, c.type, {bytes, c.data.size()}, line);
        EXPECT_EQ(std::string(line.data(), length), c.line) << c.name;
    }
    const std::string line = "A\tREG_SZ\tnew\n";
    const struct {
        std::string file, merged;
        std::size_t room = 128;
    } merges[] = {
        {"", line},
        {"Other\tREG_SZ\tkept", "Other\tREG_SZ\tkept\n" + line},  // its line feed added
        {"A\tREG_SZ\t1\nAB\tREG_SZ\t2\nA\tREG_SZ\t3\n", line + "AB\tREG_SZ\t2\n"},
        {"Other\tREG_SZ\tkept\n", "", 31},  // no room: nothing
    };
    for (const auto& c : merges) {
        std::array<char, 128> out{};
        const std::size_t length = MergeValueLine(c.file, line, std::span(out).first(c.room));
        EXPECT_EQ(std::string(out.data(), length), c.merged) << c.file;
    }
}

TEST(NotifyTextTest, EachStateTellsTheManagerItsLinesAndTheWholeRecord) {
    const auto record = [](std::uint32_t state, std::uint32_t exitCode, std::uint32_t checkPoint,
                           std::uint32_t waitHint) {
        return "\nX_CORVANE_STATE=" + std::to_string(state) + "\nX_CORVANE_CONTROLS=1" +
               "\nX_CORVANE_EXIT_CODE=" + std::to_string(exitCode) +
               "\nX_CORVANE_CHECKPOINT=" + std::to_string(checkPoint) +
               "\nX_CORVANE_WAIT_HINT=" + std::to_string(waitHint);
    };
    const struct {
        ServiceStatus status;
        std::string text;
    } cases[] = {
        {{16, SERVICE_START_PENDING, 1, 0, 0, 3, 3000},
         "STATUS=Start pending (check point 3)\nEXTEND_TIMEOUT_USEC=3000000" +
             record(2, 0, 3, 3000)},
        {{16, SERVICE_START_PENDING, 1, 0, 0, 1, 0},
         "STATUS=Start pending (check point 1)" + record(2, 0, 1, 0)},
        {{16, SERVICE_RUNNING, 1, 0, 0, 0, 0}, "STATUS=Running\nREADY=1" + record(4, 0, 0, 0)},
        {{16, SERVICE_STOP_PENDING, 1, 0, 0, 6, 0},
         "STATUS=Stop pending (check point 6)\nSTOPPING=1" + record(3, 0, 6, 0)},
        {{16, SERVICE_STOPPED, 1, 10048, 0, 0, 0},
         "STATUS=Stopped (exit code 10048)" + record(1, 10048, 0, 0)},
        {{16, 7, 1, 0, 0, 0, 0}, "STATUS=State 7" + record(7, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        std::array<char, NOTIFY_TEXT_SIZE> out{};
        const std::size_t length = FormatNotifyText(c.status, out);
        EXPECT_EQ(std::string(out.data(), length), c.text);
        EXPECT_EQ(FormatNotifyText(c.status, std::span(out).first(length)), 0u) << "cut";
    }
    std::array<char, NOTIFY_TEXT_SIZE> out{};  // every number at its widest still fits
    constexpr std::uint32_t MAX = 0xFFFFFFFF;
    EXPECT_NE(FormatNotifyText({MAX, SERVICE_STOP_PENDING, MAX, MAX, MAX, MAX, MAX}, out), 0u);
}

TEST(StatusTextTest, TheRecordReadsBackAndBadLinesLeaveTheirFieldsAlone) {
    const ServiceStatus status{16, SERVICE_RUNNING, 1, 10048, 7, 4294967295, 3000};
    std::array<char, STATUS_TEXT_SIZE> text{};
    const std::size_t length = FormatStatusText(4194304, 18446744073709551615ULL, status, text);
    const std::string written(text.data(), length);
    EXPECT_EQ(written,
              "pid=4194304\nstartTime=18446744073709551615\nserviceType=16\ncurrentState=4\n"
              "controlsAccepted=1\nwin32ExitCode=10048\nserviceSpecificExitCode=7\n"
              "checkPoint=4294967295\nwaitHint=3000\n");
    StatusFileRecord read{};
    ParseStatusText(written, &read);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(&read.status), sizeof status),
              std::string_view(reinterpret_cast<const char*>(&status), sizeof status));
    EXPECT_EQ((std::pair{read.pid, read.startTime}),
              (std::pair{pid_t{4194304}, 18446744073709551615ULL}));

    StatusFileRecord kept{5, 6, 0, {16, 4, 1, 0, 0, 0, 0}};
    ParseStatusText(
        "pid=12x\ncurrentState=4294967296\ncheckPoint=\n=3\nwaitHint\nstart"
        "Time=000000000000000000000001\nunknown=9\nwin32ExitCode=2",  // no final LF
        &kept);
    EXPECT_EQ((std::tuple{kept.pid, kept.startTime, kept.status.currentState,
                          kept.status.checkPoint, kept.status.waitHint, kept.status.win32ExitCode}),
              (std::tuple{pid_t{5}, 6ULL, 4u, 0u, 0u, 2u}));
    EXPECT_EQ(
        FormatStatusText(4194304, 18446744073709551615ULL, status, std::span(text).first(length)),
        0u)
        << "cut";
}

}  // namespace

// The texts the POSIX layer writes and reads (unit, key, notify report and status files),
// checked without root, systemd or the port: the system suites keep one row for each.
#include <gtest/gtest.h>

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "platform/constants.h"
#include "platform/posix/key_file.h"
#include "platform/posix/notify_text.h"
#include "platform/posix/status_text.h"
#include "platform/posix/unit_file.h"
#include "platform/posix/win32_codes.h"

namespace {

using namespace std::string_literals;

constexpr std::string_view SPECIAL =
    "its path has a control character, a quote or a backslash, which systemd refuses in a "
    "program path";

// The text `format` writes from `args`, which must not fit one byte less room: it is never
// cut, and a text without room for it is nothing.
template <typename Format, typename... Args>
std::string Whole(Format format, const Args&... args) {
    std::array<char, 4096> out{};
    const std::size_t length = format(args..., std::span(out));
    std::string text(out.data(), length);
    EXPECT_EQ(length == 0 ? 0 : format(args..., std::span(out).first(length)), 0u) << "cut";
    return text;
}

TEST(UnitTextTest, TheProgramIsOneExecStartWordOrRefusedWithItsReason) {
    const struct {
        std::string path;
        std::string_view exec;  // the ExecStart line, or why there is none
        std::string_view hidden{};
    } cases[] = {
        {"/opt/1% $HOME ${X} \u00e9;@-/c", "ExecStart=/opt/1%%\\x20$HOME\\x20${X}\\x20\u00e9;@-/c"},
        {"/tmpx/c", "ExecStart=/tmpx/c"},
        {"/tmp/x/c", "ExecStart=/tmp/x/c", "/tmp"},
        {"/root", "ExecStart=/root", "/root"},
        {"opt/c", "its path is not absolute"},
        {"/opt/\"/c", SPECIAL},
        {"/opt/'/c", SPECIAL},
        {"/opt/\\/c", SPECIAL},
        {"/opt/\t/c", SPECIAL},
        {"/opt/\x7f/c", SPECIAL},
        {"/opt/\xff/c", "its path is not valid UTF-8, which systemd cannot handle"},
    };
    for (const auto& c : cases) {
        const std::string unit = Whole(ComposeUnitFile, c.path);
        const char* problem = ExecPathProblem(c.path);
        const std::string exec(c.exec);
        const bool written = unit.find("\n" + exec + "\n") != std::string::npos;
        EXPECT_EQ(problem != nullptr ? std::string(problem) : written ? exec : unit, exec);
        EXPECT_EQ(unit.empty(), problem != nullptr);
        EXPECT_EQ(unit.find("[Install]"), std::string::npos) << "started on demand only";
        EXPECT_EQ(SandboxHiddenPlace(c.path), c.hidden);
    }
}

TEST(KeyTextTest, AValueIsOneLineThatReplacesItsOldLineAndKeepsTheOthers) {
    const struct {
        const char* name;
        std::uint32_t type;
        std::string data, line;  // "" when the value cannot be kept on one line
    } values[] = {
        {"File", REG_EXPAND_SZ, "/opt/x y\0"s, "File\tREG_EXPAND_SZ\t/opt/x y\n"},
        {"Types", REG_DWORD, "\x07\x00\x01\x80"s, "Types\tREG_DWORD\t2147549191\n"},
        {"Short", REG_DWORD, "\x07\x00\x00"s, ""},
        {"Tab\tName", REG_SZ, "x", ""},
        {"Lines", REG_SZ, "a\nb", ""},
        {"Binary", 3, "x", ""},
    };
    for (const auto& c : values) {
        const std::span data(reinterpret_cast<const unsigned char*>(c.data.data()), c.data.size());
        EXPECT_EQ(Whole(FormatValueLine, c.name, c.type, data), c.line);
    }
    const std::string line = "A\tREG_SZ\tnew\n";
    const struct {
        std::string file, merged;
    } merges[] = {
        {"", line},
        {"Other\tREG_SZ\tkept", "Other\tREG_SZ\tkept\n" + line},  // its line feed added
        {"A\tREG_SZ\t1\nAB\tREG_SZ\t2\nA\tREG_SZ\t3\n", line + "AB\tREG_SZ\t2\n"},
    };
    for (const auto& c : merges) {
        EXPECT_EQ(Whole(MergeValueLine, c.file, line), c.merged);
    }
}

TEST(NotifyTextTest, EachStateTellsTheManagerItsLinesThenTheWholeRecord) {
    const struct {
        ServiceStatus status;
        std::string head;
    } cases[] = {
        {{16, SERVICE_START_PENDING, 0, 0, 0, 3, 3000},
         "STATUS=Start pending (check point 3)\nEXTEND_TIMEOUT_USEC=3000000"},
        {{16, SERVICE_START_PENDING, 0, 0, 0, 1, 0}, "STATUS=Start pending (check point 1)"},
        {{16, SERVICE_STOPPED, 1, 10048, 0, 0, 0}, "STATUS=Stopped (exit code 10048)"},
        {{16, 7, 1, 0, 0, 0, 0}, "STATUS=State 7"},
    };
    for (const auto& c : cases) {
        const std::string text = Whole(FormatNotifyText, c.status);
        EXPECT_TRUE(text.starts_with(c.head + "\nX_CORVANE_STATE=")) << text;
    }
    constexpr std::uint32_t MAX = 0xFFFFFFFF;  // every number at its widest still fits
    const ServiceStatus widest{MAX, SERVICE_STOP_PENDING, 1, MAX, 0, MAX, MAX};
    EXPECT_EQ(Whole(FormatNotifyText, widest),
              "STATUS=Stop pending (check point 4294967295)\nSTOPPING=1\nX_CORVANE_STATE=3\n"
              "X_CORVANE_CONTROLS=1\nX_CORVANE_EXIT_CODE=4294967295\n"
              "X_CORVANE_CHECKPOINT=4294967295\nX_CORVANE_WAIT_HINT=4294967295");
}

TEST(StatusTextTest, TheRecordReadsBackAndBadLinesLeaveTheirFieldsAlone) {
    const ServiceStatus status{16, SERVICE_RUNNING, 1, 10048, 7, 4294967295, 3000};
    const std::string text = Whole(FormatStatusText, 4194304, 18446744073709551615ULL, status);
    EXPECT_EQ(text,
              "pid=4194304\nstartTime=18446744073709551615\nserviceType=16\ncurrentState=4\n"
              "controlsAccepted=1\nwin32ExitCode=10048\nserviceSpecificExitCode=7\n"
              "checkPoint=4294967295\nwaitHint=3000\n");
    StatusFileRecord read{};
    ParseStatusText(text, &read);
    EXPECT_EQ(Whole(FormatStatusText, read.pid, read.startTime, read.status), text);
    StatusFileRecord kept{5, 6, 0, {16, 4, 1, 0, 0, 0, 0}};
    ParseStatusText(
        "pid=12x\ncurrentState=4294967296\ncheckPoint=\n=3\nwaitHint\nstartTime="
        "000000000000000000000001\nunknown=9\nwin32ExitCode=2",  // no final LF
        &kept);
    EXPECT_EQ(Whole(FormatStatusText, kept.pid, kept.startTime, kept.status),
              "pid=5\nstartTime=6\nserviceType=16\ncurrentState=4\ncontrolsAccepted=1\n"
              "win32ExitCode=2\nserviceSpecificExitCode=0\ncheckPoint=0\nwaitHint=0\n");
}

}  // namespace

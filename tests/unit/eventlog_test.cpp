// Event reports: the failure code they carry, and what a report without its source leaves.
#include "platform/kernel.h"
#include "tests/unit/support.h"

namespace {

using EventLogTest = FakeTest;

TEST_F(EventLogTest, FailureEventCarriesTheCodeLeftByTheFailedCallAsSignedDecimal) {
    const struct {
        std::uint32_t code;
        const char* text;
    } cases[] = {{5, "Corvane error: 5"}, {0xC0000005, "Corvane error: -1073741819"}};
    for (const auto& c : cases) {
        ResetProcess();
        OsSetLastError(c.code);
        LogFailure("SetServiceStatus");
        EXPECT_EQ(Fake.events,
                  Strings{std::string("error 00000000 ") + c.text + "|SetServiceStatus"});
        EXPECT_EQ(LastFailureCode.load(), c.code);
        EXPECT_EQ(FakeOpenHandleCount(), 0u) << "the source is closed after each report";
    }
}

TEST_F(EventLogTest, ReportWhoseSourceCannotBeOpenedLeavesNoTrace) {
    FakeScript(FakeCall::RegisterEventSource, 1, 1717);
    FakeScript(FakeCall::RegisterEventSource, 2, 1717);
    OsSetLastError(5);
    LogFailure("SetServiceStatus");
    LogTypedEvent("text", MSG_SERVICE_ERROR, 1);
    LogInfoEvent("[abc]", MSG_LOG_LINE);
    EXPECT_EQ(Fake.events, Strings{"info 40020003 [abc]"});
    EXPECT_EQ(LastFailureCode.load(), 5u);
}

}  // namespace

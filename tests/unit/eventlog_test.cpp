// Event reports and what a reader of the log sees of them.
#include "platform/kernel.h"
#include "platform/posix/render.h"
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

TEST(CatalogueTest, EveryEntryRendersItsStringsAsTheyStandAndCutsToFit) {
    const struct {
        std::uint32_t id;
        std::vector<const char*> strings;
        std::string rendered;
        std::size_t room = 512;
    } cases[] = {
        {0x40020003, {"[abc]"}, "Corvane", 8},
        {0x40020003, {"[%1 %2 %%1 %0]"}, "Corvane Log: [%1 %2 %%1 %0] "},
        {0x00020002, {}, "Corvane Service Stopped Successfully"},
        {0xC0020005,
         {"bind() failed\n"},
         "Corvane Error bind() failed\n %2 "},  // a missing %2 stays
        {0,
         {"Corvane error: 5", "SetServiceStatus"},
         "The description for Event ID 0 from source Corvane cannot be found. The following "
         "information was included with the event:\nCorvane error: 5\nSetServiceStatus"},
    };
    for (const auto& c : cases) {
        std::vector<char> out(c.room);
        EXPECT_EQ(RenderEventMessage("Corvane", c.id, c.strings, out), c.rendered.size())
            << c.rendered;
        EXPECT_EQ(std::string(out.data()), c.rendered);
    }
}

}  // namespace

// Event reports and what a reader of the log sees of them.
#include "eventlog/eventlog.h"
#include "eventlog/render.h"
#include "platform/kernel.h"
#include "tests/unit/support.h"

namespace {

using Strings = std::vector<std::string>;

using EventLogTest = FakeTest;

TEST_F(EventLogTest, FailureEventCarriesTheCodeLeftByTheFailedCallAsSignedDecimal) {
    const struct {
        std::uint32_t code;
        const char* text;
    } cases[] = {{5, "Corvane error: 5"}, {0xC0000005, "Corvane error: -1073741819"}};
    for (const auto& c : cases) {
        FakeReset();
        OsSetLastError(c.code);
        LogFailure("SetServiceStatus");
        EXPECT_EQ(Events(), Strings{std::string("error 00000000 ") + c.text + "|SetServiceStatus"});
        EXPECT_EQ(LastFailureCode.load(), c.code);
        EXPECT_EQ(FakeOpenHandleCount(), 0u) << "the source is closed after each report";
    }
}

TEST_F(EventLogTest, ReportWhoseSourceCannotBeOpenedLeavesNoTrace) {
    FakeFailCall(FakeCall::RegisterEventSource, 1, 1717);
    FakeFailCall(FakeCall::RegisterEventSource, 2, 1717);
    OsSetLastError(5);
    LogFailure("SetServiceStatus");
    LogTypedEvent("text", MSG_SERVICE_ERROR, 1);
    LogInfoEvent("[abc]", MSG_LOG_LINE);

    EXPECT_EQ(Events(), Strings{"info 40020003 [abc]"});
    EXPECT_EQ(LastFailureCode.load(), 5u);
}

TEST(CatalogueTest, IdsFollowTheMessageIdLayoutAndTextsEndInCrLf) {
    const struct {
        std::uint32_t symbol;
        std::uint32_t id;
    } cases[] = {{MSG_SERVICE_STARTED, 0x00020001},
                 {MSG_SERVICE_STOPPED, 0x00020002},
                 {MSG_LOG_LINE, 0x40020003},
                 {MSG_SERVICE_STARTING, 0x40020004},
                 {MSG_SERVICE_ERROR, 0xC0020005}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.symbol, c.id);
        const char* text = CatalogText(c.id);
        ASSERT_NE(text, nullptr) << std::hex << c.id;
        EXPECT_TRUE(std::string_view(text).ends_with("\r\n")) << text;
    }
    EXPECT_EQ(CatalogText(0), nullptr);
}

TEST(CatalogueTest, RendersInsertionStringsAsTheyStand) {
    struct Case {
        const char* name;
        std::uint32_t id;
        std::vector<const char*> strings;
        std::string rendered;
    };
    const Case cases[] = {
        {"log line", MSG_LOG_LINE, {"[abc]"}, "Corvane Log: [abc] "},
        {"never expanded again", MSG_LOG_LINE, {"[%1 %2 %%1 %0]"}, "Corvane Log: [%1 %2 %%1 %0] "},
        {"%0 ends without a line break",
         MSG_SERVICE_STOPPED,
         {},
         "Corvane Service Stopped Successfully"},
        {"no insertion point",
         MSG_SERVICE_STARTED,
         {"'Listening' on port 514, protocol UDP\n"},
         "Corvane Service Started Successfully."},
        {"missing %2 stays as written",
         MSG_SERVICE_ERROR,
         {"bind() failed with error 10048\n"},
         "Corvane Error bind() failed with error 10048\n %2 "},
        {"unknown ID",
         0,
         {"Corvane error: 5", "SetServiceStatus"},
         "The description for Event ID 0 from source Corvane cannot be found. The following "
         "information was included with the event:\nCorvane error: 5\nSetServiceStatus"},
    };
    for (const Case& c : cases) {
        char out[512];
        const std::size_t length = RenderEventMessage(c.id, c.strings, out);
        EXPECT_EQ(std::string(out), c.rendered) << c.name;
        EXPECT_EQ(length, c.rendered.size()) << c.name;
    }
}

TEST(CatalogueTest, StartingMessageEndsAtPercentZeroAndLongTextsAreCut) {
    const std::vector<const char*> version{"Version 1.01"};
    char out[512];
    const std::string starting(out, RenderEventMessage(MSG_SERVICE_STARTING, version, out));
    EXPECT_TRUE(starting.starts_with("Corvane Service is starting. Version 1.01 ")) << starting;
    EXPECT_TRUE(starting.ends_with(".")) << starting;

    char small[8];
    const std::vector<const char*> line{"[abc]"};
    EXPECT_EQ(RenderEventMessage(MSG_LOG_LINE, line, small), 7u);
    EXPECT_STREQ(small, "Corvane");
}

}  // namespace

// From datagram to event text, and the datagrams that are no text at all.
#include <thread>

#include "platform/constants.h"
#include "service/service_main.h"
#include "tests/unit/support.h"

namespace {

using namespace std::string_literals;
using Strings = std::vector<std::string>;

using ReceiverTest = FakeTest;

// Runs the service over the queued datagrams and stops it once they are all handled.
void RunOverQueuedDatagrams() {
    std::thread service(RunService);
    EXPECT_TRUE(FakeWaitIdle());
    HandleControl(SERVICE_CONTROL_STOP);
    service.join();
}

TEST_F(ReceiverTest, DatagramBecomesBracketedTextOfOneInformationEvent) {
    const std::string full(256, 'a');
    struct Case {
        const char* name;
        std::string datagram;
        std::string text;
    };
    const Case cases[] = {
        {"line feed dropped", "abc\n", "[abc]"},
        {"carriage return before it stays", "abc\r\n", "[abc\r]"},
        {"only one of two line feeds dropped", "abc\n\n", "[abc\n]"},
        {"no line feed", "abc", "[abc]"},
        {"empty", "", "[]"},
        {"line feed alone", "\n", "[]"},
        {"zero byte ends the text", "ab\0cd"s, "[ab]"},
        {"exactly the buffer", full, "[" + full + "]"},
        {"full buffer ending in line feed", full.substr(1) + "\n", "[" + full.substr(1) + "]"},
        {"insertion escapes kept as they stand", "%1 %2 %%1 %0", "[%1 %2 %%1 %0]"},
    };
    for (const Case& c : cases) {
        FakeQueueDatagram(c.datagram);
    }
    RunOverQueuedDatagrams();

    const Strings events = Events();
    ASSERT_EQ(events.size(), std::size(cases) + 2) << "the starting and listening events first";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(events[i + 2], "info 40020003 " + cases[i].text) << cases[i].name;
    }
}

TEST_F(ReceiverTest, OverLongDatagramIsReportedAndTheNextOneStillLogged) {
    FakeQueueDatagram(std::string(257, 'x'));
    FakeQueueDatagram("next\n");
    FakeQueueDatagram(std::string(1500, 'y'));
    FakeQueueDatagram("last\n");
    RunOverQueuedDatagrams();

    const std::string overLong = "error c0020005 recv() failed: error 10040\n";
    EXPECT_EQ(Events(), (Strings{"info 40020004 Version 1.01",
                                 "info 00020001 'Listening' on port 514, protocol UDP\n", overLong,
                                 "info 40020003 [next]", overLong, "info 40020003 [last]"}));
    EXPECT_EQ(Reports().back(), "stopped");
}

}  // namespace

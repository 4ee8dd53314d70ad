// The command line, and the process's road through the dispatcher.
#include "service/entry.h"
#include "platform/constants.h"
#include "tests/unit/support.h"

namespace {

using Strings = std::vector<std::string>;

const char USAGE_AND_DISPATCHER_LINES[] =
    "CORVANE -install          to install the service\n"
    "CORVANE -remove           to remove the service\n"
    "CORVANE -version          to display the version number\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

int Main(std::vector<std::string> arguments) {
    std::vector<char*> argVector;
    for (std::string& argument : arguments) {
        argVector.push_back(argument.data());
    }
    argVector.push_back(nullptr);
    return CorvaneMain(static_cast<int>(arguments.size()), argVector.data());
}

using EntryTest = FakeTest;

TEST(OptionTest, OnlyAWholeOptionWordAfterOnePrefixInTheFirstArgumentCounts) {
    const struct {
        std::vector<std::string> arguments;
        Option option;
    } cases[] = {
        {{"corvane", "-install"}, Option::Install},
        {{"corvane", "/install"}, Option::Install},
        {{"corvane", "-InStALL"}, Option::Install},
        {{"corvane", "/REMOVE", "-install"}, Option::Remove},
        {{"corvane", "-remove", "anything"}, Option::Remove},
        {{"corvane", "/Version"}, Option::Version},
        {{"corvane"}, Option::None},
        {{"corvane", "install"}, Option::None},
        {{"corvane", "--install"}, Option::None},
        {{"corvane", "-/install"}, Option::None},
        {{"corvane", "-inst"}, Option::None},
        {{"corvane", "-installinstall"}, Option::None},
        {{"corvane", "-install "}, Option::None},
        {{"corvane", "+install"}, Option::None},
        {{"corvane", "-"}, Option::None},
        {{"corvane", ""}, Option::None},
        {{"corvane", "-extra", "-install"}, Option::None},
    };
    for (const auto& c : cases) {
        std::vector<char*> argVector;
        for (const std::string& argument : c.arguments) {
            argVector.push_back(const_cast<char*>(argument.c_str()));
        }
        EXPECT_EQ(ParseOption(static_cast<int>(argVector.size()), argVector.data()), c.option)
            << testing::PrintToString(c.arguments);
    }
}

TEST_F(EntryTest, VersionPrintsTheBannerOnly) {
    EXPECT_EQ(Main({"corvane", "-version"}), 0);
    EXPECT_TRUE(Fake.console.starts_with("Corvane Server service, version 1.01\n")) << Fake.console;
    EXPECT_EQ(Fake.console.find("CORVANE -"), std::string::npos) << Fake.console;
    EXPECT_EQ(FakeCallCount(FakeCall::StartServiceCtrlDispatcher), 0);
}

TEST_F(EntryTest, StartFromAConsolePrintsUsageAndReportsTheDispatcherFailure) {
    EXPECT_EQ(Main({"corvane", "-unknown"}), 1);
    EXPECT_EQ(Fake.console, USAGE_AND_DISPATCHER_LINES);
    EXPECT_EQ(Fake.dispatchedServices, Strings{"Corvane"});
    EXPECT_EQ(Events(),
              Strings{"error 00000000 Corvane error: 1063|StartServiceCtrlDispatcher failed."});
}

TEST_F(EntryTest, CommandsEndWithStatusOneOnlyWhenAFailureLineWasPrinted) {
    EXPECT_EQ(Main({"corvane", "/INSTALL", "ignored"}), 0);
    EXPECT_EQ(Main({"corvane", "-install"}), 1);  // exists already
    EXPECT_EQ(Main({"corvane", "-remove"}), 0);
    EXPECT_EQ(Main({"corvane", "-Remove"}), 1);  // gone already
    EXPECT_EQ(Fake.console,
              "Corvane installed.\n"
              "CreateService failed - The specified service already exists. (0x431)\n"
              "Corvane removed.\n"
              "OpenService failed - The specified service does not exist as an installed "
              "service. (0x424)\n");
    EXPECT_EQ(Fake.events.size(), 0u);
}

TEST_F(EntryTest, ServiceStartedByTheManagerRunsUntilStoppedAndExitsWithItsOutcome) {
    const struct {
        const char* name;
        bool bindFails;
        int status;
        const char* stopped;
    } cases[] = {{"clean stop", false, 0, "stopped"}, {"port taken", true, 1, "stopped exit10048"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        ResetProgramState();
        Fake.dispatcherConnects = true;
        Fake.controls = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP};
        if (c.bindFails) {
            FakeFailCall(FakeCall::Bind, 1, 10048);
        }
        FakeQueueDatagram("hello\n");

        EXPECT_EQ(Main({"corvane"}), c.status);
        EXPECT_EQ(Fake.console, USAGE_AND_DISPATCHER_LINES);
        EXPECT_EQ(Fake.handlerServiceName, "Corvane");
        EXPECT_EQ(Reports().back(), c.stopped);
        const Strings events = Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "info 40020003 [hello]"),
                  c.bindFails ? 0 : 1);
    }
}

}  // namespace

// The command line, installation and removal as the user at the console sees them, and
// what they leave in the manager's database and the registry.
#include "platform/kernel.h"
#include "service/entry.h"
#include "tests/unit/support.h"

namespace {

using namespace std::string_literals;

const std::map<std::string, std::string> OLD_SOURCE{{"EventMessageFile", "2:old"}};
const std::string KEY = EVENT_SOURCE_KEY;
const std::string EXISTS = "CreateService failed - The specified service already exists. (0x431)\n";
const std::string NOT_INSTALLED =
    "OpenService failed - The specified service does not exist as an installed service. (0x424)\n";

using CommandTest = FakeTest;
using EntryTest = FakeTest;

// Calls `run` with the program's name and `options`, as main gets them.
template <typename Run>
auto WithArguments(std::vector<std::string> options, Run run) {
    options.insert(options.begin(), "corvane");
    std::vector<char*> argVector;
    for (std::string& argument : options) {
        argVector.push_back(argument.data());
    }
    argVector.push_back(nullptr);
    return run(static_cast<int>(options.size()), argVector.data());
}

TEST(OptionTest, OnlyAWholeOptionWordAfterOnePrefixInTheFirstArgumentCounts) {
    const struct {
        std::vector<std::string> options;
        Option option;
    } cases[] = {
        {{"-install"}, Option::Install},
        {{"/install"}, Option::Install},
        {{"-InStALL"}, Option::Install},
        {{"/REMOVE", "-install"}, Option::Remove},
        {{"/Version"}, Option::Version},
        {{}, Option::None},
        {{"install"}, Option::None},
        {{"+install"}, Option::None},
        {{"--install"}, Option::None},
        {{"-inst"}, Option::None},
        {{"-install "}, Option::None},
        {{"-"}, Option::None},
        {{""}, Option::None},
        {{"-extra", "-install"}, Option::None},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WithArguments(c.options, ParseOption), c.option)
            << testing::PrintToString(c.options);
    }
}

TEST_F(EntryTest, EveryStartPrintsItsLinesAndEndsWithItsStatus) {
    const std::string usage =
        "CORVANE -install          to install the service\n"
        "CORVANE -remove           to remove the service\n"
        "CORVANE -version          to display the version number\n"
        "\nStartServiceCtrlDispatcher being called.\n"
        "This may take several seconds.  Please wait.\n";
    const std::string NO_DISPATCHER =
        "error 00000000 Corvane error: 1063|StartServiceCtrlDispatcher failed.";
    const std::string banner =
        "Corvane Server service, version 1.01\nCopyright (c) 2026 the Corvane developers.\n"
        "Read more in the README that comes with Corvane.\n";
    struct Case {
        std::vector<std::string> options;
        bool installed;  // and so started by the manager, when it starts as a service
        std::uint32_t bindError;
        int status;
        std::string console;
        Strings events;
    };
    const Case cases[] = {
        {{"-version"}, false, 0, 0, banner, {}},
        {{"-unknown"}, false, 0, 1, usage, {NO_DISPATCHER}},
        {{"/INSTALL", "ignored"}, false, 0, 0, "Corvane installed.\n", {}},
        {{"-install"}, true, 0, 1, EXISTS, {}},
        {{"-remove"}, true, 0, 0, "Corvane removed.\n", {}},
        {{"-Remove"}, false, 0, 1, NOT_INSTALLED, {}},
        {{}, true, 0, 0, usage, {STARTING, LISTENING, "info 40020003 [hello]"}},
        {{}, true, 10048, 1, usage, {STARTING, "error c0020005 bind() failed with error 10048\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        ResetProcess();
        Fake.installedService = c.installed ? "Corvane" : "";
        Fake.dispatcherConnects = c.installed;
        FakeScript(FakeCall::Bind, 1, c.bindError);
        FakeQueueDatagram("hello\n");
        FakeQueueControl(SERVICE_CONTROL_INTERROGATE);
        FakeQueueControl(SERVICE_CONTROL_STOP);

        EXPECT_EQ(WithArguments(c.options, CorvaneMain), c.status);
        EXPECT_EQ(Fake.console, c.console);
        EXPECT_EQ(Fake.events, c.events);
        EXPECT_EQ(std::ranges::count(Fake.trace, "StartServiceCtrlDispatcher Corvane"),
                  c.console == usage ? 1 : 0);
    }
}

TEST_F(CommandTest, EveryFailureLineCarriesTheSystemTextAndLeavesTheKeyAlone) {
    // 256 bytes hold the system text less its CR LF, " (0x", eight digits, ")" and a zero.
    const std::string fits = std::string(239, 'x') + ".\r\n";
    struct Case {
        bool (*command)();
        bool installed;
        FakeCall call;  // fails with `error`, unless it is 0 and the script decides
        std::uint32_t error;
        std::string output;
        std::string refusal{};  // of the executable's place
    };
    const Case cases[] = {
        {InstallCommand, false, FakeCall::GetModuleFileName, 5,
         "Unable to install Corvane - Access is denied. (0x5)\n"},
        {InstallCommand, false, FakeCall::OpenSCManager, 5,
         "OpenSCManager failed - Access is denied. (0x5)\n"},
        {InstallCommand, false, FakeCall::OpenSCManager, 0,
         "Unable to install Corvane - /tmp is hidden\n", "/tmp is hidden"},
        {InstallCommand, true, FakeCall::OpenSCManager, 0, EXISTS},
        {InstallCommand, false, FakeCall::RegCreateKey, 5, "Cannot create registry entries!\n"},
        {InstallCommand, false, FakeCall::RegSetValue, 5,
         "RegSetValueEx failed - Access is denied. (0x5)\n"},
        {InstallCommand, false, FakeCall::DeleteService, 1072,  // and the undo fails too
         "RegSetValueEx failed - Access is denied. (0x5)\nDeleteService failed - The specified "
         "service has been marked for deletion. (0x430)\n"},
        {InstallCommand, false, FakeCall::OpenSCManager, 1234, "OpenSCManager failed - \n"},
        {RemoveCommand, true, FakeCall::OpenSCManager, 5,
         "OpenSCManager failed - Access is denied. (0x5)\n"},
        {RemoveCommand, true, FakeCall::OpenSCManager, 1000,
         "OpenSCManager failed - " + fits.substr(0, 240) + " (0x3e8)\n"},
        {RemoveCommand, true, FakeCall::OpenSCManager, 1001, "OpenSCManager failed - \n"},
        {RemoveCommand, false, FakeCall::OpenSCManager, 0, NOT_INSTALLED},
        {RemoveCommand, true, FakeCall::DeleteService, 1072,
         "DeleteService failed - The specified service has been marked for deletion. (0x430)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        ResetProcess();
        Fake.installedService = c.installed ? "Corvane" : "";
        Fake.registry[KEY] = OLD_SOURCE;
        Fake.systemTexts[1000] = fits;
        Fake.systemTexts[1001] = "y" + fits;
        FakeScript(c.call, 1, c.error);
        if (c.call == FakeCall::DeleteService && !c.installed) {
            FakeScript(FakeCall::RegSetValue, 1, 5);
        }
        Fake.binaryRefusal = c.refusal;

        EXPECT_FALSE(c.command());
        EXPECT_EQ(Fake.console, c.output);
        EXPECT_EQ(Fake.registry[KEY], OLD_SOURCE);
        // Install is all or nothing; a failed remove leaves the service installed.
        EXPECT_EQ(Fake.installedService,
                  c.installed || c.call == FakeCall::DeleteService ? "Corvane" : "");
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

TEST_F(CommandTest, InstallRecordsTheServiceAndTheExecutableAsMessageFile) {
    Fake.modulePath = "/usr/local/sbin/corvane";
    EXPECT_TRUE(InstallCommand());

    EXPECT_EQ(Fake.console, "Corvane installed.\n");
    EXPECT_EQ(Fake.registry[KEY], (std::map<std::string, std::string>{
                                      {"EventMessageFile", "2:/usr/local/sbin/corvane\0"s},
                                      {"TypesSupported", "4:\7\0\0\0"s}}));
    EXPECT_EQ(Fake.trace,
              (Strings{"OpenSCManager f003f",
                       "CreateService Corvane Corvane f01ff 10 3 1 /usr/local/sbin/corvane",
                       "RegCreateKey " + KEY + " f003f", "RegSetValue EventMessageFile",
                       "RegSetValue TypesSupported", "CloseServiceHandle service",
                       "CloseServiceHandle manager"}));
    EXPECT_EQ(FakeOpenHandleCount(), 0u);
}

TEST_F(CommandTest, ErrorTextLongerThanItsLookUpBufferIsDropped) {
    Fake.systemTexts[5] = std::string(600, 'x') + ".\r\n";
    char out[1024];
    OsSetLastError(5);
    EXPECT_STREQ(FormatLastError(out, sizeof out), "");
}

TEST_F(CommandTest, RemoveDeletesOnlyAServiceThatStoppedOrNeverRan) {
    struct Case {
        std::deque<std::uint32_t> states;  // at each stop control and each query
        bool startAdvances;
        FakeCall call;
        std::uint32_t error;
        std::string console;
    };
    constexpr std::uint32_t RUNNING = SERVICE_RUNNING, PENDING = SERVICE_STOP_PENDING,
                            STARTING = SERVICE_START_PENDING, STOPPED = SERVICE_STOPPED;
    const std::string second = "<1000ms>";
    const std::string stopping = "Stopping Corvane.<1000ms>.<1000ms>.<1000ms>\n";
    const std::string removed = "Corvane removed.\n";
    const std::string cannotAccept =
        "ControlService failed - The service cannot accept control messages at this time. "
        "(0x425)\n";
    const std::string denied = " failed - Access is denied. (0x5)\n";
    const Case cases[] = {
        {{STOPPED}, false, FakeCall::ControlService, 0, removed},
        {{RUNNING, PENDING, PENDING, STOPPED},
         false,
         FakeCall::ControlService,
         0,
         stopping + "Corvane stopped.\n" + removed},
        {{RUNNING, PENDING},
         false,
         FakeCall::QueryServiceStatus,
         5,
         stopping + "Corvane failed to stop.\n"},
        {{RUNNING}, false, FakeCall::ControlService, 5, "ControlService" + denied},
        // Still starting: asked again each second while its check point moves.
        {{STARTING, STARTING, STARTING, STARTING, RUNNING, STOPPED},
         true,
         FakeCall::ControlService,
         0,
         second + second + "Stopping Corvane.<1000ms>\nCorvane stopped.\n" + removed},
        {{STARTING},
         false,
         FakeCall::ControlService,
         0,
         second + second + second + second + second + cannotAccept},
        {{STARTING}, true, FakeCall::QueryServiceStatus, 5, "QueryServiceStatus" + denied},
        {{STARTING, PENDING, STOPPED},
         false,
         FakeCall::ControlService,
         0,
         "Stopping Corvane.<1000ms>\nCorvane stopped.\n" + removed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.console);
        ResetProcess();
        Fake.installedService = "Corvane";
        Fake.serviceStates = c.states;
        Fake.startAdvances = c.startAdvances;
        Fake.registry[KEY] = OLD_SOURCE;
        Fake.systemTexts[1061] = "The service cannot accept control messages at this time.\r\n";
        FakeScript(c.call, c.call == FakeCall::QueryServiceStatus && c.states.size() > 1 ? 3 : 1,
                   c.error);

        const bool deleted = c.console.ends_with(removed);
        EXPECT_EQ(RemoveCommand(), deleted);
        EXPECT_EQ(Fake.console, c.console);
        EXPECT_EQ(Fake.installedService, deleted ? "" : "Corvane");
        EXPECT_EQ(Fake.registry.count(KEY), deleted ? 0u : 1u);
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

}  // namespace

// The command line, installation and removal as the console shows them, and what they
// leave in the manager's database and the registry.
#include "platform/kernel.h"
#include "service/entry.h"
#include "tests/unit/support.h"

namespace {

using namespace std::string_literals;

using Values = std::map<std::string, std::string>;
constexpr const char* KEY = EVENT_SOURCE_KEY;
constexpr char EXISTS[] = "CreateService failed - The specified service already exists. (0x431)\n";
constexpr char NOT_INSTALLED[] =
    "OpenService failed - The specified service does not exist as an installed service. (0x424)\n";

// What an earlier installation left in the key: a failed command leaves it alone.
Values OldSource() {
    return {{"EventMessageFile", "2:old"}};
}

using CommandTest = FakeTest;
using EntryTest = FakeTest;

// Calls `run` with the program's name and `options`, as main gets them.
template <typename Run>
auto WithArguments(std::vector<std::string> options, Run run) {
    options.insert(options.begin(), "corvane");
    std::vector<char*> argVector(options.size() + 1, nullptr);
    std::ranges::transform(options, argVector.begin(),
                           [](std::string& argument) { return argument.data(); });
    return run(static_cast<int>(options.size()), argVector.data());
}

TEST(OptionTest, OnlyAWholeOptionWordAfterOnePrefixInTheFirstArgumentCounts) {
    using enum Option;
    const struct {
        std::vector<std::string> options;
        Option option;
    } cases[] = {
        {{"-install"}, Install},
        {{"/install"}, Install},
        {{"-InStALL"}, Install},
        {{"/REMOVE", "-install"}, Remove},
        {{"/Version"}, Version},
        {{}, None},
        {{"install"}, None},
        {{"+install"}, None},
        {{"--install"}, None},
        {{"-inst"}, None},
        {{"-install "}, None},
        {{"-"}, None},
        {{""}, None},
        {{"-extra", "-install"}, None},
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
        "\nStartServiceCtrlDispatcher being called.\nThis may take several seconds.  Please "
        "wait.\n";
    const struct {
        std::vector<std::string> options;
        bool installed;  // and so started by the manager, when it starts as a service
        std::uint32_t bindError;
        int status;
        std::string console;
        Strings events;
    } cases[] = {
        {{"-version"}, false, 0, 0, "Corvane Server service, version 1.01\n", {}},
        {{"-unknown"},
         false,
         0,
         1,
         usage,
         {"error 00000000 Corvane error: 1063|StartServiceCtrlDispatcher failed."}},
        {{"/INSTALL", "ignored"}, false, 0, 0, "Corvane installed.\n", {}},
        {{"-remove"}, true, 0, 0, "Corvane removed.\n", {}},
        {{}, true, 0, 0, usage, {STARTING, LISTENING, "info 40020003 [hello]"}},
        {{}, true, 10048, 1, usage, {STARTING, "error c0020005 bind() failed with error 10048\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        ResetProcess();
        Fake.installedService = c.installed ? "Corvane" : "";
        Fake.dispatcherConnects = c.installed;
        FakeScript(FakeCall::Bind, 1, c.bindError);
        FakeQueueDatagram("hello\n");
        FakeQueueControl(SERVICE_CONTROL_INTERROGATE);
        FakeQueueControl(SERVICE_CONTROL_STOP);

        EXPECT_EQ(WithArguments(c.options, CorvaneMain), c.status);
        EXPECT_EQ(c.options == Strings{"-version"} ? Fake.console.substr(0, c.console.size())
                                                   : Fake.console,
                  c.console);
        EXPECT_EQ(Fake.events, c.events);
        EXPECT_EQ(std::ranges::count(Fake.trace, "StartServiceCtrlDispatcher Corvane"),
                  c.console == usage ? 1 : 0);
    }
}

TEST_F(CommandTest, EveryFailureLineCarriesTheSystemTextAndLeavesTheKeyAlone) {
    using enum FakeCall;
    // 256 bytes hold the system text less its CR LF, " (0x", eight digits, ")" and a zero.
    const std::string fits = std::string(239, 'x') + ".\r\n";
    const std::string denied = " failed - Access is denied. (0x5)\n";
    const std::string marked =
        "DeleteService failed - The specified service has been marked for deletion. (0x430)\n";
    const struct {
        bool (*command)();
        bool installed;
        FakeCall call;
        int nth;  // that call fails with `error`
        std::uint32_t error;
        std::string output;
        std::string refusal{};  // of the executable's place
    } cases[] = {
        {InstallCommand, false, GetModuleFileName, 1, 5,
         "Unable to install Corvane - Access is denied. (0x5)\n"},
        {InstallCommand, false, OpenSCManager, 1, 5, "OpenSCManager" + denied},
        {InstallCommand, false, OpenSCManager, 1, 0, "Unable to install Corvane - /tmp is hidden\n",
         "/tmp is hidden"},
        {InstallCommand, true, OpenSCManager, 1, 0, EXISTS},
        {InstallCommand, false, ChangeServiceConfig2, 1, 5,
         "ChangeServiceConfig2 (required privileges)" + denied},
        {InstallCommand, false, ChangeServiceConfig2, 2, 1072,
         "ChangeServiceConfig2 (service SID) failed - The specified service has been marked for "
         "deletion. (0x430)\n"},
        {InstallCommand, false, ChangeServiceConfig2, 3, 6,
         "ChangeServiceConfig2 (failure actions) failed - \n"},
        {InstallCommand, false, RegCreateKey, 1, 5, "Cannot create registry entries!\n"},
        {InstallCommand, false, RegSetValue, 1, 5, "RegSetValueEx" + denied},
        {InstallCommand, false, DeleteService, 1, 1072,
         "RegSetValueEx" + denied + marked},  // undo fails
        {InstallCommand, false, OpenSCManager, 1, 1234, "OpenSCManager failed - \n"},
        {RemoveCommand, true, OpenSCManager, 1, 1000,
         "OpenSCManager failed - " + fits.substr(0, 240) + " (0x3e8)\n"},
        {RemoveCommand, true, OpenSCManager, 1, 1001, "OpenSCManager failed - \n"},
        {RemoveCommand, false, OpenSCManager, 1, 0, NOT_INSTALLED},
        {RemoveCommand, true, DeleteService, 1, 1072, marked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        ResetProcess();
        Fake.installedService = c.installed ? "Corvane" : "";
        Fake.registry[KEY] = OldSource();
        Fake.systemTexts[1000] = fits;
        Fake.systemTexts[1001] = "y" + fits;
        Fake.binaryRefusal = c.refusal;
        FakeScript(c.call, c.nth, c.error);
        if (c.call == DeleteService && !c.installed) {
            FakeScript(RegSetValue, 1, 5);
        }

        EXPECT_FALSE(c.command());
        EXPECT_EQ(Fake.console, c.output);
        EXPECT_EQ(Fake.registry[KEY], OldSource());
        // Install is all or nothing; a failed remove leaves the service installed.
        EXPECT_EQ(Fake.installedService, c.installed || c.call == DeleteService ? "Corvane" : "");
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

// A setting the system does not have is one line; the account and the rest still go in.
TEST_F(CommandTest, InstallRecordsTheServiceItsSettingsAndTheExecutableAsMessageFile) {
    const std::string privileges =
        "Required privileges not supported by this system: the service keeps every privilege of "
        "its account - ";
    const std::string sid =
        "Service SID not supported by this system: no firewall rule can name the service - ";
    const std::string restart =
        "Failure actions not supported by this system: the service is not restarted after a "
        "crash - ";
    const std::string parameter = "The parameter is incorrect. (0x57)\n";
    const std::string level = "The system call level is not correct. (0x7c)\n";
    const struct {
        std::array<std::uint32_t, 3> errors;  // of each setting's call
        std::string console;
    } cases[] = {
        {{0, 0, 0}, ""},
        {{87, 0, 0}, privileges + parameter},
        {{0, 124, 0}, sid + level},
        {{0, 0, 50}, restart + "\n"},
        {{120, 87, 124}, privileges + "\n" + sid + parameter + restart + level},  // as on Wine
    };
    const std::string created =
        "CreateService Corvane Corvane f01ff 10 3 1 "
        "/usr/local/sbin/corvane as NT AUTHORITY\\LocalService";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.console);
        ResetProcess();
        Fake.modulePath = "/usr/local/sbin/corvane";
        Fake.systemTexts[87] = "The parameter is incorrect.\r\n";
        Fake.systemTexts[124] = "The system call level is not correct.\r\n";
        for (int nth = 1; nth <= 3; ++nth) {
            FakeScript(FakeCall::ChangeServiceConfig2, nth, c.errors[nth - 1]);
        }

        EXPECT_TRUE(InstallCommand());
        EXPECT_EQ(Fake.console, c.console + "Corvane installed.\n");
        EXPECT_EQ(Fake.registry[KEY], (Values{{"EventMessageFile", "2:/usr/local/sbin/corvane\0"s},
                                              {"TypesSupported", "4:\7\0\0\0"s}}));
        EXPECT_EQ(Fake.trace,
                  (Strings{"OpenSCManager f003f", created,
                           "ChangeServiceConfig2 privileges SeChangeNotifyPrivilege",
                           "ChangeServiceConfig2 sid 1",
                           "ChangeServiceConfig2 restart 60000ms reset 86400s",
                           "RegCreateKey "s + KEY + " f003f", "RegSetValue EventMessageFile",
                           "RegSetValue TypesSupported", "CloseServiceHandle service",
                           "CloseServiceHandle manager"}));
        EXPECT_EQ(Fake.installedService, "Corvane");
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

TEST_F(CommandTest, RemoveDeletesOnlyAServiceThatStoppedOrNeverRan) {
    constexpr std::uint32_t RUNNING = SERVICE_RUNNING, PENDING = SERVICE_STOP_PENDING,
                            START = SERVICE_START_PENDING, STOPPED = SERVICE_STOPPED;
    using enum FakeCall;
    const std::string s = "<1000ms>", stopping = "Stopping Corvane.<1000ms>";
    const std::string stopped = "\nCorvane stopped.\nCorvane removed.\n";
    const std::string refused =
        "ControlService failed - The service cannot accept control messages at this time. "
        "(0x425)\n";
    // States at the stop control, then at each query; the first call of `call` fails with
    // `error` (a query's third, when running).
    const struct {
        std::vector<std::uint32_t> states;
        bool startAdvances;
        FakeCall call;
        std::uint32_t error;
        std::string console;
    } cases[] = {
        {{STOPPED}, false, ControlService, 0, "Corvane removed.\n"},
        {{RUNNING, PENDING, PENDING, STOPPED},
         false,
         ControlService,
         0,
         stopping + ".<1000ms>.<1000ms>" + stopped},
        {{RUNNING, PENDING},
         false,
         QueryServiceStatus,
         5,
         stopping + ".<1000ms>.<1000ms>\nCorvane failed to stop.\n"},
        {{RUNNING}, false, ControlService, 5, "ControlService failed - Access is denied. (0x5)\n"},
        {{RUNNING, STOPPED},
         false,
         ControlService,
         ERROR_SERVICE_NOT_IN_EXE,
         "Corvane is not running: the process its status names is not the service.\n"
         "Corvane removed.\n"},
        // Still starting, whatever the refusal's code: asked again while its check point moves.
        {{START, START, START, START, RUNNING, STOPPED},
         true,
         ControlService,
         1052,
         s + s + stopping + stopped},
        {{START}, false, ControlService, 0, s + s + s + s + s + refused},
        {{START}, true, QueryServiceStatus, 5, refused},
        {{START, PENDING, STOPPED}, false, ControlService, 0, stopping + stopped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.console);
        ResetProcess();
        Fake.installedService = "Corvane";
        Fake.serviceStates = c.states;
        Fake.startAdvances = c.startAdvances;
        Fake.registry[KEY] = OldSource();
        FakeScript(c.call, c.call == QueryServiceStatus && c.states.size() > 1 ? 3 : 1, c.error);

        const bool deleted = c.console.ends_with("Corvane removed.\n");
        EXPECT_EQ(RemoveCommand(), deleted);
        EXPECT_EQ(Fake.console, c.console);
        EXPECT_EQ(Fake.installedService, deleted ? "" : "Corvane");
        EXPECT_EQ(Fake.registry.count(KEY), deleted ? 0u : 1u);
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

}  // namespace

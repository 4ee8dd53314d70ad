// The command line, installation and removal as the console shows them, and what they
// leave in the manager's database and the registry.
#include "platform/kernel.h"
#include "service/entry.h"
#include "tests/unit/support.h"

namespace {

using namespace std::string_literals;

using Values = std::map<std::string, std::string>;
constexpr const char* KEY = EVENT_SOURCE_KEY;

constexpr char OLD_SOURCE[] = "2:old";  // an earlier installation's: a failed command keeps it

using CommandTest = FakeTest;

TEST(OptionTest, OnlyAWholeOptionWordAfterOnePrefixInTheFirstArgumentCounts) {
    using enum Option;
    const struct {
        std::vector<std::string> options;
        Option option;
    } cases[] = {
        {{"-InStALL"}, Install}, {{"/REMOVE", "-install"}, Remove},
        {{"/Version"}, Version}, {{"install"}, None},
        {{"--install"}, None},   {{"-inst"}, None},
        {{"-install "}, None},   {{"-"}, None},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.options;  // as main gets them
        words.insert(words.begin(), "corvane");
        std::vector<char*> argVector(words.size() + 1, nullptr);
        std::ranges::transform(words, argVector.begin(), [](auto& word) { return word.data(); });
        EXPECT_EQ(ParseOption(static_cast<int>(words.size()), argVector.data()), c.option)
            << testing::PrintToString(c.options);
    }
}

// Install is all or nothing; a failed remove leaves the service installed.
TEST_F(CommandTest, EveryFailureLineCarriesTheSystemTextAndLeavesTheKeyAlone) {
    using enum FakeCall;
    // 256 bytes hold the system text less its CR LF, " (0x", eight digits, ")" and a zero.
    const std::string fits = std::string(239, 'x') + ".\r\n";
    const std::string denied = " failed - Access is denied. (0x5)\n", csc = "ChangeServiceConfig2 ";
    const std::string marked =
        " failed - The specified service has been marked for deletion. (0x430)\n";
    const struct {
        bool (*command)();
        FakeCall call;
        int nth;  // that call fails with `error`
        std::uint32_t error;
        std::string output;
    } cases[] = {
        {InstallCommand, GetModuleFileName, 1, 5,
         "Unable to install Corvane - Access is denied. (0x5)\n"},
        {InstallCommand, ChangeServiceConfig2, 1, 5, csc + "(required privileges)" + denied},
        {InstallCommand, ChangeServiceConfig2, 2, 1072, csc + "(service SID)" + marked},
        {InstallCommand, ChangeServiceConfig2, 3, 6, csc + "(failure actions) failed - \n"},
        {InstallCommand, DeleteService, 1, 1072,
         "RegSetValueEx" + denied + "DeleteService" + marked},  // undo fails
        {RemoveCommand, OpenSCManager, 1, 1000,
         "OpenSCManager failed - " + fits.substr(0, 240) + " (0x3e8)\n"},
        {RemoveCommand, OpenSCManager, 1, 1001, "OpenSCManager failed - \n"},
        {RemoveCommand, DeleteService, 1, 1072, "DeleteService" + marked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        ResetProcess();
        const bool installed = c.command == RemoveCommand;
        Fake.installedService = installed ? "Corvane" : "";
        Fake.registry[KEY]["EventMessageFile"] = OLD_SOURCE;
        Fake.systemTexts[1000] = fits;
        Fake.systemTexts[1001] = "y" + fits;
        FakeScript(c.call, c.nth, c.error);
        if (c.call == DeleteService && !installed) {
            FakeScript(RegSetValue, 1, 5);
        }

        EXPECT_FALSE(c.command());
        EXPECT_EQ(Fake.console, c.output);
        EXPECT_EQ(Fake.registry[KEY], (Values{{"EventMessageFile", OLD_SOURCE}}));
        EXPECT_EQ(Fake.installedService, installed || c.call == DeleteService ? "Corvane" : "");
    }
}

// A setting the system does not have is one line, with the system's text where it has one
// (Wine's own answers: tests/windows); the account and the rest still go in.
TEST_F(CommandTest, InstallRecordsTheServiceItsSettingsAndTheExecutableAsMessageFile) {
    Fake.systemTexts[87] = "The parameter is incorrect.\r\n";
    const std::array<std::uint32_t, 3> errors = {120, 87, 50};  // of each setting's call
    for (int nth = 1; nth <= 3; ++nth) {
        FakeScript(FakeCall::ChangeServiceConfig2, nth, errors[nth - 1]);
    }

    const std::string created =
        "CreateService Corvane Corvane f01ff 10 3 1 /usr/local/sbin/corvane as NT "
        "AUTHORITY\\LocalService";
    EXPECT_TRUE(InstallCommand());
    EXPECT_EQ(Fake.console,
              "Required privileges not supported by this system: the service keeps every privilege "
              "of its account - \nService SID not supported by this system: no firewall rule can "
              "name the service - The parameter is incorrect. (0x57)\nFailure actions not "
              "supported by this system: the service is not restarted after a crash - \nCorvane "
              "installed.\n");
    EXPECT_EQ(Fake.registry[KEY], (Values{{"EventMessageFile", "2:/usr/local/sbin/corvane\0"s},
                                          {"TypesSupported", "4:\7\0\0\0"s}}));
    EXPECT_EQ(Fake.trace, (Strings{"OpenSCManager f003f", created,
                                   "ChangeServiceConfig2 privileges SeChangeNotifyPrivilege",
                                   "ChangeServiceConfig2 sid 1",
                                   "ChangeServiceConfig2 restart 60000ms reset 86400s",
                                   "RegCreateKey "s + KEY + " f003f"}));
    EXPECT_EQ(Fake.installedService, "Corvane");
}

TEST_F(CommandTest, RemoveDeletesOnlyAServiceThatStoppedOrNeverRan) {
    constexpr std::uint32_t RUNNING = SERVICE_RUNNING, PENDING = SERVICE_STOP_PENDING,
                            START = SERVICE_START_PENDING, STOPPED = SERVICE_STOPPED;
    const std::string s = "<1000ms>", dot = ".<1000ms>", stopping = "Stopping Corvane.<1000ms>";
    const std::string stopped = "\nCorvane stopped.\nCorvane removed.\n";
    const std::string refused =
        "ControlService failed - The service cannot accept control messages at this time. "
        "(0x425)\n";
    // States at the stop control, then at each query; the control fails with `controlError`,
    // the first query with `queryError` (the third, when running). Still starting, whatever
    // the refusal's code, or running by the time its state is read: asked again while its
    // check point moves.
    const struct {
        std::vector<std::uint32_t> states;
        bool startAdvances;
        std::uint32_t controlError, queryError;
        std::string console;
    } cases[] = {
        {{RUNNING, PENDING}, false, 0, 5, stopping + dot + dot + "\nCorvane failed to stop.\n"},
        {{START, START, START, START, RUNNING, STOPPED}, true, 1052, 0, s + s + stopping + stopped},
        {{START}, false, 0, 0, s + s + s + s + s + refused},
        {{START}, true, 0, 5, refused},
        {{START, PENDING, STOPPED}, false, 0, 0, stopping + stopped},
        {{START, RUNNING, RUNNING, STOPPED}, false, 0, 0, s + stopping + stopped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.console);
        ResetProcess();
        Fake.installedService = "Corvane";
        Fake.serviceStates = c.states;
        Fake.startAdvances = c.startAdvances;
        Fake.registry[KEY]["EventMessageFile"] = OLD_SOURCE;
        FakeScript(FakeCall::ControlService, 1, c.controlError);
        FakeScript(FakeCall::QueryServiceStatus, c.states.size() > 1 ? 3 : 1, c.queryError);

        const bool deleted = c.console.ends_with("Corvane removed.\n");
        EXPECT_EQ(RemoveCommand(), deleted);
        EXPECT_EQ(Fake.console, c.console);
        EXPECT_EQ(Fake.installedService, deleted ? "" : "Corvane");
        EXPECT_EQ(Fake.registry.count(KEY), deleted ? 0u : 1u);
    }
}

}  // namespace

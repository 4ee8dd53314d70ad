// Installation and removal as the user at the console sees them, and what they leave in
// the manager's database and the registry.
#include "service/commands.h"
#include "platform/constants.h"
#include "platform/kernel.h"
#include "tests/unit/support.h"

namespace {

using Strings = std::vector<std::string>;

const std::map<std::string, FakeRegistryValue> OLD_SOURCE{
    {"EventMessageFile", {REG_EXPAND_SZ, {'o', 'l', 'd', 0}}}};

using CommandTest = FakeTest;

// The trace's console pieces ("out:") and sleeps, or all its other calls, in order.
Strings PickFromTrace(bool outputAndSleeps) {
    Strings picked;
    for (const std::string& entry : Fake.trace) {
        if ((entry.starts_with("out:") || entry.starts_with("Sleep")) == outputAndSleeps) {
            picked.push_back(entry);
        }
    }
    return picked;
}
Strings OutputAndSleeps() {
    return PickFromTrace(true);
}
Strings ManagerCalls() {
    return PickFromTrace(false);
}

TEST_F(CommandTest, EveryFailureLineCarriesTheSystemTextAndLeavesTheKeyAlone) {
    struct Case {
        const char* name;
        bool (*command)();
        bool installed;
        FakeCall call;  // Count: no call fails, the script's state decides
        std::uint32_t error;
        const char* output;
    };
    const Case cases[] = {
        {"module path", InstallCommand, false, FakeCall::GetModuleFileName, 5,
         "Unable to install Corvane - Access is denied. (0x5)\n"},
        {"install: manager", InstallCommand, false, FakeCall::OpenSCManager, 5,
         "OpenSCManager failed - Access is denied. (0x5)\n"},
        {"service exists", InstallCommand, true, FakeCall::Count, 0,
         "CreateService failed - The specified service already exists. (0x431)\n"},
        {"registry key", InstallCommand, false, FakeCall::RegCreateKey, 5,
         "Corvane installed.\nCannot create registry entries!\n"},
        {"code without a text", InstallCommand, false, FakeCall::OpenSCManager, 1234,
         "OpenSCManager failed - \n"},
        {"remove: manager", RemoveCommand, true, FakeCall::OpenSCManager, 5,
         "OpenSCManager failed - Access is denied. (0x5)\n"},
        {"not installed", RemoveCommand, false, FakeCall::Count, 0,
         "OpenService failed - The specified service does not exist as an installed service. "
         "(0x424)\n"},
        {"delete", RemoveCommand, true, FakeCall::DeleteService, 1072,
         "DeleteService failed - The specified service has been marked for deletion. (0x430)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        Fake.serviceInstalled = c.installed;
        Fake.serviceConfig.serviceName = "Corvane";
        Fake.registry[EVENT_SOURCE_KEY] = OLD_SOURCE;
        FakeFailCall(c.call, 1, c.error);

        EXPECT_FALSE(c.command());
        EXPECT_EQ(Fake.console, c.output);
        EXPECT_EQ(Fake.registry[EVENT_SOURCE_KEY], OLD_SOURCE);
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
    }
}

TEST_F(CommandTest, ErrorTextIsEmptyWhenTheSystemTextAndCodeDoNotFit) {
    // 256 bytes hold the text less its CR LF, " (0x", eight digits, ")" and the zero.
    const struct {
        std::size_t systemLength;
        bool shown;
    } cases[] = {{242, true}, {243, false}};
    for (const auto& c : cases) {
        FakeReset();
        FakeSetLongMessage(5, c.systemLength);
        FakeFailCall(FakeCall::OpenSCManager, 1, 5);
        EXPECT_FALSE(RemoveCommand());
        const std::string text = c.shown ? std::string(c.systemLength - 3, 'x') + ". (0x5)" : "";
        EXPECT_EQ(Fake.console, "OpenSCManager failed - " + text + "\n") << c.systemLength;
    }
}

TEST_F(CommandTest, ErrorTextNeverOverrunsItsLookUpBuffer) {
    FakeSetLongMessage(5, 600);
    char out[1024];
    OsSetLastError(5);
    EXPECT_STREQ(FormatLastError(out, sizeof out), "");
}

TEST_F(CommandTest, InstallRecordsTheServiceAndTheExecutableAsMessageFile) {
    Fake.modulePath = "/usr/local/sbin/corvane";
    EXPECT_TRUE(InstallCommand());

    EXPECT_EQ(Fake.console, "Corvane installed.\n");
    const FakeServiceConfig& config = Fake.serviceConfig;
    EXPECT_EQ(config.serviceName, "Corvane");
    EXPECT_EQ(config.displayName, "Corvane");
    EXPECT_EQ(config.desiredAccess, SERVICE_ALL_ACCESS);
    EXPECT_EQ(config.serviceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(config.startType, SERVICE_DEMAND_START);
    EXPECT_EQ(config.errorControl, SERVICE_ERROR_NORMAL);
    EXPECT_EQ(config.binaryPath, "/usr/local/sbin/corvane");
    const std::string path = "/usr/local/sbin/corvane";
    std::vector<unsigned char> pathValue(path.begin(), path.end());
    pathValue.push_back(0);
    EXPECT_EQ(Fake.registry[EVENT_SOURCE_KEY], (std::map<std::string, FakeRegistryValue>{
                                                   {"EventMessageFile", {REG_EXPAND_SZ, pathValue}},
                                                   {"TypesSupported", {REG_DWORD, {7, 0, 0, 0}}}}));
    EXPECT_EQ(Fake.trace, (Strings{"OpenSCManager f003f", "CreateService Corvane",
                                   "out:Corvane installed.\n", "CloseServiceHandle service",
                                   std::string("RegCreateKey ") + EVENT_SOURCE_KEY,
                                   "RegSetValue EventMessageFile", "RegSetValue TypesSupported",
                                   "CloseServiceHandle manager"}));
    EXPECT_EQ(FakeOpenHandleCount(), 0u);
}

TEST_F(CommandTest, RemoveStopsAServiceThatRunsWithADotPerSecondAndDeletesItAnyway) {
    const std::string start = "out:Stopping Corvane.", dot = "out:.", sleep = "Sleep 1000";
    struct Case {
        const char* name;
        std::uint32_t state;
        std::deque<std::uint32_t> stopAnswers;
        int failingQuery;
        std::size_t queries;
        bool result;
        Strings output;
    };
    const Case cases[] = {
        {"not running", SERVICE_STOPPED, {}, 0, 0, true, {"out:Corvane removed.\n"}},
        {"stops after two seconds",
         SERVICE_RUNNING,
         {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING},
         0,
         3,
         true,
         {start, sleep, dot, sleep, dot, sleep, "out:\nCorvane stopped.\n",
          "out:Corvane removed.\n"}},
        {"never stops, then the query fails",
         SERVICE_RUNNING,
         {3, 3, 3, 3, 3},
         3,
         3,
         false,
         {start, sleep, dot, sleep, dot, sleep, "out:\nCorvane failed to stop.\n",
          "out:Corvane removed.\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReset();
        Fake.serviceInstalled = true;
        Fake.serviceConfig.serviceName = "Corvane";
        Fake.serviceState = c.state;
        Fake.stopAnswers = c.stopAnswers;
        Fake.registry[EVENT_SOURCE_KEY] = OLD_SOURCE;
        FakeFailCall(FakeCall::QueryServiceStatus, c.failingQuery, 5);

        EXPECT_EQ(RemoveCommand(), c.result);
        EXPECT_EQ(OutputAndSleeps(), c.output);
        EXPECT_FALSE(Fake.serviceInstalled);
        EXPECT_EQ(Fake.registry.count(EVENT_SOURCE_KEY), 0u);
        EXPECT_EQ(FakeOpenHandleCount(), 0u);
        Strings calls{"OpenSCManager f003f", "OpenService Corvane f01ff", "ControlService 1"};
        calls.insert(calls.end(), c.queries, "QueryServiceStatus");
        calls.insert(calls.end(), {"DeleteService", std::string("RegDeleteKey ") + EVENT_SOURCE_KEY,
                                   "CloseServiceHandle service", "CloseServiceHandle manager"});
        EXPECT_EQ(ManagerCalls(), calls);
    }
}

}  // namespace

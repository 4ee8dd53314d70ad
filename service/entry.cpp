#include "service/entry.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <string_view>

#include "eventlog/eventlog.h"
#include "names.h"
#include "platform/console.h"
#include "platform/constants.h"
#include "platform/scm.h"
#include "service/commands.h"
#include "service/console.h"
#include "service/service_main.h"
#include "service/status.h"

namespace {

struct OptionWord {
    std::string_view word;
    Option option;  // cppcheck-suppress unusedStructMember
};
constexpr std::array<OptionWord, 3> OPTION_WORDS{{
    {"install", Option::Install},
    {"remove", Option::Remove},
    {"version", Option::Version},
}};

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != word[i]) {
            return false;
        }
    }
    return true;
}

void PrintVersionBanner() {
    Print("%s Server service, version %s\n", SERVICE_NAME, VERSION_TEXT);
    Print("%s.\n%s\n", COPYRIGHT_TEXT, MORE_INFORMATION_TEXT);
}

void PrintUsage() {
    Print("%s -install          to install the service\n", EXECUTABLE_NAME);
    Print("%s -remove           to remove the service\n", EXECUTABLE_NAME);
    Print("%s -version          to display the version number\n", EXECUTABLE_NAME);
}

// Hands the main thread to the dispatcher until the service has stopped.
int RunService() {
    Print("\nStartServiceCtrlDispatcher being called.\n");
    Print("This may take several seconds.  Please wait.\n");
    const std::array<ServiceTableEntry, 2> dispatchTable{{
        {SERVICE_NAME, ServiceEntry},
        {nullptr, nullptr},
    }};
    if (!OsStartServiceCtrlDispatcher(dispatchTable.data())) {
        LogFailure("StartServiceCtrlDispatcher failed.");
        return 1;
    }
    const std::lock_guard<std::mutex> guard(StatusLock);
    return ServiceStatusRecord.win32ExitCode == NO_ERROR ? 0 : 1;
}

}  // namespace

Option ParseOption(int argCount, char** argVector) {
    if (argCount < 2 || argVector[1] == nullptr) {
        return Option::None;
    }
    const std::string_view argument = argVector[1];
    if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) {
        return Option::None;
    }
    const std::string_view word = argument.substr(1);
    const auto* match = std::ranges::find_if(OPTION_WORDS, [word](const OptionWord& option) {
        return EqualsIgnoringCase(word, option.word);
    });
    return match != OPTION_WORDS.end() ? match->option : Option::None;
}

int CorvaneMain(int argCount, char** argVector) {
    OsConsoleSetup();
    switch (ParseOption(argCount, argVector)) {
        case Option::Install:
            return InstallCommand() ? 0 : 1;
        case Option::Remove:
            return RemoveCommand() ? 0 : 1;
        case Option::Version:
            PrintVersionBanner();
            return 0;
        case Option::None:
            break;
    }
    PrintUsage();
    return RunService();
}

#include "platform/console.h"

#include <string>

#include "tests/fake/fake_state.h"

void OsConsoleSetup() {}

void OsConsoleWrite(std::string_view text) {
    const std::lock_guard<std::mutex> guard(FakeLock);
    Fake.console += text;
    Fake.trace.push_back("out:" + std::string(text));
}

#include "platform/console.h"

#include <unistd.h>

#include <array>
#include <cstdio>

namespace {

// Output to a file or a pipe collects here and goes out a block at a time.
std::array<char, 512> StdoutBuffer{};

}  // namespace

void OsConsoleSetup() {
    // Before any output: setvbuf is only defined on a stream not yet used.
    if (isatty(STDOUT_FILENO) == 1) {
        (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        (void)std::setvbuf(stdout, StdoutBuffer.data(), _IOFBF, StdoutBuffer.size());
    }
}

// The buffer goes out when the process ends normally (exit flushes stdio).
void OsConsoleWrite(std::string_view text) {
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

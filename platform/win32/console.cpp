#include "platform/console.h"

#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>

namespace {

// The block a file or a pipe gets its output in; stdio owns it from setup on.
std::array<char, 512> OutputBuffer{};

}  // namespace

void OsConsoleSetup() {
    const int output = _fileno(stdout);
    // A process without standard output (a service started by the manager) has no
    // descriptor; the runtime would treat any call on it as a fatal invalid parameter.
    if (output < 0) {
        return;
    }
    // Text mode: each line feed reaches the console or the file as CR LF.
    (void)_setmode(output, _O_TEXT);
    if (_isatty(output) != 0) {
        (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        (void)std::setvbuf(stdout, OutputBuffer.data(), _IOFBF, OutputBuffer.size());
    }
}

void OsConsoleWrite(std::string_view text) {
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

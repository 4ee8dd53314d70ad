#include "platform/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

// Output that is not a console collects here: a line at a time for the journal, a block
// at a time for a file or a pipe.
std::array<char, 512> StdoutBuffer{};

// Whether standard output is the journal stream the service manager connected it to
// ($JOURNAL_STREAM names its device and inode): a reader of the journal expects each line
// when it is written, not when the collector ends.
bool StdoutIsJournalStream() {
    // Read at start-up, before there is a second thread.
    const char* stream = std::getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
    if (stream == nullptr) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long device = std::strtoull(stream, &end, 10);
    if (end == stream || *end != ':') {
        return false;
    }
    const char* inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    struct stat out {};
    return end != inodeText && *end == '\0' && fstat(STDOUT_FILENO, &out) == 0 &&
           out.st_dev == device && out.st_ino == inode;
}

}  // namespace

void OsConsoleSetup() {
    // Before any output: setvbuf is only defined on a stream not yet used.
    if (isatty(STDOUT_FILENO) == 1) {
        (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else if (StdoutIsJournalStream()) {
        (void)std::setvbuf(stdout, StdoutBuffer.data(), _IOLBF, StdoutBuffer.size());
    } else {
        (void)std::setvbuf(stdout, StdoutBuffer.data(), _IOFBF, StdoutBuffer.size());
    }
}

// The buffer goes out when the process ends normally (exit flushes stdio).
void OsConsoleWrite(std::string_view text) {
    (void)std::fwrite(text.data(), 1, text.size(), stdout);
}

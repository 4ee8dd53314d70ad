// usage: render_message <message file> <row> [-- <row>]...
//   a row: <event ID in hex> [insertion string]..., or - <error code in decimal>
// Each row's text as the viewer shows it, or the commands' error text of a code, a line
// ">>text<<" each: rows share one start, which costs a minute where 32-bit code is emulated.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/kernel.h"
#include "service/commands.h"

namespace {

// 0 for a row rendered, else the system's error code. An empty row's row[0] is the next
// separator, which names no text.
int RenderRow(HMODULE file, int count, char** row) {
    if (count == 2 && std::strcmp(row[0], "-") == 0) {
        OsSetLastError(std::strtoul(row[1], nullptr, 10));
        const int size = static_cast<int>(ErrorTextBuffer.size());
        (void)std::printf(">>%s<<\n", FormatLastError(ErrorTextBuffer.data(), size));
        return 0;
    }
    DWORD_PTR strings[16]{};  // with an argument array, each insertion is pointer-sized
    for (int i = 1; i < count && i <= 16; ++i) {
        strings[i - 1] = reinterpret_cast<DWORD_PTR>(row[i]);
    }
    char* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE;
    const DWORD length =
        FormatMessageA(flags | FORMAT_MESSAGE_ARGUMENT_ARRAY, file,
                       static_cast<DWORD>(std::strtoul(row[0], nullptr, 16)),
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text),
                       0, reinterpret_cast<va_list*>(strings));
    (void)std::printf(">>%.*s<<\n", static_cast<int>(length), text);
    return length != 0 ? 0 : static_cast<int>(GetLastError());
}

}  // namespace

int main(int argCount, char** argVector) {
    (void)_setmode(_fileno(stdout), _O_BINARY);  // no CR added before a line feed
    const HMODULE file = LoadLibraryExA(argVector[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    int failure = file != nullptr ? 0 : static_cast<int>(GetLastError());
    for (int first = 2, end = 2; first < argCount; first = ++end) {
        while (end < argCount && std::strcmp(argVector[end], "--") != 0) {
            ++end;
        }
        const int result = RenderRow(file, end - first, argVector + first);
        failure = failure != 0 ? failure : result;
    }
    return failure;
}

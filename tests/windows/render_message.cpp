// usage: render_message <message file> <event ID in hex> [insertion string]...
//        render_message - <error code in decimal>
// An event's text as the viewer shows it, or the commands' error text of a code.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/kernel.h"
#include "service/commands.h"

int main(int argCount, char** argVector) {
    (void)_setmode(_fileno(stdout), _O_BINARY);  // no CR added before a line feed
    if (argCount == 3 && std::strcmp(argVector[1], "-") == 0) {
        OsSetLastError(std::strtoul(argVector[2], nullptr, 10));
        const int size = static_cast<int>(ErrorTextBuffer.size());
        (void)std::printf(">>%s<<\n", FormatLastError(ErrorTextBuffer.data(), size));
        return 0;
    }
    const HMODULE file = LoadLibraryExA(argVector[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    DWORD_PTR strings[16]{};  // with an argument array, each insertion is pointer-sized
    for (int i = 3; i < argCount && i < 19; ++i) {
        strings[i - 3] = reinterpret_cast<DWORD_PTR>(argVector[i]);
    }
    char* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE;
    const DWORD length =
        argCount < 3 ? 0
                     : FormatMessageA(flags | FORMAT_MESSAGE_ARGUMENT_ARRAY, file,
                                      static_cast<DWORD>(std::strtoul(argVector[2], nullptr, 16)),
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                      reinterpret_cast<char*>(&text), 0,
                                      reinterpret_cast<va_list*>(strings));
    (void)std::printf(">>%.*s<<\n", static_cast<int>(length), text);
    return file != nullptr && length != 0 ? 0 : static_cast<int>(GetLastError());
}

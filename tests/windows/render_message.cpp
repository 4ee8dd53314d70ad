// usage: render_message <message file> <event ID in hex> [insertion string]...
//
// Prints the text the event viewer shows for an event: the message file's catalogue
// entry, the file loaded as data as the viewer loads it, with the strings put in. The
// raw bytes go out between ">>" and "<<", so a trailing blank or line break is seen.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argCount, char** argVector) {
    if (argCount < 3) {
        return 2;
    }
    (void)_setmode(_fileno(stdout), _O_BINARY);  // no CR added before a line feed
    const HMODULE file = LoadLibraryExA(argVector[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    // With an argument array, FormatMessageA takes each insertion as a pointer-sized value.
    std::vector<DWORD_PTR> strings;
    for (int i = 3; i < argCount; ++i) {
        strings.push_back(reinterpret_cast<DWORD_PTR>(argVector[i]));
    }
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                           FORMAT_MESSAGE_ARGUMENT_ARRAY,
                       file, static_cast<DWORD>(std::strtoul(argVector[2], nullptr, 16)),
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text),
                       0, reinterpret_cast<va_list*>(strings.data()));
    if (file == nullptr || length == 0) {
        (void)std::printf("failed: %lu\n", GetLastError());
        return 1;
    }
    (void)std::printf(">>%.*s<<\n", static_cast<int>(length), text);
    return 0;
}

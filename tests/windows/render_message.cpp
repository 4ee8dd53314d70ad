// usage: render_message <message file> <event ID in hex> [insertion string]...
//
// Prints the text the event viewer shows for an event: the catalogue entry of the
// message file, loaded as data as the viewer loads it, with the insertion strings put in.
// The text goes out as raw bytes between ">>" and "<<", so a trailing blank or a line
// break the catalogue leaves in is seen. Exit status 1 and the error code when
// FormatMessageA fails.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

// The most insertion strings a test passes; the viewer's own limit is far higher.
constexpr int MAX_STRINGS = 8;

}  // namespace

int main(int argCount, char** argVector) {
    if (argCount < 3 || argCount - 3 > MAX_STRINGS) {
        (void)std::fprintf(stderr, "usage: render_message FILE ID [STRING]...\n");
        return 2;
    }
    // Bytes as they are: no CR added before the catalogue's own line feeds.
    (void)_setmode(_fileno(stdout), _O_BINARY);
    const HMODULE file = LoadLibraryExA(argVector[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (file == nullptr) {
        (void)std::printf("LoadLibraryExA failed: %lu\n", GetLastError());
        return 1;
    }
    const auto eventId = static_cast<DWORD>(std::strtoul(argVector[2], nullptr, 16));
    // With an argument array, FormatMessageA takes each insertion as one pointer-sized
    // value.
    std::array<DWORD_PTR, MAX_STRINGS> arguments{};
    for (int i = 3; i < argCount; ++i) {
        arguments[static_cast<std::size_t>(i - 3)] = reinterpret_cast<DWORD_PTR>(argVector[i]);
    }
    char* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                        FORMAT_MESSAGE_ARGUMENT_ARRAY;
    const DWORD length = FormatMessageA(
        flags, file, eventId, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<char*>(&text), 0, reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0) {
        (void)std::printf("FormatMessageA failed: %lu\n", GetLastError());
        (void)FreeLibrary(file);
        return 1;
    }
    (void)std::printf(">>");
    (void)std::fwrite(text, 1, length, stdout);
    (void)std::printf("<<\n");
    (void)LocalFree(text);
    (void)FreeLibrary(file);
    return 0;
}

#include "service/console.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "platform/console.h"

void Print(const char* format, ...) {
    std::array<char, PRINT_BUFFER_SIZE> text{};
    va_list arguments;
    va_start(arguments, format);
    // The analyzer of clang 14 loses track of va_start here.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int length = std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    if (length <= 0) {
        return;
    }
    const auto written = static_cast<std::size_t>(length);
    OsConsoleWrite(
        std::string_view(text.data(), written < text.size() ? written : text.size() - 1));
}

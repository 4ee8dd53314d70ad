// Formatted lines for the user at the console.
#pragma once

#include <cstddef>

// Longest piece of text one Print writes; longer output is cut there.
inline constexpr std::size_t PRINT_BUFFER_SIZE = 1024;

// Lets GCC and Clang check the arguments against the format; other compilers go without.
#if defined(__GNUC__)
#define PRINTF_FORMAT [[gnu::format(printf, 1, 2)]]
#else
#define PRINTF_FORMAT
#endif

PRINTF_FORMAT void Print(const char* format, ...);

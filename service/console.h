// Formatted lines for the user at the console.
#pragma once

#include <cstddef>

// Longest piece of text one Print writes; longer output is cut there.
inline constexpr std::size_t PRINT_BUFFER_SIZE = 1024;

[[gnu::format(printf, 1, 2)]] void Print(const char* format, ...);

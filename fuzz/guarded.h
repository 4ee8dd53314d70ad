// Buffers of exactly the size asked, so that AddressSanitizer catches a step past their
// end even where libFuzzer's own allocation is larger; filled, to show what a call wrote.
#pragma once

#include <cstring>
#include <memory>
#include <string_view>

inline constexpr char UNTOUCHED = '\xA5';

// `bytes`, then `room` more bytes left UNTOUCHED.
inline std::unique_ptr<char[]> Guarded(std::string_view bytes, std::size_t room) {
    std::unique_ptr<char[]> buffer(new char[bytes.size() + room]);
    std::memset(buffer.get(), UNTOUCHED, bytes.size() + room);
    bytes.copy(buffer.get(), bytes.size());
    return buffer;
}

#include "receiver/log_text.h"

#include <cstdint>
#include <cstring>

std::size_t FormatLogText(std::span<const char> datagram, std::span<char, LOG_TEXT_SIZE> out) {
    std::size_t length = datagram.size();
    if (length > DATAGRAM_BUFFER_SIZE) {
        length = DATAGRAM_BUFFER_SIZE;
    }
    if (length >= 1 && datagram[length - 1] == '\n') {
        --length;  // one line feed only: a CR before it, or a second LF, is the sender's
    }
    // The text ends at the first zero byte, as a C string would.
    const void* zero = std::memchr(datagram.data(), '\0', length);
    if (zero != nullptr) {
        length = static_cast<std::size_t>(static_cast<const char*>(zero) - datagram.data());
    }
    out[0] = '[';
    std::memcpy(out.data() + 1, datagram.data(), length);
    out[length + 1] = ']';
    out[length + 2] = '\0';
    return length + 2;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[0] (a lead byte above 0x7F), or 0.
// Overlong forms, surrogates and code points above U+10FFFF are not well-formed.
std::size_t SequenceLength(std::span<const unsigned char> text) {
    const unsigned char lead = text[0];
    std::size_t length = 0;
    unsigned char low = 0x80;   // the range of the second byte, which rules out the
    unsigned char high = 0xBF;  // overlong, surrogate and too-large forms
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || text.size() < length || text[1] < low || text[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

// Where the run of ASCII bytes from `at` ends. Eight bytes at a time: nearly every line is
// ASCII, and the receive loop looks at every one.
std::size_t AsciiEnd(std::span<const unsigned char> bytes, std::size_t at) {
    constexpr std::uint64_t HIGH_BITS = 0x8080808080808080U;
    std::uint64_t word = 0;
    while (at + sizeof word <= bytes.size()) {
        std::memcpy(&word, bytes.data() + at, sizeof word);
        if ((word & HIGH_BITS) != 0) {
            break;
        }
        at += sizeof word;
    }
    while (at < bytes.size() && bytes[at] < 0x80) {
        ++at;
    }
    return at;
}

}  // namespace

bool IsWideUtf8(std::span<const char> text) {
    const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(text.data()),
                                               text.size());
    bool wide = false;
    for (std::size_t at = AsciiEnd(bytes, 0); at < bytes.size(); at = AsciiEnd(bytes, at)) {
        const std::size_t length = SequenceLength(bytes.subspan(at));
        if (length == 0) {
            return false;
        }
        wide = true;
        at += length;
    }
    return wide;
}

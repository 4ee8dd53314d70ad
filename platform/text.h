// Text helpers that call nothing of any system: a bounded appender and the one UTF-8
// check. Header-only and in platform/, the lowest floor: the program, each platform layer
// and the tests all include it, and no platform layer has to implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

// Text built in a caller's fixed buffer, kept zero-terminated. What does not fit is cut
// and `cut` set, so a caller that wants all or nothing tests it at the end.
struct TextWriter {
    std::span<char> out;
    std::size_t length;  // without the terminating zero
    bool cut;
};

inline TextWriter StartText(std::span<char> out) {
    if (!out.empty()) {
        out[0] = '\0';
    }
    return TextWriter{out, 0, out.empty()};
}

inline void Append(TextWriter& writer, std::string_view text) {
    if (writer.out.empty()) {
        writer.cut = true;
        return;
    }
    const std::size_t room = writer.out.size() - 1 - writer.length;
    const std::size_t taken = text.size() < room ? text.size() : room;
    writer.length += text.copy(writer.out.data() + writer.length, taken);
    writer.out[writer.length] = '\0';
    writer.cut = writer.cut || taken < text.size();
}

// The text as written so far.
inline std::string_view TextOf(const TextWriter& writer) {
    return {writer.out.data(), writer.length};
}

// What a text is as UTF-8: plain ASCII; well-formed UTF-8 with at least one byte above
// 0x7F; or malformed (stray or missing continuation bytes, overlong forms, surrogates,
// values past U+10FFFF, bytes such as Latin-1 letters that cannot lead).
enum class Utf8Kind { Ascii, BeyondAscii, Malformed };

namespace utf8_detail {

// The length of the well-formed sequence at text[0] (a lead byte above 0x7F), or 0.
inline std::size_t SequenceLength(std::span<const unsigned char> text) {
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

// Where the run of ASCII bytes from `at` ends. Eight bytes at a time: nearly every log
// line is ASCII, and the receive loop looks at every one.
inline std::size_t AsciiEnd(std::span<const unsigned char> bytes, std::size_t at) {
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

}  // namespace utf8_detail

inline Utf8Kind ClassifyUtf8(std::string_view text) {
    const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(text.data()),
                                               text.size());
    Utf8Kind kind = Utf8Kind::Ascii;
    for (std::size_t at = utf8_detail::AsciiEnd(bytes, 0); at < bytes.size();
         at = utf8_detail::AsciiEnd(bytes, at)) {
        const std::size_t length = utf8_detail::SequenceLength(bytes.subspan(at));
        if (length == 0) {
            return Utf8Kind::Malformed;
        }
        kind = Utf8Kind::BeyondAscii;
        at += length;
    }
    return kind;
}

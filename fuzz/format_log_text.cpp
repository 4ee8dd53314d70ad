// Fuzz target: a datagram's bytes turned into the bracketed event text, and the UTF-8
// verdict that picks the call reporting it. Exact texts are the unit rows'; here, for any
// bytes: the text stays in its buffer, made of the datagram's leading bytes less only one
// final line feed or all from a zero byte on; the verdict agrees with glibc's decoder.
#include <iconv.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/guarded.h"
#include "platform/text.h"
#include "receiver/log_text.h"

namespace {

constexpr std::size_t LONGEST_INPUT = DATAGRAM_BUFFER_SIZE + 1024;

// Whether glibc's converter takes the bytes as UTF-8: it refuses overlong forms,
// surrogates, values past U+10FFFF and cut sequences.
bool DecoderTakes(std::string_view text) {
    // A converter that failed to open takes nothing, and the first ASCII input says so.
    static iconv_t decoder = iconv_open("UTF-32LE", "UTF-8");
    static char wide[4 * LONGEST_INPUT];
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* out = wide;
    std::size_t outLeft = sizeof wide;
    (void)iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    return iconv(decoder, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > LONGEST_INPUT) {
        return 0;
    }
    const auto datagram = Guarded({reinterpret_cast<const char*>(data), size}, 0);
    const std::string_view whole(datagram.get(), size);
    const auto out = Guarded({}, LOG_TEXT_SIZE);
    const std::size_t length =
        FormatLogText(whole, std::span<char, LOG_TEXT_SIZE>(out.get(), LOG_TEXT_SIZE));

    assert(length >= 2 && length - 2 <= std::min(size, DATAGRAM_BUFFER_SIZE));
    assert(out[0] == '[' && out[length - 1] == ']' && out[length] == '\0');
    const std::string_view after(out.get() + length + 1, LOG_TEXT_SIZE - length - 1);
    assert(after.find_first_not_of(UNTOUCHED) == std::string_view::npos);
    const std::string_view text(out.get() + 1, length - 2);
    assert(whole.starts_with(text) && text.find('\0') == std::string_view::npos);
    const std::string_view rest = whole.substr(text.size());
    assert(size > DATAGRAM_BUFFER_SIZE || rest.empty() || rest == "\n" || rest[0] == '\0');

    const Utf8Kind kind = ClassifyUtf8(whole);
    const bool ascii = std::ranges::all_of(whole, [](char c) { return (c & 0x80) == 0; });
    assert((kind == Utf8Kind::Ascii) == ascii);
    assert((kind == Utf8Kind::Malformed) == !DecoderTakes(whole));
    return 0;
}

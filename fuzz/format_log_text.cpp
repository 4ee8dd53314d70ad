// Fuzz target: a datagram's bytes as they come off the network, turned into the
// bracketed event text, and the UTF-8 verdict that chooses the call that reports it.
// Checked against properties, not the rule again: the text is bracketed, within bounds,
// made only of the datagram's own leading bytes; the verdict agrees with the C library's
// own UTF-8 decoder.
#include <iconv.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "platform/text.h"
#include "receiver/log_text.h"

namespace {

constexpr unsigned char UNTOUCHED = 0xA5;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Whether glibc's converter takes the bytes as UTF-8: it refuses overlong forms,
// surrogates, values past U+10FFFF and cut sequences.
bool DecoderTakes(const char* text, std::size_t size) {
    // A converter that failed to open takes nothing, and the first ASCII input says so.
    static iconv_t decoder = iconv_open("UTF-32LE", "UTF-8");
    static char wide[4 * (DATAGRAM_BUFFER_SIZE + 1024)];
    Check(size * 4 <= sizeof wide);
    char* in = const_cast<char*>(text);
    char* out = wide;
    std::size_t outLeft = sizeof wide;
    (void)iconv(decoder, nullptr, nullptr, nullptr, nullptr);
    return iconv(decoder, &in, &size, &out, &outLeft) != static_cast<std::size_t>(-1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > DATAGRAM_BUFFER_SIZE + 1024) {
        return 0;
    }
    // A private copy, exactly as long as the datagram, so that a read past its end is
    // caught even when libFuzzer hands over a larger allocation.
    std::unique_ptr<char[]> datagram(new char[size == 0 ? 1 : size]);
    std::memcpy(datagram.get(), data, size);
    std::unique_ptr<char[]> out(new char[LOG_TEXT_SIZE]);
    std::memset(out.get(), UNTOUCHED, LOG_TEXT_SIZE);

    const std::size_t length =
        FormatLogText(std::span<const char>(datagram.get(), size),
                      std::span<char, LOG_TEXT_SIZE>(out.get(), LOG_TEXT_SIZE));

    Check(length >= 2 && length - 2 <= std::min(size, DATAGRAM_BUFFER_SIZE));
    Check(out[0] == '[' && out[length - 1] == ']' && out[length] == '\0');
    for (std::size_t i = length + 1; i < LOG_TEXT_SIZE; ++i) {
        Check(static_cast<unsigned char>(out[i]) == UNTOUCHED);
    }
    const std::string_view text(out.get() + 1, length - 2);
    const std::string_view whole(datagram.get(), size);
    Check(whole.starts_with(text) && text.find('\0') == std::string_view::npos);
    // Of a datagram the receiver hands over, only one final line feed or everything from
    // a zero byte on is left out.
    const std::string_view rest = whole.substr(text.size());
    Check(size > DATAGRAM_BUFFER_SIZE || rest.empty() || rest == "\n" || rest[0] == '\0');

    const Utf8Kind kind = ClassifyUtf8(whole);
    Check((kind == Utf8Kind::Ascii) ==
          std::ranges::none_of(whole, [](char c) { return static_cast<unsigned char>(c) > 0x7F; }));
    Check((kind == Utf8Kind::Malformed) == !DecoderTakes(datagram.get(), size));
    return 0;
}

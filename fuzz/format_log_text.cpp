// Fuzz target: a datagram's bytes as they come off the network, turned into the
// bracketed event text, and the choice of the call that reports it (UTF-8 or 8-bit).
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

// Well-formed UTF-8 with a byte above 0x7F, decided another way: decode each sequence by
// its lead byte's count of leading ones, then demand the shortest form and a scalar value.
bool ReferenceWideUtf8(const unsigned char* text, std::size_t size) {
    bool wide = false;
    for (std::size_t at = 0; at < size;) {
        std::size_t length = 0;
        while (length < 8 && (text[at] & (0x80U >> length)) != 0) {
            ++length;
        }
        if (length == 0) {
            ++at;
            continue;
        }
        if (length == 1 || length > 4 || at + length > size) {
            return false;
        }
        std::uint32_t value = text[at] & (0x7FU >> length);
        for (std::size_t i = 1; i < length; ++i) {
            if ((text[at + i] & 0xC0U) != 0x80U) {
                return false;
            }
            value = (value << 6) | (text[at + i] & 0x3FU);
        }
        const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < shortest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        wide = true;
        at += length;
    }
    return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private copy, exactly as long as the datagram, so that a read past its end is
    // caught even when libFuzzer hands over a larger allocation.
    std::unique_ptr<char[]> datagram(new char[size == 0 ? 1 : size]);
    if (size != 0) {
        std::memcpy(datagram.get(), data, size);
    }
    std::unique_ptr<char[]> out(new char[LOG_TEXT_SIZE]);
    std::memset(out.get(), UNTOUCHED, LOG_TEXT_SIZE);

    const std::size_t length =
        FormatLogText(std::span<const char>(datagram.get(), size),
                      std::span<char, LOG_TEXT_SIZE>(out.get(), LOG_TEXT_SIZE));

    Check(length >= 2 && length + 1 <= DATAGRAM_BUFFER_SIZE + 3);
    Check(out[0] == '[' && out[length - 1] == ']' && out[length] == '\0');
    for (std::size_t i = length + 1; i < LOG_TEXT_SIZE; ++i) {
        Check(static_cast<unsigned char>(out[i]) == UNTOUCHED);
    }
    const std::size_t text = length - 2;
    Check(std::memcmp(out.get() + 1, datagram.get(), text) == 0);
    Check(std::memchr(out.get() + 1, '\0', text) == nullptr);

    // The receiver never hands over more than its buffer; for those datagrams the text is
    // known exactly: cut at the first zero byte, less one trailing line feed.
    if (size <= DATAGRAM_BUFFER_SIZE) {
        std::size_t expected = size;
        if (expected >= 1 && datagram[expected - 1] == '\n') {
            --expected;
        }
        const void* zero = std::memchr(datagram.get(), '\0', expected);
        if (zero != nullptr) {
            expected = static_cast<std::size_t>(static_cast<const char*>(zero) - datagram.get());
        }
        Check(text == expected);
    }
    Check((ClassifyUtf8(std::string_view(datagram.get(), size)) == Utf8Kind::BeyondAscii) ==
          ReferenceWideUtf8(data, size));
    return 0;
}

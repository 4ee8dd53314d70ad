// Fuzz target: a datagram's bytes as they come off the network, turned into the
// bracketed event text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "receiver/log_text.h"

namespace {

constexpr unsigned char UNTOUCHED = 0xA5;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
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

    const std::size_t length = FormatLogText(std::span<const char>(datagram.get(), size),
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
    return 0;
}

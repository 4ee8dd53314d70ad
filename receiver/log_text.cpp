#include "receiver/log_text.h"

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

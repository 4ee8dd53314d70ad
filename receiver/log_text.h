// The text an event gives for a datagram.
#pragma once

#include <cstddef>
#include <span>

// Longest datagram taken; a longer one is reported and dropped. Senders' lines run to
// 1,024 bytes and more, and every syslog receiver is asked to take at least 2,048.
inline constexpr std::size_t DATAGRAM_BUFFER_SIZE = 8192;

// "[" + the datagram + "]" + the terminating zero.
inline constexpr std::size_t LOG_TEXT_SIZE = DATAGRAM_BUFFER_SIZE + 3;

// The event text of one datagram: "[" + its bytes up to the first zero byte, less one
// trailing line feed, + "]". Returns the text's length; `out` is zero-terminated.
std::size_t FormatLogText(std::span<const char> datagram, std::span<char, LOG_TEXT_SIZE> out);

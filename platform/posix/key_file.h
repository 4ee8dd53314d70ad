// A registry key's file: one "name<TAB>type<TAB>data" line per value, so that an
// administrator reads and edits it by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The value's line: name, type name and data, tab-separated. Its length, or 0 when the
// type is not kept or the name or data would break the line.
std::size_t FormatValueLine(const char* name, std::uint32_t type,
                            std::span<const unsigned char> data, std::span<char> out);

// The key file with `line` in place of the value's old line, or added at the end.
// Its length, or 0 when it does not fit.
std::size_t MergeValueLine(std::string_view file, std::string_view line, std::span<char> out);

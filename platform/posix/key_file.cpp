#include "platform/posix/key_file.h"

#include <cstdio>
#include <string_view>

#include "platform/constants.h"
#include "platform/posix/win32_codes.h"

namespace {

const char* TypeName(std::uint32_t type) {
    switch (type) {
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_DWORD:
            return "REG_DWORD";
        default:
            return nullptr;
    }
}

}  // namespace

std::size_t FormatValueLine(const char* name, std::uint32_t type,
                            std::span<const unsigned char> data, std::span<char> out) {
    const char* typeName = TypeName(type);
    const std::string_view nameText = name != nullptr ? name : "";
    if (typeName == nullptr || nameText.find_first_of("\t\r\n") != std::string_view::npos) {
        return 0;
    }
    int length = 0;
    if (type == REG_DWORD) {
        if (data.size() != 4) {
            return 0;
        }
        const unsigned long number = data[0] | (data[1] << 8U) | (data[2] << 16U) |
                                     (static_cast<unsigned long>(data[3]) << 24U);
        length = std::snprintf(out.data(), out.size(), "%s\t%s\t%lu\n", nameText.data(), typeName,
                               number);
    } else {
        std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
        text = text.substr(0, text.find('\0'));  // the stored terminating zero
        if (text.find_first_of("\t\r\n") != std::string_view::npos) {
            return 0;
        }
        length = std::snprintf(out.data(), out.size(), "%s\t%s\t%.*s\n", nameText.data(), typeName,
                               static_cast<int>(text.size()), text.data());
    }
    return length > 0 && static_cast<std::size_t>(length) < out.size()
               ? static_cast<std::size_t>(length)
               : 0;
}

std::size_t MergeValueLine(std::string_view file, std::string_view line, std::span<char> out) {
    const std::string_view name = line.substr(0, line.find('\t') + 1);
    std::size_t length = 0;
    bool placed = false;
    while (!file.empty()) {
        const std::size_t newline = file.find('\n');
        const std::size_t taken = newline == std::string_view::npos ? file.size() : newline + 1;
        std::string_view old = file.substr(0, taken);
        file.remove_prefix(taken);
        if (old.starts_with(name)) {
            old = placed ? std::string_view() : line;
            placed = true;
        }
        // A last line without its line feed (edited by hand) gets one.
        const bool cut = !old.empty() && !old.ends_with('\n');
        if (old.size() + (cut ? 1 : 0) >= out.size() - length) {
            return 0;
        }
        length += old.copy(out.data() + length, old.size());
        if (cut) {
            out[length++] = '\n';
        }
    }
    if (!placed) {
        if (line.size() >= out.size() - length) {
            return 0;
        }
        length += line.copy(out.data() + length, line.size());
    }
    return length;
}

#include "platform/posix/render.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "platform/text.h"

namespace {

// Event ID 0's row has a message ID and no text.
struct CatalogEntry {
    std::uint32_t eventId;
    const char* text;       // cppcheck-suppress unusedStructMember
    const char* messageId;  // cppcheck-suppress unusedStructMember
};

constexpr auto CATALOG = std::to_array<CatalogEntry>({
#include "catalog.inc"
});
static_assert(std::ranges::all_of(CATALOG, [](const CatalogEntry& entry) {
    return std::string_view(entry.messageId).size() == MESSAGE_ID_LENGTH;
}));

const CatalogEntry* FindEntry(std::uint32_t eventId) {
    const auto* entry = std::ranges::find(CATALOG, eventId, &CatalogEntry::eventId);
    return entry != CATALOG.end() ? entry : nullptr;
}

// The escape after a '%' at text[0]; returns how many characters it used.
std::size_t AppendEscape(TextWriter& writer, std::string_view text,
                         std::span<const char* const> strings) {
    std::size_t digits = 1;
    while (digits < 3 && digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 1) {
        const char code = text.size() > 1 ? text[1] : '%';
        const char* replacement = code == 'n'   ? "\r\n"
                                  : code == 'r' ? "\r"
                                  : code == 't' ? "\t"
                                                : nullptr;
        Append(writer, replacement != nullptr ? std::string_view(replacement) : text.substr(1, 1));
        return text.size() > 1 ? 2 : 1;
    }
    std::size_t number = 0;
    for (std::size_t i = 1; i < digits; ++i) {
        number = number * 10 + static_cast<std::size_t>(text[i] - '0');
    }
    if (number >= 1 && number <= strings.size() && strings[number - 1] != nullptr) {
        Append(writer, strings[number - 1]);
    } else {
        Append(writer, text.substr(0, digits));  // nothing to put in: the reader sees %2
    }
    return digits;
}

std::size_t RenderMissing(TextWriter& writer, std::string_view sourceName, std::uint32_t eventId,
                          std::span<const char* const> strings) {
    std::array<char, 256> note{};
    (void)std::snprintf(note.data(), note.size(),
                        "The description for Event ID %u from source %.*s cannot be found. "
                        "The following information was included with the event:",
                        static_cast<unsigned>(eventId & 0xFFFFu),
                        static_cast<int>(sourceName.size()), sourceName.data());
    Append(writer, note.data());
    for (const char* string : strings) {
        Append(writer, "\n");
        Append(writer, string != nullptr ? string : "");
    }
    return writer.length;
}

}  // namespace

const char* CatalogText(std::uint32_t eventId) {
    const CatalogEntry* entry = FindEntry(eventId);
    return entry != nullptr ? entry->text : nullptr;
}

const char* CatalogMessageId(std::uint32_t eventId) {
    const CatalogEntry* entry = FindEntry(eventId);
    return entry != nullptr ? entry->messageId : nullptr;
}

std::size_t RenderEventMessage(std::string_view sourceName, std::uint32_t eventId,
                               std::span<const char* const> strings, std::span<char> out) {
    TextWriter writer = StartText(out);
    const char* source = CatalogText(eventId);
    if (source == nullptr) {
        return RenderMissing(writer, sourceName, eventId, strings);
    }
    std::string_view text(source);
    if (text.ends_with("\r\n")) {
        text.remove_suffix(2);
    }
    while (!text.empty()) {
        const std::size_t percent = text.find('%');
        Append(writer, text.substr(0, percent));
        if (percent == std::string_view::npos) {
            break;
        }
        text.remove_prefix(percent);
        if (text.size() > 1 && text[1] == '0') {
            break;  // %0: the message ends here, without a line break
        }
        text.remove_prefix(AppendEscape(writer, text, strings));
    }
    return writer.length;
}

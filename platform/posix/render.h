// What a reader of the log sees for an event: its catalogue text with the insertion
// strings put in, as the event viewer renders it. Platforms without a message-table
// reader (the Linux journal) store this text with each event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The catalogue text of an event ID, ending in CR LF as the message table stores it;
// null when the catalogue has no entry.
const char* CatalogText(std::uint32_t eventId);

// The journal's MESSAGE_ID of an event ID, MESSAGE_ID_LENGTH lower-case hex digits, under
// which the journal's catalogue (corvane.catalog) explains it; null for an ID the
// catalogue does not know. Event ID 0 has one, though it has no text.
inline constexpr std::size_t MESSAGE_ID_LENGTH = 32;
const char* CatalogMessageId(std::uint32_t eventId);

// Renders the event into `out` (always zero-terminated, cut to fit) and returns the
// length written. %1..%99 take the insertion strings as they stand, never expanded
// again; one without a string stays as written; %0 ends the text with no line break;
// otherwise the closing CR LF is dropped. An ID without an entry renders as a note that
// the description is missing from `sourceName`, followed by the strings, one a line.
std::size_t RenderEventMessage(std::string_view sourceName, std::uint32_t eventId,
                               std::span<const char* const> strings, std::span<char> out);

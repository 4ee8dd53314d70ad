// Fuzz target: the journal message of an event, rendered from the catalogue with
// insertion strings that a sender on the network controls, checked against properties of
// the result rather than a second renderer.
//
// Input: byte 0 picks the event ID (each catalogue entry, ID 0, or the next four bytes
// as an arbitrary ID), byte 1 the size of the output buffer, byte 2 which insertion
// strings are null (bit 7: no strings at all); the rest, split at zero bytes, are the
// insertion strings.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "messages.h"
#include "platform/posix/render.h"

namespace {

constexpr std::array<std::uint32_t, 6> KNOWN_IDS{
    MSG_SERVICE_STARTED,  MSG_SERVICE_STOPPED, MSG_LOG_LINE,
    MSG_SERVICE_STARTING, MSG_SERVICE_ERROR,   0,
};
constexpr std::size_t MAX_STRINGS = 8;
constexpr unsigned char UNTOUCHED = 0xA5;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::size_t Render(std::uint32_t id, const std::vector<const char*>& strings, char* out,
                   std::size_t size) {
    return RenderEventMessage("Corvane", id,
                              std::span<const char* const>(strings.data(), strings.size()),
                              std::span<char>(out, size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    std::uint32_t id = 0;
    std::size_t used = 3;
    if (data[0] % 8 < KNOWN_IDS.size()) {
        id = KNOWN_IDS[data[0] % 8];
    } else if (size >= 7) {
        std::memcpy(&id, data + 3, sizeof id);
        used = 7;
    }
    const std::size_t outSize = data[1] == 0xFF ? 4096 : data[1];
    const std::uint8_t nullMask = data[2];

    // Each string is its own exact-size allocation, so reading past its zero is caught.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char*> strings;
    std::string_view rest(reinterpret_cast<const char*>(data + used), size - used);
    const bool none = (nullMask & 0x80) != 0;
    while (!none && strings.size() < MAX_STRINGS && (!rest.empty() || strings.empty())) {
        const std::size_t end = std::min(rest.find('\0'), rest.size());
        storage.emplace_back(new char[end + 1]);
        std::memcpy(storage.back().get(), rest.data(), end);
        storage.back()[end] = '\0';
        strings.push_back(((nullMask >> strings.size()) & 1) != 0 ? nullptr : storage.back().get());
        rest.remove_prefix(end < rest.size() ? end + 1 : end);
    }

    // The full text, in a buffer larger than any rendering can be.
    constexpr std::size_t WIDE = 1 << 16;
    std::unique_ptr<char[]> wide(new char[WIDE]);
    const std::size_t wideLength = Render(id, strings, wide.get(), WIDE);
    Check(wideLength < WIDE && wide[wideLength] == '\0' && std::strlen(wide.get()) == wideLength);
    const std::string_view full(wide.get(), wideLength);

    const char* catalogue = CatalogText(id);
    if (catalogue != nullptr) {
        // Each string the entry inserts comes out as it stands (one that itself reads %1
        // or %0 too), a missing one as its code; nothing else is added, and the text
        // before the first insertion or the closing CR LF is the catalogue's.
        const std::string_view text(catalogue);
        std::size_t bound = text.size();
        for (std::size_t i = 0; i < strings.size(); ++i) {
            const std::string code = "%" + std::to_string(i + 1);
            if (text.find(code) != std::string_view::npos) {
                Check(full.find(strings[i] != nullptr ? strings[i] : code) !=
                      std::string_view::npos);
                bound += strings[i] != nullptr ? std::strlen(strings[i]) : 0;
            }
        }
        // %0 ends the text: it shows only where a string brings it.
        Check(full.find("%0") == std::string_view::npos ||
              std::ranges::any_of(strings, [](const char* string) {
                  return string != nullptr && std::strstr(string, "%0") != nullptr;
              }));
        Check(full.size() <= bound &&
              full.starts_with(text.substr(0, std::min(text.find('%'), text.size() - 2))));
    } else {
        // No entry: a one-line note, then each string on its own line, verbatim.
        std::string tail;
        for (const char* string : strings) {
            tail += '\n';
            tail += string != nullptr ? string : "";
        }
        Check(full.size() > tail.size() && full.ends_with(tail));
        const std::string_view note = full.substr(0, full.size() - tail.size());
        Check(note.starts_with("The description for Event ID ") &&
              note.find('\n') == std::string_view::npos);
    }

    // A smaller buffer gets the same text, cut to fit, and nothing past its end is written.
    std::unique_ptr<char[]> small(new char[outSize + 1]);
    std::memset(small.get(), UNTOUCHED, outSize + 1);
    const std::size_t smallLength = Render(id, strings, small.get(), outSize);
    if (outSize == 0) {
        Check(smallLength == 0);
    } else {
        Check(smallLength == std::min(wideLength, outSize - 1));
        Check(small[smallLength] == '\0');
        Check(std::memcmp(small.get(), wide.get(), smallLength) == 0);
    }
    Check(static_cast<unsigned char>(small[outSize]) == UNTOUCHED);
    return 0;
}

// Fuzz target: an event's journal message, rendered from the catalogue with insertion
// strings a sender controls. Each event's exact text is the system tests'; here, what holds
// for any strings and room: each string taken comes out as it stands (never expanded
// again), nothing else is added, and a smaller buffer gets the same text cut, nothing
// written past its end.
// Input: byte 0 picks the event ID, byte 1 the size of the output buffer, byte 2 which
// insertion strings are null (bit 7: no strings at all); the rest, split at zero bytes,
// are the insertion strings.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/guarded.h"
#include "messages.h"
#include "platform/posix/render.h"

namespace {

// Entries without insertions, with one, with two, and ID 0, which has no text.
constexpr std::array<std::uint32_t, 6> IDS{MSG_SERVICE_STARTED,  MSG_SERVICE_STOPPED, MSG_LOG_LINE,
                                           MSG_SERVICE_STARTING, MSG_SERVICE_ERROR,   0};
constexpr std::size_t MAX_STRINGS = 8;
// Room for the note that stands for a missing entry, whatever the ID.
constexpr std::size_t NOTE_SIZE = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint32_t id = IDS[data[0] % IDS.size()];
    const std::size_t outSize = data[1] == 0xFF ? 4096 : data[1];
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char*> strings;
    std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    while ((data[2] & 0x80) == 0 && strings.size() < MAX_STRINGS &&
           (!rest.empty() || strings.empty())) {
        const std::string_view piece = rest.substr(0, rest.find('\0'));
        storage.push_back(Guarded(piece, 1));
        storage.back()[piece.size()] = '\0';
        strings.push_back(((data[2] >> strings.size()) & 1) != 0 ? nullptr : storage.back().get());
        rest.remove_prefix(std::min(piece.size() + 1, rest.size()));
    }

    // The full text, in a buffer larger than any rendering can be.
    constexpr std::size_t WIDE = 1 << 16;
    const auto wide = Guarded({}, WIDE);
    const std::size_t wideLength = RenderEventMessage("Corvane", id, strings, {wide.get(), WIDE});
    assert(wideLength < WIDE && std::strlen(wide.get()) == wideLength);
    const std::string_view full(wide.get(), wideLength);

    // The catalogue's text, or the note, and a line for each string it takes.
    const char* catalogue = CatalogText(id);
    std::size_t bound = catalogue != nullptr ? std::strlen(catalogue) : NOTE_SIZE;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const std::string code = "%" + std::to_string(i + 1);
        const bool taken =
            strings[i] != nullptr &&
            (catalogue == nullptr || std::strstr(catalogue, code.c_str()) != nullptr);
        assert(!taken || full.find(strings[i]) != std::string_view::npos);
        bound += 1 + (taken ? std::strlen(strings[i]) : 0);
    }
    assert(full.size() <= bound);

    const auto small = Guarded({}, outSize + 1);
    const std::size_t smallLength =
        RenderEventMessage("Corvane", id, strings, {small.get(), outSize});
    assert(smallLength == (outSize == 0 ? 0 : std::min(wideLength, outSize - 1)));
    assert(outSize == 0 || small[smallLength] == '\0');
    assert(std::memcmp(small.get(), wide.get(), smallLength) == 0 && small[outSize] == UNTOUCHED);
    return 0;
}

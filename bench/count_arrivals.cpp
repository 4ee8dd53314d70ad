// Counts, by sequence number, which of a trial's numbered datagrams reached the
// journal. Reads `journalctl -o json` lines on standard input; an entry belongs to the
// trial when its text carries "cvb<trial>q<10 digits>e". Each sequence number is
// counted once, whatever copies the journal holds.
//
// Prints one line of key=value pairs: arrived, duplicates, first and last journal
// timestamp (µs) of the trial's entries, and the first sequence number missing.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The value of "__REALTIME_TIMESTAMP", or -1.
long long RealtimeOf(std::string_view line) {
    constexpr std::string_view key = R"("__REALTIME_TIMESTAMP":")";
    const std::size_t at = line.find(key);
    if (at == std::string_view::npos) {
        return -1;
    }
    long long value = -1;
    const char* begin = line.data() + at + key.size();
    std::from_chars(begin, line.data() + line.size(), value);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: journalctl -o json ... | cvb_count TRIAL EXPECTED\n");
        return 2;
    }
    const std::string token = std::string("cvb") + argv[1] + "q";
    const std::uint64_t expected = std::strtoull(argv[2], nullptr, 10);
    std::vector<bool> seen(expected, false);
    std::uint64_t arrived = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t outOfRange = 0;
    std::uint64_t entries = 0;
    long long first = -1;
    long long last = -1;

    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        ++entries;
        const std::size_t at = line.find(token);
        if (at == std::string::npos) {
            continue;
        }
        const std::size_t digits = at + token.size();
        if (line.size() < digits + 11 || line[digits + 10] != 'e') {
            continue;
        }
        std::uint64_t seq = 0;
        const auto parsed = std::from_chars(line.data() + digits, line.data() + digits + 10, seq);
        if (parsed.ptr != line.data() + digits + 10) {
            continue;
        }
        const long long stamp = RealtimeOf(line);
        if (stamp >= 0) {
            if (first < 0 || stamp < first) {
                first = stamp;
            }
            if (stamp > last) {
                last = stamp;
            }
        }
        if (seq >= expected) {
            ++outOfRange;
        } else if (seen[seq]) {
            ++duplicates;
        } else {
            seen[seq] = true;
            ++arrived;
        }
    }
    long long firstMissing = -1;
    for (std::uint64_t i = 0; i < expected; ++i) {
        if (!seen[i]) {
            firstMissing = static_cast<long long>(i);
            break;
        }
    }
    std::printf(
        "entries=%llu arrived=%llu duplicates=%llu out_of_range=%llu first_us=%lld "
        "last_us=%lld first_missing=%lld\n",
        static_cast<unsigned long long>(entries), static_cast<unsigned long long>(arrived),
        static_cast<unsigned long long>(duplicates), static_cast<unsigned long long>(outOfRange),
        first, last, firstMissing);
    return 0;
}

// The journal's own ceiling: one writer putting entries into the journal with
// sd_journal_sendv as fast as the journal takes them, for a given time.
//
// The entries have the collector's shape (the same fields, a message of the same
// length), so the ceiling is what the journal can store of exactly this traffic. Each
// carries the token "cvb<trial>q<seq>e" like the sender's datagrams, so arrivals are
// counted by sequence number from the journal afterwards, like the collectors'.
//
// The journal's socket exerts back-pressure (a full queue blocks the writer), so a
// writer that outruns the journal waits instead of losing entries.

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

std::int64_t Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: cvb_journal_ceiling --trial N --seconds S [--max-count N]\n");
    std::_Exit(2);  // at once: the usage went out unbuffered, nothing else is to flush
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t trial = 0;
    double seconds = 0;
    std::uint64_t maxCount = 100'000'000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view arg = argv[i];
        if (arg == "--trial") {
            trial = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (arg == "--seconds") {
            seconds = std::strtod(argv[i + 1], nullptr);
        } else if (arg == "--max-count") {
            maxCount = std::strtoull(argv[i + 1], nullptr, 10);
        } else {
            Usage();
        }
    }
    if (seconds <= 0 || argc % 2 == 0) {
        Usage();
    }

    // The same datagram text as the sender's, bracketed as the collector stores it.
    char head[96];
    std::snprintf(head, sizeof head, "<13>Dec  6 12:00:00 benchhost cvbench: cvb%llu",
                  static_cast<unsigned long long>(trial));
    const std::string datagram =
        std::string(head) + "q0000000000e load test datagram of fixed length";
    const std::size_t digitsInDatagram = std::strlen(head) + 1;

    std::string message = "MESSAGE=Corvane Log: [" + datagram + "] ";
    std::string insert = "EVENT_STRING_1=[" + datagram + "]";
    const std::size_t digitsInMessage = std::strlen("MESSAGE=Corvane Log: [") + digitsInDatagram;
    const std::size_t digitsInInsert = std::strlen("EVENT_STRING_1=[") + digitsInDatagram;
    // The sender's one socket has one address and port, as the collector's field shows it.
    static constexpr std::string_view fixed[] = {"MESSAGE_ID=08a09e4f522d4e03a1077bfe40020003",
                                                 "PRIORITY=6",
                                                 "SYSLOG_IDENTIFIER=Corvane",
                                                 "EVENT_ID=0x40020003",
                                                 "EVENT_TYPE=4",
                                                 "EVENT_CATEGORY=0",
                                                 "SENDER=127.0.0.1:40000"};
    constexpr std::size_t fixedCount = std::size(fixed);
    std::array<iovec, fixedCount + 2> iov{};
    iov.front() = {message.data(), message.size()};
    std::ranges::transform(fixed, iov.begin() + 1, [](std::string_view field) {
        return iovec{const_cast<char*>(field.data()), field.size()};
    });
    iov.back() = {insert.data(), insert.size()};

    const std::int64_t startReal = Now(CLOCK_REALTIME);
    const std::int64_t start = Now(CLOCK_MONOTONIC);
    const auto limit = static_cast<std::int64_t>(seconds * 1e9);
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    while (sent < maxCount) {
        std::uint64_t seq = sent;
        for (std::size_t i = 0; i < 10; ++i) {
            const char digit = static_cast<char>('0' + seq % 10);
            message[digitsInMessage + 9 - i] = digit;
            insert[digitsInInsert + 9 - i] = digit;
            seq /= 10;
        }
        if (sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) < 0) {
            ++failed;  // not numbered as sent: the next entry reuses the number
            if (failed > 1000) {
                std::fprintf(stderr, "sd_journal_sendv keeps failing\n");
                return 1;
            }
            continue;
        }
        ++sent;
        // The clock is read every 256 entries only: the loop is to measure the journal.
        if ((sent & 0xFF) == 0 && Now(CLOCK_MONOTONIC) - start >= limit) {
            break;
        }
    }
    const std::int64_t end = Now(CLOCK_MONOTONIC);
    const double elapsed = static_cast<double>(end - start) / 1e9;
    std::printf("sent=%llu failed=%llu start_us=%lld end_us=%lld seconds=%.6f write_rate=%.1f\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(failed),
                static_cast<long long>(startReal / 1000),
                static_cast<long long>((startReal + (end - start)) / 1000), elapsed,
                elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0);
    return 0;
}

// Own cost of the collector: CPU time per datagram of the program's real receive loop
// (receive, format, report) with an event log that keeps nothing, against a bare
// receive loop on the same kind of socket (same port, same 64 MiB receive buffer).
//
// Each round queues N datagrams in the socket first and then lets one loop drain them,
// timing only the draining thread (CLOCK_THREAD_CPUTIME_ID, and getrusage for the
// user/system split). Rounds of the three loops alternate, so that whatever else the
// machine does falls on all of them alike; the medians are reported.
//
// The loops: "bare" is recvfrom into a buffer as large as the collector's and nothing
// else; "collector" is RunReceiver from the program, on the harness's platform whose event
// report only counts; "collector+render" additionally renders the journal's MESSAGE text and the
// event ID field and looks up the MESSAGE_ID for each report, i.e. all the work of a report
// but its send.
//
// The collector's socket layer is the Linux port's own (platform/posix), linked from
// the collector's build.

#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cost_hooks.h"
#include "messages.h"
#include "platform/kernel.h"
#include "platform/posix/render.h"
#include "receiver/receiver.h"

namespace {

// The running state of the service record (platform/constants.h cannot meet the
// system's socket headers in one file).
constexpr std::uint32_t STATE_RUNNING = 4;

struct CpuTime {
    std::int64_t total_ns = 0;
    std::int64_t user_us = 0;
    std::int64_t system_us = 0;
};

CpuTime ThreadCpu() {
    CpuTime t;
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    t.total_ns = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    t.user_us =
        static_cast<std::int64_t>(usage.ru_utime.tv_sec) * 1'000'000 + usage.ru_utime.tv_usec;
    t.system_us =
        static_cast<std::int64_t>(usage.ru_stime.tv_sec) * 1'000'000 + usage.ru_stime.tv_usec;
    return t;
}

struct Sample {
    double total_ns = 0;  // per datagram
    double user_ns = 0;
    double system_ns = 0;
};

Sample PerDatagram(const CpuTime& start, const CpuTime& end, std::uint64_t n) {
    const auto count = static_cast<double>(n);
    return {static_cast<double>(end.total_ns - start.total_ns) / count,
            static_cast<double>(end.user_us - start.user_us) * 1000.0 / count,
            static_cast<double>(end.system_us - start.system_us) * 1000.0 / count};
}

// --- the shared state of one collector round, reached from the platform hooks ---
std::uint64_t Target = 0;
std::atomic<std::uint64_t> Reported{0};
bool Render = false;
int SenderFd = -1;
std::string Payload;
std::size_t DigitsAt = 0;
CpuTime RoundStart;
CpuTime RoundEnd;
bool RoundQueued = false;
std::array<char, 2048> RenderBuffer{};
std::array<char, 64> IdField{};
const char* volatile MessageId = nullptr;  // kept, so that its look-up is not left out

// A fatal error ends the process with _Exit, from whichever thread meets it: exit would
// destroy the statics that the collector's thread may still be using.
void QueueDatagrams(std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
        // The digits change like the real sender's, so no two datagrams are alike.
        std::uint64_t seq = i;
        for (std::size_t d = 0; d < 10; ++d) {
            Payload[DigitsAt + 9 - d] = static_cast<char>('0' + seq % 10);
            seq /= 10;
        }
        while (send(SenderFd, Payload.data(), Payload.size(), 0) < 0) {
            if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
                std::perror("send");
                std::_Exit(1);
            }
            usleep(100);
        }
    }
}

// Datagrams dropped by the receive queues of UDP port 514, from /proc/net/udp: the
// harness checks that nothing was dropped before it times a loop.
std::uint64_t DroppedOnPort514() {
    FILE* file = std::fopen("/proc/net/udp", "r");
    if (file == nullptr) {
        return 0;
    }
    char line[512];
    std::uint64_t drops = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // "  12: 0100007F:0202 ...": the slot, then the local address and port in hex; the
        // drops counter is the last field.
        const char* address = std::strchr(line, ':');
        const char* port = address != nullptr ? std::strchr(address + 1, ':') : nullptr;
        const char* last = std::strrchr(line, ' ');
        if (port != nullptr && last != nullptr &&
            std::strtoul(port + 1, nullptr, 16) == SYSLOG_PORT) {
            drops += std::strtoull(last + 1, nullptr, 10);
        }
    }
    std::fclose(file);
    return drops;
}

Sample BareRound(std::uint64_t n) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 64 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(SYSLOG_PORT);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind 514");
        std::_Exit(1);
    }
    const std::uint64_t dropsBefore = DroppedOnPort514();
    QueueDatagrams(n);
    if (DroppedOnPort514() != dropsBefore) {
        std::fprintf(stderr, "the receive buffer dropped datagrams: use a smaller --count\n");
        std::_Exit(1);
    }
    std::array<char, DATAGRAM_BUFFER_SIZE> buffer{};
    const CpuTime start = ThreadCpu();
    for (std::uint64_t i = 0; i < n; ++i) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        if (recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     &fromLength) < 0) {
            std::perror("recvfrom");
            std::_Exit(1);
        }
    }
    const CpuTime end = ThreadCpu();
    close(fd);
    return PerDatagram(start, end, n);
}

Sample CollectorRound(std::uint64_t n, bool render) {
    Target = n;
    Reported = 0;
    Render = render;
    RoundQueued = false;
    // A round whose datagrams did not all arrive would wait for ever: end it instead.
    std::atomic<bool> done{false};
    std::thread watchdog([&done] {
        for (int i = 0; i < 600 && !done.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!done.load()) {
            RequestStop();
        }
    });
    // The collector gives its capabilities up once its socket is bound. They belong to
    // each thread: a thread of the round's own keeps this one's for the next rounds.
    std::thread collector([] { (void)RunReceiver(0, nullptr); });
    collector.join();
    done = true;
    watchdog.join();
    if (!RoundQueued || Reported.load() != n) {
        std::fprintf(stderr, "collector round incomplete: %llu of %llu reported\n",
                     static_cast<unsigned long long>(Reported.load()),
                     static_cast<unsigned long long>(n));
        std::_Exit(1);
    }
    return PerDatagram(RoundStart, RoundEnd, n);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    const char* name;
    std::vector<double> total;
    std::vector<double> user;
    std::vector<double> system;
    void Add(const Sample& s) {
        total.push_back(s.total_ns);
        user.push_back(s.user_ns);
        system.push_back(s.system_ns);
    }
};

}  // namespace

namespace CostHooks {

void Status(std::uint32_t state) {
    if (state == STATE_RUNNING && Target != 0) {
        const std::uint64_t dropsBefore = DroppedOnPort514();
        QueueDatagrams(Target);
        if (DroppedOnPort514() != dropsBefore) {
            std::fprintf(stderr, "the receive buffer dropped datagrams: use a smaller --count\n");
            std::_Exit(1);
        }
        RoundQueued = true;
        RoundStart = ThreadCpu();
    }
}

void Reported(std::uint16_t /*eventType*/, std::uint32_t eventId,
              std::span<const char* const> strings) {
    if (eventId != MSG_LOG_LINE || Target == 0) {
        return;
    }
    if (Render) {
        (void)RenderEventMessage("Corvane", eventId, strings, RenderBuffer);
        (void)std::snprintf(IdField.data(), IdField.size(), "EVENT_ID=0x%08X", eventId);
        MessageId = CatalogMessageId(eventId);
    }
    if (++::Reported == Target) {
        RoundEnd = ThreadCpu();
        // Ends the loop at its next wait, the way a stop control does.
        (void)OsSetEvent(StopEvent);
    }
}

}  // namespace CostHooks

int main(int argc, char** argv) {
    std::uint64_t count = 20'000;
    int rounds = 9;
    // A lone or unknown option, or a count that is no number, gets the usage, not a run.
    bool understood = argc % 2 == 1;
    for (int i = 1; understood && i + 1 < argc; i += 2) {
        const std::string_view arg = argv[i];
        if (arg == "--count") {
            count = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (arg == "--rounds") {
            rounds = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        } else {
            understood = false;
        }
    }
    if (!understood || count == 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: cvb_own_cost [--count N] [--rounds R]\n");
        return 2;
    }

    // The sender's datagram, byte for byte.
    Payload = "<13>Dec  6 12:00:00 benchhost cvbench: cvb0q";
    DigitsAt = Payload.size();
    Payload += "0000000000e load test datagram of fixed length";
    SenderFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(SYSLOG_PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(SenderFd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        std::perror("connect");
        return 1;
    }

    Series bare{"bare", {}, {}, {}};
    Series collector{"collector", {}, {}, {}};
    Series rendered{"collector+render", {}, {}, {}};

    // One unmeasured round of each first: page faults and cold caches are not the loop's.
    (void)BareRound(count);
    (void)CollectorRound(count, false);
    for (int r = 0; r < rounds; ++r) {
        bare.Add(BareRound(count));
        collector.Add(CollectorRound(count, false));
        rendered.Add(CollectorRound(count, true));
    }
    for (const Series* s : {&bare, &collector, &rendered}) {
        std::printf(
            "loop=%s ns_per_datagram=%.1f user_ns=%.1f system_ns=%.1f min_ns=%.1f max_ns=%.1f\n",
            s->name, Median(s->total), Median(s->user), Median(s->system),
            *std::min_element(s->total.begin(), s->total.end()),
            *std::max_element(s->total.begin(), s->total.end()));
    }
    std::printf("datagrams_per_round=%llu rounds=%d ratio_collector=%.3f ratio_render=%.3f\n",
                static_cast<unsigned long long>(count), rounds,
                Median(collector.total) / Median(bare.total),
                Median(rendered.total) / Median(bare.total));
    return 0;
}

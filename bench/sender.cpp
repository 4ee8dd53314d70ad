// Loopback syslog sender for the benchmarks: numbered datagrams, either paced at a
// fixed rate or sent as one burst as fast as the kernel takes them.
//
// A paced run follows an absolute schedule (datagram i is due at i / rate); when the
// sender falls behind it catches up at no more than 1 ms worth of datagrams per
// wake-up.
//
// With --sockets N the datagrams leave from N sockets, so from N source ports: a
// balancer that pins a flow to one collector sees N flows. Datagram seq leaves from
// socket (seq / 64) % N, in runs of 64 so that each run is still one sendmmsg call.
//
// Every datagram carries the token "cvb<trial>q<seq>e" (seq zero-padded to 10 digits),
// so that arrivals can be counted exactly from what the journal stored, and every
// datagram of a run has the same length.
//
// Prints one line of key=value pairs: what was sent and when (CLOCK_REALTIME, µs, the
// journal's own clock), for the caller to set against the journal's timestamps.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Options {
    in_addr_t host = htonl(INADDR_LOOPBACK);
    unsigned port = 514;
    std::size_t sockets = 1;
    std::uint64_t count = 0;
    double rate = 0;  // datagrams per second; 0 sends one burst
    std::uint64_t trial = 0;
};

[[noreturn]] void Usage() {
    std::fprintf(
        stderr,
        "usage: cvb_sender --trial N --count N [--rate PER_SECOND] [--host IPV4] [--port P]\n"
        "                  [--sockets N]\n"
        "  without --rate (or with 0) the datagrams go out as one burst\n");
    std::_Exit(2);  // at once: the usage went out unbuffered, nothing else is to flush
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            Usage();
        }
        const char* value = argv[++i];
        if (arg == "--host") {
            if (inet_pton(AF_INET, value, &options.host) != 1) {
                Usage();
            }
        } else if (arg == "--sockets") {
            options.sockets = std::strtoul(value, nullptr, 10);
        } else if (arg == "--port") {
            options.port = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--count") {
            options.count = std::strtoull(value, nullptr, 10);
        } else if (arg == "--rate") {
            options.rate = std::strtod(value, nullptr);
        } else if (arg == "--trial") {
            options.trial = std::strtoull(value, nullptr, 10);
        } else {
            Usage();
        }
    }
    if (options.count == 0 || options.port == 0 || options.port > 65535 || options.sockets == 0 ||
        options.sockets > 4096) {
        Usage();
    }
    return options;
}

std::int64_t Now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void SleepUntil(std::int64_t monotonicNs) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(monotonicNs / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(monotonicNs % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// A syslog line of fixed length; only the ten sequence digits change.
class Payloads {
   public:
    explicit Payloads(std::uint64_t trial) {
        char head[96];
        std::snprintf(head, sizeof head, "<13>Dec  6 12:00:00 benchhost cvbench: cvb%llu",
                      static_cast<unsigned long long>(trial));
        text_ = head;
        text_ += "q";
        digitsAt_ = text_.size();
        text_ += "0000000000e load test datagram of fixed length";
    }
    // Fills `out` (at least size() bytes) with datagram `seq`.
    void Write(std::uint64_t seq, char* out) const {
        std::memcpy(out, text_.data(), text_.size());
        for (std::size_t i = 0; i < 10; ++i) {
            out[digitsAt_ + 9 - i] = static_cast<char>('0' + seq % 10);
            seq /= 10;
        }
    }
    [[nodiscard]] std::size_t size() const { return text_.size(); }

   private:
    std::string text_;
    std::size_t digitsAt_ = 0;
};

// One connected socket per source port; empty when any of them fails.
std::vector<int> OpenSockets(const Options& options) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(options.port));
    to.sin_addr.s_addr = options.host;
    std::vector<int> fds;
    while (fds.size() < options.sockets) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            std::perror(fd < 0 ? "socket" : "connect");
            if (fd >= 0) {
                close(fd);
            }
            for (const int other : fds) {
                close(other);
            }
            return {};
        }
        fds.push_back(fd);
    }
    return fds;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    const std::vector<int> fds = OpenSockets(options);
    if (fds.empty()) {
        return 1;
    }

    const Payloads payloads(options.trial);
    // sendmmsg batches keep the sender's own cost out of the way of a burst; a paced
    // run sends whatever is due at each wake-up in one call as well.
    constexpr std::size_t BATCH = 64;
    std::vector<char> storage(BATCH * payloads.size());
    std::vector<iovec> iov(BATCH);
    std::vector<mmsghdr> msgs(BATCH);
    for (std::size_t i = 0; i < BATCH; ++i) {
        iov[i].iov_base = storage.data() + i * payloads.size();
        iov[i].iov_len = payloads.size();
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    std::uint64_t sent = 0;
    std::uint64_t refused = 0;  // ENOBUFS and the like, each retried
    // How late each wake-up of a paced run came, against the schedule.
    std::vector<std::int64_t> lateness;
    // Send datagrams [sent, until): the kernel may take fewer than asked at a time.
    auto sendUpTo = [&](std::uint64_t until) -> bool {
        while (sent < until) {
            const std::uint64_t runEnd = (sent / BATCH + 1) * BATCH;
            const auto n = static_cast<std::size_t>(std::min(runEnd, until) - sent);
            const int fd = fds[sent / BATCH % fds.size()];
            for (std::size_t i = 0; i < n; ++i) {
                payloads.Write(sent + i, storage.data() + i * payloads.size());
            }
            const int done = sendmmsg(fd, msgs.data(), static_cast<unsigned>(n), 0);
            if (done < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) {
                    if (++refused > 1'000'000) {
                        return false;
                    }
                    usleep(50);
                    continue;
                }
                std::perror("sendmmsg");
                return false;
            }
            sent += static_cast<std::uint64_t>(done);
        }
        return true;
    };

    const std::int64_t startReal = Now(CLOCK_REALTIME);
    const std::int64_t start = Now(CLOCK_MONOTONIC);
    bool ok = true;
    if (options.rate <= 0) {
        ok = sendUpTo(options.count);
    } else {
        // Datagram i is due at start + i / rate. Wake at most every 200 µs (or once
        // per datagram below 5,000/s) and send what is due by then: the schedule is
        // absolute, so a late wake-up is made up for at the next ones.
        const double interval = 1e9 / options.rate;
        const std::int64_t tick =
            std::max<std::int64_t>(200'000, static_cast<std::int64_t>(interval));
        const auto catchUp =
            std::max<std::uint64_t>(1, static_cast<std::uint64_t>(options.rate / 1000.0));
        while (ok && sent < options.count) {
            const std::int64_t now = Now(CLOCK_MONOTONIC);
            std::uint64_t due =
                static_cast<std::uint64_t>(static_cast<double>(now - start) / interval) + 1;
            if (due > options.count) {
                due = options.count;
            }
            if (due > sent) {
                const std::int64_t dueAt =
                    start + static_cast<std::int64_t>(static_cast<double>(sent) * interval);
                lateness.push_back(now - dueAt);
                // After a stall (the machine is shared) the owed datagrams go out at
                // no more than 1 ms worth per wake-up, not as one burst that would
                // measure the receiver's buffer instead of its rate.
                ok = sendUpTo(std::min(due, sent + catchUp));
            }
            if (sent < options.count) {
                const std::int64_t next =
                    start + static_cast<std::int64_t>(static_cast<double>(sent) * interval);
                SleepUntil(std::max(next, now + tick));
            }
        }
    }
    const std::int64_t end = Now(CLOCK_MONOTONIC);
    const std::int64_t endReal = startReal + (end - start);
    const double seconds = static_cast<double>(end - start) / 1e9;
    std::sort(lateness.begin(), lateness.end());
    auto percentile = [&lateness](double p) -> double {
        if (lateness.empty()) {
            return 0.0;
        }
        const auto at = static_cast<std::size_t>(p * static_cast<double>(lateness.size() - 1));
        return static_cast<double>(std::max<std::int64_t>(0, lateness[at])) / 1000.0;
    };
    std::printf(
        "sent=%llu refused=%llu start_us=%lld end_us=%lld seconds=%.6f achieved_rate=%.1f "
        "late_p50_us=%.1f late_p99_us=%.1f late_max_us=%.1f bytes=%zu\n",
        static_cast<unsigned long long>(sent), static_cast<unsigned long long>(refused),
        static_cast<long long>(startReal / 1000), static_cast<long long>(endReal / 1000), seconds,
        seconds > 0 ? static_cast<double>(sent) / seconds : 0.0, percentile(0.5), percentile(0.99),
        percentile(1.0), payloads.size());
    for (const int fd : fds) {
        close(fd);
    }
    return ok ? 0 : 1;
}

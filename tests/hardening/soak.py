"""Soak: numbered datagrams of random bytes and random lengths 0-300 through the real
collector into a fake journal that decodes the native protocol. Every datagram of at
most 256 bytes must give exactly one log-line event with its bracketed text, every
longer one the over-long-datagram error event, in order; the service must stay up and
its resident memory flat. Runs inside namespace.sh.

The sender keeps at most --window datagrams unanswered, so the rate is the steady one
that the journal side takes, without losses in the socket buffers.
"""

import argparse
import random
import select
import signal
import socket
import sys
import time
from collections import deque

import harness

OVERLONG = b"recv() failed: error 10040\n"


def datagram(rng, number):
    length = rng.randint(0, 300)
    label = b"#%d " % number
    if length < len(label):
        return rng.randbytes(length)
    return label + rng.randbytes(length - len(label))


def expected_event(payload):
    if len(payload) > 256:
        return harness.MSG_SERVICE_ERROR.encode(), OVERLONG, b"Corvane Error " + OVERLONG + b" %2 "
    text = harness.expected_text(payload)
    return harness.MSG_LOG_LINE.encode(), text, b"Corvane Log: " + text + b" "


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=float, default=1500, help="give up after this long")
    parser.add_argument("--window", type=int, default=200)
    parser.add_argument("--seed", type=int, default=514)
    parser.add_argument("--rss-growth-kib", type=int, default=1024)
    options = parser.parse_args()

    journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    journal.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    journal.bind(harness.JOURNAL_SOCKET)
    journal.setblocking(False)
    manager = harness.FakeManager()
    service = harness.Service()
    rng = random.Random(options.seed)
    udp = harness.sender()
    failures = []
    try:
        harness.wait_until(lambda: any(s == harness.RUNNING for s, _ in manager.states()),
                           what="the service running")
        # The start-up events come first; the soak counts from the listening line on.
        harness.wait_until(lambda: _startup_done(journal), what="the listening event")

        pending = deque()
        sent = received = overlong = 0
        rss = []
        sample_every = max(options.count // 100, 1)
        begun = time.monotonic()
        deadline = begun + options.seconds
        while received < options.count and time.monotonic() < deadline and not failures:
            while sent < options.count and sent - received < options.window:
                payload = datagram(rng, sent)
                pending.append(expected_event(payload))
                udp.send(payload)
                sent += 1
            select.select([journal], [], [], 1.0)
            for _ in range(options.window):
                try:
                    data = journal.recv(1 << 16)
                except BlockingIOError:
                    break
                fields = harness.parse_entry(data)
                event_id, text, message = pending.popleft()
                got = (fields.get("EVENT_ID"), fields.get("EVENT_STRING_1"), fields.get("MESSAGE"))
                if got != (event_id, text, message):
                    failures.append(f"datagram {received}: expected {(event_id, text, message)!r}, "
                                    f"got {got!r}")
                    break
                overlong += event_id == harness.MSG_SERVICE_ERROR.encode()
                received += 1
                if received % sample_every == 0:
                    rss.append(service.rss_kib())
            if not service.alive():
                failures.append(f"the service ended after {received} datagrams")
        took = time.monotonic() - begun

        if received < options.count and not failures:
            failures.append(f"only {received} of {options.count} events in {options.seconds} s "
                            f"({len(pending)} unanswered)")
        # Nothing beyond one event per datagram.
        time.sleep(0.5)
        try:
            extra = journal.recv(1 << 16)
            if not failures:
                failures.append(f"an event beyond the datagrams: {harness.parse_entry(extra)!r}")
        except BlockingIOError:
            pass
        if not service.alive():
            failures.append("the service is not running at the end")

        print(f"soak: {received} datagrams ({overlong} over-long) in {took:.1f} s, "
              f"{received / took:.0f} per second")
        if rss:
            # The first tenth warms up the allocator and the socket buffers.
            settled = rss[len(rss) // 10]
            print(f"soak: VmRSS {rss[0]} KiB at 1%, {settled} KiB at 10%, {rss[-1]} KiB at the end, "
                  f"{max(rss)} KiB at most")
            if max(rss[len(rss) // 10:]) - settled > options.rss_growth_kib:
                failures.append(f"resident memory grew by {max(rss) - settled} KiB")

        service.signal(signal.SIGTERM)
        code = service.wait(10)
        if code != 0:
            failures.append(f"exit status {code} after the stop")
    finally:
        service.end()
        manager.close()
        journal.close()
    for failure in failures:
        print("soak FAILED:", failure)
    return 1 if failures else 0


def _startup_done(journal):
    try:
        while True:
            fields = harness.parse_entry(journal.recv(1 << 16))
            if fields.get("EVENT_ID") == harness.MSG_SERVICE_STARTED.encode():
                return True
    except BlockingIOError:
        return False


if __name__ == "__main__":
    sys.exit(main())

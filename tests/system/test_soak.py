"""Soak: numbered datagrams of random bytes and lengths 0-300, sent as fast as the journal
side takes them; each gives exactly its one event, in order, the collector stays up and
its memory flat. 20,000 here; tests/system/soak.sh sends a million."""

import os
import random
import re
import signal
import socket
import time
from collections import deque
from pathlib import Path

from harness import OVER_LONG, log_line, start_running, stop

COUNT = int(os.environ.get("CORVANE_SOAK_COUNT", 20_000))
SECONDS = int(os.environ.get("CORVANE_SOAK_SECONDS", 120))
WINDOW = 200  # datagrams unanswered at most: no loss in the socket buffers


def datagram(rng, number):
    length = rng.randint(0, 300)
    return (b"#%d " % number + rng.randbytes(length))[:length]


def expected(payload):
    if len(payload) > 256:
        return OVER_LONG
    text = payload.removesuffix(b"\n").split(b"\0")[0].decode("utf-8", "surrogateescape")
    return log_line(f"[{text}]")


def rss_kib(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{pid}/status").read_text())[1])


def test_soak(corvane, manager, journal):
    signal.alarm(SECONDS + 30)
    service = start_running(corvane, manager, journal)
    journal.items.clear()
    rng, pending, rss = random.Random(514), deque(), []
    sent = received = 0
    began = time.monotonic()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.connect(("127.0.0.1", 514))
        while received < COUNT:
            assert time.monotonic() < began + SECONDS, f"{received} of {COUNT} events in time"
            while sent < COUNT and sent - received < WINDOW:
                pending.append(datagram(rng, sent))
                udp.send(pending[-1])
                sent += 1
            if journal.read(1.0):
                while journal.read(0):
                    pass
            for entry in journal.items:
                assert entry == expected(pending.popleft()), f"datagram {received}"
                received += 1
                if received % (COUNT // 100 or 1) == 0:
                    rss.append(rss_kib(service.pid))
            journal.items.clear()
            assert service.poll() is None, f"the collector ended after {received} datagrams"
    took = time.monotonic() - began
    assert not journal.read(0.5), "an event beyond the datagrams"
    settled = rss[len(rss) // 10]  # the first tenth warms up the allocator and the buffers
    print(f"soak: {received} datagrams in {took:.1f} s, {received / took:.0f} per second; "
          f"VmRSS {rss[0]} KiB at 1%, {settled} KiB at 10%, {max(rss)} KiB at most")
    assert max(rss[len(rss) // 10:]) - settled <= 1024
    assert stop(service) == 0

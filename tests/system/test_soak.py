"""Soak: numbered datagrams of random bytes and lengths 0-300, every 50th up to the whole
receive buffer of 8,192 bytes, sent in windows as fast as the journal side takes them;
each gives exactly its one event, in order, the collector stays up and its memory flat.
20,000 here; tests/system/soak.sh sends a million."""

import os
import random
import re
import socket
import time
from pathlib import Path

from harness import log_line, start_running, stop

COUNT = int(os.environ.get("CORVANE_SOAK_COUNT", 20_000))
SECONDS = int(os.environ.get("CORVANE_SOAK_SECONDS", 120))
WINDOW = 200  # datagrams unanswered at most: no loss in the socket buffers


def expected(payload):
    text = payload.removesuffix(b"\n").split(b"\0")[0].decode("utf-8", "surrogateescape")
    return log_line(f"[{text}]")


def test_soak(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    status, rng, rss = Path(f"/proc/{service.pid}/status"), random.Random(514), []
    began = time.monotonic()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.connect(("127.0.0.1", 514))
        for first in range(0, COUNT, WINDOW):
            assert time.monotonic() < began + SECONDS, f"{first} of {COUNT} events in time"
            journal.items.clear()
            payloads = [(b"#%d " % number + rng.randbytes(length))[:length]
                        for number in range(first, min(first + WINDOW, COUNT))
                        for length in [rng.randint(0, 300 if number % 50 else 8192)]]
            for payload in payloads:
                udp.send(payload)
            assert journal.wait_count(len(payloads)) == list(map(expected, payloads)), first
            rss.append(int(re.search(r"VmRSS:\s+(\d+)", status.read_text())[1]))
    took = time.monotonic() - began
    assert not journal.read(0.5), "an event beyond the datagrams"
    settled = rss[len(rss) // 10]  # the first tenth warms up the allocator and the buffers
    print(f"soak: {COUNT} datagrams in {took:.1f} s, {COUNT / took:.0f} per second; "
          f"VmRSS {rss[0]} KiB at first, {settled} KiB at 10%, {max(rss)} KiB at most")
    assert max(rss[len(rss) // 10:]) - settled <= 1024
    assert stop(service) == 0

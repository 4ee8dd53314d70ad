"""The collector as a running service: datagrams in, journal entries and reports out."""

import os
import random
import re
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from harness import (LISTENING, RUNNING, START_PENDING, STARTING, STATUS_FILE, UNIT_FILE, log_line,
                     losses, send, socket_error, start_running, status_file_of, stop,
                     stop_pending, stopped)

LONGEST = (bytes(range(32, 127)) * 87)[:8192]
TERM, INT = signal.SIGTERM, signal.SIGINT
# 1,400 bytes with the header of the client's plain form, as devices commonly send.
CLIENT_TEXT = "".join(chr(97 + n % 26) for n in range(1400 - len("<13>1 - - probe - - - ")))


# What the journal encoding and the real socket add; the text rules: tests/unit/service_test.cpp.
@pytest.mark.parametrize("payload, entries", [
    (b"abc\n\n", [log_line("[abc\n]")]),
    (b"", [log_line("[]")]),
    (LONGEST, [log_line(f"[{LONGEST.decode()}]")]),
    (CLIENT_TEXT, [log_line(f"[<13>1 - - probe - - - {CLIENT_TEXT}]")]),  # sent by logger
    # Reported, the run goes on, and the stop reports it as lost.
    (LONGEST + b"\n", [socket_error("recv() failed: error 10040\n"), losses(1, 0, 0, 0)]),
])
def test_datagram_becomes_one_journal_entry(corvane, manager, journal, payload, entries):
    service = start_running(corvane, manager, journal)
    if isinstance(payload, str):
        subprocess.run(["logger", "--udp", "-n", "127.0.0.1", "-P", "514", "--size", "8192",
                        "--rfc5424=notq,notime,nohost", "-t", "probe", payload],
                       check=True, timeout=5)
    else:
        send(payload)
    journal.wait_count(3)
    assert stop(service) == 0
    assert journal.settle()[2:] == entries


# A lone SIGTERM: every other test's stop().
@pytest.mark.parametrize("signals", [[INT], [TERM, INT, TERM, TERM, INT]])
def test_run_reports_states_and_ends_promptly_and_once(corvane, manager, journal, signals):
    corvane.start = lambda: corvane.spawn([corvane.binary, "x", "-install"], manager.path)
    service = start_running(corvane, manager, journal)  # any other arguments: usage, then run
    assert journal.items == [STARTING, LISTENING]
    assert STATUS_FILE.read_text() == status_file_of(service, RUNNING)
    for harmless in (signal.SIGHUP, signal.SIGPIPE, signal.SIGUSR1):
        service.send_signal(harmless)
        send(b"still here\n")
    assert journal.wait_count(5)[2:] == [log_line("[still here]")] * 3
    manager.wait_count(7)
    time.sleep(0.2)  # the receive is waiting
    began = time.monotonic()
    for stop_signal in signals:
        service.send_signal(stop_signal)
    assert service.wait(timeout=5) == 0 and time.monotonic() - began < 0.5
    # Interrogation (SIGUSR1) reports running again, the counter untouched; a stop while stop
    # pending is reported again, its check point one higher.
    stops = len(manager.settle()) - 8
    assert 1 <= stops <= len(signals)
    assert manager.items == START_PENDING + [RUNNING, RUNNING,
                                             *map(stop_pending, range(6, 6 + stops)), stopped(0)]
    assert STATUS_FILE.read_text() == status_file_of(service, stopped(0))
    assert len(journal.settle()) == 5 and not UNIT_FILE.exists()
    # The usage text itself: tests/unit/commands_test.cpp. Here: all of it reached stdout.
    assert re.fullmatch(r"CORVANE -install .*\n\n.*\n.*Please wait\.\n", service.output(), re.S)


def test_soak(corvane, manager, journal):
    """Random datagrams, lengths 0-300 and every 50th up to 8,192, in windows that no socket
    buffer overflows: exactly one event each, in order, and flat memory. soak.sh: a million."""
    count = int(os.environ.get("CORVANE_SOAK_COUNT", 20_000))  # in the suite's time limit
    service, began = start_running(corvane, manager, journal), time.monotonic()
    status, rng, rss = Path(f"/proc/{service.pid}/status"), random.Random(514), []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.connect(("127.0.0.1", 514))
        for first in range(0, count, 200):
            journal.items.clear()
            payloads = [(b"#%d " % number + rng.randbytes(length))[:length]
                        for number in range(first, min(first + 200, count))
                        for length in [rng.randint(0, 300 if number % 50 else 8192)]]
            for payload in payloads:
                udp.send(payload)
            assert journal.wait_count(len(payloads)) == [log_line("[%s]" % p.removesuffix(
                b"\n").split(b"\0")[0].decode("utf-8", "surrogateescape")) for p in payloads], first
            rss.append(int(re.search(r"VmRSS:\s+(\d+)", status.read_text())[1]))
    took, settled = time.monotonic() - began, rss[len(rss) // 10]  # a tenth to warm up
    assert not journal.read(0.5), "an event beyond the datagrams"
    print(f"soak: {count} datagrams in {took:.1f} s, {count / took:.0f} per second; "
          f"VmRSS {rss[0]} KiB at first, {settled} KiB at 10%, {max(rss)} KiB at most")
    assert max(rss[len(rss) // 10:]) - settled <= 1024 and stop(service) == 0

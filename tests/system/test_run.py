"""The collector as a running service: datagrams in, journal entries and reports out, the
faults around it, and what it lost counted exactly."""

import os
import random
import re
import signal
import socket
import time
from pathlib import Path

import pytest

from harness import (CLEAN_RUN, LISTENING, STARTING, STATUS_FILE, UNIT_FILE, WAIT_S, Journal, fill,
                     log_line, loss_counts, losses, report_failure, send, socket_error,
                     start_running, status_file_of, statuses, stop)

LONGEST = (bytes(range(32, 127)) * 87)[:8192]
TERM, INT = signal.SIGTERM, signal.SIGINT


# A lone SIGTERM: every other test's stop().
@pytest.mark.parametrize("signals", [[INT], [TERM, INT, TERM, TERM, INT]])
def test_run_logs_each_datagram_reports_states_and_ends_promptly_and_once(corvane, manager,
                                                                            journal, signals):
    # Any other arguments: usage, then run.
    service = start_running(corvane, manager, journal, corvane.binary, "x", "-install")
    assert journal.items == [STARTING, LISTENING]
    assert manager.items[5] == ["STATUS=Running", "READY=1", "X_CORVANE_STATE=4",
                                "X_CORVANE_CONTROLS=1", "X_CORVANE_EXIT_CODE=0",
                                "X_CORVANE_CHECKPOINT=0", "X_CORVANE_WAIT_HINT=0"]
    assert STATUS_FILE.read_text() == status_file_of(service)
    for harmless in (signal.SIGHUP, signal.SIGPIPE, signal.SIGUSR1):
        service.send_signal(harmless)
        send(b"still here\n")
    # What the journal encoding and the real socket add; the text rules: the unit tables.
    for payload in (b"abc\n\n", b"", LONGEST, LONGEST + b"\n"):
        send(payload)
    logged = [log_line("[still here]")] * 3 + [
        log_line("[abc\n]"), log_line("[]"), log_line(f"[{LONGEST.decode()}]"),
        socket_error("recv() failed: error 10040\n")]  # the run goes on; the stop counts it
    assert journal.wait_count(9)[2:] == logged
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
    assert statuses(manager.items) == CLEAN_RUN[:6] + ["Running"] + [
        f"Stop pending (check point {n})" for n in range(6, 6 + stops)] + CLEAN_RUN[-1:]
    assert STATUS_FILE.read_text() == status_file_of(service, state=1)
    assert journal.settle()[2:] == logged + [losses(1, 0, 0, 0)] and not UNIT_FILE.exists()
    # The usage text itself: tests/unit/commands_test.cpp. Here: all of it reached stdout.
    assert re.fullmatch(r"CORVANE -install .*\n\n.*\n.*Please wait\.\n", service.output(), re.S)


# A manager never there fails its first report alike (one send, one error): the unit
# tables' refused first report. A taken port: the unit tables' failed bind, and the
# package's start under systemd (tests/systemd/test_package.py).
@pytest.mark.parametrize("fault, code", [("manager gone", 2), ("manager stalled", 1460)])
def test_failed_report_is_logged_and_stops_with_its_code(corvane, manager, journal, fault, code):
    service = start_running(corvane, manager, journal)
    manager.gone() if fault == "manager gone" else fill(manager.path)
    service.send_signal(signal.SIGTERM)
    assert service.wait(timeout=10) == 1
    assert journal.settle() == [STARTING, LISTENING, *[report_failure(code)] * 2]
    assert STATUS_FILE.read_text() == status_file_of(service, state=1, code=code)


def loss_reports(entries):
    """Each loss report's counts: too long, kernel, not written, unread; since last, start."""
    return [loss_counts(dict(e)["EVENT_STRING_1"]) for e in entries
            if dict(e).get("EVENT_ID") == "0x80020006"]


def test_kernel_drops_of_a_burst_and_silence_are_counted_exactly(corvane, manager, journal):
    # Without CAP_NET_ADMIN the receive buffer stays at the system's limit, a few MiB.
    service = start_running(corvane, manager, journal, "setpriv", "--bounding-set=-net_admin",
                            corvane.binary)
    sent, padding = 30000, b"." * 980
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for number in range(sent):
            sender.sendto(b"burst %05d " % number + padding, ("127.0.0.1", 514))
    arrived = {dict(e)["EVENT_STRING_1"][7:12] for e in journal.settle()[2:]
               if dict(e)["EVENT_STRING_1"].startswith("[burst ")}
    # The kernel's own count for the socket on port 514 (0x0202).
    rows = [row.split() for row in Path("/proc/net/udp").read_text().splitlines()[1:]]
    [dropped] = [int(row[-1]) for row in rows if row[1].endswith(":0202")]
    assert dropped > 0 and dropped == sent - len(arrived), "the burst did not overflow the buffer"
    # No later datagram needed: the status line catches up within a second of the last one.
    line = (f"Running: {len(arrived):,} logged, 0 too long, {dropped:,} dropped by the kernel, "
            "0 not written")
    manager.wait_until(lambda _: manager.texts[-1:] == [line], timeout=3)
    # Ten seconds into the run; nothing new for the stop, which still gives the final figures.
    # How a stop adds what came since the last report: tests/unit/service_test.cpp.
    reports = loss_reports(journal.wait_until(loss_reports, timeout=12))
    assert reports == [[0, dropped, 0, 0, dropped, 0]]
    assert stop(service) == 0
    assert loss_reports(journal.settle()) == reports + [[0, 0, 0, 0, 0, dropped, 0, 0]]


def test_what_the_journal_lost_or_a_stop_left_unread_is_counted_exactly(corvane, manager,
                                                                         journal):
    """The journal's socket gone and back (one never there takes the same reconnect), then
    stalled, so that the stop meets a line waiting and datagrams still queued. A stall under
    systemd: tests/systemd/test_road.py."""
    service = start_running(corvane, manager, journal)
    journal.gone()
    for number in range(20):
        send(b"lost %d\n" % number)
    time.sleep(0.3)
    journal = Journal()
    send(b"after\n")
    assert journal.wait_count(1) == [log_line("[after]")]
    manager.wait_until(lambda _: manager.texts[-1:] == [
        "Running: 1 logged, 0 too long, 0 dropped by the kernel, 20 not written"], timeout=3)
    fill(journal.path)  # the next line waits for room as long as the run goes on
    sent = 2000
    for number in range(sent):
        send(b"queued %04d" % number)
    time.sleep(3)  # longer than any report may wait
    began = time.monotonic()
    service.send_signal(signal.SIGTERM)
    entries = journal.wait_until(loss_reports, timeout=10)
    assert service.wait(timeout=WAIT_S) == 0 and time.monotonic() - began < 1.5  # in time
    assert statuses(manager.settle()) == CLEAN_RUN
    arrived = {dict(e)["EVENT_STRING_1"] for e in entries
               if dict(e).get("EVENT_ID") == "0x40020003"}
    [[*_, too_long, kernel, not_written, unread]] = loss_reports(entries)
    assert too_long == 0 and not_written in (20, 21) and unread > 0
    assert sent + 21 - len(arrived) == kernel + not_written + unread, (kernel, not_written, unread)


def test_random_datagrams_each_become_their_own_entry_in_order(corvane, manager, journal):
    """Any bytes, lengths 0-300 and every 50th up to 8,192, in windows that no socket buffer
    overflows; a million: docs/testing.md."""
    count, rng = int(os.environ.get("CORVANE_SOAK_COUNT", 20_000)), random.Random(514)
    service = start_running(corvane, manager, journal)
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
    assert not journal.read(0.5) and stop(service) == 0, "an event beyond the datagrams"

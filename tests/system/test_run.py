"""The collector as a running service: datagrams in, journal entries and reports out."""

import re
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from harness import (LISTENING, OVER_LONG, RUNNING, START_PENDING, STARTING,
                     STATUS_FILE, log_line, losses, send, socket_error, start_running,
                     status_file_of, stop, stop_pending, stopped)

SEVEN_BIT = (bytes(range(32, 127)) * 3)[:256]
LONGEST = (bytes(range(32, 127)) * 87)[:8192]


@pytest.mark.parametrize("payload, entries", [
    (b"hello\n", [log_line("[hello]")]),
    (b"abc\r\n", [log_line("[abc\r]")]),
    (b"abc\n\n", [log_line("[abc\n]")]),
    (b"", [log_line("[]")]),
    (b"ab\0cd", [log_line("[ab]")]),
    (b"%1 %2 %%1 %0 x", [log_line("[%1 %2 %%1 %0 x]")]),
    (SEVEN_BIT, [log_line(f"[{SEVEN_BIT.decode()}]")]),
    (LONGEST, [log_line(f"[{LONGEST.decode()}]")]),
    (LONGEST[:-1] + b"\n", [log_line(f"[{LONGEST[:-1].decode()}]")]),
    # Reported, the run goes on, and the stop reports it as lost.
    (LONGEST + b"\n", [OVER_LONG, losses((1, 0, 0, 0), (1, 0, 0, 0))]),
], ids=["lf", "cr-lf", "two-lf", "empty", "zero-byte", "escapes", "256-bytes", "8192-bytes",
        "8192-bytes-lf", "8193-bytes"])
def test_datagram_becomes_one_journal_entry(corvane, manager, journal, payload, entries):
    service = start_running(corvane, manager, journal)
    send(payload)
    journal.wait_count(3)
    assert stop(service) == 0
    assert journal.settle()[2:] == entries


def test_datagrams_from_a_real_client(corvane, manager, journal):
    start_running(corvane, manager, journal)
    # A plain form, the client's own default with time stamp and host name, and a line of
    # 1,400 bytes with the plain form's header.
    long_text = "".join(chr(ord("a") + n % 26) for n in range(1400 - len("<13>1 - - probe - - - ")))
    for options, text in ((["--rfc5424=notq,notime,nohost", "-t", "probe"], "hello"),
                          ([], "hello"),
                          (["--rfc5424=notq,notime,nohost", "-t", "probe", "--size", "8192"],
                           long_text)):
        subprocess.run(["logger", "--udp", "-n", "127.0.0.1", "-P", "514", *options, text],
                       check=True, timeout=5)
    lines = [dict(entry)["EVENT_STRING_1"] for entry in journal.wait_count(5)[2:]]
    assert lines[0] == "[<13>1 - - probe - - - hello]"
    assert re.fullmatch(r"\[<13>1 .* hello\]", lines[1]), lines
    assert lines[2] == f"[<13>1 - - probe - - - {long_text}]"
    assert journal.items[2:] == list(map(log_line, lines))


def test_run_reports_states_and_check_points_in_order(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    assert journal.items == [STARTING, LISTENING]
    assert STATUS_FILE.read_text() == status_file_of(service, RUNNING)
    # Started by hand as root, it still keeps no capability in either thread once bound:
    # the main one and the newest (a sanitizer's runtime may start one before main).
    tasks = Path(f"/proc/{service.pid}/task")
    assert [line for task in (service.pid, max(int(tid.name) for tid in tasks.iterdir()))
            for line in (tasks / str(task) / "status").read_text().splitlines()
            if line.startswith(("CapPrm", "CapEff"))] == ["CapPrm:\t0000000000000000",
                                                          "CapEff:\t0000000000000000"] * 2
    for harmless in (signal.SIGHUP, signal.SIGPIPE, signal.SIGUSR1):
        service.send_signal(harmless)
        send(b"still here\n")
    assert journal.wait_count(5)[2:] == [log_line("[still here]")] * 3
    manager.wait_count(7)
    assert stop(service) == 0
    # Interrogation (SIGUSR1) reports running again with the counter untouched.
    assert manager.settle() == START_PENDING + [RUNNING, RUNNING, stop_pending(6), stopped(0)]
    assert STATUS_FILE.read_text() == status_file_of(service, stopped(0))
    assert len(journal.settle()) == 5


@pytest.mark.parametrize("signals", [
    [signal.SIGTERM], [signal.SIGINT],
    [signal.SIGTERM, signal.SIGINT, signal.SIGTERM, signal.SIGTERM, signal.SIGINT],
], ids=["term", "int", "repeated"])
def test_stop_while_idle_ends_promptly_and_once(corvane, manager, journal, signals):
    service = start_running(corvane, manager, journal)
    time.sleep(0.2)  # the receive is waiting
    began = time.monotonic()
    for stop_signal in signals:
        service.send_signal(stop_signal)
    assert service.wait(timeout=5) == 0
    assert time.monotonic() - began < 0.5
    # A stop while stop pending is reported again, its check point one higher.
    stops = len(manager.settle()) - 7
    assert 1 <= stops <= len(signals)
    assert manager.items == START_PENDING + [RUNNING, *map(stop_pending, range(6, 6 + stops)),
                                             stopped(0)]
    assert len(journal.settle()) == 2


def test_taken_port_fails_the_run(corvane, manager, journal):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("0.0.0.0", 514))
        service = corvane.start()
        assert service.wait(timeout=5) == 1
    assert manager.settle() == START_PENDING + [stopped(10048)]
    assert journal.settle() == [STARTING, socket_error("bind() failed with error 10048\n")]


def test_memcheck_finds_no_error_and_no_leak(corvane, manager, journal):
    service = corvane.spawn([
        "valgrind", "--leak-check=full", "--show-leak-kinds=all", "--track-origins=yes",
        "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
        corvane.binary], manager.path)
    manager.wait_state(4, timeout=30)
    payloads = [b"", b"\n", b"abc\r\n", b"ab\0cd", b"%1 %2 %%1 %0", b"x" * 8192, b"y" * 8193] * 3
    for payload in payloads:
        send(payload)
    journal.wait_count(2 + len(payloads), timeout=30)
    service.send_signal(signal.SIGTERM)
    assert service.wait(timeout=30) == 0, service.errors()
    assert "ERROR SUMMARY: 0 errors" in service.errors()
    assert manager.settle()[-1] == stopped(0)

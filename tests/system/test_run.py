"""The collector as a running service: datagrams in, journal entries and reports out."""

import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import (JOURNAL_SOCKET, LISTENING, RUNNING, START_PENDING, STARTING, STATUS_FILE,
                      Journal, event, log_line, send, socket_error, status_file_of,
                      stop_pending, stopped, wait_status_file)


def in_order(entries):
    """Entries with their fields in the order they were written."""
    return [list(entry.items()) for entry in entries]


def start_running(corvane, manager, journal):
    service = corvane.start()
    manager.wait_state(4)
    journal.wait_count(2)
    return service


def stop(service):
    service.send_signal(signal.SIGTERM)
    return service.wait(timeout=5)


SEVEN_BIT = bytes(range(32, 127))


@pytest.mark.parametrize("payload, text", [
    (b"hello\n", "[hello]"),
    (b"abc\r\n", "[abc\r]"),
    (b"abc\n\n", "[abc\n]"),
    (b"", "[]"),
    (b"ab\0cd", "[ab]"),
    (b"%1 %2 %%1 %0 x", "[%1 %2 %%1 %0 x]"),
    ((SEVEN_BIT * 3)[:256], "[" + (SEVEN_BIT * 3)[:256].decode() + "]"),
], ids=["lf", "cr-lf", "two-lf", "empty", "zero-byte", "escapes", "256-bytes"])
def test_datagram_becomes_one_journal_entry(corvane, manager, journal, payload, text):
    service = start_running(corvane, manager, journal)
    send(payload)
    assert in_order(journal.wait_count(3)[2:]) == in_order([log_line(text)])
    assert stop(service) == 0
    assert len(journal.settle()) == 3


@pytest.mark.parametrize("options, line", [
    (["--rfc5424=notq,notime,nohost", "-t", "probe"], "[<13>1 - - probe - - - hello]"),
    ([], None),  # the client's own default form, time stamp and host name included
])
def test_datagram_from_a_real_client(corvane, manager, journal, options, line):
    start_running(corvane, manager, journal)
    subprocess.run(["logger", "--udp", "-n", "127.0.0.1", "-P", "514", *options, "hello"],
                   check=True, timeout=5)
    entry = journal.wait_count(3)[2]
    if line is None:
        line = entry["EVENT_STRING_1"]
        assert line.startswith("[<13>1 ") and line.endswith(" hello]")
    assert in_order([entry]) == in_order([log_line(line)])


def test_run_reports_states_and_check_points_in_order(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    assert in_order(journal.items) == in_order([STARTING, LISTENING])
    wait_status_file(status_file_of(service.pid, RUNNING))

    service.send_signal(signal.SIGHUP)  # no control: no report
    service.send_signal(signal.SIGUSR1)  # interrogation: running again, counter untouched
    manager.wait_count(7)
    assert stop(service) == 0
    assert manager.settle() == START_PENDING + [RUNNING, RUNNING, stop_pending(6), stopped(0)]
    assert STATUS_FILE.read_text() == status_file_of(service.pid, stopped(0))
    assert len(journal.settle()) == 2  # a stop writes no event


def test_stop_while_idle_ends_promptly(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    time.sleep(0.2)  # the receive is waiting
    began = time.monotonic()
    assert stop(service) == 0
    assert time.monotonic() - began < 0.5
    assert manager.settle()[-2:] == [stop_pending(6), stopped(0)]


def test_stop_during_start_is_held_until_running(corvane, manager, journal):
    service = corvane.start()
    manager.wait_count(1)
    service.send_signal(signal.SIGTERM)
    assert service.wait(timeout=5) == 0
    assert manager.settle() == START_PENDING + [RUNNING, stop_pending(6), stopped(0)]
    assert in_order(journal.settle()) == in_order([STARTING, LISTENING])


def test_taken_port_fails_the_run(corvane, manager, journal):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("0.0.0.0", 514))
        service = corvane.start()
        assert service.wait(timeout=5) == 1
    assert manager.settle() == START_PENDING + [stopped(10048)]
    assert in_order(journal.settle()) == in_order(
        [STARTING, socket_error("bind() failed with error 10048\n")])
    assert STATUS_FILE.read_text() == status_file_of(service.pid, stopped(10048))


def test_over_long_datagram_is_reported_and_the_run_goes_on(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    send(b"x" * 257)
    send(b"next\n")
    assert in_order(journal.wait_count(4)[2:]) == in_order(
        [socket_error("recv() failed: error 10040\n"), log_line("[next]")])
    assert stop(service) == 0
    assert manager.settle()[-2:] == [stop_pending(6), stopped(0)]


def test_manager_that_does_not_listen_fails_the_run(corvane, journal):
    # Every report fails (the socket path does not exist, code 2): the run is skipped and
    # the stop carries the failure.
    service = corvane.start(notify_socket="/run/nobody-listens")
    assert service.wait(timeout=5) == 1
    failure = event(0, 1, "The description for Event ID 0 from source Corvane cannot be found. "
                    "The following information was included with the event:\n"
                    "Corvane error: 2\nSetServiceStatus", "Corvane error: 2", "SetServiceStatus")
    assert in_order(journal.settle()) == in_order([failure, failure])
    assert STATUS_FILE.read_text() == status_file_of(service.pid, stopped(2))


def test_restarted_journal_gets_the_next_entry(corvane, manager, journal):
    start_running(corvane, manager, journal)
    journal.sock.close()
    os.unlink(JOURNAL_SOCKET)
    restarted = Journal()
    send(b"after the restart\n")
    assert restarted.wait_count(1) == [log_line("[after the restart]")]


def test_without_a_journal_the_run_goes_on(corvane, manager):
    service = corvane.start()
    manager.wait_state(4)
    send(b"lost\n")
    time.sleep(0.2)
    assert stop(service) == 0
    assert manager.settle() == START_PENDING + [RUNNING, stop_pending(6), stopped(0)]

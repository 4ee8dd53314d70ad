"""Faults around the running collector: its journal, its service manager, signals and
its port. Each test drives the real binary inside tests/hardening/namespace.sh."""

import errno
import signal
import socket
import subprocess
import time

import pytest

from harness import (FAILURE_EVENT, JOURNAL_SOCKET, MSG_LOG_LINE, MSG_SERVICE_ERROR,
                     MSG_SERVICE_STARTED, RUNNING, START_PENDING, STOP_PENDING, STOPPED,
                     parse_entry, sender, status_file, wait_until)


def running(manager, journal):
    manager.wait_for(lambda items: any(s == RUNNING for s, _ in manager.states()), what="running")
    journal.wait_events(MSG_SERVICE_STARTED, 1)


def log_texts(journal):
    return [e["EVENT_STRING_1"] for e in journal.events(MSG_LOG_LINE)]


def stop(service, manager, timeout=5):
    service.signal(signal.SIGTERM)
    code = service.wait(timeout)
    stopped(manager)
    return code


def stopped(manager):
    manager.wait_for(lambda _: manager.states()[-1:] == [(STOPPED, 0)], what="the stopped report")
    return manager.states()


def check_stop_sequence(states):
    """Stop is only ever acted on once running: stop pending after running, check points
    rising, and the stopped report last and alone."""
    first_running = states.index((RUNNING, 0))
    assert all(state == START_PENDING for state, _ in states[:first_running])
    assert [state for state, _ in states].count(STOPPED) == 1 and states[-1][0] == STOPPED
    pending = [point for state, point in states if state in (START_PENDING, STOP_PENDING)]
    assert pending == sorted(set(pending))
    assert all(state != STOP_PENDING for state, _ in states[:first_running])


def fill(path):
    """Fills a datagram socket's queue from outside, so that the next sender blocks. Each
    sender is also bounded by its own send buffer: fresh ones follow until even the first
    datagram of a fresh sender is refused."""
    fillers = []
    for _ in range(1000):
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        filler.setblocking(False)
        fillers.append(filler)
        for sent in range(100_000):
            try:
                filler.sendto(b"FILLER=1\n", path)
            except BlockingIOError:
                break
        if sent == 0:
            return fillers
    raise AssertionError("the queue never filled")


@pytest.mark.parametrize("outage", ["gone for a while", "restarted"])
def test_journal_outage_loses_reports_and_they_resume(journal, manager, start, outage):
    service = start()
    running(manager, journal)
    udp = sender()
    udp.send(b"before")
    journal.wait_for(lambda _: b"[before]" in log_texts(journal))

    journal.gone()
    if outage == "gone for a while":
        for number in range(20):
            udp.send(b"lost %d" % number)
        # Nothing to observe but the absence of a crash: give the collector time to try.
        time.sleep(1)
        assert service.alive() and status_file()["currentState"] == RUNNING
    journal.back()

    for number in range(5):
        udp.send(b"after %d" % number)
    expected = [b"[after %d]" % number for number in range(5)]
    journal.wait_for(lambda _: log_texts(journal)[-5:] == expected, what="reports after the outage")
    assert not any(text.startswith(b"[lost") for text in log_texts(journal))
    assert stop(service, manager) == 0


@pytest.mark.parametrize("fault", ["gone", "stalled"])
def test_failed_stop_report_is_logged_and_stops_with_its_code(journal, manager, start, fault):
    service = start()
    running(manager, journal)
    if fault == "gone":
        manager.gone()
    else:
        manager.pause()
        fillers = fill(manager.path)
    service.signal(signal.SIGTERM)
    assert service.wait(10) == 1
    failures = journal.wait_events(FAILURE_EVENT, 1)
    time.sleep(0.2)  # and any that follow it
    failures = journal.events(FAILURE_EVENT)
    assert all(e["EVENT_STRING_2"] == b"SetServiceStatus" for e in failures)
    codes = {e["EVENT_STRING_1"] for e in failures}
    assert len(codes) == 1
    code = int(codes.pop().removeprefix(b"Corvane error: "))
    assert code != 0
    final = status_file()
    if final["currentState"] == STOPPED:
        assert final["win32ExitCode"] == code
    if fault == "stalled":
        for filler in fillers:
            filler.close()


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_stop_during_start_pending_is_held_until_running(journal, manager, start, stop_signal):
    # A stalled journal holds the start-up between its start-pending reports.
    journal.pause()
    fillers = fill(journal.path)
    service = start()
    manager.wait_for(lambda _: manager.states(), what="the first report")
    service.signal(stop_signal)
    time.sleep(0.5)
    assert service.alive()
    assert all(state == START_PENDING for state, _ in manager.states()), manager.states()
    journal.resume()
    assert service.wait(10) == 0
    states = stopped(manager)
    check_stop_sequence(states)
    assert [s for s, _ in states[-3:]] == [RUNNING, STOP_PENDING, STOPPED]
    for filler in fillers:
        filler.close()


def test_repeated_stop_signals(journal, manager, start):
    service = start()
    running(manager, journal)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGTERM, signal.SIGTERM, signal.SIGINT):
        service.signal(number)
    assert service.wait(5) == 0
    states = stopped(manager)
    check_stop_sequence(states)
    assert states[states.index((RUNNING, 0)) + 1][0] == STOP_PENDING
    assert not journal.events(FAILURE_EVENT)


@pytest.mark.parametrize("harmless", [signal.SIGHUP, signal.SIGPIPE, signal.SIGUSR1])
def test_other_signals_are_harmless(journal, manager, start, harmless):
    service = start()
    running(manager, journal)
    udp = sender()
    for number in range(3):
        service.signal(harmless)
        udp.send(b"line %d\n" % number)
    journal.wait_for(lambda _: log_texts(journal) == [b"[line 0]", b"[line 1]", b"[line 2]"])
    assert service.alive() and status_file()["currentState"] == RUNNING
    assert not journal.events(MSG_SERVICE_ERROR) and not journal.events(FAILURE_EVENT)
    assert stop(service, manager) == 0


def test_port_taken(journal, manager, start):
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("0.0.0.0", 514))
    service = start()
    assert service.wait(5) == 1
    errors = journal.wait_events(MSG_SERVICE_ERROR, 1)
    assert [e["EVENT_STRING_1"] for e in errors] == [b"bind() failed with error 10048\n"]
    assert stopped(manager) == [(START_PENDING, n) for n in range(1, 6)] + [(STOPPED, 0)]
    assert manager.snapshot()[-1]["X_CORVANE_EXIT_CODE"] == "10048"
    assert status_file()["win32ExitCode"] == 10048
    holder.close()


def test_stalled_journal_does_not_hold_a_stop(journal, manager, start):
    service = start()
    running(manager, journal)
    journal.pause()
    udp = sender()
    for number in range(2000):
        udp.send(b"stalled %d" % number)
    # Wait until the collector is stuck in a report: the journal's queue is full.
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    probe.setblocking(False)

    def queue_full():
        try:
            probe.sendto(b"PROBE=1\n", journal.path)
            return False
        except BlockingIOError:
            return True
        except OSError as error:
            return error.errno == errno.EAGAIN
    wait_until(queue_full, what="a full journal queue")
    begun = time.monotonic()
    service.signal(signal.SIGTERM)
    code = service.wait(10)
    took = time.monotonic() - begun
    assert code == 0 and took < 5, f"stop took {took:.1f} s"
    stopped(manager)
    probe.close()


def journald(start):
    service = start(command=["/lib/systemd/systemd-journald"], notify=False)

    def listening():
        # The socket file outlives a stopped journal: only a connect tells.
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            probe.connect(JOURNAL_SOCKET)
            return True
        except OSError:
            return False
        finally:
            probe.close()
    wait_until(listening, what="the journal listening")
    return service


def journal_texts():
    result = subprocess.run(["journalctl", "-t", "Corvane", "-o", "export", "--no-pager"],
                            capture_output=True, timeout=30)
    return [parse_entry(block + b"\n").get("EVENT_STRING_1") for block in result.stdout.split(b"\n\n")
            if b"EVENT_ID=" + MSG_LOG_LINE.encode() in block]


def test_real_journal_stopped_and_started_again(manager, start):
    first = journald(start)
    service = start()
    manager.wait_for(lambda _: (RUNNING, 0) in manager.states(), what="running")
    udp = sender()
    udp.send(b"before")
    wait_until(lambda: b"[before]" in journal_texts(), what="the first line in the journal")

    first.signal(signal.SIGTERM)
    first.wait()
    for number in range(10):
        udp.send(b"lost %d" % number)
    time.sleep(1)
    assert service.alive()

    journald(start)
    udp.send(b"after")
    wait_until(lambda: b"[after]" in journal_texts(), what="the line after the restart")
    assert [t for t in journal_texts() if t.startswith(b"[lost")] == []
    assert stop(service, manager) == 0

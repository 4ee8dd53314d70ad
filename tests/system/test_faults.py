"""Faults around the running collector, and what it lost counted exactly."""

import signal
import socket
import time
from pathlib import Path

import pytest

from harness import (CLEAN_RUN, LISTENING, START_PENDING, STARTING, STATUS_FILE, WAIT_S, Journal,
                     fill, log_line, loss_counts, losses, report_failure, send, socket_error,
                     start_running, status_file_of, stop, stopped)


@pytest.mark.parametrize("outage", ["from the start", "mid-run"])
def test_without_a_journal_the_run_goes_on_and_counts_what_it_lost(corvane, manager, journal,
                                                                    outage):
    if outage == "from the start":
        journal.gone()
    service = corvane.start()
    manager.wait_state(4)
    if outage == "mid-run":
        journal.wait_count(2)
        journal.gone()
    for number in range(20):
        send(b"lost %d\n" % number)
    time.sleep(0.3)
    restarted = Journal()
    send(b"after\n")
    assert restarted.wait_count(1) == [log_line("[after]")]
    assert stop(service) == 0
    assert manager.settle() == CLEAN_RUN
    lost = 20 if outage == "mid-run" else 22  # from the start, the first two reports too
    assert restarted.settle() == [log_line("[after]"), losses(0, 0, lost, 0)]


@pytest.mark.parametrize("fault, code", [("port taken", 10048), ("manager never there", 2),
                                         ("manager gone", 2), ("manager stalled", 1460)])
def test_failed_run_is_logged_and_stops_with_its_code(corvane, manager, journal, fault, code):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        if fault == "port taken":
            holder.bind(("0.0.0.0", 514))
            service = corvane.start()
        elif fault == "manager never there":
            service = corvane.start(notify_socket="/run/nobody-listens")
        else:
            service = start_running(corvane, manager, journal)
            manager.gone() if fault == "manager gone" else fill(manager.path)
            service.send_signal(signal.SIGTERM)
        assert service.wait(timeout=10) == 1
    assert journal.settle() == {
        "port taken": [STARTING, socket_error("bind() failed with error 10048\n")],
        "manager never there": [report_failure(2)] * 2}.get(fault, [STARTING, LISTENING,
                                                             *[report_failure(code)] * 2])
    assert STATUS_FILE.read_text() == status_file_of(service, stopped(code))
    assert fault != "port taken" or manager.settle() == START_PENDING + [stopped(10048)]


def loss_reports(entries):
    """Each loss report's counts: too long, kernel, not written, unread; since last, start."""
    return [loss_counts(dict(e)["EVENT_STRING_1"]) for e in entries
            if dict(e).get("EVENT_ID") == "0x80020006"]


def kernel_drops():
    """The kernel's own count of the datagrams it dropped for the socket on port 514."""
    rows = [row.split() for row in Path("/proc/net/udp").read_text().splitlines()[1:]]
    [drops] = [int(row[-1]) for row in rows if row[1].endswith(":0202")]
    return drops


def test_kernel_drops_of_a_burst_and_silence_are_counted_exactly(corvane, manager, journal):
    # Without CAP_NET_ADMIN the receive buffer stays at the system's limit, a few MiB.
    corvane.start = lambda: corvane.spawn(
        ["setpriv", "--bounding-set=-net_admin", corvane.binary], manager.path)
    service = start_running(corvane, manager, journal)
    sent, padding = 30000, b"." * 980
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for number in range(sent):
            sender.sendto(b"burst %05d " % number + padding, ("127.0.0.1", 514))
    arrived = {dict(e)["EVENT_STRING_1"][7:12] for e in journal.settle()[2:]
               if dict(e)["EVENT_STRING_1"].startswith("[burst ")}
    dropped = kernel_drops()
    assert dropped > 0 and dropped == sent - len(arrived), "the burst did not overflow the buffer"
    # No later datagram needed: the status line catches up within a second of the last one.
    line = (f"Running: {len(arrived):,} logged, 0 too long, {dropped:,} dropped by the kernel, "
            "0 not written")
    manager.wait_until(lambda _: manager.texts[-1:] == [line], timeout=3)
    # Ten seconds into the run, and nothing new for the stop to report. How a stop adds what
    # came since the last report: tests/unit/service_test.cpp.
    reports = loss_reports(journal.wait_until(loss_reports, timeout=12))
    assert reports == [[0, dropped, 0, 0, dropped, 0]]
    assert stop(service) == 0 and loss_reports(journal.settle()) == reports


def test_datagrams_still_queued_at_a_stop_are_counted_exactly(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    fill(journal.path)  # each line now waits its 2 seconds in the report, then is lost
    sent = 2000
    for number in range(sent):
        send(b"queued %04d" % number)
    # The first line given up, the next waiting: the stop comes while datagrams pile up.
    manager.wait_until(lambda _: any(t.endswith(" 1 not written") for t in manager.texts), 10)
    service.send_signal(signal.SIGTERM)
    entries = journal.wait_until(loss_reports, timeout=10)
    assert service.wait(timeout=WAIT_S) == 0 and manager.settle() == CLEAN_RUN  # in time
    arrived = {dict(e)["EVENT_STRING_1"] for e in entries
               if dict(e).get("EVENT_ID") == "0x40020003"}
    [[*_, too_long, kernel, not_written, unread]] = loss_reports(entries)
    assert too_long == 0 and unread > 0
    assert sent - len(arrived) == kernel + not_written + unread, (kernel, not_written, unread)

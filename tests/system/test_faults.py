"""Faults around the running collector: its journal and its service manager gone or
stalled, and stop signals that arrive before it can take them."""

import signal
import time

import pytest

from harness import (CLEAN_RUN, LISTENING, STARTING, STATUS_FILE, Journal, fill, log_line,
                     losses, report_failure, send, start_running, status_file_of, stop,
                     stopped)


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
    # The 20 lines, and from the start the starting and listening reports as well.
    lost = 20 if outage == "mid-run" else 22
    assert restarted.settle() == [log_line("[after]"), losses((0, 0, lost, 0), (0, 0, lost, 0))]


@pytest.mark.parametrize("fault, code", [("never there", 2), ("gone", 2), ("stalled", 1460)])
def test_failed_report_is_logged_and_the_run_stops_with_its_code(corvane, manager, journal,
                                                                  fault, code):
    if fault == "never there":
        service = corvane.start(notify_socket="/run/nobody-listens")
    else:
        service = start_running(corvane, manager, journal)
        if fault == "gone":
            manager.gone()
        else:
            fill(manager.path)
        service.send_signal(signal.SIGTERM)
    assert service.wait(timeout=10) == 1
    started = [] if fault == "never there" else [STARTING, LISTENING]
    assert journal.settle() == started + [report_failure(code)] * 2
    assert STATUS_FILE.read_text() == status_file_of(service, stopped(code))


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_stop_during_start_pending_is_held_until_running(corvane, manager, journal,
                                                         stop_signal):
    fill(journal.path)  # a stalled journal holds the start-up
    service = corvane.start()
    manager.wait_count(1)
    service.send_signal(stop_signal)
    time.sleep(0.5)
    assert service.poll() is None
    journal.settle()
    assert service.wait(timeout=10) == 0
    assert manager.settle() == CLEAN_RUN
    assert [entry for entry in journal.items if entry != [("FILLER", "1")]] == [STARTING, LISTENING]


def test_stalled_journal_does_not_hold_a_stop(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    fill(journal.path)
    for number in range(5):
        send(b"stalled %d\n" % number)
    time.sleep(0.2)  # the collector waits in its report
    assert stop(service) == 0  # in time
    assert manager.settle() == CLEAN_RUN

"""The collector against a real systemd-journald that stalls: what it could not take is
counted and said in the next report."""

import os
import signal

from harness import (LISTENING, STARTING, fill, log_line, losses, read_journal, send,
                     start_journald, stop)


def fields_of(entries, expected):
    return [[(name, dict(entry).get(name)) for name, _ in want]
            for entry, want in zip(entries, expected)]


def test_reports_lost_to_a_stopped_journal_are_counted_in_the_next_report(corvane, manager):
    journald = start_journald(corvane, manager)
    service = corvane.start()
    manager.wait_state(4)
    read_journal(2)
    os.kill(journald.pid, signal.SIGSTOP)
    fill("/run/systemd/journal/socket")  # its queue full: every report waits, then is lost
    for number in range(3):
        send(b"stalled %d\n" % number)
    # Each report gives up after its bounded wait; the status line says when all three have.
    manager.wait_until(lambda _: any(text.endswith(" 3 not written") for text in manager.texts),
                       timeout=15)
    os.kill(journald.pid, signal.SIGCONT)
    send(b"after\n")
    read_journal(3)
    assert stop(service) == 0
    expected = [STARTING, LISTENING, log_line("[after]"), losses((0, 0, 3, 0), (0, 0, 3, 0))]
    entries = read_journal(len(expected))
    assert fields_of(entries, expected) == expected
    assert len(entries) == len(expected)

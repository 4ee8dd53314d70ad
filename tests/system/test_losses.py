"""Datagrams lost before the collector logs them: a burst that overflows the socket's
receive buffer is counted from the kernel's own drop counter, and what a stop leaves in
the buffer is counted by the stop, exactly."""

import signal
import socket

from harness import WAIT_S, fill, send, start_running, stop

LOG_LINE, MESSAGES_LOST = "0x40020003", "0x80020006"


def counts(report):
    """Each kind's count in a loss report: since the last report, then since the start."""
    halves = report.removeprefix("Lost since the last report: ").removesuffix(".")
    return [{kind: int(number.replace(",", ""))
             for number, kind in (part.split(" ", 1) for part in half.split(", "))}
            for half in halves.split("; since the start: ")]


def loss_reports(entries):
    return [counts(dict(entry)["EVENT_STRING_1"]) for entry in entries
            if dict(entry).get("EVENT_ID") == MESSAGES_LOST]


def test_kernel_drops_of_an_overflowing_burst_are_counted_exactly(corvane, manager, journal):
    # Without CAP_NET_ADMIN the receive buffer stays at the system's limit for everyone,
    # a few MiB, which a burst of 1,000-byte datagrams overflows.
    corvane.start = lambda: corvane.spawn(
        ["setpriv", "--bounding-set=-net_admin", corvane.binary], manager.path)
    service = start_running(corvane, manager, journal)
    sent, padding = 30000, b"." * 980
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for number in range(sent):
            sender.sendto(b"burst %05d " % number + padding, ("127.0.0.1", 514))
        journal.settle()
        sender.sendto(b"last", ("127.0.0.1", 514))  # brings the count of the burst's tail
    journal.wait_until(lambda items: dict(items[-1]).get("EVENT_STRING_1") == "[last]")
    lines = [dict(entry)["EVENT_STRING_1"] for entry in journal.items[2:-1]]
    arrived = {line[7:12] for line in lines if line.startswith("[burst ")}
    dropped = sent - len(arrived)
    assert dropped > 0, "the burst did not overflow the buffer"
    # The status line catches up within a second once the datagrams stop.
    line = (f"Running: {len(arrived) + 1:,} logged, 0 too long, {dropped:,} dropped by the "
            "kernel, 0 not written")
    manager.wait_until(lambda _: manager.texts[-1:] == [line], timeout=3)
    assert stop(service) == 0
    reports = loss_reports(journal.settle())
    # Ten seconds into the run a report may have come before the stop's: together they
    # give the total, and the last has it.
    assert reports and reports[-1][1] == {"too long": 0, "dropped by the kernel": dropped,
                                          "not written": 0, "unread at stop": 0}
    assert sum(since["dropped by the kernel"] for since, _ in reports) == dropped


def test_datagrams_still_queued_at_a_stop_are_counted_exactly(corvane, manager, journal):
    service = start_running(corvane, manager, journal)
    fill(journal.path)  # each log line now waits its 2 seconds, then is lost
    sent = 2000
    for number in range(sent):
        send(b"queued %04d" % number)
    # The first line given up, the second waiting: the stop comes while datagrams pile up.
    manager.wait_until(lambda _: any(text.endswith(" 1 not written") for text in manager.texts),
                       timeout=10)
    service.send_signal(signal.SIGTERM)
    entries = journal.wait_until(lambda items: loss_reports(items), timeout=10)
    assert service.wait(timeout=WAIT_S) == 0
    arrived = {dict(entry)["EVENT_STRING_1"] for entry in entries
               if dict(entry).get("EVENT_ID") == LOG_LINE}
    [(_, since_start)] = loss_reports(entries)
    assert since_start["too long"] == 0 and since_start["unread at stop"] > 0
    assert sent - len(arrived) == since_start["dropped by the kernel"] + \
        since_start["not written"] + since_start["unread at stop"], since_start

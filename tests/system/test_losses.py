"""Datagrams lost before the collector sees them: a burst that overflows the socket's
receive buffer is counted from the kernel's own drop counter, exactly."""

import re
import socket

from harness import start_running, stop


def counts(report):
    """(too long, dropped by the kernel, not written) of a loss report: since the last
    report, then since the start."""
    numbers = [int(n.replace(",", "")) for n in re.findall(r"\d[\d,]*", report)]
    return tuple(numbers[:3]), tuple(numbers[3:])


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
    reports = [counts(dict(entry)["EVENT_STRING_1"]) for entry in journal.settle()
               if dict(entry)["EVENT_ID"] == "0x80020006"]
    # Ten seconds into the run a report may have come before the stop's: together they
    # give the total, and the last has it.
    assert reports and reports[-1][1] == (0, dropped, 0)
    assert tuple(map(sum, zip(*(since for since, _ in reports)))) == (0, dropped, 0)

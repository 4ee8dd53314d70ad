"""CORVANE.exe under Wine's service manager, registry and sockets, in file order, beyond the
release's life in test_msi.py; its catalogue as the event viewer renders it, and a system text
in its commands."""
import re
import socket

import pytest

from conftest import events, x86_64_only

SERVICE = "Corvane"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Corvane"
FOLDER = "Program Files/Corvane"  # a blank in the path, as on most machines
STARTED, LOG, STARTING, ERROR, LOST = 0x00020001, 0x40020003, 0x40020004, 0xC0020005, 0x80020006
LOST_UNREAD_LEFT = 0x80020007
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
# (state, controls accepted, exit code, check point, wait hint)
START_SEQUENCE = [(START_PENDING, 0, 0, cp, 3000) for cp in range(1, 6)] + [(RUNNING, 1, 0, 0, 0)]
STOP_SEQUENCE = [(STOP_PENDING, 1, 0, 6, 0), (STOPPED, 1, 0, 0, 0)]


def state(session):  # (state, Win32 exit code) as `sc query` shows it; None for no service
    status, out, _ = session.run("sc", "query", SERVICE)
    found = re.search(rb"STATE\s*:\s*(\d+).*WIN32_EXIT_CODE\s*:\s*(\d+)", out, re.S)
    return None if status else tuple(map(int, found.groups()))


def send(*payloads):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for payload in payloads:
            sender.sendto(payload, ("127.0.0.1", 514))


def udp_discards():  # the namespace's own count, which Wine's GetUdpStatistics reads too
    with open("/proc/net/snmp") as snmp:
        header, values = [line.split() for line in snmp if line.startswith("Udp:")]
    return int(values[header.index("InErrors")])


def wait_for_events(session, mark, ids, count, pid=None):
    def probe():
        found = [e for e in events(session.trace(mark)) if e.id in ids and pid in (None, e.pid)]
        return found[:count] if len(found) >= count else None
    assert (found := session.wait_for(probe)), f"no {count} {ids}: {events(session.trace(mark))}"
    return found


def start(session, *command):
    mark = session.mark()
    assert (done := session.run(*command))[0] == 0, done
    assert session.wait_for(lambda: state(session) == (RUNNING, 0))
    [starting] = wait_for_events(session, mark, (STARTING,), 1)
    assert session.statuses(mark, starting.pid) == START_SEQUENCE
    return mark, starting.pid


@x86_64_only  # a flood against the release reading at full speed: emulated, it reads far slower
def test_ten_thousand_datagrams_in_order_then_a_flood_and_a_stop_at_once_count_each(wine):
    executable = wine.install("CORVANE.exe", FOLDER)
    assert wine.run(executable, "-install", cwd=wine.drive_c / FOLDER)[0] == 0
    _, pid = start(wine, "net", "start", SERVICE)
    for first in range(0, 10_000, 200):  # 200 stay well inside the socket's receive buffer
        mark, numbers = wine.mark(), range(first, first + 200)
        send(*(b"#%05d\n" % number for number in numbers))
        assert [(e.id, e.strings) for e in wait_for_events(wine, mark, (LOG, ERROR), 200, pid)
                ] == [(LOG, (f"[#{number:05d}]",)) for number in numbers], first
    # More than the receive buffer holds, the stop at once: each datagram logged, unread at the
    # stop or discarded by the system, whose count is the namespace's, the flood its only UDP.
    discards, mark, flood = udp_discards(), wine.mark(), 20_000
    send(*(b"flood %05d" % number for number in range(flood)))
    assert wine.run("sc", "stop", SERVICE)[0] == 0
    assert wine.wait_for(lambda: state(wine) == (STOPPED, 0), 5)
    assert wine.statuses(mark, pid) == STOP_SEQUENCE
    found = [e for e in events(wine.trace(mark)) if e.pid == pid]
    [report] = [e for e in found if e.id in (LOST, LOST_UNREAD_LEFT)][-1:]
    counts = re.search(r"since the start: 0 too long, ([\d,]+) discarded by the system on all UDP "
                       r"ports, 0 not written, ([\d,]+) unread at stop", report.strings[0])
    assert counts, report
    discarded, unread = (int(n.replace(",", "")) for n in counts.groups())
    assert discarded == udp_discards() - discards > 0, report
    # Only a stop whose half second ran out leaves datagrams for the close to discard.
    accounted = sum(e.id == LOG for e in found) + unread + discarded
    assert accounted == flood if report.id == LOST else accounted <= flood, report
    assert wine.run(executable, "-remove")[0] == 0  # for the installs below


# No ANSI character, so the path says "??"; Omega's look-alike names another folder.
@x86_64_only  # two more installs, at a minute each emulated: the paths are the same sources'
@pytest.mark.parametrize("folder", ["\u65e5\u672c", "\u03a9mega"], ids=["none", "look-alike"])
def test_install_from_a_folder_the_ansi_code_page_cannot_name_writes_nothing(wine, folder):
    wine.install("CORVANE.exe", folder)
    status, out, _ = wine.run("CORVANE.exe", "-install", cwd=wine.drive_c / folder)
    left = state(wine), wine.registry(EVENT_SOURCE_KEY)
    wine.run("sc", "delete", SERVICE)  # before the verdict, so no later test is spoilt
    wine.run("reg", "delete", EVENT_SOURCE_KEY, "/f")
    assert (status, out[:28], left) == (1, b"Unable to install Corvane - ", (None, None)), out


# (row, its text): the catalogue's texts with what the service inserts, and a system text.
RENDERED = [
    ([f"{LOG:08X}", "[abc\r]"], b"Corvane Log: [abc\r] "),
    ([f"{STARTING:08X}", "Version 1.01"],
     b"Corvane Service is starting. Version 1.01 Copyright (c) 2026 the Corvane developers. "
     b"Read more in the README that comes with Corvane."),
    ([f"{STARTED:08X}", "'Listening' on port 514, protocol UDP\n"],
     b"Corvane Service Started Successfully.\r\n"),
    (["00020002"], b"Corvane Service Stopped Successfully"),
    ([f"{ERROR:08X}", "recv() failed: error 10040\n", "-"],
     b"Corvane Error recv() failed: error 10040\n - "),
    ([f"{LOST:08X}", "Lost since the last report: 1 too long."],
     b"Corvane Warning Lost since the last report: 1 too long. "),
    # 193 reads "Bad EXE format for %1.": with nothing to insert, none is looked for.
    (["-", "193"], b"Bad EXE format for %1. (0xc1)"),
]


def test_catalogue_and_system_texts_render_as_shown(wine):
    # A viewer of the executable's own width: 32-bit insertion pointers for the release.
    helper, catalogue = (wine.install(name, "render") for name in (
        "tests/windows/render_message.exe", "CORVANE.exe"))
    rows = [arg for row, _ in RENDERED for arg in ("--", *row)][1:]
    status, out, _ = wine.run(helper, catalogue, *rows)
    assert (status, re.findall(rb">>(.*?)<<\n", out, re.S)) == (0, [text for _, text in RENDERED])

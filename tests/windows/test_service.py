"""CORVANE.exe end to end under Wine's own service manager, registry and sockets.

The tests follow one service's life and run in file order: install, start, datagrams,
controls, stop, start again, remove; then console starts of an executable no longer
installed, and removals that meet a service refusing the stop. Events come from the
stubbed event log's trace lines, status records from the manager's SetServiceStatus
trace."""
import re
import shutil
import socket
import time

import pytest

SERVICE = "Corvane"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Corvane"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Corvane"
FOLDER = "Program Files/Corvane"  # a blank in the path, as on most machines
EXECUTABLE = r"C:\Program Files\Corvane\CORVANE.exe"
STARTED, LOG_LINE, STARTING, ERROR = 0x00020001, 0x40020003, 0x40020004, 0xC0020005
ERROR_TYPE, INFORMATION_TYPE = 1, 4
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
EVENT_WAIT = 20  # seconds; a report takes milliseconds
STOP_WAIT = 5  # a stop ends a waiting receive at once, not after a poll

# (state, controls accepted, exit code, check point, wait hint), service type 0x10.
START_SEQUENCE = [(START_PENDING, 0, 0, cp, 3000) for cp in range(1, 6)] + [(RUNNING, 1, 0, 0, 0)]
STOP_SEQUENCE = [(STOP_PENDING, 1, 0, 6, 0), (STOPPED, 1, 0, 0, 0)]
USAGE_AND_DISPATCHER = (
    b"CORVANE -install          to install the service\r\n"
    b"CORVANE -remove           to remove the service\r\n"
    b"CORVANE -version          to display the version number\r\n"
    b"\r\nStartServiceCtrlDispatcher being called.\r\n"
    b"This may take several seconds.  Please wait.\r\n")


@pytest.fixture(scope="module")
def session(wine, executables):
    wine.install("CORVANE", FOLDER)
    # What an unquoted image path would start instead, as LocalSystem: a program that is
    # no service, so that the service would never run.
    shutil.copy(executables["render_message"], wine.drive_c / "Program.exe")
    return wine


def corvane(session, *args, cwd=None):
    return session.run(EXECUTABLE, *args, cwd=cwd or session.drive_c / FOLDER)


def control(session, *actions):
    """The manager's answers to `service_control` actions, one line each."""
    status, out, _ = session.run(session.install("service_control", "tools"), SERVICE, *actions)
    assert status == 0, out
    return out.decode().splitlines()


def state(session):
    """(state, Win32 exit code) as `sc query` shows it; None for an unknown service."""
    fields = session.query("sc", "query", SERVICE)
    return fields and (int(fields["STATE"]), int(fields["WIN32_EXIT_CODE"]))


def wait_for_events(session, mark, ids, count, pid=None):
    """The first `count` events since `mark` with one of `ids` (of process `pid`)."""
    def probe():
        found = [e for e in session.events(session.trace(mark))
                 if e.id in ids and pid in (None, e.pid)]
        return found[:count] if len(found) >= count else None
    found = session.wait_for(probe, EVENT_WAIT)
    assert found, f"no {count} events {ids} within {EVENT_WAIT} s"
    return found


def start(session, *command):
    """Starts the service; its starting event, whose process ID names this run."""
    mark = session.mark()
    assert session.run(*command)[0] == 0
    assert session.wait_for(lambda: state(session) == (RUNNING, 0), EVENT_WAIT)
    [starting] = wait_for_events(session, mark, (STARTING,), 1)
    assert session.statuses(mark, starting.pid) == START_SEQUENCE
    return mark, starting


def test_install_from_another_folder_records_the_executable(session):
    # Installed from C:\, the message file is still the executable itself.
    assert corvane(session, "-install", cwd=session.drive_c)[:2] == (0, b"Corvane installed.\r\n")
    service = session.query("reg", "query", SERVICE_KEY)
    # Own process, demand start, normal error control; the path quoted, as a command line.
    assert [service.get(n) for n in ("Type", "Start", "ErrorControl", "ImagePath")] == [
        ("REG_DWORD", "0x10"), ("REG_DWORD", "0x3"), ("REG_DWORD", "0x1"),
        ("REG_SZ", f'"{EXECUTABLE}"')]
    assert session.query("reg", "query", EVENT_SOURCE_KEY) == {
        "EventMessageFile": ("REG_EXPAND_SZ", EXECUTABLE), "TypesSupported": ("REG_DWORD", "0x7")}
    assert state(session)[0] == STOPPED


@pytest.fixture(scope="module")
def first_run(session):
    return start(session, "net", "start", SERVICE)


def test_start_events(session, first_run):
    mark, starting = first_run
    events = wait_for_events(session, mark, (STARTING, STARTED), 2, starting.pid)
    assert [(e.type, e.category, e.id, e.strings) for e in events] == [
        (INFORMATION_TYPE, 0, STARTING, ("Version 1.01",)),
        (INFORMATION_TYPE, 0, STARTED, ("'Listening' on port 514, protocol UDP\n",))]


def test_datagrams_become_events(session, first_run):
    # Over-long ones, and the loss report they bring at the stop: test_text.py.
    _, starting = first_run
    mark = session.mark()
    sent = [(b"abc\n", "[abc]"), (b"abc\r\n", "[abc\r]"), (b"ab\0cd", "[ab]"),
            (b"%1 %2 %%1", "[%1 %2 %%1]"), (b"x" * 256, "[" + "x" * 256 + "]"),
            (b"still here\n", "[still here]")]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for payload, _ in sent:
            sender.sendto(payload, ("127.0.0.1", 514))
    events = wait_for_events(session, mark, (LOG_LINE, ERROR), len(sent), starting.pid)
    assert [(e.type, e.category, e.id, e.strings) for e in events] == [
        (INFORMATION_TYPE, 0, LOG_LINE, (text,)) for _, text in sent]
    # An interrogation while running.
    assert state(session) == (RUNNING, 0)


def test_controls_while_running_are_answered_by_the_service_itself(session, first_run):
    _, starting = first_run
    mark = session.mark()
    # An interrogation and a control the service does not know: a fresh running report each.
    assert control(session, 4, 128) == ["4 ok 4 0", "128 ok 4 0"]
    assert session.statuses(mark, starting.pid) == [(RUNNING, 1, 0, 0, 0)] * 2


def test_ten_thousand_datagrams_each_become_their_own_event_in_order(session, first_run):
    _, starting = first_run
    count, window = 10_000, 200  # a window stays well inside the socket's receive buffer
    began = time.monotonic()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for first in range(0, count, window):
            mark, numbers = session.mark(), range(first, min(first + window, count))
            for number in numbers:
                sender.sendto(b"#%05d\n" % number, ("127.0.0.1", 514))
            events = wait_for_events(session, mark, (LOG_LINE, ERROR), len(numbers), starting.pid)
            assert [(e.id, e.strings) for e in events] == [
                (LOG_LINE, (f"[#{number:05d}]",)) for number in numbers], first
    print(f"{count} datagrams in {time.monotonic() - began:.1f} s")
    assert state(session) == (RUNNING, 0)


def test_stop_while_idle_ends_at_once_with_exit_code_0(session, first_run):
    _, starting = first_run
    mark = session.mark()
    assert session.run("sc", "stop", SERVICE)[0] == 0
    assert session.wait_for(lambda: state(session) == (STOPPED, 0), STOP_WAIT)
    assert session.statuses(mark, starting.pid) == STOP_SEQUENCE
    # Nothing is reported for the stop itself.
    assert [e for e in session.events(session.trace(mark)) if e.pid == starting.pid] == []


def test_stop_while_starting_is_held_off_until_the_service_runs(session):
    mark = session.mark()
    started, stop = control(session, "start", 1)
    assert started == "start ok"
    # Refused while no report accepts it; a start that outran the request takes it. The
    # manager answers with the state it has when the handler returns: stop pending, or
    # already stopped when the service thread was quicker.
    taken = ("1 ok 3 6", "1 ok 1 0")
    if stop not in taken:
        assert stop in ("1 failed 1052", "1 failed 1061")
        assert session.wait_for(lambda: state(session) == (RUNNING, 0), EVENT_WAIT)
        [stop] = control(session, 1)
        assert stop in taken
    assert session.wait_for(lambda: state(session) == (STOPPED, 0), STOP_WAIT)
    [starting] = wait_for_events(session, mark, (STARTING,), 1)
    assert session.statuses(mark, starting.pid) == START_SEQUENCE + STOP_SEQUENCE


def test_remove_stops_the_running_service_and_removes_it(session):
    mark, starting = start(session, "sc", "start", SERVICE)
    status, out, _ = corvane(session, "-remove")
    # A dot a second while the service is stop pending; this one stops within one.
    assert status == 0 and re.fullmatch(
        rb"Stopping Corvane\.\.?\r\nCorvane stopped\.\r\nCorvane removed\.\r\n", out), out
    assert session.statuses(mark, starting.pid)[-2:] == STOP_SEQUENCE
    assert state(session) is None
    assert session.query("reg", "query", EVENT_SOURCE_KEY) is None


def test_remove_when_not_installed_fails_with_the_system_text(session):
    status, out, _ = corvane(session, "-remove")
    assert status == 1
    assert out.startswith(b"OpenService failed - ") and out.endswith(b". (0x424)\r\n")


def test_console_start_prints_usage_and_logs_the_dispatcher_failure(session):
    status, out, err = corvane(session)
    assert (status, out) == (1, USAGE_AND_DISPATCHER)
    assert [e[1:] for e in session.events(err.decode("latin-1"))] == [
        (ERROR_TYPE, 0, 0, ("Corvane error: 1063", "StartServiceCtrlDispatcher failed."))]


def test_version_banner_only(session):
    status, out, err = corvane(session, "-version")
    assert (status, out) == (0, b"Corvane Server service, version 1.01\r\n"
                                b"Copyright (c) 2026 the Corvane developers.\r\n"
                                b"Read more in the README that comes with Corvane.\r\n")
    assert session.events(err.decode("latin-1")) == []


def test_failure_lines_keep_a_system_text_with_an_insertion_point_as_it_stands(session):
    # 193 reads "Bad EXE format for %1.": with nothing to insert, the system must not go
    # looking for an argument.
    status, out, _ = session.run(session.install("system_text", "tools"), 193, 5)
    assert (status, out) == (0, b">>Bad EXE format for %1. (0xc1)<<\r\n"
                                b">>Access denied. (0x5)<<\r\n")


@pytest.mark.parametrize("folder", [
    "\u65e5\u672c",  # no ANSI character at all: the system's path says "??"
    "\u03a9mega",  # Omega has a look-alike: the system's path names another folder
], ids=["no-ansi", "look-alike"])
def test_install_from_a_folder_the_ansi_code_page_cannot_name_writes_nothing(session, folder):
    session.install("CORVANE", folder)
    status, out, _ = session.run("CORVANE.exe", "-install", cwd=session.drive_c / folder)
    left = state(session), session.query("reg", "query", EVENT_SOURCE_KEY)
    # Cleared before the verdict, so that a wrong install spoils no later test.
    session.run("sc", "delete", SERVICE)
    session.run("reg", "delete", EVENT_SOURCE_KEY, "/f")
    assert status == 1 and out.startswith(b"Unable to install Corvane - "), out
    assert left == (None, None)


# A service that is starting for 3 s and then takes a stop; one that runs and refuses it.
@pytest.mark.parametrize("start_ms, accepts_stop, status, out, removed", [
    (3000, 1, 0, rb"Stopping Corvane\.+\r\nCorvane stopped\.\r\nCorvane removed\.\r\n", True),
    (0, 0, 1, rb"ControlService failed - .+ \(0x41c\)\r\n", False),
], ids=["starting", "refusing"])
def test_remove_never_deletes_a_service_it_did_not_stop(session, start_ms, accepts_stop, status,
                                                        out, removed):
    command = f'{session.install("slow_service", "tools")} {start_ms} {accepts_stop}'
    assert session.run("sc", "create", SERVICE, "binpath=", command)[0] == 0
    assert session.run("reg", "add", EVENT_SOURCE_KEY, "/f")[0] == 0
    assert session.run("sc", "start", SERVICE)[0] == 0
    result = corvane(session, "-remove")
    left = state(session), session.query("reg", "query", EVENT_SOURCE_KEY) is not None
    # Whatever is left goes before the verdict, so that a wrong removal spoils no later
    # case.
    session.wait_for(lambda: (state(session) or (0,))[0] != START_PENDING, EVENT_WAIT)
    if state(session) is not None:
        control(session, 1 if accepts_stop else 128)  # 128 ends the one that refuses a stop
    session.run("sc", "delete", SERVICE)
    session.wait_for(lambda: state(session) is None, EVENT_WAIT)
    assert result[0] == status and re.fullmatch(out, result[1]), result[1]
    assert left == ((None, False) if removed else ((RUNNING, 0), True))

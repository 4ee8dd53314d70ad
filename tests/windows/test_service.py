"""CORVANE.exe end to end under Wine's own service manager, registry and sockets.

The tests follow one service's life and run in file order: install, start, datagrams,
query, stop, start again, remove; then the console starts of an executable that is no
longer installed. Events are read from the stubbed event log's trace lines, status
reports from sechost's SetServiceStatus trace."""
import shutil
import socket

import pytest

import wine
import winetrace

SERVICE = "Corvane"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Corvane"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Corvane"
EXECUTABLE = r"C:\corvane\CORVANE.exe"

MSG_SERVICE_STARTED = 0x00020001
MSG_LOG_LINE = 0x40020003
MSG_SERVICE_STARTING = 0x40020004
MSG_SERVICE_ERROR = 0xC0020005
ERROR_TYPE, INFORMATION_TYPE = 1, 4
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4

EVENT_WAIT = 20  # seconds; a report takes milliseconds
STOP_WAIT = 5  # a stop must end a waiting receive at once, not after a poll

# Service type 0x10 throughout; (state, controls accepted, exit code, check point, hint).
START_SEQUENCE = [
    (START_PENDING, 0, 0, 1, 3000),
    (START_PENDING, 0, 0, 2, 3000),
    (START_PENDING, 0, 0, 3, 3000),
    (START_PENDING, 0, 0, 4, 3000),
    (START_PENDING, 0, 0, 5, 3000),
    (RUNNING, 1, 0, 0, 0),
]
STOP_SEQUENCE = [
    (STOP_PENDING, 1, 0, 6, 0),
    (STOPPED, 1, 0, 0, 0),
]

USAGE_AND_DISPATCHER = (
    b"CORVANE -install          to install the service\r\n"
    b"CORVANE -remove           to remove the service\r\n"
    b"CORVANE -version          to display the version number\r\n"
    b"\r\n"
    b"StartServiceCtrlDispatcher being called.\r\n"
    b"This may take several seconds.  Please wait.\r\n")


@pytest.fixture(scope="module")
def session(wine_session, executables):
    folder = wine.drive_c(wine_session) / "corvane"
    folder.mkdir()
    shutil.copy(executables["x86_64"], folder / "CORVANE.exe")
    return wine_session


def corvane(session, *args, cwd=None):
    return wine.run(session, EXECUTABLE, *args, cwd=cwd or wine.drive_c(session) / "corvane")


def events_since(session, mark):
    return winetrace.events(wine.read_trace(session, mark))


def wait_for_event(session, mark, event_id, strings=None):
    def probe():
        return [e for e in events_since(session, mark)
                if e.event_id == event_id and (strings is None or e.strings == strings)]
    found = wine.wait_for(probe, EVENT_WAIT)
    assert found, f"no event {event_id:#010x} {strings!r} within {EVENT_WAIT} s"
    return found[0]


def wait_for_state(session, state, timeout):
    return wine.wait_for(
        lambda: (s := wine.service_state(session, SERVICE)) and s[0] == state and s, timeout)


def send(payload):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.sendto(payload, ("127.0.0.1", 514))


def status_records(session, mark, pid):
    return [(s.state, s.controls_accepted, s.exit_code, s.check_point, s.wait_hint)
            for s in winetrace.statuses(wine.read_trace(session, mark), pid)
            if s.service_type == 0x10]


def start_service(session, command):
    """Starts the service; its start event, whose process ID names this run."""
    mark = wine.trace_size(session)
    result = wine.run(session, *command)
    assert result.returncode == 0, result.stdout
    assert wait_for_state(session, RUNNING, EVENT_WAIT), "the service did not reach running"
    return mark, wait_for_event(session, mark, MSG_SERVICE_STARTING)


def test_install_from_another_folder_records_the_executable(session):
    # Installed from C:\, the message file is still the executable itself.
    result = corvane(session, "-install", cwd=wine.drive_c(session))
    assert (result.returncode, result.stdout) == (0, b"Corvane installed.\r\n")
    service = wine.registry_values(session, SERVICE_KEY)
    assert {name: service.get(name) for name in ("Type", "Start", "ErrorControl", "ImagePath")} == {
        "Type": ("REG_DWORD", "0x10"),  # own process
        "Start": ("REG_DWORD", "0x3"),  # demand start
        "ErrorControl": ("REG_DWORD", "0x1"),  # normal
        "ImagePath": ("REG_SZ", EXECUTABLE),
    }
    assert wine.registry_values(session, EVENT_SOURCE_KEY) == {
        "EventMessageFile": ("REG_EXPAND_SZ", EXECUTABLE),
        "TypesSupported": ("REG_DWORD", "0x7"),
    }
    assert wine.service_state(session, SERVICE)[0] == STOPPED


def test_second_install_fails_and_leaves_the_key(session):
    result = corvane(session, "-install", cwd=wine.drive_c(session))
    assert result.returncode == 1
    assert result.stdout.startswith(b"CreateService failed - ")
    assert result.stdout.endswith(b". (0x431)\r\n")  # ERROR_SERVICE_EXISTS, system text
    assert wine.registry_values(session, EVENT_SOURCE_KEY)["EventMessageFile"] == (
        "REG_EXPAND_SZ", EXECUTABLE)


@pytest.fixture(scope="module")
def first_run(session):
    return start_service(session, ["net", "start", SERVICE])


def test_start_events(session, first_run):
    mark, starting = first_run
    assert (starting.type, starting.category, starting.strings) == (
        INFORMATION_TYPE, 0, ("Version 1.01",))
    started = wait_for_event(session, mark, MSG_SERVICE_STARTED)
    assert (started.pid, started.type, started.category, started.strings) == (
        starting.pid, INFORMATION_TYPE, 0, ("'Listening' on port 514, protocol UDP\n",))


def test_start_reports_check_points_to_the_manager(session, first_run):
    mark, starting = first_run
    assert status_records(session, mark, starting.pid) == START_SEQUENCE


@pytest.mark.parametrize("payload, text", [
    (b"abc\n", "[abc]"),
    (b"abc\r\n", "[abc\r]"),
    (b"abc\n\n", "[abc\n]"),
    (b"", "[]"),
    (b"ab\0cd", "[ab]"),
    (b"%1 %2 %%1", "[%1 %2 %%1]"),
    (b"<13>Dec  6 19:52:01 router sshd[42]: accepted", "[<13>Dec  6 19:52:01 router sshd[42]: accepted]"),
])
def test_datagram_becomes_log_line_event(session, first_run, payload, text):
    _, starting = first_run
    mark = wine.trace_size(session)
    send(payload)
    event = wait_for_event(session, mark, MSG_LOG_LINE)
    assert (event.pid, event.type, event.category, event.strings) == (
        starting.pid, INFORMATION_TYPE, 0, (text,))


def test_over_long_datagram_is_reported_and_reception_goes_on(session, first_run):
    _, starting = first_run
    mark = wine.trace_size(session)
    send(b"x" * 257)
    send(b"still here\n")
    error = wait_for_event(session, mark, MSG_SERVICE_ERROR)
    assert (error.pid, error.type, error.category, error.strings) == (
        starting.pid, ERROR_TYPE, 0, ("recv() failed: error 10040\n",))
    wait_for_event(session, mark, MSG_LOG_LINE, ("[still here]",))
    assert wine.service_state(session, SERVICE) == (RUNNING, 0)


def test_query_while_running(session, first_run):
    result = wine.run(session, "sc", "query", SERVICE)
    assert result.returncode == 0
    assert b"RUNNING" in result.stdout
    assert wine.service_state(session, SERVICE) == (RUNNING, 0)


def test_stop_while_idle_ends_at_once_with_exit_code_0(session, first_run):
    mark, starting = first_run
    stop_mark = wine.trace_size(session)
    result = wine.run(session, "sc", "stop", SERVICE)
    assert result.returncode == 0
    assert wait_for_state(session, STOPPED, STOP_WAIT) == (STOPPED, 0)
    assert status_records(session, stop_mark, starting.pid) == STOP_SEQUENCE
    # Nothing is reported for the stop itself.
    assert [e for e in events_since(session, stop_mark) if e.pid == starting.pid] == []


def test_remove_stops_the_running_service_and_removes_it(session):
    mark, starting = start_service(session, ["sc", "start", SERVICE])
    assert status_records(session, mark, starting.pid) == START_SEQUENCE
    result = corvane(session, "-remove")
    assert result.returncode == 0
    # A dot a second while the service is stop pending; this one stops within one.
    assert result.stdout in (
        b"Stopping Corvane.\r\nCorvane stopped.\r\nCorvane removed.\r\n",
        b"Stopping Corvane..\r\nCorvane stopped.\r\nCorvane removed.\r\n")
    assert status_records(session, mark, starting.pid)[-2:] == STOP_SEQUENCE
    assert wine.service_state(session, SERVICE) is None
    assert wine.registry_values(session, EVENT_SOURCE_KEY) is None


def test_remove_when_not_installed(session):
    result = corvane(session, "-remove")
    assert result.returncode == 1
    assert result.stdout.startswith(b"OpenService failed - ")
    assert result.stdout.endswith(b". (0x424)\r\n")  # ERROR_SERVICE_DOES_NOT_EXIST


@pytest.mark.parametrize("args", [[], ["-bogus"], ["--install"], ["install"], ["-instal"]])
def test_console_start_prints_usage_and_logs_the_dispatcher_failure(session, args):
    result = corvane(session, *args)
    assert (result.returncode, result.stdout) == (1, USAGE_AND_DISPATCHER)
    [failure] = winetrace.events(result.stderr.decode("latin-1"))
    assert (failure.type, failure.category, failure.event_id, failure.strings) == (
        ERROR_TYPE, 0, 0, ("Corvane error: 1063", "StartServiceCtrlDispatcher failed."))


@pytest.mark.parametrize("option", ["-version", "/VERSION", "-Version"])
def test_version_banner(session, option):
    result = corvane(session, option, "ignored")
    assert (result.returncode, result.stdout) == (0, (
        b"Corvane Server service, version 1.01\r\n"
        b"Copyright (c) 2026 the Corvane developers.\r\n"
        b"Read more in the README that comes with Corvane.\r\n"))
    assert winetrace.events(result.stderr.decode("latin-1")) == []

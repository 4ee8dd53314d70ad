"""Harness for the tests of the real Linux binary.

Every test runs in a mount and network namespace of its own, entered by this pytest
process itself (and so inherited by everything it starts): loopback up, a fresh tmpfs
over /run, /etc/systemd/system and /var/log/journal, and a throw-away overlay over /etc.
The collector then binds the real UDP port 514 and writes its real paths without
touching the host. After the test the process goes back to the host's namespaces and
the sandbox vanishes with the last process in it.

A test plays the journal (a datagram socket at /run/systemd/journal/socket speaking the
native protocol) and the service manager (a NOTIFY_SOCKET), or runs the real
systemd-journald.
"""

import ctypes
import fcntl
import os
import select
import signal
import socket
import struct
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TEST_TIMEOUT_S = 60
WAIT_S = 5

JOURNAL_SOCKET = "/run/systemd/journal/socket"
NOTIFY_SOCKET = "/run/test-manager/notify"
STATUS_FILE = Path("/run/Corvane/status")
UNIT_FILE = Path("/etc/systemd/system/Corvane.service")
KEY_FILE = Path("/etc/corvane/registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet"
                "/Services/EventLog/Application/Corvane")


def _find_binary():
    if "CORVANE_BINARY" in os.environ:
        return Path(os.environ["CORVANE_BINARY"]).resolve()
    if (ROOT / "build/systest/corvane").is_file():
        return ROOT / "build/systest/corvane"
    pytest.fail("no corvane binary: build it with tests/system/run.sh or set CORVANE_BINARY")


# --- namespaces ------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_char_p]
CLONE_NEWNS, CLONE_NEWNET = 0x00020000, 0x40000000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1


def _checked(result):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))


def _mount(source, target, fstype=None, flags=0, data=None):
    encode = lambda text: text.encode() if text is not None else None  # noqa: E731
    _checked(_libc.mount(encode(source), encode(target), encode(fstype), flags, encode(data)))


def _bring_up(interface):
    layout = "16sH14x"  # struct ifreq: the name, then the flags
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        request = struct.pack(layout, interface.encode(), 0)
        flags = struct.unpack(layout, fcntl.ioctl(sock, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack(layout, interface.encode(), flags | IFF_UP))


def _enter_sandbox():
    _checked(_libc.unshare(CLONE_NEWNS | CLONE_NEWNET))
    _mount("none", "/", flags=MS_REC | MS_PRIVATE)  # nothing we mount leaks to the host
    _mount("tmpfs", "/run", "tmpfs", data="mode=0755")
    os.makedirs("/run/.etc/upper")
    os.makedirs("/run/.etc/work")
    _mount("overlay", "/etc", "overlay",
           data="lowerdir=/etc,upperdir=/run/.etc/upper,workdir=/run/.etc/work")
    for path in ("/etc/systemd/system", "/var/log/journal"):
        if os.path.isdir(path):
            _mount("tmpfs", path, "tmpfs", data="mode=0755")
    os.makedirs("/run/systemd/journal")
    os.makedirs(os.path.dirname(NOTIFY_SOCKET))
    _bring_up("lo")
    # The stubs read only when a test asks; let the binary's reports queue meanwhile.
    Path("/proc/sys/net/unix/max_dgram_qlen").write_text("512")


class Processes:
    """Every process a test starts, ended by its own id when the test is over."""

    def __init__(self):
        self.started = []

    def start(self, args, **options):
        process = subprocess.Popen([str(arg) for arg in args], **options)
        self.started.append(process)
        return process

    def end_all(self):
        for process in reversed(self.started):
            if process.poll() is None:
                process.kill()
            try:
                process.wait(timeout=WAIT_S)
            except subprocess.TimeoutExpired:
                pass


def _on_alarm(signum, frame):
    raise TimeoutError(f"test still running after {TEST_TIMEOUT_S} s")


@pytest.fixture(autouse=True)
def sandbox():
    host = [(os.open(f"/proc/self/ns/{name}", os.O_RDONLY), kind)
            for name, kind in (("mnt", CLONE_NEWNS), ("net", CLONE_NEWNET))]
    cwd = os.getcwd()
    processes = Processes()
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.alarm(TEST_TIMEOUT_S)
    try:
        _enter_sandbox()
        yield processes
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
        processes.end_all()
        for fd, kind in host:
            _checked(_libc.setns(fd, kind))
            os.close(fd)
        os.chdir(cwd)


# --- the journal and the service manager, played by the test --------------------------

def parse_journal_entry(data):
    """Native journal protocol: NAME=value lines, or NAME, LF, 64-bit LE length, data, LF."""
    fields, at = [], 0
    while at < len(data):
        end = data.index(b"\n", at)
        line = data[at:end]
        if b"=" in line:
            name, value = line.split(b"=", 1)
            at = end + 1
        else:
            (length,) = struct.unpack_from("<Q", data, end + 1)
            name, value = line, data[end + 9:end + 9 + length]
            assert data[end + 9 + length:end + 10 + length] == b"\n", f"bad binary field {line}"
            at = end + 10 + length
        fields.append((name.decode(), value.decode("utf-8", "surrogateescape")))
    return fields


class DatagramSink:
    """A datagram socket whose messages are read on demand, each wait bounded in time."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(path)
        self.items = []

    def decode(self, data):
        return data

    def _read(self, timeout):
        if not select.select([self.sock], [], [], max(timeout, 0))[0]:
            return False
        data, ancillary, _, _ = self.sock.recvmsg(1 << 20, socket.CMSG_SPACE(16))
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                fd = struct.unpack_from("i", payload)[0]  # a large entry comes as a memfd
                with os.fdopen(fd, "rb") as memfd:
                    memfd.seek(0)
                    data = memfd.read()
        self.items.append(self.decode(data))
        return True

    def wait_until(self, predicate, what, timeout=WAIT_S):
        deadline = time.monotonic() + timeout
        while not predicate(self.items):
            if not self._read(deadline - time.monotonic()) and time.monotonic() >= deadline:
                raise AssertionError(f"timed out waiting for {what}; got {self.items}")
        return self.items

    def wait_count(self, count, timeout=WAIT_S):
        return self.wait_until(lambda items: len(items) >= count, f"{count} messages", timeout)

    def settle(self, quiet=0.3):
        """Everything that arrives until the socket has been quiet for a while."""
        while self._read(quiet):
            pass
        return self.items


class Journal(DatagramSink):
    def __init__(self):
        super().__init__(JOURNAL_SOCKET)

    def decode(self, data):
        fields = parse_journal_entry(data)
        entry = dict(fields)
        assert len(entry) == len(fields), f"repeated field in {fields}"
        return entry


class Manager(DatagramSink):
    def __init__(self):
        super().__init__(NOTIFY_SOCKET)

    def decode(self, data):
        return data.decode().split("\n")

    def wait_state(self, state, timeout=WAIT_S):
        line = f"X_CORVANE_STATE={state}"
        return self.wait_until(lambda reports: any(line in report for report in reports),
                               f"a report of state {state}", timeout)


@pytest.fixture
def journal(sandbox):
    sink = Journal()
    yield sink
    sink.sock.close()


@pytest.fixture
def manager(sandbox):
    sink = Manager()
    yield sink
    sink.sock.close()


# --- the binary ------------------------------------------------------------------------

class Corvane:
    """Runs the binary in the sandbox; standard output goes to a file, read at the end."""

    def __init__(self, processes, directory):
        self.binary = _find_binary()
        self.processes = processes
        self.directory = directory
        self.runs = 0

    def start(self, *args, executable=None, notify_socket=NOTIFY_SOCKET, cwd=None):
        self.runs += 1
        out = self.directory / f"stdout-{self.runs}"
        env = {key: value for key, value in os.environ.items() if key != "NOTIFY_SOCKET"}
        if notify_socket:
            env["NOTIFY_SOCKET"] = notify_socket
        with open(out, "wb") as stdout:
            process = self.processes.start([executable or self.binary, *args], stdout=stdout,
                                           stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                           env=env, cwd=cwd)
        process.stdout_path = out
        return process

    def run(self, *args, timeout=WAIT_S * 2, cwd=None):
        """A console command: its exit status and standard output."""
        process = self.start(*args, notify_socket=None, cwd=cwd)
        process.wait(timeout=timeout)
        return process.returncode, process.stdout_path.read_text()

    @staticmethod
    def finish(process, timeout=WAIT_S):
        process.wait(timeout=timeout)
        return process.returncode, process.stdout_path.read_text()


@pytest.fixture
def corvane(sandbox, tmp_path):
    return Corvane(sandbox, tmp_path)


def send(payload, port=514):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(payload, ("127.0.0.1", port))


# --- what the binary should say --------------------------------------------------------

def report(state, controls, exit_code, check_point, wait_hint, status, *manager_lines):
    return [f"STATUS={status}", *manager_lines, f"X_CORVANE_STATE={state}",
            f"X_CORVANE_CONTROLS={controls}", f"X_CORVANE_EXIT_CODE={exit_code}",
            f"X_CORVANE_CHECKPOINT={check_point}", f"X_CORVANE_WAIT_HINT={wait_hint}"]


START_PENDING = [report(2, 0, 0, n, 3000, f"Start pending (check point {n})",
                        "EXTEND_TIMEOUT_USEC=3000000") for n in range(1, 6)]
RUNNING = report(4, 1, 0, 0, 0, "Running", "READY=1")


def stop_pending(check_point):
    return report(3, 1, 0, check_point, 0, f"Stop pending (check point {check_point})",
                  "STOPPING=1")


def stopped(exit_code):
    return report(1, 1, exit_code, 0, 0, f"Stopped (exit code {exit_code})")


def status_file_of(pid, notify_report):
    """The status file that must stand beside a notify report."""
    record = dict(line.split("=", 1) for line in notify_report if line.startswith("X_CORVANE_"))
    return (f"pid={pid}\nserviceType=16\ncurrentState={record['X_CORVANE_STATE']}\n"
            f"controlsAccepted={record['X_CORVANE_CONTROLS']}\n"
            f"win32ExitCode={record['X_CORVANE_EXIT_CODE']}\nserviceSpecificExitCode=0\n"
            f"checkPoint={record['X_CORVANE_CHECKPOINT']}\n"
            f"waitHint={record['X_CORVANE_WAIT_HINT']}\n")


def wait_status_file(text, timeout=WAIT_S):
    """The status file follows each notify report; wait until it has caught up."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if STATUS_FILE.exists() and STATUS_FILE.read_text() == text:
            return
        time.sleep(0.02)
    assert (STATUS_FILE.read_text() if STATUS_FILE.exists() else None) == text


def event(event_id, event_type, message, *strings):
    """A journal entry as the collector writes it, fields in order."""
    priority = {1: 3, 2: 4, 4: 6}[event_type]
    fields = {"MESSAGE": message, "PRIORITY": str(priority), "SYSLOG_IDENTIFIER": "Corvane",
              "EVENT_ID": f"0x{event_id:08X}", "EVENT_TYPE": str(event_type),
              "EVENT_CATEGORY": "0"}
    fields.update({f"EVENT_STRING_{n}": text for n, text in enumerate(strings, 1)})
    return fields


def catalog_text(symbol):
    """A catalogue entry's text as the message source has it."""
    blocks = (ROOT / "resources/messages.mc").read_text().split("\nMessageId=")
    block = next(b for b in blocks if f"SymbolicName={symbol}\n" in b)
    return block.split("Language=English\n", 1)[1].split("\n.\n", 1)[0]


def log_line(text):
    return event(0x40020003, 4, f"Corvane Log: {text} ", text)


STARTING = event(0x40020004, 4,
                 catalog_text("MSG_SERVICE_STARTING").replace("%1", "Version 1.01").split("%0")[0],
                 "Version 1.01")
LISTENING = event(0x00020001, 4, "Corvane Service Started Successfully.",
                  "'Listening' on port 514, protocol UDP\n")


def socket_error(text):
    return event(0xC0020005, 1, f"Corvane Error {text} %2 ", text)

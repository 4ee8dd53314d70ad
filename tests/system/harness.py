"""The world around the real collector, played by the tests.

A test runs in mount and network namespaces of its own, entered by this process (and so
inherited by all it starts): loopback up, a fresh tmpfs over /run, /etc/systemd/system
and /var/log/journal, a throw-away overlay over /etc. The collector binds the real port
514 and writes its real paths without touching the host; the sandbox vanishes with the
last process in it. The journal and the service manager are datagram sockets read only
while a test waits on them, so a test stalls either one by not waiting.
"""

import contextlib
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

ROOT = Path(__file__).resolve().parents[2]
WAIT_S = 5
JOURNAL_SOCKET = "/run/systemd/journal/socket"
NOTIFY_SOCKET = "/run/test-manager/notify"
STATUS_FILE = Path("/run/Corvane/status")
UNIT_FILE = Path("/etc/systemd/system/Corvane.service")
KEY_FILE = Path("/etc/corvane/registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet"
                "/Services/EventLog/Application/Corvane")

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
NAMESPACES = {"mnt": 0x00020000, "net": 0x40000000}
MS_REC, MS_PRIVATE = 0x4000, 0x40000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1


def _checked(result):
    if result != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))


def _mount(source, target, fstype=None, flags=0, data=None):
    args = [text.encode() if text else None for text in (source, target, fstype)]
    _checked(_libc.mount(*args, flags, data.encode() if data else None))


@contextlib.contextmanager
def sandbox():
    host = {kind: os.open(f"/proc/self/ns/{name}", os.O_RDONLY)
            for name, kind in NAMESPACES.items()}
    cwd = os.getcwd()
    try:
        _enter_sandbox()
        yield
    finally:
        for kind, fd in host.items():
            _checked(_libc.setns(fd, kind))
            os.close(fd)
        os.chdir(cwd)


def _enter_sandbox():
    _checked(_libc.unshare(sum(NAMESPACES.values())))
    _mount("none", "/", flags=MS_REC | MS_PRIVATE)  # nothing we mount leaks to the host
    _mount("tmpfs", "/run", "tmpfs", data="mode=0755")
    for path in ("/run/.etc/upper", "/run/.etc/work", "/run/systemd/journal",
                 os.path.dirname(NOTIFY_SOCKET)):
        os.makedirs(path)
    _mount("overlay", "/etc", "overlay",
           data="lowerdir=/etc,upperdir=/run/.etc/upper,workdir=/run/.etc/work")
    for path in ("/etc/systemd/system", "/var/log/journal"):
        if os.path.isdir(path):
            _mount("tmpfs", path, "tmpfs", data="mode=0755")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        flags = struct.unpack("16sH14x", fcntl.ioctl(sock, SIOCGIFFLAGS,
                                                     struct.pack("16sH14x", b"lo", 0)))[1]
        fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    # Reports queue while a test is not reading; this namespace's own value.
    Path("/proc/sys/net/unix/max_dgram_qlen").write_text("512")


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


class Sink:
    def __init__(self, path, decode):
        self.path, self.decode, self.items = path, decode, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(path)

    def read(self, timeout):
        if not select.select([self.sock], [], [], max(timeout, 0))[0]:
            return False
        self.items.append(self.decode(self.sock.recv(1 << 17)))
        return True

    def wait_until(self, predicate, what, timeout=WAIT_S):
        deadline = time.monotonic() + timeout
        while not predicate(self.items):
            if not self.read(deadline - time.monotonic()) and time.monotonic() >= deadline:
                raise AssertionError(f"timed out waiting for {what}; got {self.items}")
        return self.items

    def wait_count(self, count, timeout=WAIT_S):
        return self.wait_until(lambda items: len(items) >= count, f"{count} messages", timeout)

    def settle(self, quiet=0.3):
        """Everything that arrives until the socket has been quiet for a while."""
        while self.read(quiet):
            pass
        return self.items

    def gone(self):
        self.sock.close()
        os.unlink(self.path)


class Journal(Sink):
    """Entries as lists of (field, value), so that comparing them compares field order."""

    def __init__(self):
        super().__init__(JOURNAL_SOCKET, parse_journal_entry)


class Manager(Sink):
    def __init__(self):
        super().__init__(NOTIFY_SOCKET, lambda data: data.decode().split("\n"))

    def wait_state(self, state, timeout=WAIT_S):
        line = f"X_CORVANE_STATE={state}"
        return self.wait_until(lambda reports: any(line in report for report in reports),
                               f"a report of state {state}", timeout)


def fill(path):
    """Fills a datagram socket's queue so that the next sender waits. Each filler is also
    bounded by its own send buffer: fresh ones follow until one cannot send at all. What
    they sent stays queued after they are closed."""
    sent = None
    while sent != 0:
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as filler:
            filler.setblocking(False)
            sent = 0
            try:
                while True:
                    filler.sendto(b"FILLER=1\n", path)
                    sent += 1
            except BlockingIOError:
                pass


def _die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: nothing reaps orphans


class Processes:
    """What a test starts, output in files, ended by its own id when the test is over."""

    def __init__(self, directory):
        self.directory, self.started = directory, []
        self.binary = Path(os.environ["CORVANE_BINARY"]).resolve()

    def spawn(self, argv, notify_socket=None, cwd=None):
        env = {key: value for key, value in os.environ.items() if key != "NOTIFY_SOCKET"}
        env.update({"NOTIFY_SOCKET": notify_socket} if notify_socket else {})
        name = self.directory / f"process-{len(self.started)}"
        with open(f"{name}.out", "wb") as out, open(f"{name}.err", "wb") as err:
            process = subprocess.Popen([str(arg) for arg in argv], stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, env=env, cwd=cwd,
                                       preexec_fn=_die_with_parent)
        process.output = lambda: Path(f"{name}.out").read_text()
        process.errors = lambda: Path(f"{name}.err").read_text(errors="replace")
        self.started.append(process)
        return process

    def start(self, *args, notify_socket=NOTIFY_SOCKET, wrapper=()):
        """The collector in the foreground, as systemd starts it (Type=notify)."""
        return self.spawn([*wrapper, self.binary, *args], notify_socket)

    def run(self, *args, timeout=WAIT_S * 2, cwd=None):
        """A console command: its exit status and standard output."""
        process = self.spawn([self.binary, *args], cwd=cwd)
        return process.wait(timeout=timeout), process.output()

    def end_all(self):
        for process in reversed(self.started):
            if process.poll() is None:
                process.kill()
            process.wait(timeout=WAIT_S)
        return [p.errors() for p in self.started
                if "Sanitizer" in p.errors() or "runtime error:" in p.errors()]


def send(payload, port=514):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(payload, ("127.0.0.1", port))


def start_running(corvane, manager, journal):
    service = corvane.start()
    manager.wait_state(4)
    journal.wait_count(2)
    return service


def stop(service, stop_signal=signal.SIGTERM):
    service.send_signal(stop_signal)
    return service.wait(timeout=WAIT_S)


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


CLEAN_RUN = START_PENDING + [RUNNING, stop_pending(6), stopped(0)]


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
    return [("MESSAGE", message), ("PRIORITY", str({1: 3, 2: 4, 4: 6}[event_type])),
            ("SYSLOG_IDENTIFIER", "Corvane"), ("EVENT_ID", f"0x{event_id:08X}"),
            ("EVENT_TYPE", str(event_type)), ("EVENT_CATEGORY", "0"),
            *((f"EVENT_STRING_{n}", text) for n, text in enumerate(strings, 1))]


def log_line(text):
    return event(0x40020003, 4, f"Corvane Log: {text} ", text)


def socket_error(text):
    return event(0xC0020005, 1, f"Corvane Error {text} %2 ", text)


def report_failure(code):
    return event(0, 1, "The description for Event ID 0 from source Corvane cannot be found. "
                 "The following information was included with the event:\n"
                 f"Corvane error: {code}\nSetServiceStatus", f"Corvane error: {code}",
                 "SetServiceStatus")


def _catalog_text(symbol):
    blocks = (ROOT / "resources/messages.mc").read_text().split("\nMessageId=")
    block = next(b for b in blocks if f"SymbolicName={symbol}\n" in b)
    return block.split("Language=English\n", 1)[1].split("\n.\n", 1)[0]


STARTING = event(0x40020004, 4, _catalog_text("MSG_SERVICE_STARTING")
                 .replace("%1", "Version 1.01").split("%0")[0], "Version 1.01")
LISTENING = event(0x00020001, 4, "Corvane Service Started Successfully.",
                  "'Listening' on port 514, protocol UDP\n")
OVER_LONG = socket_error("recv() failed: error 10040\n")

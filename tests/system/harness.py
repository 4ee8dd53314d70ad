"""The world around the real collector. Each test has mount and network namespaces of its
own, loopback up, tmpfs over /run, /etc/systemd/system, /var/log/journal and /opt, an overlay
over /etc: the real port 514 and paths, the host untouched. The journal and the service manager
are datagram sockets read only while a test waits on them; not waiting stalls them."""

import contextlib
import ctypes
import fcntl
import functools
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import time
from pathlib import Path

WAIT_S = 5
JOURNAL_SOCKET = "/run/systemd/journal/socket"
NOTIFY_SOCKET = "/run/test-manager/notify"
STATUS_FILE = Path("/run/Corvane/status")
UNIT_FILE = Path("/etc/systemd/system/Corvane.service")
KEY_FILE = Path("/etc/corvane/registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet"
                "/Services/EventLog/Application/Corvane")

_libc = ctypes.CDLL(None, use_errno=True)
NAMESPACES = {"mnt": 0x00020000, "net": 0x40000000}
SIOCSIFFLAGS, IFF_UP, SO_SNDBUFFORCE, PR_SET_PDEATHSIG = 0x8914, 0x1, 32, 1


def _checked(result):
    if result != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))


def _mount(*args):  # in this process's namespace: a child shares it
    subprocess.run(["mount", *args], check=True, timeout=WAIT_S)


@contextlib.contextmanager
def sandbox():
    host = {kind: os.open(f"/proc/self/ns/{name}", os.O_RDONLY)
            for name, kind in NAMESPACES.items()}
    cwd = os.getcwd()
    try:
        _checked(_libc.unshare(sum(NAMESPACES.values())))
        _mount("--make-rprivate", "/")  # nothing we mount leaks to the host
        _mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run")
        for path in ("/run/.etc/upper", "/run/.etc/work", "/run/systemd/journal",
                     os.path.dirname(NOTIFY_SOCKET)):
            os.makedirs(path)
        _mount("-t", "overlay", "overlay", "/etc", "-o",
               "lowerdir=/etc,upperdir=/run/.etc/upper,workdir=/run/.etc/work")
        for path in ("/etc/systemd/system", "/var/log/journal", "/opt"):
            _mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", path)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", IFF_UP))
        # Reports queue while a test is not reading; this namespace's own value.
        Path("/proc/sys/net/unix/max_dgram_qlen").write_text("512")
        yield
    finally:
        for kind, fd in host.items():
            _checked(_libc.setns(fd, kind))
            os.close(fd)
        os.chdir(cwd)


def parse_journal_entry(data):
    """Native journal protocol: NAME=value lines, or NAME, LF, 64-bit LE length, data, LF."""
    fields, at = [], 0
    while at < len(data):
        end = data.index(b"\n", at)
        name, equals, value = data[at:end].partition(b"=")
        at = end + 1
        if not equals:
            (length,) = struct.unpack_from("<Q", data, at)
            value, at = data[at + 8:at + 8 + length], at + 9 + length
            assert data[at - 1:at] == b"\n", f"bad binary field {name}"
        fields.append((name.decode(), value.decode("utf-8", "surrogateescape")))
    return fields


class Sink:
    """A datagram socket in the place of the journal or the manager; what it has read, decoded."""

    def __init__(self, path, decode):
        self.path, self.decode, self.items = path, decode, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)

    def read(self, timeout):
        if not select.select([self.sock], [], [], max(timeout, 0))[0]:
            return False
        self.items.append(self.decode(self.sock.recv(1 << 17)))
        return True

    def wait_until(self, predicate, timeout=WAIT_S):
        deadline = time.monotonic() + timeout
        while not predicate(self.items):
            assert self.read(deadline - time.monotonic()), f"timed out; got {self.items}"
        return self.items

    def wait_count(self, count, timeout=WAIT_S):
        return self.wait_until(lambda items: len(items) >= count, timeout)

    def wait_state(self, state, timeout=WAIT_S):
        line = f"X_CORVANE_STATE={state}"
        return self.wait_until(lambda reports: any(line in report for report in reports), timeout)

    def settle(self, quiet=0.3):
        """Everything that arrives until the socket has been quiet for a while."""
        while self.read(quiet):
            pass
        return self.items

    def gone(self):
        self.sock.close()
        os.unlink(self.path)


class Manager(Sink):
    """The service manager: status reports in `items`, and apart from them, in `texts`, the
    status lines the collector sends alone while it runs."""

    def __init__(self):
        super().__init__(NOTIFY_SOCKET, lambda data: data.decode().split("\n"))
        self.texts = []

    def read(self, timeout):
        if not super().read(timeout):
            return False
        if len(self.items[-1]) == 1 and self.items[-1][0].startswith("STATUS="):
            self.texts.append(self.items.pop()[0].removeprefix("STATUS="))
        return True


# Journal entries as lists of (field, value), so that comparing them compares field order.
Journal = functools.partial(Sink, JOURNAL_SOCKET, parse_journal_entry)


def fill(path):
    """Fills a datagram socket's queue so that the next sender waits; what the filler sent
    stays queued after it is closed. A send buffer of its own no smaller than the queue."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as filler:
        filler.setsockopt(socket.SOL_SOCKET, SO_SNDBUFFORCE, 1 << 24)
        filler.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            while True:
                filler.sendto(b"FILLER=1\n", path)


class Processes:
    """What a test starts, output in files, ended by its own id when the test is over."""

    def __init__(self, directory):
        self.directory, self.started = directory, []
        self.binary = Path(os.environ["CORVANE_BINARY"]).resolve()

    def install_copy(self):
        """Runs the collector from here on as a copy in /opt (the sandbox's own tmpfs): the
        build tree may be anywhere, under /tmp or a home too, where -install refuses."""
        copy = Path("/opt/corvane/corvane")
        copy.parent.mkdir()
        shutil.copyfile(self.binary, copy)
        copy.chmod(0o755)
        self.binary = copy

    def spawn(self, argv, notify_socket=None, cwd=None):
        env = {**os.environ, "NOTIFY_SOCKET": notify_socket} if notify_socket else None
        name = self.directory / f"process-{len(self.started)}"
        # Nothing reaps orphans: whatever a test starts dies with this process at the latest.
        with open(f"{name}.out", "wb") as out, open(f"{name}.err", "wb") as err:
            process = subprocess.Popen(
                [str(arg) for arg in argv], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                env=env, cwd=cwd, preexec_fn=lambda: _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
        process.start_time = start_time(process.pid)  # set at the fork, kept by the exec
        process.output = lambda: Path(f"{name}.out").read_text()
        process.errors = lambda: Path(f"{name}.err").read_text(errors="replace")
        self.started.append(process)
        return process

    def start(self, *args, notify_socket=NOTIFY_SOCKET):
        """The collector in the foreground, as systemd starts it (Type=notify)."""
        return self.spawn([self.binary, *args], notify_socket)

    def run(self, *args, cwd=None):
        process = self.spawn([self.binary, *args], cwd=cwd)
        return process.wait(timeout=WAIT_S * 3), process.output()

    def end_all(self):
        for process in reversed(self.started):
            process.kill()  # a no-op once it has been waited for
            process.wait(timeout=WAIT_S)
        return [p.errors() for p in self.started
                if "Sanitizer" in p.errors() or "runtime error:" in p.errors()]


def exec_path(unit_text):
    """The program path systemd reads from the unit's ExecStart=, by the rules it follows
    for what the unit writer emits: C escapes resolved first, then "%%" as "%"."""
    line = re.search(rb"^ExecStart=(.*)$", unit_text, re.MULTILINE)[1]
    unescaped = re.sub(rb"\\x([0-9a-f]{2})", lambda m: bytes([int(m[1], 16)]), line)
    return unescaped.replace(b"%%", b"%")

def start_journald(processes, manager):
    """The real systemd-journald, kept to the sandbox: no kernel log in or out, entries only
    under the tmpfs /run."""
    conf = Path("/etc/systemd/journald.conf.d")
    conf.mkdir(parents=True, exist_ok=True)
    (conf / "sandbox.conf").write_text("[Journal]\nStorage=volatile\nReadKMSG=no\n")
    journald = processes.spawn(["/lib/systemd/systemd-journald"], manager.path)
    manager.wait_until(lambda reports: any("READY=1" in report for report in reports))
    return journald


def read_journal(count, timeout=10):
    """The collector's entries in the real journal, once there are `count` of them (or all
    there are after `timeout` seconds), as lists of (field, value)."""
    deadline = time.monotonic() + timeout
    while True:
        lines = subprocess.run(["journalctl", "-o", "json", "-t", "Corvane", "--no-pager"],
                               capture_output=True, text=True, timeout=10).stdout.splitlines()
        if len(lines) >= count or time.monotonic() > deadline:
            # Fields with control characters come as arrays of bytes.
            return [[(name, bytes(value).decode() if isinstance(value, list) else value)
                     for name, value in json.loads(line).items()] for line in lines]
        time.sleep(0.1)


def send(payload):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(payload, ("127.0.0.1", 514))


def start_running(corvane, manager, journal):
    service = corvane.start()
    manager.wait_state(4)
    journal.wait_count(2)
    return service


def stop(service):
    service.send_signal(signal.SIGTERM)
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


def start_time(pid):
    """A process's start time in clock ticks after boot: with its ID, what names it."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    return int(stat[stat.rindex(")") + 2:].split()[19])


def status_file_of(process, notify_report):
    """The status file, written before each notify report, that must stand beside it."""
    x = dict(line.removeprefix("X_CORVANE_").split("=", 1) for line in notify_report)
    return (f"pid={process.pid}\nstartTime={process.start_time}\nserviceType=16\n"
            f"currentState={x['STATE']}\n"
            f"controlsAccepted={x['CONTROLS']}\nwin32ExitCode={x['EXIT_CODE']}\n"
            f"serviceSpecificExitCode=0\ncheckPoint={x['CHECKPOINT']}\nwaitHint={x['WAIT_HINT']}\n")


def event(event_id, event_type, message, *strings):
    """A journal entry as the collector writes it, fields in order."""
    return [("MESSAGE", message), ("PRIORITY", str({1: 3, 2: 4, 4: 6}[event_type])),
            ("SYSLOG_IDENTIFIER", "Corvane"), ("EVENT_ID", f"0x{event_id:08X}"),
            ("EVENT_TYPE", str(event_type)), ("EVENT_CATEGORY", "0"),
            *((f"EVENT_STRING_{n}", text) for n, text in enumerate(strings, 1))]


def log_line(text):
    return event(0x40020003, 4, f"Corvane Log: {text} ", text)


def losses(since_last, since_start):
    """The loss report; each argument (too long, dropped by the kernel, not written), with
    unread at stop as well in the report of a stop."""
    def counts(numbers):
        return ("{:,} too long, {:,} dropped by the kernel, {:,} not written"
                + ", {:,} unread at stop" * (len(numbers) - 3)).format(*numbers)
    text = f"Lost since the last report: {counts(since_last)}; since the start: {counts(since_start)}."
    return event(0x80020006, 2, f"Corvane Warning {text} ", text)


def socket_error(text):
    return event(0xC0020005, 1, f"Corvane Error {text} %2 ", text)


def report_failure(code):
    return event(0, 1, "The description for Event ID 0 from source Corvane cannot be found. The "
                 f"following information was included with the event:\nCorvane error: {code}"
                 "\nSetServiceStatus", f"Corvane error: {code}", "SetServiceStatus")


STARTING = event(0x40020004, 4, "Corvane Service is starting. Version 1.01 Copyright (c) 2026 "
                 "the Corvane developers. Read more in the README that comes with Corvane.",
                 "Version 1.01")
LISTENING = event(0x00020001, 4, "Corvane Service Started Successfully.",
                  "'Listening' on port 514, protocol UDP\n")
OVER_LONG = socket_error("recv() failed: error 10040\n")

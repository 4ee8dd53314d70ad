"""Each test in namespaces of its own: the real port 514 and paths on tmpfs, host untouched."""

import contextlib
import ctypes
import fcntl
import functools
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
SENDER_PORT = 50514  # its two bytes differ: a swapped order shows
NOTIFY_SOCKET = "/run/test-manager/notify"
STATUS_FILE = Path("/run/Corvane/status")
UNIT_FILE = Path("/etc/systemd/system/Corvane.service")
KEY_FILE = Path("/etc/corvane/registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet"
                "/Services/EventLog/Application/Corvane")
_libc = ctypes.CDLL(None, use_errno=True)
NAMESPACES = {"mnt": 0x00020000, "net": 0x40000000}


def mount(*args):
    subprocess.run(["mount", *map(str, args)], check=True, timeout=WAIT_S)


@contextlib.contextmanager
def sandbox():
    host = {kind: os.open(f"/proc/self/ns/{ns}", os.O_RDONLY) for ns, kind in NAMESPACES.items()}
    cwd = os.getcwd()
    try:
        assert _libc.unshare(sum(NAMESPACES.values())) == 0, os.strerror(ctypes.get_errno())
        mount("--make-rprivate", "/")  # nothing we mount leaks to the host
        mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run")
        for path in ("/run/.etc/upper", "/run/.etc/work", "/run/systemd/journal",
                     os.path.dirname(NOTIFY_SOCKET)):
            os.makedirs(path)
        mount("-t", "overlay", "overlay", "/etc", "-o",
              "lowerdir=/etc,upperdir=/run/.etc/upper,workdir=/run/.etc/work")
        for path in ("/etc/systemd/system", "/var/log/journal", "/opt"):
            mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", path)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:  # loopback up
            fcntl.ioctl(sock, 0x8914, struct.pack("16sH14x", b"lo", 1))
        Path("/proc/sys/net/unix/max_dgram_qlen").write_text("512")  # room while not read
        # Every sender, ours or a client's, sends from one port that entries can name.
        Path("/proc/sys/net/ipv4/ip_local_port_range").write_text(f"{SENDER_PORT} {SENDER_PORT}")
        yield
    finally:
        for kind, fd in host.items():
            assert _libc.setns(fd, kind) == 0
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
    """The journal (entries as (field, value) lists) or the manager (reports; lone STATUS texts)."""

    def __init__(self, path, decode):
        self.path, self.decode, self.items, self.texts = path, decode, [], []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)

    def read(self, timeout):
        if not select.select([self.sock], [], [], max(timeout, 0))[0]:
            return False
        item = self.decode(self.sock.recv(1 << 17))
        if self.path == NOTIFY_SOCKET and len(item) == 1 and item[0].startswith("STATUS="):
            self.texts.append(item[0].removeprefix("STATUS="))
        else:
            self.items.append(item)
        return True

    def wait_until(self, predicate, timeout=WAIT_S):
        deadline = time.monotonic() + timeout
        while not predicate(self.items):
            assert self.read(deadline - time.monotonic()), f"timed out; got {self.items}"
        return self.items

    def wait_count(self, count, timeout=WAIT_S):
        return self.wait_until(lambda items: len(items) >= count, timeout)

    def wait_state(self, state):
        return self.wait_until(lambda items: any(f"X_CORVANE_STATE={state}" in i for i in items))

    def settle(self):
        while self.read(0.3):
            pass
        return self.items

    def gone(self):
        self.sock.close()
        os.unlink(self.path)


Journal = functools.partial(Sink, "/run/systemd/journal/socket", parse_journal_entry)
Manager = functools.partial(Sink, NOTIFY_SOCKET, lambda data: data.decode().split("\n"))


def fill(path):
    """Fills a datagram socket's queue so that the next sender waits; it stays full."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as filler:
        filler.setsockopt(socket.SOL_SOCKET, 32, 1 << 24)  # SO_SNDBUFFORCE: no smaller than it
        filler.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            while True:
                filler.sendto(b"FILLER=1\n", path)


class Processes:
    """What a test starts, output in files, ended by its own id when the test is over."""

    def __init__(self, directory):
        self.directory, self.started = directory, []
        self.binary = Path(os.environ["CORVANE_BINARY"]).resolve()

    def spawn(self, argv, notify_socket=None, cwd=None):
        env = {**os.environ, "NOTIFY_SOCKET": notify_socket} if notify_socket else None
        name = self.directory / f"process-{len(self.started)}"
        with open(f"{name}.out", "wb") as out, open(f"{name}.err", "wb") as err:
            process = subprocess.Popen(  # nothing reaps orphans: it dies with us at the latest
                [str(arg) for arg in argv], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                env=env, cwd=cwd, preexec_fn=lambda: _libc.prctl(1, signal.SIGKILL))
        stat = Path(f"/proc/{process.pid}/stat").read_text()
        process.start_time = int(stat[stat.rindex(")") + 2:].split()[19])  # with the ID, its name
        process.output = lambda: Path(f"{name}.out").read_text()
        process.errors = lambda: Path(f"{name}.err").read_text(errors="replace")
        self.started.append(process)
        return process

    def start(self, *argv):  # as systemd does, Type=notify; the plain binary unless told
        return self.spawn(argv or [self.binary], NOTIFY_SOCKET)

    def run(self, *args, cwd=None, binary=None):
        process = self.spawn([binary or self.binary, *args], cwd=cwd)
        return process.wait(timeout=WAIT_S * 3), process.output()

    def end_all(self):
        for process in reversed(self.started):
            process.kill()
            process.wait(timeout=WAIT_S)
        return [p.errors() for p in self.started
                if "Sanitizer" in p.errors() or "runtime error:" in p.errors()]


def place(binary, path, file_mode=0o755, dir_mode=0o755, owner=0):
    """A copy of the collector at `path` (bytes, under the sandbox's /opt)."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(binary, path)
    os.chmod(path, file_mode)
    os.chmod(folder, dir_mode)
    os.chown(folder, owner, 0)
    return Path(os.fsdecode(path))


def send(payload):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(payload, ("127.0.0.1", 514))


def start_running(corvane, manager, journal, *argv):
    service = corvane.start(*argv)
    manager.wait_state(4)
    journal.wait_count(2)
    return service


def stop(service):
    service.send_signal(signal.SIGTERM)
    return service.wait(timeout=WAIT_S)


# What the manager is told, by each report's STATUS line; each state's record whole is the
# unit tables' (posix_text_test.cpp), the running one is checked whole once here.
CLEAN_RUN = [*(f"Start pending (check point {n})" for n in range(1, 6)), "Running",
             "Stop pending (check point 6)", "Stopped (exit code 0)"]


def statuses(reports):
    return [report[0].removeprefix("STATUS=") for report in reports]


def status_file_of(process, state=4, code=0):  # as a running or a stopped service writes it
    return (f"pid={process.pid}\nstartTime={process.start_time}\nserviceType=16\n"
            f"currentState={state}\ncontrolsAccepted=1\nwin32ExitCode={code}\n"
            "serviceSpecificExitCode=0\ncheckPoint=0\nwaitHint=0\n")


def event(event_id, event_type, message, *strings):  # its MESSAGE_ID fixed for ever
    return [("MESSAGE", message), ("MESSAGE_ID", f"08a09e4f522d4e03a1077bfe{event_id:08x}"),
            ("PRIORITY", str({1: 3, 2: 4, 4: 6}[event_type])),
            ("SYSLOG_IDENTIFIER", "Corvane"), ("EVENT_ID", f"0x{event_id:08X}"),
            ("EVENT_TYPE", str(event_type)), ("EVENT_CATEGORY", "0"),
            *((f"EVENT_STRING_{n}", text) for n, text in enumerate(strings, 1))]


def log_line(text):
    return event(0x40020003, 4, f"Corvane Log: {text} ", text) + [
        ("SENDER", f"127.0.0.1:{SENDER_PORT}")]


def losses(*counts):  # too long, dropped by the kernel, not written; since the last, the start
    part = "{:,} too long, {:,} dropped by the kernel, {:,} not written, {:,} unread at stop"
    text = f"Lost since the last report: {part}; since the start: {part}.".format(*counts * 2)
    return event(0x80020006, 2, f"Corvane Warning {text} ", text)


def loss_counts(text):  # as losses() writes them: the eight numbers in order
    return [int(n.replace(",", "")) for n in re.findall(r"\d[\d,]*", text)]


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

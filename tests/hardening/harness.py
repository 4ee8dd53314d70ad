"""The world around the collector, played by the hardening tests inside namespace.sh:
the journal (a datagram socket at the journal's path that decodes the native protocol),
the service manager (a NOTIFY_SOCKET) and the network (UDP datagrams to port 514)."""

import ctypes
import os
import select
import signal
import socket
import struct
import subprocess
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
JOURNAL_SOCKET = "/run/systemd/journal/socket"
NOTIFY_SOCKET = "/run/hardening/notify"
STATUS_FILE = Path("/run/Corvane/status")
WAIT_S = 10

MSG_LOG_LINE = "0x40020003"
MSG_SERVICE_STARTED = "0x00020001"
MSG_SERVICE_STARTING = "0x40020004"
MSG_SERVICE_ERROR = "0xC0020005"
FAILURE_EVENT = "0x00000000"

STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4


def binary():
    path = os.environ.get("CORVANE_BINARY")
    if not path:
        raise RuntimeError("CORVANE_BINARY is not set (tests/hardening/run.sh sets it)")
    return Path(path).resolve()


def parse_entry(data):
    """One native-protocol datagram: NAME=value lines, or NAME LF, 64-bit little-endian
    length, the bytes, LF for values that hold a line feed. Values stay bytes."""
    fields, at, size = {}, 0, len(data)
    while at < size:
        end = data.index(b"\n", at)
        equals = data.find(b"=", at, end)
        if equals >= 0:
            fields[data[at:equals].decode()] = data[equals + 1:end]
            at = end + 1
        else:
            (length,) = struct.unpack_from("<Q", data, end + 1)
            start = end + 9
            if data[start + length:start + length + 1] != b"\n":
                raise ValueError(f"binary field {data[at:end]!r} not closed by LF")
            fields[data[at:end].decode()] = data[start:start + length]
            at = start + length + 1
    return fields


def wait_until(predicate, timeout=WAIT_S, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(0.02)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


class _Listener:
    """A datagram socket read by a thread of its own while not paused."""

    def __init__(self, path, parse):
        self.path, self.parse = path, parse
        self.items, self.lock = [], threading.Condition()
        self.paused, self.closing = False, False
        self.io_lock = threading.Lock()
        self._open()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _open(self):
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(self.path)

    def _read(self):
        while not self.closing:
            # Held across select: a socket closed while another thread selects on it
            # lives on in the kernel until the select returns, and takes datagrams.
            with self.io_lock:
                if not self.paused and self.sock is not None:
                    ready, _, _ = select.select([self.sock], [], [], 0.05)
                    if ready:
                        item = self.parse(self.sock.recv(1 << 17))
                        with self.lock:
                            self.items.append(item)
                            self.lock.notify_all()
                        continue
            time.sleep(0.01)

    def pause(self):
        """Stops reading; once this returns, no read is under way."""
        self.paused = True
        with self.io_lock:
            pass

    def resume(self):
        self.paused = False

    def snapshot(self):
        with self.lock:
            return list(self.items)

    def wait_for(self, predicate, timeout=WAIT_S, what="entry"):
        return wait_until(lambda: predicate(self.snapshot()), timeout, what)

    def gone(self):
        """The peer vanishes: socket closed and its path removed."""
        with self.io_lock:
            self.sock.close()
            self.sock = None
            os.unlink(self.path)

    def back(self):
        with self.io_lock:
            self._open()

    def close(self):
        self.closing = True
        self.thread.join(timeout=WAIT_S)
        if self.sock is not None:
            self.sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class FakeJournal(_Listener):
    def __init__(self):
        super().__init__(JOURNAL_SOCKET, parse_entry)

    def events(self, event_id=None):
        return [e for e in self.snapshot()
                if "EVENT_ID" in e and (event_id is None or e["EVENT_ID"] == event_id.encode())]

    def wait_events(self, event_id, count, timeout=WAIT_S):
        return wait_until(lambda: (lambda found: found if len(found) >= count else None)(
            self.events(event_id)), timeout, f"{count} events {event_id}")


def _parse_notify(data):
    return dict(line.split("=", 1) for line in data.decode().split("\n") if line)


class FakeManager(_Listener):
    def __init__(self):
        super().__init__(NOTIFY_SOCKET, _parse_notify)

    def states(self):
        return [(int(r["X_CORVANE_STATE"]), int(r["X_CORVANE_CHECKPOINT"]))
                for r in self.snapshot()]


def _die_with_parent():
    # The collector must not outlive a harness that was killed: nothing here reaps orphans.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Service:
    """The collector in the foreground, as systemd starts it (Type=notify)."""

    def __init__(self, command=None, notify=True, log_dir=Path("/run/hardening")):
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        if notify:
            env["NOTIFY_SOCKET"] = NOTIFY_SOCKET
        self.output = open(log_dir / f"corvane-{time.monotonic_ns()}.out", "w+b")
        self.process = subprocess.Popen(command or [str(binary())], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT,
                                        preexec_fn=_die_with_parent)
        self.pid = self.process.pid

    def signal(self, number):
        if self.process.poll() is None:
            os.kill(self.pid, number)

    def alive(self):
        return self.process.poll() is None

    def wait(self, timeout=WAIT_S):
        return self.process.wait(timeout=timeout)

    def text(self):
        self.output.seek(0)
        return self.output.read().decode(errors="replace")

    def rss_kib(self):
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def end(self):
        """Ends the process if a failed test left it running; only this one process."""
        if self.process.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
            self.process.wait(timeout=WAIT_S)


def status_file():
    fields = {}
    for line in STATUS_FILE.read_text().splitlines():
        name, _, value = line.partition("=")
        fields[name] = int(value)
    return fields


def sender():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect(("127.0.0.1", 514))
    return sock


def expected_text(datagram):
    """The bracketed text of one datagram of at most 256 bytes: one trailing LF dropped,
    cut at the first zero byte."""
    if datagram.endswith(b"\n"):
        datagram = datagram[:-1]
    return b"[" + datagram.split(b"\0", 1)[0] + b"]"

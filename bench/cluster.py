"""The scale-out set-up that the benchmark measures and tests/scaleout checks: collectors
behind a UDP balancer, each shipping its journal to one central store, every machine a set
of private namespaces of its own (network, mount, host name):

    sender 10.0.0.2 --> gateway 10.0.0.1:514 --nftables--> collectorK 10.1.K.2:514
                                                          (journald, Corvane, journal-upload)
                        gateway 10.2.0.1 <---HTTP---------'
                        central 10.2.0.2:19532 (journal-remote)

Each collector has its own /run (so its own journal), machine ID and host name, which its
journald stamps on every entry as _HOSTNAME. The central store writes under a tmpfs of
its own. Everything started here is ended by its own id; the namespaces go with the
processes that hold them."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests/system"))
from harness import Processes  # noqa: E402

SERVICE = "10.0.0.1"  # where the devices send: the balancer's address
CENTRAL = "10.2.0.2"
REMOTE_PORT = 19532
JOURNALD = "/lib/systemd/systemd-journald"
UPLOAD = Path(__file__).resolve().parent.parent / "scripts/journal-upload-resume.sh"
JOURNAL_REMOTE = "/lib/systemd/systemd-journal-remote"
CENTRAL_DIR = "/run/journal-remote"
UPLOAD_STATE = "/run/journal-upload.state"
WAIT_S = 10

# The two ways to spread port 514, {n} collectors at {targets}. With dnat, conntrack pins
# each flow (source address and port) to the collector its first datagram met; the
# stateless rule sends each datagram to the next collector in turn and keeps no state.
BALANCERS = {
    "dnat": """table ip balancer {{
  chain prerouting {{
    type nat hook prerouting priority dstnat;
    ip daddr {service} udp dport 514 dnat to numgen inc mod {n} map {{ {targets} }}
  }}
}}""",
    "stateless": """table ip balancer {{
  chain prerouting {{
    type filter hook prerouting priority raw;
    ip daddr {service} udp dport 514 notrack ip daddr set numgen inc mod {n} map {{ {targets} }}
  }}
}}""",
}

JOURNALD_CONF = ("[Journal]\nStorage=volatile\nRateLimitIntervalSec=0\nReadKMsg=no\n"
                 "ForwardToWall=no\nForwardToSyslog=no\n")


def wait_for(what, predicate, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(0.02)


def socket_queue(pid, port):
    """Bytes queued on the UDP socket bound to `port` in pid's network namespace, or None
    while nothing is bound there."""
    want = f":{port:04X}"
    with open(f"/proc/{pid}/net/udp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(want):
                return int(fields[4].split(":")[1], 16)
    return None


def listening_tcp(pid, port):
    with open(f"/proc/{pid}/net/tcp") as table:
        return any(line.split()[1].endswith(f":{port:04X}") and line.split()[3] == "0A"
                   for line in table.readlines()[1:])


def udp_counters(pid):
    """The kernel's UDP counters of pid's network namespace (NoPorts, RcvbufErrors, ...)."""
    with open(f"/proc/{pid}/net/snmp") as snmp:
        names, values = [line.split()[1:] for line in snmp if line.startswith("Udp:")][:2]
    return dict(zip(names, map(int, values)))


def read_journal(directory, *fields):
    """journalctl -o json lines of the journal files in `directory`, only the fields asked for."""
    return subprocess.run(
        ["journalctl", "-D", str(directory), "-o", "json", "--no-pager",
         "--output-fields=" + ",".join(fields)], stdout=subprocess.PIPE, check=True,
        timeout=120).stdout


class Node:
    """One machine: a process that holds its namespaces, and what runs inside them."""

    def __init__(self, processes, name):
        self.processes, self.name = processes, name
        self.holder = processes.spawn(["unshare", "--net", "--mount", "--uts", "--propagation",
                                       "private", "sleep", "infinity"])
        ours = os.readlink("/proc/self/ns/net")
        wait_for(f"{name}'s namespaces",
                 lambda: os.readlink(f"/proc/{self.holder.pid}/ns/net") != ours)
        self.root = Path(f"/proc/{self.holder.pid}/root")
        self.run(f"hostname {name}; ip link set lo up")

    def enter(self, argv):
        return ["nsenter", "-t", str(self.holder.pid), "-n", "-m", "-u", "--", *argv]

    def run(self, script, stdin=None):
        return subprocess.run(self.enter(["sh", "-euc", script]), input=stdin, text=True,
                              check=True, capture_output=True, timeout=WAIT_S).stdout

    def spawn(self, *argv):
        return self.processes.spawn(self.enter(argv))

    def link(self, gateway, index, address, via):
        """A cable to the gateway: eth0 here, `index` there, /24 networks."""
        gateway.run(f"ip link add to{index} type veth peer name eth0 netns {self.holder.pid}\n"
                    f"ip addr add {via}/24 dev to{index}; ip link set to{index} up")
        self.run(f"ip addr add {address}/24 dev eth0; ip link set eth0 up\n"
                 f"ip route add default via {via}")


class Collector(Node):
    def __init__(self, processes, index):
        super().__init__(processes, f"collector{index}")
        self.index = index
        self.address = f"10.1.{index}.2"
        self.run("mount -t tmpfs -o mode=0755 tmpfs /run\n"
                 "mkdir -p /run/systemd/journal /run/systemd/journald.conf.d\n"
                 f"printf '{JOURNALD_CONF}' > /run/systemd/journald.conf.d/collector.conf\n"
                 f"echo {uuid.uuid4().hex} > /run/machine-id\n"
                 "mount --bind /run/machine-id /etc/machine-id\n"
                 # A systemd host's value: the journal's socket queues this many reports.
                 "echo 512 > /proc/sys/net/unix/max_dgram_qlen")
        self.journald = self.spawn(JOURNALD)
        wait_for("journald", (self.root / "run/systemd/journal/socket").exists)
        self.corvane = self.upload = None

    def start(self):
        self.corvane = self.spawn(self.processes.binary)
        wait_for(f"Corvane on {self.name}", lambda: socket_queue(self.corvane.pid, 514) is not None)
        # Started as the unit starts it, the upload goes on after the last entry it shipped.
        self.upload = self.spawn("env", f"JOURNAL_UPLOAD_STATE={UPLOAD_STATE}", UPLOAD,
                                 f"--url=http://{CENTRAL}:{REMOTE_PORT}")

    def stop(self):
        """Stops Corvane and the upload as their service manager would: SIGTERM."""
        for process in (self.corvane, self.upload):
            process.send_signal(signal.SIGTERM)
        return [process.wait(timeout=WAIT_S) for process in (self.corvane, self.upload)]

    @contextlib.contextmanager
    def drained(self):
        """Port 514 closed to new datagrams (each one counted) and Corvane's queue emptied, so
        that a stop strands nothing in the socket; open again on leaving."""
        self.run("nft -f -", "table ip drain { counter turned_away {}; chain input { type filter "
                 "hook input priority filter; udp dport 514 counter name turned_away drop; }; }")
        try:
            wait_for("an empty queue", lambda: socket_queue(self.corvane.pid, 514) == 0)
            yield
        finally:
            self.run("nft flush chain ip drain input")  # the counter stays

    def turned_away(self):
        """Datagrams dropped while drained, in all."""
        return sum(int(word) for word in re.findall(r"packets (\d+)", self.run("nft list counters")))


class Cluster:
    """N collectors behind the gateway, their journals shipped to the central store."""

    def __init__(self, directory, collectors, balancer):
        self.processes = Processes(directory)  # Corvane is $CORVANE_BINARY
        try:
            self._build(collectors, balancer)
        except BaseException:
            self.processes.end_all()
            raise

    def _build(self, collectors, balancer):
        self.gateway = Node(self.processes, "gateway")
        self.gateway.run("echo 1 > /proc/sys/net/ipv4/ip_forward")
        self.sender = Node(self.processes, "sender")
        self.sender.link(self.gateway, 0, "10.0.0.2", SERVICE)
        self.central = Node(self.processes, "central")
        self.central.link(self.gateway, 1, CENTRAL, "10.2.0.1")
        self.central.run(f"mount -t tmpfs -o mode=0755 tmpfs /run; mkdir {CENTRAL_DIR}")
        self.remote = self.central.spawn(
            JOURNAL_REMOTE, f"--listen-http={CENTRAL}:{REMOTE_PORT}", "--split-mode=none",
            f"--output={CENTRAL_DIR}/all.journal")
        wait_for("journal-remote", lambda: listening_tcp(self.remote.pid, REMOTE_PORT))
        self.collectors = []
        for index in range(1, collectors + 1):
            collector = Collector(self.processes, index)
            collector.link(self.gateway, 10 + index, collector.address, f"10.1.{index}.1")
            collector.start()
            self.collectors.append(collector)
        targets = ", ".join(f"{n} : {c.address}" for n, c in enumerate(self.collectors))
        self.gateway.run("nft -f -", BALANCERS[balancer].format(
            service=SERVICE, n=collectors, targets=targets))

    @property
    def central_journal(self):
        return self.central.root / CENTRAL_DIR.lstrip("/")

    def central_entries(self):
        """Entries the central store holds, from its files' headers: cheap enough to poll."""
        total = 0
        for path in self.central_journal.glob("*.journal"):
            with open(path, "rb") as journal:
                head = journal.read(160)
            if len(head) == 160 and head[:8] == b"LPKSHHRH":
                total += int.from_bytes(head[152:160], "little")
        return total

    def wait_central(self, target, quiet_s=2.0):
        """When the central journal reached `target` entries, or None once it has stood
        still for `quiet_s` short of them."""
        last, since = -1, time.monotonic()
        while True:
            now = self.central_entries()
            if now >= target:
                return time.monotonic()
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since > quiet_s:
                return None
            time.sleep(0.02)

    def read_central(self, *fields):
        return read_journal(self.central_journal, *fields)

    def close(self):
        self.processes.end_all()

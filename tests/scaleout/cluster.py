"""Collectors behind a UDP balancer, each shipping its journal to one central store, every
machine private namespaces of its own (network, mount, host name):
    sender 10.0.0.2 -> gateway 10.0.0.1:514 -nftables-> collectorK 10.1.K.2:514 (journald,
    Corvane, journal-upload) -HTTP-> central 10.2.0.2:19532 (journal-remote)
A collector's own /run, machine ID and host name, which its journald stamps as _HOSTNAME."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "system"))
from harness import Processes  # noqa: E402

SERVICE, CENTRAL, REMOTE_PORT = "10.0.0.1", "10.2.0.2", 19532
UPLOAD = Path(__file__).resolve().parent.parent.parent / "scripts/journal-upload-resume.sh"
# dnat: conntrack pins each flow (source address and port) to the collector its first datagram
# met; stateless: each datagram to the next collector in turn, no state kept.
BALANCERS = {"dnat": "type nat hook prerouting priority dstnat; {match} dnat to",
             "stateless": "type filter hook prerouting priority raw; {match} notrack ip daddr set"}
JOURNALD_CONF = ("[Journal]\nStorage=volatile\nRateLimitIntervalSec=0\nReadKMsg=no\n"
                 "ForwardToWall=no\nForwardToSyslog=no\n")


def wait_for(what, predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


def sockets(pid, kind, port):
    with open(f"/proc/{pid}/net/{kind}") as table:
        return [f for f in map(str.split, table.readlines()[1:]) if f[1].endswith(f":{port:04X}")]


def udp_queue(pid):
    """Bytes queued on port 514 in pid's network namespace, None while nothing is bound."""
    return next((int(f[4].split(":")[1], 16) for f in sockets(pid, "udp", 514)), None)


def udp_counters(pid):
    with open(f"/proc/{pid}/net/snmp") as snmp:
        names, values = [line.split()[1:] for line in snmp if line.startswith("Udp:")][:2]
    return dict(zip(names, map(int, values)))


class Node:
    """One machine: a process that holds its namespaces, and what runs inside them."""

    def __init__(self, processes, name):
        self.processes, self.name = processes, name
        self.holder = processes.spawn(["unshare", "--net", "--mount", "--uts", "--propagation",
                                       "private", "sleep", "infinity"])
        ours = os.readlink("/proc/self/ns/net")
        wait_for(name, lambda: os.readlink(f"/proc/{self.holder.pid}/ns/net") != ours)
        self.root = Path(f"/proc/{self.holder.pid}/root")
        self.run(f"hostname {name}; ip link set lo up")

    def run(self, script, stdin=None):
        return subprocess.run(self.enter("sh", "-euc", script), input=stdin, text=True,
                              check=True, capture_output=True, timeout=10).stdout

    def enter(self, *argv):
        return ["nsenter", "-t", str(self.holder.pid), "-n", "-m", "-u", "--", *argv]

    def spawn(self, *argv):
        return self.processes.spawn(self.enter(*argv))


class Collector(Node):
    def __init__(self, processes, index):
        super().__init__(processes, f"collector{index}")
        self.address = f"10.1.{index}.2"
        self.run("mount -t tmpfs -o mode=0755 tmpfs /run\n"
                 "mkdir -p /run/systemd/journal /run/systemd/journald.conf.d\n"
                 f"printf '{JOURNALD_CONF}' > /run/systemd/journald.conf.d/collector.conf\n"
                 f"echo {uuid.uuid4().hex} > /run/machine-id\n"
                 "mount --bind /run/machine-id /etc/machine-id\n"
                 "echo 512 > /proc/sys/net/unix/max_dgram_qlen")  # a systemd host's value
        self.journald = self.spawn("/lib/systemd/systemd-journald")
        wait_for("journald", (self.root / "run/systemd/journal/socket").exists)

    def start(self):
        self.corvane = self.spawn(self.processes.binary)
        wait_for(f"Corvane on {self.name}", lambda: udp_queue(self.corvane.pid) is not None)
        # Started as its unit starts it: it goes on after the last entry it shipped.
        self.upload = self.spawn("env", "JOURNAL_UPLOAD_STATE=/run/journal-upload.state", UPLOAD,
                                 f"--url=http://{CENTRAL}:{REMOTE_PORT}")

    def stop(self):
        for process in (self.corvane, self.upload):
            process.send_signal(signal.SIGTERM)
        return [process.wait(timeout=10) for process in (self.corvane, self.upload)]

    @contextlib.contextmanager
    def drained(self):
        """Port 514 closed to new datagrams, each counted, and the queue emptied, so that a stop
        strands nothing in the socket."""
        self.run("nft -f -", "table ip drain { counter turned_away {}; chain input { type filter "
                 "hook input priority filter; udp dport 514 counter name turned_away drop; }; }")
        try:
            wait_for("an empty queue", lambda: udp_queue(self.corvane.pid) == 0)
            yield
        finally:
            self.run("nft flush chain ip drain input")  # the counter stays

    def turned_away(self):
        return sum(int(n) for n in re.findall(r"packets (\d+)", self.run("nft list counters")))


class Cluster:
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
        self.sender = self._cable(Node(self.processes, "sender"), 0, "10.0.0.2", SERVICE)
        central = self._cable(Node(self.processes, "central"), 1, CENTRAL, "10.2.0.1")
        central.run("mount -t tmpfs -o mode=0755 tmpfs /run; mkdir /run/journal-remote")
        self.central_journal = central.root / "run/journal-remote"
        remote = central.spawn("/lib/systemd/systemd-journal-remote", "--split-mode=none",
                               f"--listen-http={CENTRAL}:{REMOTE_PORT}",
                               "--output=/run/journal-remote/all.journal")
        wait_for("journal-remote", lambda: any(f[3] == "0A" for f in sockets(remote.pid, "tcp",
                                                                              REMOTE_PORT)))
        self.collectors = [Collector(self.processes, i) for i in range(1, collectors + 1)]
        for i, collector in enumerate(self.collectors, 1):
            self._cable(collector, 10 + i, collector.address, f"10.1.{i}.1").start()
        targets = ", ".join(f"{n} : {c.address}" for n, c in enumerate(self.collectors))
        rule = BALANCERS[balancer].format(match=f"ip daddr {SERVICE} udp dport 514")
        self.gateway.run("nft -f -", f"table ip balancer {{ chain prerouting {{ {rule} numgen inc "
                         f"mod {collectors} map {{ {targets} }}; }}; }}")

    def _cable(self, node, index, address, via):
        """eth0 on the node, to{index} on the gateway, /24 networks."""
        self.gateway.run(f"ip link add to{index} type veth peer name eth0 netns {node.holder.pid}\n"
                         f"ip addr add {via}/24 dev to{index}; ip link set to{index} up")
        node.run(f"ip addr add {address}/24 dev eth0; ip link set eth0 up\n"
                 f"ip route add default via {via}")
        return node

    def central_entries(self):
        """Entries the central store holds, from its files' headers: cheap enough to poll."""
        total = 0
        for path in self.central_journal.glob("*.journal"):
            with open(path, "rb") as journal:
                head = journal.read(160)
            if len(head) == 160 and head[:8] == b"LPKSHHRH":
                total += int.from_bytes(head[152:160], "little")
        return total

    def close(self):
        self.processes.end_all()

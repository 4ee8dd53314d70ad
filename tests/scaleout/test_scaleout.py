"""Each machine private namespaces (network, mount, host name) of its own:
    sender 10.0.0.2 -> gateway 10.0.0.1:514 -nftables-> collectorK 10.1.K.2:514 (journald,
    Corvane, journal-upload) -HTTP-> central 10.2.0.2:19532 (journal-remote)"""

import collections
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "system"))
from harness import Processes, log_line  # noqa: E402

SERVICE, CENTRAL = "10.0.0.1", "10.2.0.2:19532"
UPLOAD = Path(__file__).resolve().parent.parent.parent / "scripts/journal-upload-resume.sh"
# dnat: conntrack pins each flow to one collector; stateless: each datagram to the next one.
BALANCERS = {"dnat": "type nat hook prerouting priority dstnat; {match} dnat to",
             "stateless": "type filter hook prerouting priority raw; {match} notrack ip daddr set"}
TRIAL, COUNT, RATE = 7, 6000, 2000
TOKEN = re.compile(rf"cvb{TRIAL}q(\d{{10}})e")
LOG_LINE, LISTENING, MESSAGES_LOST = "0x40020003", "0x00020001", "0x80020006"
FIELDS = [name for name, _ in log_line("")] + ["_HOSTNAME"]


def wait_for(what, predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


def sockets(pid, kind, port):
    table = Path(f"/proc/{pid}/net/{kind}").read_text().splitlines()[1:]
    return [f for f in map(str.split, table) if f[1].endswith(f":{port:04X}")]


def udp_queue(pid):  # bytes queued on port 514 in pid's network, None while unbound
    return next((int(f[4].split(":")[1], 16) for f in sockets(pid, "udp", 514)), None)


def udp_counters(pid):
    snmp = Path(f"/proc/{pid}/net/snmp").read_text().splitlines()
    names, values = [line.split()[1:] for line in snmp if line.startswith("Udp:")][:2]
    return dict(zip(names, map(int, values)))


def journal(directory):
    return [json.loads(line) for line in subprocess.run(
        ["journalctl", "-D", str(directory), "-o", "json", "--output-fields=" + ",".join(FIELDS)],
        capture_output=True, check=True, timeout=120).stdout.splitlines()]


def sequence(entry):
    return int(TOKEN.search(entry["EVENT_STRING_1"])[1])


def reported_losses(entries):
    """Each run counts from zero; its last report has all its losses, a lost report's too."""
    last, runs = {}, collections.Counter()  # (host, run) to losses; host to runs
    for e in entries:
        runs[host := e.get("_HOSTNAME")] += e.get("EVENT_ID") == LISTENING
        if e.get("EVENT_ID") == MESSAGES_LOST:
            counts = re.findall(r"\d[\d,]*", e["MESSAGE"].split("; since the start: ")[1])
            last[host, runs[host]] = sum(int(n.replace(",", "")) for n in counts)
    return sum(last.values())


class Node:  # a machine: a process that holds its namespaces, and what runs in them
    def __init__(self, processes, name, gateway=None, index=0, address="", via=""):
        self.processes, self.name = processes, name
        self.holder = processes.spawn(["unshare", "--net", "--mount", "--uts", "--propagation",
                                       "private", "sleep", "infinity"])
        ours = os.readlink("/proc/self/ns/net")
        wait_for(name, lambda: os.readlink(f"/proc/{self.holder.pid}/ns/net") != ours)
        self.root = Path(f"/proc/{self.holder.pid}/root")
        self.run(f"hostname {name}; ip link set lo up")
        if gateway:  # a cable: eth0 here, to{index} there
            gateway.run(f"ip link add to{index} type veth peer name eth0 netns {self.holder.pid}\n"
                        f"ip addr add {via}/24 dev to{index}; ip link set to{index} up")
            self.run(f"ip addr add {address}/24 dev eth0; ip link set eth0 up\n"
                     f"ip route add default via {via}")

    def run(self, script, stdin=None):
        return subprocess.run(self.enter("sh", "-euc", script), input=stdin, text=True,
                              check=True, capture_output=True, timeout=10).stdout

    def enter(self, *argv):
        return ["nsenter", "-t", str(self.holder.pid), "-n", "-m", "-u", "--", *argv]

    def spawn(self, *argv):
        return self.processes.spawn(self.enter(*argv))


class Collector(Node):
    def __init__(self, processes, index, gateway):
        super().__init__(processes, f"collector{index}", gateway, 10 + index, f"10.1.{index}.2",
                         f"10.1.{index}.1")
        self.run("mount -t tmpfs -o mode=0755 tmpfs /run\n"
                 "mkdir -p /run/systemd/journal /run/systemd/journald.conf.d\n"
                 "printf '[Journal]\\nStorage=volatile\\nRateLimitIntervalSec=0\\nReadKMsg=no\\n"
                 "ForwardToWall=no\\nForwardToSyslog=no\\n' > /run/systemd/journald.conf.d/c.conf\n"
                 "tr -d - < /proc/sys/kernel/random/uuid > /run/machine-id\n"
                 "mount --bind /run/machine-id /etc/machine-id\n"
                 "echo 512 > /proc/sys/net/unix/max_dgram_qlen")  # a systemd host's value
        self.spawn("/lib/systemd/systemd-journald")
        wait_for("journald", (self.root / "run/systemd/journal/socket").exists)
        self.start()

    def start(self):
        self.corvane = self.spawn(self.processes.binary)
        wait_for(f"Corvane on {self.name}", lambda: udp_queue(self.corvane.pid) is not None)
        # Started as its unit starts it: it goes on after the last entry it shipped.
        self.upload = self.spawn("env", "JOURNAL_UPLOAD_STATE=/run/journal-upload.state", UPLOAD,
                                 f"--url=http://{CENTRAL}")

    def restart(self):
        # Port 514 shut (each datagram counted) and the queue emptied: the stop strands none.
        self.run("nft -f -", "table ip drain { counter turned_away {}; chain input { type filter "
                 "hook input priority filter; udp dport 514 counter name turned_away drop; }; }")
        wait_for("an empty queue", lambda: udp_queue(self.corvane.pid) == 0)
        for process in (self.corvane, self.upload):
            process.terminate()  # as the service manager stops them
        assert [process.wait(timeout=10) for process in (self.corvane, self.upload)] == [0, 0]
        self.run("nft flush chain ip drain input")  # the counter stays
        time.sleep(0.5)  # datagrams now meet a closed port
        self.start()


def run_cluster(processes, collectors, balancer):
    """The datagrams sent and one collector restarted; the journals and counters that tell."""
    gateway = Node(processes, "gateway")
    gateway.run("echo 1 > /proc/sys/net/ipv4/ip_forward")
    sender = Node(processes, "sender", gateway, 0, "10.0.0.2", SERVICE)
    central = Node(processes, "central", gateway, 1, CENTRAL.split(":")[0], "10.2.0.1")
    central.run("mount -t tmpfs -o mode=0755 tmpfs /run; mkdir /run/journal-remote")
    remote = central.spawn("/lib/systemd/systemd-journal-remote", f"--listen-http={CENTRAL}",
                           "--split-mode=none", "--output=/run/journal-remote/all.journal")
    wait_for("journal-remote", lambda: any(f[3] == "0A" for f in sockets(remote.pid, "tcp", 19532)))
    nodes = [Collector(processes, index, gateway) for index in range(1, collectors + 1)]
    targets = ", ".join(f"{n} : 10.1.{n + 1}.2" for n in range(collectors))
    rule = BALANCERS[balancer].format(match=f"ip daddr {SERVICE} udp dport 514")
    gateway.run("nft -f -", f"table ip balancer {{ chain prerouting {{ {rule} numgen inc mod "
                f"{collectors} map {{ {targets} }}; }}; }}")
    send = sender.spawn(os.environ["CORVANE_SENDER"], "--trial", TRIAL, "--count", COUNT,
                        "--rate", RATE, "--host", SERVICE, "--sockets", 16)
    time.sleep(COUNT / RATE / 3)
    nodes[-1].restart()
    assert send.wait(timeout=COUNT / RATE + 20) == 0, send.errors()
    entries, since = [], time.monotonic()
    while time.monotonic() - since < 1.5:  # until the central store is still
        time.sleep(0.1)
        if len(now := journal(central.root / "run/journal-remote")) != len(entries):
            entries, since = now, time.monotonic()
    return (entries,
            {c.name: [sequence(e) for e in journal(c.root / "run/log/journal")
                      if e.get("EVENT_ID") == LOG_LINE] for c in nodes},
            {c.name: udp_counters(c.holder.pid) for c in nodes},
            sum(int(n) for c in nodes for n in re.findall(r"packets (\d+)",
                                                          c.run("nft list counters"))))


@pytest.mark.parametrize("collectors, balancer", [(2, "dnat"), (3, "stateless")])
def test_every_datagram_once_every_loss_counted_through_a_restart(tmp_path, collectors, balancer):
    processes = Processes(tmp_path)  # Corvane is $CORVANE_BINARY
    try:
        central, local, kernel, drained = run_cluster(processes, collectors, balancer)
    finally:
        processes.end_all()
    hosts = {name: [] for name in local}
    for entry in central:
        if entry.get("EVENT_ID") == LOG_LINE:
            hosts[entry["_HOSTNAME"]].append(seq := sequence(entry))
            assert [entry.get(name) for name, _ in log_line("")] == [value for _, value in log_line(
                f"[<13>Dec  6 12:00:00 benchhost cvbench: cvb{TRIAL}q{seq:010}e load test "
                "datagram of fixed length]")]
    # Every collector logged some, all shipped in order, none skipped across the upload's restart.
    assert hosts == local and all(local.values())
    counts = collections.Counter(seq for seqs in hosts.values() for seq in seqs)
    assert [seq for seq, n in counts.items() if n > 1] == []
    # The restarted Corvane logged its start while the upload was down: shipped later.
    starts = collections.Counter(e["_HOSTNAME"] for e in central if e.get("EVENT_ID") == LISTENING)
    assert starts == {name: 1 + (name == f"collector{collectors}") for name in local}
    closed_port = sum(k["NoPorts"] for k in kernel.values())
    assert drained + closed_port > 0, "the restart cost nothing: it tested nothing"
    assert COUNT - len(counts) == drained + closed_port + reported_losses(central), \
        f"turned away {drained}, closed port {closed_port}, kernel {kernel}"

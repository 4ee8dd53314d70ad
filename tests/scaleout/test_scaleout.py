"""Numbered datagrams from many source ports through the balancer to N collectors, one of
them restarted mid-run, read back from the central store: each exactly once, stamped with
the collector that logged it, every datagram that is missing counted by someone."""

import collections
import json
import os
import re
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from cluster import SERVICE, Cluster, read_journal, udp_counters  # noqa: E402
from harness import loss_counts  # noqa: E402  (cluster put tests/system on the path)

TRIAL, COUNT, RATE, SOCKETS = 7, 6000, 2000, 16
RUN = 64  # the sender's datagrams per source port in a row
TOKEN = re.compile(rf"cvb{TRIAL}q(\d{{10}})e")
LOG_LINE, LISTENING, MESSAGES_LOST = "0x40020003", "0x00020001", "0x80020006"
FIELDS = ["EVENT_ID", "EVENT_STRING_1", "SENDER", "_HOSTNAME"]  # the whole entry: tests/system


def entries(journalctl_json):
    return [json.loads(line) for line in journalctl_json.splitlines()]


def logged(journal):
    """Sequence number to the host of each log line entry, in the journal's order."""
    return [(int(TOKEN.search(e["EVENT_STRING_1"])[1]), e["_HOSTNAME"]) for e in journal
            if e.get("EVENT_ID") == LOG_LINE]


def reported_losses(journal):
    """What the collectors' own loss reports count: each run's counts start at zero, and the
    last report of a run has them all."""
    runs = {}  # host to the losses of its runs, the latest last
    for e in journal:
        if e.get("EVENT_ID") == LISTENING:
            runs.setdefault(e["_HOSTNAME"], []).append(0)
        elif e.get("EVENT_ID") == MESSAGES_LOST:
            runs[e["_HOSTNAME"]][-1] = sum(loss_counts(e["EVENT_STRING_1"])[4:])
    return sum(sum(losses) for losses in runs.values())


@pytest.mark.parametrize("collectors, balancer", [(2, "dnat"), (3, "stateless")])
def test_every_datagram_once_through_a_restart(tmp_path, collectors, balancer):
    cluster = Cluster(tmp_path, collectors, balancer)
    try:
        sender = cluster.sender.spawn(os.environ["CORVANE_SENDER"], "--trial", TRIAL,
                                      "--count", COUNT, "--rate", RATE, "--host", SERVICE,
                                      "--sockets", SOCKETS)
        time.sleep(COUNT / RATE / 3)
        restarted = cluster.collectors[-1]
        with restarted.drained():
            assert restarted.stop() == [0, 0]
        time.sleep(0.5)  # datagrams now meet a closed port
        restarted.start()
        assert sender.wait(timeout=COUNT / RATE + 20) == 0, sender.errors()
        cluster.wait_central(float("inf"), quiet_s=1.5)  # until it has all there is
        kernel = {c.name: udp_counters(c.holder.pid) for c in cluster.collectors}
        drained = sum(c.turned_away() for c in cluster.collectors)
        central = entries(cluster.read_central(*FIELDS))
        local = {c.name: logged(entries(read_journal(c.root / "run/log/journal", *FIELDS)))
                 for c in cluster.collectors}
    finally:
        cluster.close()

    arrived = logged(central)
    counts = collections.Counter(seq for seq, _ in arrived)
    assert [seq for seq, n in counts.items() if n > 1] == []
    # Shipped in order, nothing skipped across the upload's restart, none without a share.
    assert {on for _, on in arrived} == local.keys()
    for host, rows in local.items():
        assert [seq for seq, on in arrived if on == host] == [seq for seq, _ in rows], host
    # The balancer rewrites the destination only: the sender's address stands.
    assert {e["SENDER"].split(":")[0] for e in central if e.get("EVENT_ID") == LOG_LINE} == \
        {"10.0.0.2"}
    if balancer == "dnat":  # conntrack keeps each source port on one collector
        flows = collections.defaultdict(set)
        for seq, host in arrived:
            flows[seq // RUN % SOCKETS].add(host)
        assert [flow for flow, on in flows.items() if len(on) > 1] == []
    # The restart's Corvane logged its start while the upload was down: shipped later.
    starts = collections.Counter(e["_HOSTNAME"] for e in central if e.get("EVENT_ID") == LISTENING)
    assert starts == {c.name: 1 + (c is restarted) for c in cluster.collectors}

    closed_port = sum(k["NoPorts"] for k in kernel.values())
    assert drained + closed_port > 0, "the restart cost nothing: it tested nothing"
    assert COUNT - len(counts) == drained + closed_port + reported_losses(central), \
        f"turned away {drained}, closed port {closed_port}, kernel {kernel}"

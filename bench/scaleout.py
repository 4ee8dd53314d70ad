#!/usr/bin/python3
"""Scale-out benchmark: the lossless sustained rate into one central journal for 1, 2 and 3
collectors behind a stateless nftables balancer, and the central journal-remote's own
ceiling. Everything runs on this machine, each machine of the set-up in namespaces of its
own (cluster.py); every trial builds a fresh set-up.

Arrivals are counted by sequence number in the central journal (cvb_count); a trial has
kept up when every datagram is there within --keep-up seconds of the last one sent.
Writes its own section of bench/RESULTS.md (between its markers) and bench/scale-out.png.
"""

import argparse
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench import cpu_seconds, fmt, load, log, machine, parse_kv  # noqa: E402
from cluster import CENTRAL, REMOTE_PORT, SERVICE, Cluster  # noqa: E402

BEGIN = "<!-- Scale-out section: rewritten by bench/run.sh --scale-out. -->"
END = "<!-- End of the scale-out section. -->"
STARTED_ENTRIES = 4  # journald's two and Corvane's two, per collector
SOCKETS = 64
BALANCER = "stateless"
PREDICTED_UP_TO = 5


def busy_jiffies():
    with open("/proc/stat") as f:
        user, nice, system, idle, iowait, irq, softirq = map(int, f.readline().split()[1:8])
    return user + nice + system + irq + softirq, idle + iowait


class ScaleOut:
    def __init__(self, args):
        self.args = args
        self.trials = []
        self.trial_id = int(time.time()) % 100000 * 100

    def tool(self, name):
        return os.path.join(os.path.abspath(self.args.tools), name)

    def count(self, cluster, trial, expected):
        counted = subprocess.run([self.tool("cvb_count"), str(trial), str(expected)],
                                 input=cluster.read_central("MESSAGE"), capture_output=True,
                                 check=True, timeout=300)
        return parse_kv(counted.stdout.decode())

    @staticmethod
    def roles(cluster):
        """CPU seconds so far of each kind of process in the set-up."""
        kinds = {"journald": [c.journald for c in cluster.collectors],
                 "Corvane": [c.corvane for c in cluster.collectors],
                 "journal-upload": [c.upload for c in cluster.collectors],
                 "journal-remote": [cluster.remote]}
        return {kind: sum(cpu_seconds(p.pid) for p in procs) for kind, procs in kinds.items()}

    def trial(self, collectors, rate):
        self.trial_id += 1
        count = int(rate * self.args.trial_seconds)
        with tempfile.TemporaryDirectory(dir=self.args.out) as directory:
            cluster = Cluster(Path(directory), collectors, BALANCER)
            try:
                if cluster.wait_central(STARTED_ENTRIES * collectors) is None:
                    raise SystemExit("the central journal got no entries (see %s)" % directory)
                base = cluster.central_entries()
                cpu_before, machine_before = self.roles(cluster), busy_jiffies()
                sent = parse_kv(subprocess.run(cluster.sender.enter([
                    self.tool("cvb_sender"), "--trial", str(self.trial_id), "--count", str(count),
                    "--rate", "%.1f" % rate, "--host", SERVICE, "--sockets", str(SOCKETS)]),
                    capture_output=True, text=True, check=True, timeout=600).stdout)
                ended = time.monotonic()
                reached = cluster.wait_central(base + count)
                cpu_after, machine_after = self.roles(cluster), busy_jiffies()
                got = self.count(cluster, self.trial_id, count)
            finally:
                cluster.close()
        wall = (reached or time.monotonic()) - ended + sent["seconds"]
        busy = machine_after[0] - machine_before[0]
        result = {"collectors": collectors, "offered": rate, "count": count,
                  "arrived": got["arrived"], "duplicates": got["duplicates"],
                  "drain_s": reached - ended if reached else None,
                  "cores": {k: (cpu_after[k] - cpu_before[k]) / wall for k in cpu_after},
                  "cpu_us": {k: 1e6 * (cpu_after[k] - cpu_before[k]) / max(got["arrived"], 1)
                             for k in cpu_after},
                  "machine_busy": busy / max(busy + machine_after[1] - machine_before[1], 1)}
        result["kept_up"] = (got["arrived"] == count and got["duplicates"] == 0 and reached is not None
                             and result["drain_s"] <= self.args.keep_up)
        self.trials.append(result)
        log("  %d collector(s) at %8s/s: %s of %s arrived, last %s after the last send, %s"
            % (collectors, fmt(rate), fmt(got["arrived"]), fmt(count),
               "%.2f s" % result["drain_s"] if reached else "never",
               "kept up" if result["kept_up"] else "FAILED"))
        return result

    def passes(self, collectors, rate):
        # A shared machine stalls now and then: a rate fails when it fails twice.
        return self.trial(collectors, rate)["kept_up"] or self.trial(collectors, rate)["kept_up"]

    def sustained(self, collectors):
        lo, hi = 0.0, None
        for rate in self.args.sweep:
            if not self.passes(collectors, rate):
                hi = rate
                break
            lo = rate
        for _ in range(self.args.bisect_steps if hi else 0):
            mid = (lo + hi) / 2
            if self.passes(collectors, mid):
                lo = mid
            else:
                hi = mid
        return {"rate": lo, "fail": hi}

    def export_stream(self, template, trial, first, count, path):
        """`count` entries of a collector's shape, numbered from `first`, as the upload sends
        them (journal export format)."""
        parts = re.split(r"cvb\d+q\d{10}e", template)
        with open(path, "w") as f:
            for seq in range(first, first + count):
                f.write("__REALTIME_TIMESTAMP=%d\n__MONOTONIC_TIMESTAMP=%d\n" % (self.stamp + seq,
                                                                                self.stamp + seq)
                        + ("cvb%dq%010de" % (trial, seq)).join(parts) + "\n")

    def ceiling(self):
        """journal-remote fed over HTTP by `streams` uploads at once from files: no
        collector, no journald, no upload between. Entries/s it stored."""
        with tempfile.TemporaryDirectory(dir=self.args.out) as directory:
            cluster = Cluster(Path(directory), 1, BALANCER)
            try:
                local = str(cluster.collectors[0].root / "run/log/journal")
                subprocess.run(cluster.sender.enter([self.tool("cvb_sender"), "--trial", "1",
                                                     "--count", "1", "--host", SERVICE]),
                               check=True, capture_output=True)
                cluster.wait_central(STARTED_ENTRIES + 1)
                export = subprocess.run(["journalctl", "-D", local, "-o", "export", "-n", "1",
                                         "EVENT_ID=0x40020003"], capture_output=True, text=True,
                                        check=True).stdout
                template = "".join(line + "\n" for line in export.splitlines()
                                   if line and not line.startswith("__")
                                   and not line.startswith("_SOURCE_REALTIME"))
                self.stamp = int(time.time() * 1e6)
                self.trial_id += 1
                streams, count = self.args.ceiling_streams, self.args.ceiling_count
                share = count // streams
                files = [os.path.join(directory, "stream%d" % n) for n in range(streams)]
                for n, path in enumerate(files):
                    self.export_stream(template, self.trial_id, n * share, share, path)
                base = cluster.central_entries()
                remote_before = cpu_seconds(cluster.remote.pid)
                started = time.monotonic()
                posts = [subprocess.Popen(cluster.sender.enter([
                    "curl", "-sS", "-o", "/dev/null", "-X", "POST", "-T", path, "-H",
                    "Content-Type: application/vnd.fdo.journal", "-H", "Expect:",
                    "http://%s:%d/upload" % (CENTRAL, REMOTE_PORT)])) for path in files]
                reached = cluster.wait_central(base + share * streams)
                for post in posts:
                    post.wait(timeout=120)
                elapsed = (reached or time.monotonic()) - started
                remote_cores = (cpu_seconds(cluster.remote.pid) - remote_before) / elapsed
                got = self.count(cluster, self.trial_id, share * streams)
            finally:
                cluster.close()
        rate = got["arrived"] / elapsed
        log("  journal-remote: %s entries in %.2f s from %d streams = %s/s, %.0f %% of a core"
            % (fmt(got["arrived"]), elapsed, streams, fmt(rate), 100 * remote_cores))
        return {"rate": rate, "arrived": got["arrived"], "sent": share * streams,
                "remote_cores": remote_cores}


def plot(found, ceiling, png, out, date):
    data = os.path.join(out, "scale-out.dat")
    per_machine = found[1]["rate"]
    with open(data, "w") as f:
        for n in range(1, PREDICTED_UP_TO + 1):
            f.write("%d %s %.1f\n" % (n, "%.1f" % found[n]["rate"] if n in found else "?",
                                       min(n * per_machine, ceiling)))
    script = """
set terminal pngcairo size 900,560 font ",11" noenhanced
set output '{png}'
set title "Lossless sustained rate into one central journal ({date})"
set key bottom right box opaque
set grid
set xrange [0.5:{xmax}.5]
set xtics 1
set yrange [0:{ymax}]
set format y "%.0s%c"
set xlabel "collectors behind the balancer"
set datafile missing "?"
set ylabel "entries/s"
plot {ceiling} title "central journal-remote ceiling" with lines dt 2 lc rgb "black", \\
     '{data}' using 1:3 title "predicted, each collector on a machine of its own" with linespoints dt 2 lw 1.5 pt 6 lc rgb "#555555", \\
     '{data}' using 1:2 title "measured, all on this machine" with linespoints pt 7 ps 1.4 lc rgb "#1f77b4"
""".format(png=png, data=data, ceiling=ceiling, date=date, xmax=PREDICTED_UP_TO,
           ymax=ceiling * 1.15)
    path = os.path.join(out, "scale-out.gnuplot")
    with open(path, "w") as f:
        f.write(script)
    subprocess.run(["gnuplot", path], check=True)


def busiest(trial):
    kind, cores = max(trial["cores"].items(), key=lambda item: item[1])
    return "%s %.0f %%" % (kind, 100 * cores)


def bounds(bench, found, ceiling, ceilings):
    """What bounds the figures, from the trials' CPU figures."""
    failing = [t for t in bench.trials if not t["kept_up"]]
    best = [t for t in bench.trials if t["collectors"] == 1 and t["kept_up"]
            and t["offered"] == found[1]["rate"]][-1:]
    lines = ["What bounds each:", ""]
    if failing:
        lines.append("- **All on this machine: its two cores, shared.** At the failing rates the "
                     "machine was %.0f–%.0f %% busy, other work on it included, while no process "
                     "of the set-up used a whole core (table below). Sender, gateway, every "
                     "collector's journald, Corvane and upload and the central journal-remote "
                     "take turns on the same two cores, so collectors added on one machine do not "
                     "add capacity as machines of their own do; the differences between 1, 2 and "
                     "3 collectors here are within how much of the busy machine the set-up got."
                     % (100 * min(t["machine_busy"] for t in failing),
                        100 * max(t["machine_busy"] for t in failing)))
    if best:
        us = best[0]["cpu_us"]
        lines.append("- **Per entry** (1 collector at %s/s): journald %.1f µs, Corvane %.1f µs, "
                     "journal-upload %.1f µs, journal-remote %.1f µs of CPU. A collector machine "
                     "of its own is bound by its journald, single-threaded: the one-collector "
                     "benchmark above measures that rate on this machine."
                     % (fmt(best[0]["offered"]), us["journald"], us["Corvane"],
                        us["journal-upload"], us["journal-remote"]))
    lines.append("- **The central journal-remote: one core.** It is one single-threaded process "
                 "writing one journal file; fed from files over HTTP it stored %s entries/s at "
                 "%.0f %% of a core, %.1f µs of CPU per entry (runs: %s entries/s, share of a core; "
                 "the best is taken: a run that got less of the core stored less). That is the "
                 "ceiling of the whole "
                 "set-up, however many collectors."
                 % (fmt(ceiling["rate"]), 100 * ceiling["remote_cores"],
                    1e6 * ceiling["remote_cores"] / ceiling["rate"],
                    ", ".join("%s (%.0f %%)" % (fmt(c["rate"]), 100 * c["remote_cores"])
                              for c in ceilings)))
    lossy = [t for t in bench.trials if t["arrived"] < t["count"]]
    lines.append("- **Losses:** %s" % (
        "none. Every datagram of every trial reached the central journal%s." % (
            "; the failing trials only fell behind by more than the time allowed (the backlog "
            "waits in Corvane's socket buffer, the journals and the upload)" if failing else "")
        if not lossy else
        "%d trial(s) lost datagrams, offered %s/s; every other trial lost none." % (
            len(lossy), ", ".join(fmt(rate) for rate in sorted({t["offered"] for t in lossy})))))
    return lines


def section(bench, results, png_name):
    r, m, args = results, results["machine"], bench.args
    found, ceiling = r["found"], r["ceiling"]["rate"]
    per_machine = found[1]["rate"]
    lines = [BEGIN, "", "## Scale-out: collectors behind a balancer, one central journal", "",
             "Measured by `bench/run.sh --scale-out` on %s; the run took %.1f minutes. "
             "Machine: %d cores, %s, kernel %s; %s. Load (1/5/15 min; CPU pressure avg60): "
             "%s, %s %% before; %s, %s %% after."
             % (r["date"], r["minutes"], m["nproc"], m["cpu"], m["kernel"], m["journald"],
                r["load_before"]["loadavg"], r["load_before"]["cpu_pressure_avg60"],
                r["load_after"]["loadavg"], r["load_after"]["cpu_pressure_avg60"]), "",
             "Everything on this one machine, each part in namespaces of its own: a sender "
             "(%d source ports), a gateway spreading UDP 514 with the stateless nftables rule, "
             "N collectors (their own systemd-journald, Corvane and systemd-journal-upload each) "
             "and one systemd-journal-remote over HTTP. A rate passes when all its datagrams "
             "are in the central journal, none twice, within %.1f s of the last one sent "
             "(%g s per trial, a fresh set-up each, a rate failing only when it fails twice)."
             % (SOCKETS, args.keep_up, args.trial_seconds), "",
             "| | entries/s into the central journal | first failing rate | busiest at that rate "
             "(share of one core) | machine busy |", "|---|---:|---:|---|---:|"]
    for n in sorted(found):
        best = [t for t in bench.trials if t["collectors"] == n and t["kept_up"]
                and t["offered"] == found[n]["rate"]]
        lines.append("| %d collector%s | %s | %s | %s | %s |" % (
            n, "s" if n > 1 else "", fmt(found[n]["rate"]),
            fmt(found[n]["fail"]) if found[n]["fail"] else "none found",
            busiest(best[-1]) if best else "", "%.0f %%" % (100 * best[-1]["machine_busy"]) if best else ""))
    lines += ["| central journal-remote alone (%d HTTP streams of collector-shaped entries) | %s "
              "| | journal-remote %.0f %% | |" % (args.ceiling_streams, fmt(ceiling),
                                                 100 * r["ceiling"]["remote_cores"]), "",
              "![scale-out](%s)" % png_name, "",
              "Predicted for collectors on machines of their own, the per-machine rate taken as "
              "the single collector's above (which shares this machine with the central store "
              "and the sender, so the prediction is low): min(N × %s, %s) entries/s."
              % (fmt(per_machine), fmt(ceiling)), "",
              "| collectors | predicted entries/s | bound |", "|---:|---:|---|"]
    for n in range(1, PREDICTED_UP_TO + 1):
        lines.append("| %d | %s | %s |" % (n, fmt(min(n * per_machine, ceiling)),
                                           "each collector's journal" if n * per_machine < ceiling
                                           else "the central journal-remote"))
    lines += [""] + bounds(bench, found, r["ceiling"], r["ceilings"])
    lines += ["", "CPU of each kind of process, in cores, at each trial (all collectors together):",
              "", "| collectors | offered/s | arrived | last after last send | journald | Corvane "
              "| journal-upload | journal-remote | machine busy | pass |",
              "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for t in bench.trials:
        c = t["cores"]
        lines.append("| %d | %s | %s of %s | %s | %.2f | %.2f | %.2f | %.2f | %.0f %% | %s |" % (
            t["collectors"], fmt(t["offered"]), fmt(t["arrived"]), fmt(t["count"]),
            "%.2f s" % t["drain_s"] if t["drain_s"] is not None else "never", c["journald"],
            c["Corvane"], c["journal-upload"], c["journal-remote"], 100 * t["machine_busy"],
            "yes" if t["kept_up"] else "no"))
    lines += ["", END]
    return "\n".join(lines) + "\n"


def write_section(path, text):
    old = open(path).read() if os.path.exists(path) else "# Benchmark results\n"
    if BEGIN in old and END in old:
        new = old[:old.index(BEGIN)] + text + old[old.index(END) + len(END) + 1:]
    else:
        new = old.rstrip("\n") + "\n\n" + text
    with open(path, "w") as f:
        f.write(new)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--collectors", type=lambda s: [int(x) for x in s.split(",")],
                        default=[1, 2, 3])
    parser.add_argument("--trial-seconds", type=float, default=4.0)
    parser.add_argument("--keep-up", type=float, default=1.0)
    parser.add_argument("--sweep", type=lambda s: [float(x) for x in s.split(",")],
                        default=[5000, 10000, 20000, 30000, 40000, 50000, 60000, 70000, 80000])
    parser.add_argument("--bisect-steps", type=int, default=3)
    parser.add_argument("--ceiling-streams", type=int, default=3)
    parser.add_argument("--ceiling-count", type=int, default=300000)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    started = time.monotonic()
    results = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               "machine": machine(), "load_before": load()}
    bench = ScaleOut(args)
    log("== central journal-remote's ceiling")
    ceilings = [bench.ceiling() for _ in range(2)]
    found = {}
    for n in args.collectors:
        log("== %d collector(s)" % n)
        found[n] = bench.sustained(n)
        log("  -> %s/s (first failing %s)" % (fmt(found[n]["rate"]),
                                              fmt(found[n]["fail"]) if found[n]["fail"] else "none"))
    log("== central journal-remote's ceiling, again")
    ceilings.append(bench.ceiling())
    results.update(found=found, load_after=load(), minutes=(time.monotonic() - started) / 60,
                   ceiling=max(ceilings, key=lambda c: c["rate"]), ceilings=ceilings)
    if 1 not in found:
        log(str(results))
        return
    png_name = "scale-out.png"
    plot(found, results["ceiling"]["rate"], str(Path(args.results).parent / png_name), args.out,
         results["date"])
    write_section(args.results, section(bench, results, png_name))
    with open(os.path.join(args.out, "scale-out.json"), "w") as f:
        json.dump({"results": results, "trials": bench.trials}, f, indent=1, default=str)
    log("results: %s section, plot %s" % (args.results, png_name))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Throughput, burst and own-cost benchmark of the collector against rsyslog.

Runs inside a private network and mount namespace (bench/run.sh starts it there):
loopback only, tmpfs over every journal and runtime directory, one fresh standalone
systemd-journald that both collectors and the journal-ceiling writer write into.

Every figure comes from counting sequence numbers in what `journalctl -o json` reads
back; nothing is estimated. Standard library only: runs on Debian's /usr/bin/python3.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import resource
import signal
import statistics
import struct
import subprocess
import time

JOURNAL_DIRS = ["/run/systemd/journal", "/run/log/journal", "/var/log/journal", "/run/Corvane"]
SYSLOG_PORT = 514
NOTES_MARKER = "<!-- Everything below this line is kept when the benchmark rewrites the file. -->"


def log(text):
    print(text, flush=True)


class Bench:
    def __init__(self, args):
        self.args = args
        self.tools = args.tools
        self.out = args.out
        os.makedirs(self.out, exist_ok=True)
        self.trial_id = int(time.time()) % 100000 * 100
        self.procs = []  # (name, Popen) of every long-running process this run started
        self.journald = None
        self.trials = []
        self.journal_files_checked = False
        # A trial has kept up when its last entry was in the journal this soon after
        # its last datagram was sent: a collector that only buffers fails it.
        self.keep_up_s = args.keep_up
        self.ceiling_runs = []

    # ---- processes ---------------------------------------------------------------

    def start(self, name, argv, **kwargs):
        logfile = open(os.path.join(self.out, name + ".log"), "ab")
        proc = subprocess.Popen(argv, stdout=logfile, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, **kwargs)
        logfile.close()
        self.procs.append((name, proc))
        return proc

    def stop(self, proc, timeout=10.0):
        """Ends one process this run started, by its own PID."""
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        self.procs = [(n, p) for (n, p) in self.procs if p is not proc]

    def stop_all(self):
        for _, proc in reversed(list(self.procs)):
            self.stop(proc)

    # ---- the namespace -----------------------------------------------------------

    def setup_namespace(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        for d in JOURNAL_DIRS:
            os.makedirs(d, exist_ok=True)
            # Root's alone, as on the host: the collector refuses a runtime directory
            # that others may change (a tmpfs is world-writable by default).
            subprocess.run(["mount", "-t", "tmpfs", "-o",
                            "size=%dM,mode=0755" % self.args.journal_mib, "tmpfs", d], check=True)
        # journald's configuration: only what keeps the measurement clean. No rate
        # limit (the collector's unit sets a limit no journal can reach, for the same
        # reason, and rsyslog gets the same journal), no kernel messages, room for
        # every entry of the run.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1M", "tmpfs", "/etc/systemd"],
                       check=True)
        os.makedirs("/etc/systemd/journald.conf.d")
        with open("/etc/systemd/journald.conf.d/bench.conf", "w") as f:
            f.write("[Journal]\nRateLimitIntervalSec=0\nReadKMsg=no\n"
                    "RuntimeMaxUse=%dM\nSystemMaxUse=%dM\n"
                    % (self.args.journal_mib * 3 // 4, self.args.journal_mib * 3 // 4))
        # A new network namespace starts with 10 queued datagrams per Unix socket; a
        # systemd host raises it to 512, and the journal's socket is one of these.
        with open("/proc/sys/net/unix/max_dgram_qlen", "w") as f:
            f.write("512\n")

    def start_journald(self):
        self.journald = self.start("journald", ["/lib/systemd/systemd-journald"])
        for _ in range(100):
            if os.path.exists("/run/systemd/journal/socket"):
                break
            time.sleep(0.05)
        else:
            raise SystemExit("systemd-journald did not start (see %s/journald.log)" % self.out)
        time.sleep(0.3)

    # ---- reading the journal -----------------------------------------------------

    @staticmethod
    def journal_files():
        return glob.glob("/run/log/journal/*/*.journal") + glob.glob("/var/log/journal/*/*.journal")

    def tail_seqnum(self):
        """The journal's latest sequence number, from the journal files' headers.

        Only the wait for a trial's end uses it (a cheap way to see that writing has
        stopped); arrivals are always counted from journalctl's output."""
        best = 0
        for path in self.journal_files():
            try:
                with open(path, "rb") as f:
                    head = f.read(176)
            except OSError:
                continue
            if len(head) >= 168 and head[:8] == b"LPKSHHRH":
                best = max(best, struct.unpack_from("<Q", head, 160)[0])
        return best

    def check_header_reading(self):
        out = subprocess.run(["journalctl", "--header"], capture_output=True, text=True).stdout
        tails = [int(line.split(":")[1].split()[0]) for line in out.splitlines()
                 if line.startswith("Tail sequential number:")]
        if not tails or max(tails) != self.tail_seqnum():
            raise SystemExit("cannot read the journal files' headers (journalctl says %s)" % tails)

    def fresh_journal(self):
        """Starts a new, empty journal file and deletes the old ones, so that every
        trial meets the journal in the same state: a journal file slows down as it
        fills, and the collector measured later would otherwise pay for the entries
        of the one measured earlier."""
        subprocess.run(["journalctl", "--rotate"], check=True, capture_output=True)
        subprocess.run(["journalctl", "--vacuum-files=1"], check=True, capture_output=True)
        for path in self.journal_files():
            if "@" in os.path.basename(path):
                os.remove(path)

    def wait_quiet(self, base, expected, deadline_s):
        """Waits until the journal has stopped growing: all `expected` entries past
        `base` and nothing new for 0.3 s, or nothing new for 1.5 s, or the deadline."""
        last = self.tail_seqnum()
        last_change = time.monotonic()
        end = time.monotonic() + deadline_s
        while time.monotonic() < end:
            time.sleep(0.1)
            now = self.tail_seqnum()
            if now != last:
                last, last_change = now, time.monotonic()
                continue
            quiet = time.monotonic() - last_change
            if (now - base >= expected and quiet >= 0.3) or quiet >= 1.5:
                return
        log("  (journal still growing at the deadline)")

    def count(self, trial, expected):
        # The journal holds this trial's entries only (fresh_journal), and cvb_count
        # picks them out by the trial's token anyway.
        cmd = ["journalctl", "-o", "json", "--output-fields=MESSAGE", "--no-pager"]
        reader = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        counted = subprocess.run([os.path.join(self.tools, "cvb_count"), str(trial), str(expected)],
                                 stdin=reader.stdout, capture_output=True, text=True, check=True)
        reader.stdout.close()
        reader.wait(timeout=120)
        return parse_kv(counted.stdout)

    # ---- collectors --------------------------------------------------------------

    @staticmethod
    def port_bound(port):
        want = ":%04X" % port
        with open("/proc/net/udp") as f:
            return any(line.split()[1].endswith(want) for line in f.readlines()[1:])

    def start_collector(self, name):
        if self.port_bound(SYSLOG_PORT):
            raise SystemExit("UDP port 514 is still taken")
        builds = dict(self.args.build, corvane=self.args.corvane)
        if name in builds:
            proc = self.start(name, [builds[name]])
        else:
            conf = os.path.join(self.out, "rsyslog.conf")
            with open(conf, "w") as f:
                # imudp on port 514 into omjournal; every other setting is rsyslog's default.
                f.write('module(load="imudp")\n'
                        'module(load="omjournal")\n'
                        'input(type="imudp" port="514")\n'
                        '*.* action(type="omjournal")\n')
            proc = self.start("rsyslog", ["rsyslogd", "-n", "-f", conf,
                                          "-i", os.path.join(self.out, "rsyslogd.pid")])
        for _ in range(200):
            if self.port_bound(SYSLOG_PORT):
                break
            if proc.poll() is not None:
                raise SystemExit("%s ended at start (see %s/%s.log)" % (name, self.out, name))
            time.sleep(0.05)
        else:
            raise SystemExit("%s did not bind UDP port 514" % name)
        time.sleep(0.5)
        return proc

    # ---- trials ------------------------------------------------------------------

    def next_trial(self):
        self.trial_id += 1
        return self.trial_id

    def run_trial(self, collector, kind, count, rate=0.0, proc=None):
        trial = self.next_trial()
        self.fresh_journal()
        base = self.tail_seqnum()
        argv = [os.path.join(self.tools, "cvb_sender"), "--trial", str(trial),
                "--count", str(count), "--port", str(SYSLOG_PORT)]
        if rate > 0:
            argv += ["--rate", "%.1f" % rate]
        cpu_before = (cpu_seconds(self.journald.pid), cpu_seconds(proc.pid) if proc else 0.0)
        sent = parse_kv(subprocess.run(argv, capture_output=True, text=True, check=True,
                                       timeout=600).stdout)
        self.wait_quiet(base, count, deadline_s=max(20.0, count / 5000.0))
        cpu_after = (cpu_seconds(self.journald.pid), cpu_seconds(proc.pid) if proc else 0.0)
        got = self.count(trial, count)
        arrived = got["arrived"]
        last_us = got["last_us"]
        span_s = (last_us - sent["start_us"]) / 1e6 if last_us > 0 else 0.0
        drain_s = (last_us - sent["end_us"]) / 1e6 if last_us > 0 else 0.0
        result = {
            "collector": collector, "kind": kind, "trial": trial, "count": count,
            "offered_rate": rate if rate > 0 else sent["achieved_rate"],
            "achieved_rate": sent["achieved_rate"], "send_s": sent["seconds"],
            "late_p99_us": sent["late_p99_us"], "late_max_us": sent["late_max_us"],
            "refused": sent["refused"],
            "arrived": arrived, "lost": count - arrived, "duplicates": got["duplicates"],
            # CPU time per entry that arrived, from the start of sending until the
            # journal stopped growing.
            "journald_us": 1e6 * (cpu_after[0] - cpu_before[0]) / max(arrived, 1),
            "collector_us": 1e6 * (cpu_after[1] - cpu_before[1]) / max(arrived, 1),
            "delivered_rate": arrived / span_s if span_s > 0 else 0.0,
            "drain_s": drain_s, "first_missing": got["first_missing"],
        }
        result["zero_loss"] = arrived == count and sent["sent"] == count
        result["kept_up"] = result["zero_loss"] and drain_s <= self.keep_up_s
        self.trials.append(result)
        if kind == "burst":
            log("  %-7s burst %7d: %7d arrived (%.2f %%), sent in %.3f s, last entry %.2f s later"
                % (collector, count, arrived, 100.0 * arrived / count, sent["seconds"], drain_s))
        else:
            log("  %-7s %6.0f/s offered (%.0f/s sent, wake-ups late p99 %.1f ms, max %.0f ms): "
                "%d of %d arrived, last entry %.3f s after the last send, %.0f entries/s -> %s"
                % (collector, rate, sent["achieved_rate"], sent["late_p99_us"] / 1e3, sent["late_max_us"] / 1e3,
                   arrived, count, drain_s,
                   result["delivered_rate"], "PASS" if result["kept_up"] else "fail"))
        return result

    def search(self, collector, ceiling):
        """The search for one collector's sustained rate, as a generator: it yields the
        next rate to offer and is sent whether the trial passed; it returns (highest
        passing rate, lowest failing rate above it). A coarse sweep (also the plot's
        points) up to the second failure in a row, then bisection below the first
        failure."""
        best_pass, first_fail, fails_in_row = 0.0, None, 0
        for fraction in self.args.sweep:
            rate = ceiling * fraction
            if (yield rate):
                best_pass = max(best_pass, rate)
                fails_in_row = 0
            else:
                if first_fail is None or rate < first_fail:
                    first_fail = rate
                fails_in_row += 1
                if fails_in_row >= 2:
                    break
        extra = 0
        while first_fail is None and extra < 4:
            # Everything passed: go on up until something fails.
            extra += 1
            rate = best_pass * 1.25
            if (yield rate):
                best_pass = rate
            else:
                first_fail = rate
        if first_fail is None:
            return best_pass, None
        if best_pass > first_fail:
            # A pass above a failure: near the edge the figures are noisy, and the
            # sustained rate is the one below the first failure.
            best_pass = max([t["offered_rate"] for t in self.trials
                             if t["collector"] == collector and t["kind"] == "rate"
                             and t["kept_up"] and t["offered_rate"] < first_fail] or [0.0])
        low, high = best_pass, first_fail
        for _ in range(self.args.bisect_steps):
            mid = high / 2 if low <= 0 else (low + high) / 2
            if (yield mid):
                low = mid
            else:
                high = mid
        return low, high

    def one_trial(self, collector, kind, count, rate=0.0):
        """A trial on a collector started for it and stopped after it."""
        proc = self.start_collector(collector)
        try:
            return self.run_trial(collector, kind, count, rate, proc)
        finally:
            self.stop(proc)

    def sustained(self, collectors, ceiling):
        """Both searches in lockstep, one trial of each in turn (the order swapping at
        every step), so that whatever else the machine does falls on both alike."""
        seconds = self.args.trial_seconds
        searches = {name: self.search(name, ceiling) for name in collectors}
        pending = {name: next(gen) for name, gen in searches.items()}
        found = {}
        order = list(collectors)
        while pending:
            for name in order:
                if name not in pending:
                    continue
                rate = pending[name]
                count = max(1000, int(rate * seconds))
                result = self.one_trial(name, "rate", count, rate)
                if not result["kept_up"] and self.args.retries > 0:
                    # A shared machine stalls now and then, and a stall only ever makes
                    # a trial worse: a rate fails when it fails twice.
                    result = self.one_trial(name, "rate", count, rate)
                try:
                    pending[name] = searches[name].send(result["kept_up"])
                except StopIteration as done:
                    found[name] = {"rate": done.value[0], "fail": done.value[1]}
                    del pending[name]
                    log("  -> %s: sustained zero-loss rate %s/s (lowest failing rate %s)"
                        % (name, fmt(done.value[0]), fmt(done.value[1]) if done.value[1] else "none"))
            order.reverse()
            if pending and self.args.ceiling_every_round:
                # The ceiling too, between the collectors' trials: a shared machine's
                # load comes and goes, and the ratio needs both under the same.
                self.ceiling_runs += self.ceiling("between", repeats=1)
        return found

    def ceiling(self, label, repeats=None):
        results = []
        for _ in range(repeats or self.args.ceiling_repeats):
            trial = self.next_trial()
            self.fresh_journal()
            base = self.tail_seqnum()
            journald_before = cpu_seconds(self.journald.pid)
            writer_before = resource.getrusage(resource.RUSAGE_CHILDREN)
            wrote = parse_kv(subprocess.run(
                [os.path.join(self.tools, "cvb_journal_ceiling"), "--trial", str(trial),
                 "--seconds", str(self.args.ceiling_seconds)],
                capture_output=True, text=True, check=True, timeout=600).stdout)
            writer_after = resource.getrusage(resource.RUSAGE_CHILDREN)
            self.wait_quiet(base, wrote["sent"], deadline_s=30)
            journald_s = cpu_seconds(self.journald.pid) - journald_before
            writer_s = (writer_after.ru_utime + writer_after.ru_stime
                        - writer_before.ru_utime - writer_before.ru_stime)
            got = self.count(trial, wrote["sent"])
            span_s = (got["last_us"] - wrote["start_us"]) / 1e6
            rate = got["arrived"] / span_s if span_s > 0 else 0.0
            results.append(rate)
            self.trials.append({"collector": "journal", "kind": "ceiling-" + label, "trial": trial,
                                "count": wrote["sent"], "arrived": got["arrived"],
                                "lost": wrote["sent"] - got["arrived"], "rate": rate,
                                "journald_us": 1e6 * journald_s / max(got["arrived"], 1),
                                "collector_us": 1e6 * writer_s / max(got["arrived"], 1)})
            log("  journal ceiling (%s): %d entries written, %d arrived, %.0f entries/s"
                % (label, wrote["sent"], got["arrived"], rate))
        return results

    def own_cost(self):
        out = subprocess.run([os.path.join(self.tools, "cvb_own_cost"), "--count",
                              str(self.args.cost_count), "--rounds", str(self.args.cost_rounds)],
                             capture_output=True, text=True, check=True, timeout=600).stdout
        loops = {}
        for line in out.splitlines():
            kv = parse_kv(line)
            if "loop" in kv:
                loops[kv["loop"]] = kv
        for name, kv in loops.items():
            log("  %-18s %7.1f ns per datagram = %.2f x bare (user %.0f, system %.0f)"
                % (name, kv["ns_per_datagram"], kv["ns_per_datagram"] / loops["bare"]["ns_per_datagram"],
                   kv["user_ns"], kv["system_ns"]))
        return loops


def cpu_seconds(pid):
    """User and system time of a running process, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def parse_kv(text):
    values = {}
    for item in text.split():
        if "=" not in item:
            continue
        key, value = item.split("=", 1)
        for convert in (int, float):
            try:
                values[key] = convert(value)
                break
            except ValueError:
                continue
        else:
            values[key] = value
    return values


def load():
    with open("/proc/loadavg") as f:
        avg = f.read().split()[:3]
    pressure = ""
    try:
        with open("/proc/pressure/cpu") as f:
            pressure = f.readline().split()[2].split("=")[1]  # some avg60
    except OSError:
        pass
    return {"loadavg": " ".join(avg), "cpu_pressure_avg60": pressure}


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])

    def version(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip()
        except (OSError, IndexError):
            return "unknown"

    return {"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(),
            "memory_gib": round(mem_kib / 1024 / 1024, 1),
            "os": version(["sh", "-c", ". /etc/os-release; echo $PRETTY_NAME"]),
            "rsyslog": version(["rsyslogd", "-v"]).replace(" compiled with:", ""), "journald": version(["journalctl", "--version"])}


def plot(bench, results, png):
    data = os.path.join(bench.out, "rates.dat")
    with open(data, "w") as f:
        for collector in ("corvane", "rsyslog"):
            f.write("# %s: offered delivered arrived_percent kept_up\n" % collector)
            rows = sorted((t for t in bench.trials
                           if t["collector"] == collector and t["kind"] in ("rate", "overload")),
                          key=lambda t: t["offered_rate"])
            for t in rows:
                f.write("%.1f %.1f %.3f %d\n" % (t["offered_rate"], t["delivered_rate"],
                                                 100.0 * t["arrived"] / t["count"], t["kept_up"]))
            f.write("\n\n")
    ceiling = results["ceiling"]
    xmax = max([t["offered_rate"] for t in bench.trials if t.get("kind") in ("rate", "overload")]
               + [ceiling]) * 1.05
    script = """
set terminal pngcairo size 1100,800 font ",11" noenhanced
set output '{png}'
set multiplot layout 2,1 title "Arrived vs offered rate (loopback, one journal; {date})"
set key top left
set grid
set xrange [0:{xmax}]
set yrange [0:*]
set ylabel "entries/s reached the journal"
set format x "%.0s%c"
set format y "%.0s%c"
f(x) = x
plot f(x) title "offered" with lines dt 2 lc rgb "gray", \\
     {ceiling} title "journal ceiling (one sd_journal_sendv writer)" with lines dt 3 lc rgb "black", \\
     '{data}' index 0 using 1:2 title "Corvane" with points pt 7 ps 1.2 lc rgb "#1f77b4", \\
     '{data}' index 1 using 1:2 title "rsyslog (imudp -> omjournal)" with points pt 5 ps 1.0 lc rgb "#d62728"
set ylabel "datagrams arrived (%)"
set xlabel "offered rate (datagrams/s; {seconds:g} s per trial, {overload_seconds:g} s per overload trial)"
set yrange [0:105]
set format y "%g"
plot '{data}' index 0 using 1:3 title "Corvane" with points pt 7 ps 1.2 lc rgb "#1f77b4", \\
     '{data}' index 1 using 1:3 title "rsyslog" with points pt 5 ps 1.0 lc rgb "#d62728"
unset multiplot
""".format(png=png, data=data, xmax=xmax, ceiling=ceiling, seconds=bench.args.trial_seconds,
           overload_seconds=bench.args.overload_seconds, date=results["date"])
    script_path = os.path.join(bench.out, "rates.gnuplot")
    with open(script_path, "w") as f:
        f.write(script)
    subprocess.run(["gnuplot", script_path], check=True)


def fmt(rate):
    return "{:,.0f}".format(rate)


def write_results(bench, results, path, png_name):
    r = results
    m = r["machine"]
    cor, rsy, ceil = r["sustained"]["corvane"], r["sustained"]["rsyslog"], r["ceiling"]
    cost = r["own_cost"]
    goals = r["goals"]
    lines = []
    add = lines.append
    add("# Benchmark results")
    add("")
    add("Measured by `bench/run.sh` on %s; the whole run took %.1f minutes." % (r["date"], r["minutes"]))
    add("")
    add("Machine: %d cores, %s, %s GiB, kernel %s, %s; %s; %s."
        % (m["nproc"], m["cpu"], m["memory_gib"], m["kernel"], m["os"], m["rsyslog"], m["journald"]))
    add("")
    add("Load of the machine from other work (load average 1/5/15 min; CPU pressure, "
        "share of the last minute with a task waiting for a CPU): %s, %s %% before the run; "
        "%s, %s %% after it. The bench runs at nice -10 so that other work disturbs it less."
        % (r["load_before"]["loadavg"], r["load_before"]["cpu_pressure_avg60"],
           r["load_after"]["loadavg"], r["load_after"]["cpu_pressure_avg60"]))
    add("")
    add("All figures come from one run, side by side, against one fresh standalone "
        "systemd-journald in a private network and mount namespace. Arrivals are counted "
        "by the sequence number each datagram carries, read back with `journalctl -o json`.")
    add("")
    add("## Goals")
    add("")
    add("| goal | figure | met |")
    add("|---|---|---|")
    for g in goals:
        add("| %s | %s | %s |" % (g["goal"], g["figure"], "yes" if g["met"] else "**no**"))
    add("")
    add("## Sustained rate")
    add("")
    add("Highest offered rate (loopback, paced, %g s per trial) at which every datagram "
        "arrived in the journal and the last entry was there within %.2f s of the last "
        "datagram sent (a collector that only fills its buffers fails that). A sweep, then "
        "%d bisection steps; the first failing rate is the upper bound."
        % (bench.args.trial_seconds, bench.keep_up_s, bench.args.bisect_steps))
    add("")
    add("| | entries/s | × journal ceiling | upper bound |")
    add("|---|---:|---:|---:|")
    add("| journal ceiling (one writer, `sd_journal_sendv`, entries shaped like the collector's) "
        "| %s | 1.00 | |" % fmt(ceil))
    for name, label in (("corvane", "Corvane"), ("rsyslog", "rsyslog (`imudp` → `omjournal`, defaults)")):
        s = r["sustained"][name]
        add("| %s | %s | %.2f | %s |" % (label, fmt(s["rate"]), s["rate"] / ceil,
                                         fmt(s["fail"]) if s["fail"] else "none found"))
    add("")
    add("Corvane / rsyslog: %.2f. Journal ceiling per repeat: %s entries/s."
        % (cor["rate"] / rsy["rate"] if rsy["rate"] else float("inf"),
           ", ".join(fmt(x) for x in r["ceiling_runs"])))
    add("")
    add("![arrived vs offered rate](%s)" % png_name)
    add("")
    add("CPU time per entry that arrived, median over the trials that passed (journald's "
        "and the writer's own: the collector process, or the ceiling's writer):")
    add("")
    add("| writer | journald µs per entry | writer µs per entry |")
    add("|---|---:|---:|")
    for name, label in (("journal", "ceiling writer (`sd_journal_sendv`)"), ("corvane", "Corvane"),
                        ("rsyslog", "rsyslog")):
        rows = [t for t in bench.trials if t["collector"] == name
                and (t.get("kept_up") or name == "journal") and "journald_us" in t]
        if rows:
            add("| %s | %.1f | %.1f |" % (label, statistics.median(t["journald_us"] for t in rows),
                                         statistics.median(t["collector_us"] for t in rows)))
    add("")
    add("## Bursts")
    add("")
    add("Numbered datagrams sent as fast as the sender can (`sendmmsg`, loopback).")
    add("")
    add("| burst | Corvane arrived | rsyslog arrived | sent in (Corvane / rsyslog) |")
    add("|---:|---:|---:|---:|")
    for b in r["bursts"]:
        add("| %s | %s (%.1f %%) | %s (%.1f %%) | %.3f s / %.3f s |"
            % (fmt(b["count"]), fmt(b["corvane"]["arrived"]), 100.0 * b["corvane"]["arrived"] / b["count"],
               fmt(b["rsyslog"]["arrived"]), 100.0 * b["rsyslog"]["arrived"] / b["count"],
               b["corvane"]["send_s"], b["rsyslog"]["send_s"]))
    add("")
    add("## Own cost")
    add("")
    add("CPU time of the receiving thread per datagram, %s datagrams queued in the socket "
        "before each round, median of %d rounds, the loops' rounds alternating "
        "(`bench/own_cost.cpp`). The collector loop is the program's own `RunReceiver` "
        "linked with the Linux port's socket and kernel-object code; the event log is the "
        "harness's and keeps nothing (`+render` also renders the journal's MESSAGE text "
        "and event ID field and looks up its MESSAGE_ID: all of a report but its send). "
        "The bare loop is `recvfrom` on the same kind of socket (port 514, 64 MiB buffer)."
        % (fmt(bench.args.cost_count), bench.args.cost_rounds))
    add("")
    add("| loop | ns per datagram | user | system | × bare |")
    add("|---|---:|---:|---:|---:|")
    bare = cost["bare"]["ns_per_datagram"]
    for name, kv in cost.items():
        add("| %s | %.0f | %.0f | %.0f | %.2f |" % (name, kv["ns_per_datagram"], kv["user_ns"],
                                                   kv["system_ns"], kv["ns_per_datagram"] / bare))
    add("")
    add("User and system split from `getrusage`, which samples; the total is exact "
        "(`CLOCK_THREAD_CPUTIME_ID`).")
    add("")
    add("## Every trial")
    add("")
    add("In order. Entries/s: arrived ÷ (last entry − first send). CPU: µs per arrived entry.")
    add("")
    add("| collector | kind | offered/s | sent | arrived | last entry after last send (s) "
        "| entries/s | journald CPU | writer CPU | pass |")
    add("|---|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for t in bench.trials:
        if t["collector"] == "journal":
            add("| journal | %s | | %s | %s | | %s | %.1f | %.1f | |"
                % (t["kind"], fmt(t["count"]), fmt(t["arrived"]), fmt(t["rate"]),
                   t["journald_us"], t["collector_us"]))
        else:
            add("| %s | %s | %s | %s | %s | %.3f | %s | %.1f | %.1f | %s |"
                % (t["collector"], t["kind"], fmt(t["offered_rate"]), fmt(t["count"]),
                   fmt(t["arrived"]), t["drain_s"], fmt(t["delivered_rate"]), t["journald_us"],
                   t["collector_us"],
                   "" if t["kind"] in ("burst", "overload") else ("yes" if t["kept_up"] else "no")))
    add("")
    kept = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
        if NOTES_MARKER in old:
            kept = old.split(NOTES_MARKER, 1)[1]
    add(NOTES_MARKER)
    text = "\n".join(lines) + (kept if kept else "\n")
    with open(path, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--corvane", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--trial-seconds", type=float, default=4.0)
    parser.add_argument("--keep-up", type=float, default=0.25)
    parser.add_argument("--sweep", type=lambda s: [float(x) for x in s.split(",")],
                        default=[0.1, 0.25, 0.45, 0.65, 0.8, 0.9, 1.0, 1.15, 1.3, 1.5])
    parser.add_argument("--bisect-steps", type=int, default=4)
    parser.add_argument("--retries", type=int, default=1)
    parser.add_argument("--overload", type=lambda s: [float(x) for x in s.split(",") if x],
                        default=[1.5, 2.5])
    parser.add_argument("--overload-seconds", type=float, default=2.0)
    parser.add_argument("--bursts", type=lambda s: [int(x) for x in s.split(",")],
                        default=[20000, 50000, 100000])
    parser.add_argument("--ceiling-seconds", type=float, default=3.0)
    parser.add_argument("--ceiling-repeats", type=int, default=2)
    parser.add_argument("--ceiling-every-round", type=int, default=1)
    parser.add_argument("--cost-count", type=int, default=20000)
    parser.add_argument("--cost-rounds", type=int, default=9)
    parser.add_argument("--journal-mib", type=int, default=8192)
    parser.add_argument("--collectors", default="corvane,rsyslog",
                        help="for trying the bench out: a partial run prints, writes nothing")
    parser.add_argument("--build", action="append", default=[], metavar="NAME=PATH",
                        type=lambda s: tuple(s.split("=", 1)),
                        help="another build of the collector, for --collectors: a change's "
                             "before and after side by side")
    args = parser.parse_args()

    started = time.monotonic()
    bench = Bench(args)
    results = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               "machine": machine(), "load_before": load()}
    try:
        bench.setup_namespace()
        log("== own cost (receive-format-report, event log faked out)")
        results["own_cost"] = bench.own_cost()
        bench.start_journald()
        bench.check_header_reading()
        log("== journal ceiling")
        bench.ceiling_runs += bench.ceiling("before")

        collectors = args.collectors.split(",")
        for name in collectors:
            # Each collector must deliver at all before anything is measured.
            warm = bench.one_trial(name, "warm-up", 1000, 1000.0)
            bench.trials.remove(warm)
            if warm["arrived"] == 0:
                raise SystemExit("%s delivered nothing to the journal (see %s)" % (name, args.out))
        log("== sustained rate, %s side by side" % " and ".join(collectors))
        results["sustained"] = bench.sustained(collectors, statistics.median(bench.ceiling_runs))
        log("== overload, for the plot: %s x the journal ceiling" % args.overload)
        ceiling_now = statistics.median(bench.ceiling_runs)
        for fraction in args.overload:
            for name in collectors:
                rate = ceiling_now * fraction
                bench.one_trial(name, "overload", int(rate * args.overload_seconds), rate)
            collectors.reverse()
        log("== bursts")
        bursts = {name: [] for name in collectors}
        for n in args.bursts:
            for name in collectors:
                bursts[name].append(bench.one_trial(name, "burst", n))
            collectors.reverse()
        log("== journal ceiling, at the end")
        bench.ceiling_runs += bench.ceiling("after")
    finally:
        bench.stop_all()

    if sorted(results["sustained"]) != ["corvane", "rsyslog"]:
        log(json.dumps(results, indent=1, default=str))
        return
    results["load_after"] = load()
    results["ceiling_runs"] = bench.ceiling_runs
    results["ceiling"] = statistics.median(bench.ceiling_runs)
    results["bursts"] = [{"count": n, "corvane": bursts["corvane"][i], "rsyslog": bursts["rsyslog"][i]}
                         for i, n in enumerate(args.bursts)]
    ceil = results["ceiling"]
    cor = results["sustained"]["corvane"]["rate"]
    rsy = results["sustained"]["rsyslog"]["rate"]
    loops = results["own_cost"]
    ratio = loops["collector"]["ns_per_datagram"] / loops["bare"]["ns_per_datagram"]
    goals = [
        {"goal": "sustained ≥ 0.9 × journal ceiling", "met": cor >= 0.9 * ceil,
         "figure": "%s/s = %.2f × %s/s" % (fmt(cor), cor / ceil, fmt(ceil))},
        {"goal": "sustained ≥ rsyslog's", "met": cor >= rsy,
         "figure": "%s/s vs %s/s" % (fmt(cor), fmt(rsy))},
    ]
    for b in results["bursts"]:
        if b["count"] == 50000:
            goals.append({"goal": "zero loss at a 50,000 burst", "met": b["corvane"]["lost"] == 0,
                          "figure": "%s of 50,000 arrived" % fmt(b["corvane"]["arrived"])})
    for b in results["bursts"]:
        goals.append({"goal": "more kept than rsyslog at a %s burst" % fmt(b["count"]),
                      "met": b["corvane"]["arrived"] > b["rsyslog"]["arrived"],
                      "figure": "%s vs %s" % (fmt(b["corvane"]["arrived"]), fmt(b["rsyslog"]["arrived"]))})
    goals.append({"goal": "own cost ≤ 1.10 × bare receive loop", "met": ratio <= 1.10,
                  "figure": "%.0f vs %.0f ns = %.2f ×" % (loops["collector"]["ns_per_datagram"],
                                                         loops["bare"]["ns_per_datagram"], ratio)})
    results["goals"] = goals
    results["minutes"] = (time.monotonic() - started) / 60.0

    png_name = "arrived-vs-offered.png"
    png = os.path.join(os.path.dirname(os.path.abspath(args.results)), png_name)
    plot(bench, results, png)
    write_results(bench, results, args.results, png_name)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"results": results, "trials": bench.trials}, f, indent=1, default=str)

    log("")
    log("== figures (%s)" % results["date"])
    log("journal ceiling          %10s entries/s" % fmt(ceil))
    log("Corvane sustained        %10s /s  = %.2f x ceiling, %.2f x rsyslog"
        % (fmt(cor), cor / ceil, cor / rsy if rsy else float("inf")))
    log("rsyslog sustained        %10s /s  = %.2f x ceiling" % (fmt(rsy), rsy / ceil))
    for b in results["bursts"]:
        log("burst %7s             Corvane %7s   rsyslog %7s arrived"
            % (fmt(b["count"]), fmt(b["corvane"]["arrived"]), fmt(b["rsyslog"]["arrived"])))
    log("own cost                 %.0f ns vs bare %.0f ns per datagram = %.2f x"
        % (loops["collector"]["ns_per_datagram"], loops["bare"]["ns_per_datagram"], ratio))
    for g in goals:
        log("goal %-45s %-30s %s" % (g["goal"], g["figure"], "met" if g["met"] else "MISSED"))
    log("results: %s, plot: %s, raw: %s (%.1f minutes)" % (args.results, png, args.out, results["minutes"]))


if __name__ == "__main__":
    main()

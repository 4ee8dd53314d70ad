"""A throw-away Debian machine with systemd as its PID 1: the cached tree booted by
systemd-nspawn over a memory overlay, so that nothing a test does outlives the test module,
with a host directory shown read-only at /mnt/host. Commands run inside through nsenter."""

import json
import os
import re
import signal
import subprocess
import time
from pathlib import Path

BOOT_S = 60
HOST_DIR = "/mnt/host"


def cgroup_dirs(name):
    """nspawn puts its payload below the cgroup it was started in; without cgroups of its own
    it would leave them at the root of the host's hierarchies."""
    root = Path("/sys/fs/cgroup")
    if (root / "unified").is_dir():  # a hybrid host: the v2 tree and the named systemd one
        return [root / "unified" / name, root / "systemd" / name]
    if (root / "cgroup.controllers").exists():
        return [root / name]
    raise RuntimeError(f"no cgroup hierarchy that systemd-nspawn can use under {root}")


def remove_cgroups(directories):
    for top in directories:
        for path, _, _ in sorted(os.walk(top), key=lambda entry: -len(entry[0])):
            os.rmdir(path)  # cgroupfs: an empty group goes with its control files


class Container:
    def __init__(self, tree, name, host_dir, log):
        self.name, self.host_dir, self.log = name, Path(host_dir), Path(log)
        self.cgroups = cgroup_dirs(name)
        for directory in self.cgroups:
            directory.mkdir()

        def enter_cgroups():
            for directory in self.cgroups:
                (directory / "cgroup.procs").write_text("0")

        with open(self.log, "wb") as out:
            # No bus on this host to register with; the console a pipe, never a device
            # node of the host, whose mode systemd inside would change.
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "-q", "-D", tree, "-M", name, "--volatile=overlay",
                 "--register=no", "--keep-unit", "--private-network", "--link-journal=no",
                 "--resolv-conf=off", "--timezone=off", "--console=pipe",
                 f"--bind-ro={host_dir}:{HOST_DIR}", "-b"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                preexec_fn=enter_cgroups)
        try:
            self.pid = self._wait_for_manager()
        except BaseException:
            self.halt()
            raise

    def _fail(self, why):
        raise RuntimeError(f"container {self.name} did not boot: {why}\n"
                           f"--- systemd-nspawn said:\n{self.log.read_text(errors='replace')}")

    def _wait_for_manager(self):
        deadline = time.monotonic() + BOOT_S
        children = Path(f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children")
        while time.monotonic() < deadline:
            if self.nspawn.poll() is not None:
                self._fail(f"systemd-nspawn ended with status {self.nspawn.returncode}")
            pids = children.read_text().split()
            if pids and Path(f"/proc/{pids[0]}/root/run/systemd/private").exists():
                self.pid = int(pids[0])
                state = self.run("systemctl", "is-system-running", "--wait", check=False)
                if state.stdout.strip() != "running":
                    failed = self.run("systemctl", "--failed", "--no-legend", check=False)
                    self._fail(f"system state {state.stdout.strip()!r}:\n{failed.stdout}")
                return self.pid
            time.sleep(0.05)
        self._fail(f"no service manager after {BOOT_S} s")

    def run(self, *argv, check=True, timeout=60):
        """A command inside, as root; its output as text."""
        result = subprocess.run(["nsenter", "-t", str(self.pid), "-a", *map(str, argv)],
                                capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError(f"{argv} ended with {result.returncode}:\n"
                                 f"{result.stdout}{result.stderr}")
        return result

    def in_network(self, *argv, **options):
        """A host program in the container's network only (its loopback, its port 514)."""
        return subprocess.Popen(["nsenter", "-t", str(self.pid), "-n", *map(str, argv)],
                                **options)

    def path(self, inside):
        return Path(f"/proc/{self.pid}/root{inside}")

    def empty_directories(self, top):
        return self.run("find", top, "-type", "d", "-empty", check=False).stdout.split()

    def show(self, unit, *properties):
        output = self.run("systemctl", "show", unit, "-p", ",".join(properties)).stdout
        return dict(line.split("=", 1) for line in output.splitlines())

    def journal(self, *match):
        """Entries as field dictionaries; fields with control characters come as byte lists."""
        self.run("journalctl", "--sync")
        lines = self.run("journalctl", "-o", "json", "--no-pager", *match).stdout.splitlines()
        return [{name: bytes(value).decode() if isinstance(value, list) else value
                 for name, value in json.loads(line).items()} for line in lines]

    def wait_journal(self, count, *match, timeout=30):
        deadline = time.monotonic() + timeout
        while len(entries := self.journal(*match)) < count and time.monotonic() < deadline:
            time.sleep(0.2)
        return entries

    def halt(self):
        """SIGTERM is an orderly halt for systemd-nspawn."""
        if self.nspawn.poll() is None:
            self.nspawn.send_signal(signal.SIGTERM)
            try:
                self.nspawn.wait(timeout=BOOT_S)
            except subprocess.TimeoutExpired:
                self.nspawn.kill()
                self.nspawn.wait(timeout=BOOT_S)
        remove_cgroups(self.cgroups)


def exposure(container, unit):
    """systemd-analyze security's overall figure and the settings it flags."""
    output = container.run("systemd-analyze", "security", "--no-pager", unit).stdout
    flagged = set(re.findall(r"^✗ (\S+)", output, re.MULTILINE))
    return float(re.search(rf"Overall exposure level for {unit}\S*: ([\d.]+)", output)[1]), flagged

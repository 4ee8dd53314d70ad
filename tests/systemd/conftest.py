"""One throw-away machine per test module: the cached tree booted by systemd-nspawn over a
memory overlay, systemd its PID 1, the binary and package read-only at /mnt/host."""

import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

BOOT_S = 60


def cgroup_dirs(name):
    # Without cgroups of its own, nspawn would leave its payload's at the host's root.
    root = Path("/sys/fs/cgroup")
    if (root / "unified").is_dir():  # a hybrid host
        return [root / "unified" / name, root / "systemd" / name]
    assert (root / "cgroup.controllers").exists(), f"no cgroup hierarchy for nspawn in {root}"
    return [root / name]


class Machine:
    def __init__(self, tree, name, host_dir, log):
        self.log, self.cgroups = log, cgroup_dirs(name)
        for directory in self.cgroups:
            directory.mkdir()

        def enter_cgroups():
            for directory in self.cgroups:
                (directory / "cgroup.procs").write_text("0")

        # No bus to register with; the console a pipe, never a host device whose mode
        # systemd inside would change.
        with open(log, "wb") as out:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "-q", "-D", tree, "-M", name, "--volatile=overlay",
                 "--register=no", "--keep-unit", "--private-network", "--link-journal=no",
                 "--resolv-conf=off", "--timezone=off", "--console=pipe",
                 f"--bind-ro={host_dir}:/mnt/host", "-b"], stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT, preexec_fn=enter_cgroups)
        try:
            self._boot()
        except BaseException:
            self.halt()
            raise

    def _boot(self):
        children = Path(f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children")
        deadline = time.monotonic() + BOOT_S
        while not ((pids := children.read_text().split())
                   and Path(f"/proc/{pids[0]}/root/run/systemd/private").exists()):
            assert self.nspawn.poll() is None and time.monotonic() < deadline, \
                f"no boot:\n{self.log.read_text(errors='replace')}"
            time.sleep(0.05)
        self.pid = int(pids[0])
        state = self.run("systemctl", "is-system-running", "--wait", check=False).stdout
        assert state == "running\n", state + self.run("systemctl", "--failed", check=False).stdout

    def run(self, *argv, check=True, timeout=60):
        result = subprocess.run(["nsenter", "-t", str(self.pid), "-a", *map(str, argv)],
                                capture_output=True, text=True, timeout=timeout)
        assert not check or result.returncode == 0, (argv, result)
        return result

    def in_network(self, *argv, **options):
        """A host program in the machine's network only (its loopback, its port 514)."""
        return subprocess.Popen(["nsenter", "-t", str(self.pid), "-n", *map(str, argv)],
                                **options)

    def path(self, inside):
        return Path(f"/proc/{self.pid}/root{inside}")

    def show(self, *properties, unit="Corvane"):
        output = self.run("systemctl", "show", unit, "-p", ",".join(properties)).stdout
        return dict(line.split("=", 1) for line in output.splitlines())

    def assert_gone(self):
        assert self.show("LoadState", "ActiveState") == {"LoadState": "not-found",
                                                         "ActiveState": "inactive"}
        assert not self.path("/etc/systemd/system/Corvane.service").exists()
        assert self.run("find", "/etc/corvane", "-type", "d", "-empty", check=False).stdout == ""

    def journal(self, *match, count=0, timeout=30):
        """Entries as field dictionaries (byte lists decoded), waiting for `count` of them."""
        deadline = time.monotonic() + timeout
        while True:
            self.run("journalctl", "--sync")
            lines = self.run("journalctl", "-o", "json", *match).stdout.splitlines()
            if len(lines) >= count or time.monotonic() > deadline:
                return [{name: bytes(value).decode() if isinstance(value, list) else value
                         for name, value in json.loads(line).items()} for line in lines]
            time.sleep(0.2)

    def halt(self):
        self.nspawn.terminate()  # an orderly halt for nspawn
        try:
            self.nspawn.wait(timeout=BOOT_S)
        except subprocess.TimeoutExpired:
            self.nspawn.kill()
            self.nspawn.wait()
        for top in self.cgroups:
            for path, _, _ in sorted(os.walk(top), key=lambda entry: -len(entry[0])):
                os.rmdir(path)  # an empty cgroup goes with its control files


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    host_dir = tmp_path_factory.mktemp("host")
    shutil.copy(os.environ["CORVANE_BINARY"], host_dir / "corvane")
    shutil.copy(os.environ["CORVANE_DEB"], host_dir)
    name = f"corvane-{os.getpid()}-{host_dir.name}"
    machine = Machine(os.environ["CORVANE_TREE"], name, host_dir, host_dir.parent / f"{name}.log")
    yield machine
    machine.halt()

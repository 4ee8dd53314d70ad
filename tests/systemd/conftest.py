"""A throw-away machine per module: systemd-nspawn over a memory overlay of the cached tree."""

import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

def cgroup_dirs(name):
    # Without cgroups of its own, nspawn would leave its payload's at the host's root.
    root = Path("/sys/fs/cgroup")
    if (root / "unified").is_dir():  # a hybrid host
        return [root / "unified" / name, root / "systemd" / name]
    assert (root / "cgroup.controllers").exists(), f"no cgroup hierarchy for nspawn in {root}"
    return [root / name]


class Machine:
    def __init__(self, tree, name, host_dir):
        self.log, self.cgroups = host_dir.parent / f"{name}.log", cgroup_dirs(name)
        for directory in self.cgroups:
            directory.mkdir()

        # No bus to register with; a pipe for console, not a host device systemd would chmod.
        with open(self.log, "wb") as out:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "-q", "-D", tree, "-M", name, "--volatile=overlay",
                 "--register=no", "--keep-unit", "--private-network", "--link-journal=no",
                 "--resolv-conf=off", "--timezone=off", "--console=pipe",
                 f"--bind-ro={host_dir}:/mnt/host", "-b"], stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT,
                preexec_fn=lambda: [(d / "cgroup.procs").write_text("0") for d in self.cgroups])
        try:
            self._boot()
        except BaseException:
            self.halt()
            raise

    def _boot(self):
        children = Path(f"/proc/{self.nspawn.pid}/task/{self.nspawn.pid}/children")
        deadline = time.monotonic() + 60
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

    def in_network(self, *argv, **options):  # a host program on the machine's network
        return subprocess.Popen(["nsenter", "-t", str(self.pid), "-n", *map(str, argv)],
                                **options)

    def send_numbered(self, prefix, count, pause=0):
        script = (f"import socket, time\ns = socket.socket(2, 2)\nfor n in range({count}):\n"
                  f"    s.sendto(b'{prefix} %05d' % n, ('127.0.0.1', 514))"
                  + (f"; time.sleep({pause})" if pause else ""))
        sender = self.in_network("/usr/bin/python3", "-c", script)
        assert sender.wait(timeout=120) == 0

    def show(self, *properties, unit="Corvane"):
        output = self.run("systemctl", "show", unit, "-p", ",".join(properties)).stdout
        return dict(line.split("=", 1) for line in output.splitlines())

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
            self.nspawn.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.nspawn.kill()
            self.nspawn.wait()
        for top in self.cgroups:
            for path, _, _ in sorted(os.walk(top), key=lambda entry: -len(entry[0])):
                os.rmdir(path)  # an empty cgroup goes with its control files


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    host_dir = tmp_path_factory.mktemp("host")
    for built in ("CORVANE_BINARY", "CORVANE_DEB"):  # the binary is named corvane
        shutil.copy(os.environ[built], host_dir)
    machine = Machine(os.environ["CORVANE_TREE"], f"corvane-{os.getpid()}-{host_dir.name}",
                      host_dir)
    yield machine
    machine.halt()

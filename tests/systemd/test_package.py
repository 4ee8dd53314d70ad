"""The Debian package: what it holds, what lintian says, and its life in a machine from
apt-get install to a purge that takes an installed service with it."""

import os
import re
import subprocess

from container import HOST_DIR

DEB = os.environ["CORVANE_DEB"]
PACKAGED = {"./usr/sbin/corvane", "./usr/share/doc/corvane/README.md",
            "./usr/share/doc/corvane/copyright", "./usr/share/doc/corvane/changelog.gz"}


def test_package_holds_the_program_and_its_dependencies():
    assert os.path.basename(DEB) == "corvane_1.01_amd64.deb"
    listing = subprocess.run(["dpkg-deb", "-c", DEB], capture_output=True, text=True,
                             check=True, timeout=30).stdout
    assert {line.split()[-1] for line in listing.splitlines() if line[0] == "-"} == PACKAGED
    depends = subprocess.run(["dpkg-deb", "-f", DEB, "Depends"], capture_output=True,
                             text=True, check=True, timeout=30).stdout
    for library in ("libc6", "libstdc++6", "libgcc-s1"):
        assert re.search(rf"\b{re.escape(library)} \(>= [\d.]+\)", depends), depends
    lintian = subprocess.run(["lintian", DEB], capture_output=True, text=True, timeout=300)
    print(f"lintian:\n{lintian.stdout}")
    assert lintian.returncode == 0 and not re.search(r"^E:", lintian.stdout, re.MULTILINE)


def test_installed_package_runs_and_its_purge_removes_the_service(machine):
    deb = f"{HOST_DIR}/{os.path.basename(DEB)}"
    machine.run("apt-get", "install", "-y", "-q", "--no-install-recommends", deb, timeout=300)
    assert machine.run("corvane", "-install").stdout == "Corvane installed.\n"
    machine.run("systemctl", "start", "Corvane")
    machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", "packaged")
    pid = machine.show("Corvane", "MainPID")["MainPID"]
    assert machine.wait_journal(1, f"_PID={pid}", "EVENT_ID=0x40020003")
    machine.run("systemctl", "stop", "Corvane")
    assert machine.show("Corvane", "Result")["Result"] == "success"
    # Running again when the package goes: it is stopped and removed with it.
    machine.run("systemctl", "start", "Corvane")
    purge = machine.run("apt-get", "purge", "-y", "-q", "corvane", timeout=300)
    assert "Corvane removed." in purge.stdout
    assert machine.show("Corvane", "LoadState", "ActiveState") == {"LoadState": "not-found",
                                                                   "ActiveState": "inactive"}
    for gone in ("/usr/sbin/corvane", "/etc/systemd/system/Corvane.service"):
        assert not machine.path(gone).exists(), gone
    assert machine.empty_directories("/etc/corvane") == []

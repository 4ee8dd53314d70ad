"""The Debian package: its contents, lintian's verdict, and its life from install to purge."""

import os
import re
import subprocess

DEB = os.environ["CORVANE_DEB"]


def test_package_holds_the_program_and_its_dependencies():
    listing = subprocess.check_output(["dpkg-deb", "-c", DEB], text=True, timeout=30)
    files = {line.split()[-1] for line in listing.splitlines() if line[0] == "-"}
    docs = {f"./usr/share/doc/corvane/{name}" for name in ["README.md", "copyright", "changelog.gz"]
            + [f"docs/{page}" for page in os.listdir("docs")]}
    assert files == {"./usr/sbin/corvane", "./usr/share/man/man8/corvane.8.gz",
                     "./usr/lib/systemd/catalog/corvane.catalog"} | docs
    depends = subprocess.check_output(["dpkg-deb", "-f", DEB, "Depends"], text=True, timeout=30)
    assert sorted(re.findall(r"\b(libc6|libstdc\+\+6|libgcc-s1) \(>= [\d.]+\)", depends)) == \
        ["libc6", "libgcc-s1", "libstdc++6"], depends
    lintian = subprocess.run(["lintian", DEB], capture_output=True, text=True, timeout=300)
    print(f"lintian:\n{lintian.stdout}")
    assert lintian.returncode == 0 and not re.search(r"^E:", lintian.stdout, re.MULTILINE)
    assert "manual-page" not in lintian.stdout


def test_installed_package_runs_and_its_purge_removes_the_service(machine):
    deb = f"/mnt/host/{os.path.basename(DEB)}"
    machine.run("apt-get", "install", "-y", "-q", "--no-install-recommends", deb, timeout=300)
    assert machine.run("man", "-w", "corvane").stdout == "/usr/share/man/man8/corvane.8.gz\n"
    assert machine.run("corvane", "-install").stdout == "Corvane installed.\n"
    holder = machine.in_network("/usr/bin/python3", "-c", "import socket, sys; s = socket.socket("
                                "2, 2); s.bind(('', 514)); print(flush=True); sys.stdin.read()",
                                stdin=-1, stdout=-1)  # as a syslog daemon would hold the port
    holder.stdout.readline()
    # A start that would only fail again is not restarted.
    assert machine.run("systemctl", "start", "Corvane", check=False).returncode != 0
    assert machine.show("ActiveState", "StatusText") == {
        "ActiveState": "failed", "StatusText": "Stopped (exit code 10048)"}
    holder.communicate(timeout=10)
    machine.run("systemctl", "start", "Corvane")
    machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", "packaged")
    machine.in_network("/usr/bin/python3", "-c", "import socket; socket.socket(2, 2).sendto("
                       "b'.' * 9000, ('127.0.0.1', 514))").wait(timeout=30)  # too long: lost
    pid = machine.show("MainPID")["MainPID"]
    assert machine.journal(f"_PID={pid}", "EVENT_ID=0x40020003", count=1)
    # Its files again, as a higher version.
    machine.run("sh", "-c", f"dpkg-deb -R {deb} /tmp/up && sed -i 's/^Version: .*/&+1/' "
                "/tmp/up/DEBIAN/control && dpkg-deb -b /tmp/up /tmp/up.deb")
    machine.run("dpkg", "-i", "/tmp/up.deb", timeout=300)  # restarts it on the new file
    new = machine.show("MainPID")["MainPID"]
    assert new != pid and machine.run("readlink", f"/proc/{new}/exe").stdout == \
        "/usr/sbin/corvane\n"
    # The catalogue the package brought explains each kind of entry under it.
    machine.run("journalctl", "--sync")
    explained = machine.run("journalctl", "-x", "-t", "Corvane").stdout
    for line, explanation in [(r"bind\(\) failed with error 10048", "ss -ulpn"),
                              (r"Log: \[.*packaged\]", "Subject: A log line from 127.0.0.1:"),
                              ("Warning Lost since the last report: 1 too long", "Subject: Messages")]:
        # Under the entry: its text's further lines, then the explanation's.
        assert re.search(rf"{line}.*\n(?:[ ░].*\n)*?░░ .*{re.escape(explanation)}", explained), \
            explained
    machine.run("systemctl", "stop", "Corvane")
    assert machine.show("Result", "ExecMainStatus") == {"Result": "success",
                                                        "ExecMainStatus": "0"}
    machine.run("dpkg", "-i", "/tmp/up.deb", timeout=300)  # a reinstall: stopped stays stopped
    assert machine.show("ActiveState") == {"ActiveState": "inactive"}
    # The stopped service's folder is not a hand run's to write in: it says so, once.
    hand = machine.run("corvane", check=False)
    assert hand.returncode == 1 and hand.stderr.count("Unable to write") == 1, hand.stderr
    machine.run("systemctl", "start", "Corvane")  # a purge stops it and removes it
    purge = machine.run("apt-get", "purge", "-y", "-q", "corvane", timeout=300).stdout
    assert re.search(r"^Stopping Corvane\.+\nCorvane stopped\.\nCorvane removed\.$", purge,
                     re.MULTILINE), purge
    assert machine.show("LoadState", "ActiveState") == {"LoadState": "not-found",
                                                        "ActiveState": "inactive"}
    for left in ("/etc/systemd/system/Corvane.service", "/run/Corvane", "/run/private/Corvane"):
        assert not os.path.lexists(f"/proc/{machine.pid}/root{left}"), left
    assert machine.run("find", "/etc/corvane", "-type", "d", "-empty", check=False).stdout == ""
    assert "Corvane:" not in machine.run("journalctl", "--list-catalog").stdout

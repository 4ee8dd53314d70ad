"""The administrator's road under a real systemd, step by step in one machine, in order."""

import re
import time


BINARY = "/opt/Log Tools/corvane"  # a space the unit's command line must quote
LOG_LINE = "EVENT_ID=0x40020003"
RUNNING = {"ActiveState": "active", "SubState": "running", "StatusText": "Running"}


def test_installed_service_starts_without_a_reload_unprivileged_and_sandboxed(machine):
    machine.run("install", "-D", "-m", "0755", "/mnt/host/corvane", BINARY)
    assert machine.run(BINARY, "-install").stdout == "Corvane installed.\n"
    assert machine.run("systemd-analyze", "verify", "Corvane.service").stderr == ""
    machine.run("systemctl", "start", "Corvane")
    assert machine.show(*RUNNING) == RUNNING
    # Both threads as a user of its own, no capability left ...
    tasks = machine.run("sh", "-c", f"cat /proc/{machine.show('MainPID')['MainPID']}/task/*/status")
    assert len(re.findall(r"^Uid:\s+[1-9]\d*\s", tasks.stdout, re.MULTILINE)) == 2
    capabilities = re.findall(r"^Cap(?:Inh|Prm|Eff|Amb):\s+(\w+)", tasks.stdout, re.MULTILINE)
    assert capabilities == ["0" * 16] * 8
    # ... yet the receive buffer only the privilege could give.
    sockets = machine.in_network("ss", "-Huamn", "sport = :514", stdout=-1, text=True)
    buffer = re.search(r"\brb(\d+)", sockets.communicate(timeout=10)[0])
    assert int(buffer[1]) >= 64 << 20, buffer
    security = machine.run("systemd-analyze", "security", "--no-pager", "Corvane.service").stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", security)[1])
    print(f"systemd-analyze security: exposure {exposure}")
    assert exposure <= 2.0


def resident_kib(machine):
    status = machine.run("cat", f"/proc/{machine.show('MainPID')['MainPID']}/status").stdout
    return int(re.search(r"^VmRSS:\s+(\d+)", status, re.MULTILINE)[1])


def restarted(machine, pid, timeout):
    """The new main process once the manager has brought the service back."""
    deadline = time.monotonic() + timeout
    while (state := machine.show("MainPID", *RUNNING))["MainPID"] in ("0", pid) or \
            {k: state[k] for k in RUNNING} != RUNNING:
        assert time.monotonic() < deadline, state
        time.sleep(0.2)
    return state["MainPID"]


def test_a_crash_or_a_hang_brings_the_service_back_and_a_stalled_journal_costs_nothing(machine):
    assert machine.show("Restart", "RestartUSec", "WatchdogUSec") == {
        "Restart": "on-abnormal", "RestartUSec": "2s", "WatchdogUSec": "30s"}
    pid = machine.show("MainPID")["MainPID"]
    machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", "before the crash")
    assert machine.journal("-t", "Corvane", LOG_LINE, f"_PID={pid}", count=1)
    machine.run("sh", "-c", f"kill -KILL {pid}")
    new = restarted(machine, pid, timeout=2 + 5)
    machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", "after the crash")
    for owner in (pid, new):  # the entries of the run before the crash stay
        assert machine.journal("-t", "Corvane", LOG_LINE, f"_PID={owner}", count=1), owner
    # Stalled for longer than the watchdog's period, with far more than its socket queues: each
    # line waits its turn in the receive buffer, in flat memory; the service is no hang, and its
    # stop gives the run's figures.
    pid, restarts, resident = new, machine.show("NRestarts")["NRestarts"], resident_kib(machine)
    journald = machine.show("MainPID", unit="systemd-journald")["MainPID"]
    machine.run("sh", "-c", f"kill -STOP {journald}")
    try:
        machine.in_network("/usr/bin/python3", "-c", "import socket; socket.socket(2, 2).sendto("
                           "b'.' * 9000, ('127.0.0.1', 514))").wait(timeout=30)  # too long
        machine.send_numbered("stalled", 45_000, pause=0.001)  # about 50 s
    finally:
        machine.run("sh", "-c", f"kill -CONT {journald}")
    entries = machine.journal("-t", "Corvane", LOG_LINE, f"_PID={pid}", "-g", "stalled",
                              "--output-fields=EVENT_STRING_1", count=45_000, timeout=60)
    assert [e["EVENT_STRING_1"] for e in entries] == [f"[stalled {n:05}]" for n in range(45_000)]
    grown = resident_kib(machine) - resident
    print(f"resident memory grown by {grown} KiB over the stall")
    assert grown <= 1024, "memory grows with the datagrams"
    assert machine.show("MainPID", "NRestarts") == {"MainPID": pid, "NRestarts": restarts}
    machine.run("systemctl", "stop", "Corvane")
    *_, stop = machine.journal("-t", "Corvane", "EVENT_ID=0x80020006", f"_PID={pid}", count=2)
    assert stop["MESSAGE"].endswith("since the start: 1 too long, 0 dropped by the kernel, "
                                    "0 not written, 0 unread at stop. "), stop
    # A shorter period, the same rules: a loop that no longer turns is killed and restarted.
    drop_in = "/run/systemd/system/Corvane.service.d/watchdog.conf"
    machine.run("sh", "-c", f"mkdir -p {drop_in.rsplit('/', 1)[0]} && printf "
                f"'[Service]\\nWatchdogSec=10s\\n' >{drop_in} && systemctl daemon-reload")
    machine.run("systemctl", "start", "Corvane")  # counts its restarts from 0 again
    pid = machine.show("MainPID")["MainPID"]
    machine.run("sh", "-c", f"kill -STOP {pid}")
    restarted(machine, pid, timeout=10 + 2 + 5)
    assert machine.show("NRestarts") == {"NRestarts": "1"}
    machine.run("sh", "-c", f"rm {drop_in} && systemctl daemon-reload")

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


def test_burst_arrives_whole_in_flat_memory(machine):
    before, resident = len(machine.journal("-t", "Corvane", LOG_LINE)), resident_kib(machine)
    machine.send_numbered("burst", 50_000)
    machine.journal("EVENT_STRING_1=[burst 49999]", count=1, timeout=60)  # the last, in order
    entries = machine.journal("-t", "Corvane", LOG_LINE, "--output-fields=EVENT_STRING_1")
    assert [e["EVENT_STRING_1"] for e in entries[before:]] == [f"[burst {n:05}]"
                                                               for n in range(50_000)]
    grown = resident_kib(machine) - resident
    print(f"resident memory grown by {grown} KiB over the burst")
    assert grown <= 1024, "memory grows with the datagrams"


def restarted(machine, pid, timeout):
    """The new main process once the manager has brought the service back."""
    deadline = time.monotonic() + timeout
    while (state := machine.show("MainPID", *RUNNING))["MainPID"] in ("0", pid) or \
            {k: state[k] for k in RUNNING} != RUNNING:
        assert time.monotonic() < deadline, state
        time.sleep(0.2)
    return state["MainPID"]


def test_a_crash_or_a_hang_brings_the_service_back_and_a_stalled_journal_does_not(machine):
    assert machine.show("Restart", "RestartUSec", "WatchdogUSec") == {
        "Restart": "on-abnormal", "RestartUSec": "2s", "WatchdogUSec": "30s"}
    pid = machine.show("MainPID")["MainPID"]
    machine.run("sh", "-c", f"kill -KILL {pid}")
    new = restarted(machine, pid, timeout=2 + 5)
    machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", "after the crash")
    for owner in (pid, new):  # the entries of the run before the crash stay
        assert machine.journal("-t", "Corvane", LOG_LINE, f"_PID={owner}", count=1), owner
    # A shorter period, the same rules: a journal stalled for longer than it is no hang.
    drop_in = "/run/systemd/system/Corvane.service.d/watchdog.conf"
    machine.run("sh", "-c", f"mkdir -p {drop_in.rsplit('/', 1)[0]} && printf "
                f"'[Service]\\nWatchdogSec=10s\\n' >{drop_in} && systemctl daemon-reload")
    machine.run("systemctl", "restart", "Corvane")
    pid, restarts = machine.show("MainPID")["MainPID"], machine.show("NRestarts")["NRestarts"]
    journald = machine.show("MainPID", unit="systemd-journald")["MainPID"]
    machine.run("sh", "-c", f"kill -STOP {journald}")
    try:
        machine.send_numbered("stalled", 15_000, pause=0.001)
    finally:
        machine.run("sh", "-c", f"kill -CONT {journald}")
    assert machine.show("MainPID", "NRestarts") == {"MainPID": pid, "NRestarts": restarts}
    lost = machine.journal("-t", "Corvane", "EVENT_ID=0x80020006", f"_PID={pid}", count=1)
    assert re.search(r"since the start: .*[1-9][\d,]* not written", lost[0]["MESSAGE"]), lost
    machine.run("sh", "-c", f"kill -STOP {pid}")  # a loop that no longer turns
    restarted(machine, pid, timeout=10 + 2 + 5)
    assert machine.show("Result", "NRestarts")["NRestarts"] == str(int(restarts) + 1)
    machine.run("sh", "-c", f"rm {drop_in} && systemctl daemon-reload")


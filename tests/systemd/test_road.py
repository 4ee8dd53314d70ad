"""The administrator's road under a real systemd, step by step in one machine, in order."""

import re
import time


BINARY = "/opt/Log Tools/corvane"  # a space the unit's command line must quote
LOG_LINE = "EVENT_ID=0x40020003"
RUNNING = {"ActiveState": "active", "SubState": "running", "StatusText": "Running"}


def test_installed_service_starts_without_a_reload(machine):
    machine.run("install", "-D", "-m", "0755", "/mnt/host/corvane", BINARY)
    assert machine.run(BINARY, "-install").stdout == "Corvane installed.\n"
    assert machine.run("systemd-analyze", "verify", "Corvane.service").stderr == ""
    machine.run("systemctl", "start", "Corvane")
    assert machine.show(*RUNNING) == RUNNING


def test_running_service_is_unprivileged_and_sandboxed(machine):
    tasks = machine.run("sh", "-c", f"cat /proc/{machine.show('MainPID')['MainPID']}/task/*/status")
    assert len(re.findall(r"^Uid:\s+[1-9]\d*\s", tasks.stdout, re.MULTILINE)) == 2  # threads
    capabilities = re.findall(r"^Cap(?:Inh|Prm|Eff|Amb):\s+(\w+)", tasks.stdout, re.MULTILINE)
    assert capabilities == ["0" * 16] * 8
    # ... yet it has the receive buffer only the privilege could give it.
    sockets = machine.in_network("ss", "-Huamn", "sport = :514", stdout=-1, text=True)
    buffer = re.search(r"\brb(\d+)", sockets.communicate(timeout=10)[0])
    assert int(buffer[1]) >= 64 << 20, buffer
    security = machine.run("systemd-analyze", "security", "--no-pager", "Corvane.service").stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", security)[1])
    print(f"systemd-analyze security: exposure {exposure}")
    assert exposure <= 2.0


def test_datagrams_from_logger_become_entries_with_their_fields(machine):
    for options in (["--rfc5424=notq,notime,nohost", "-t", "probe"], []):
        machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", *options, "hello")
    entries = machine.journal("-t", "Corvane", LOG_LINE, count=2)
    assert entries[0]["EVENT_STRING_1"] == "[<13>1 - - probe - - - hello]"
    assert re.fullmatch(r"\[<13>.* hello\]", entries[1]["EVENT_STRING_1"]), entries
    for entry in entries:
        assert entry["MESSAGE"] == f"Corvane Log: {entry['EVENT_STRING_1']} "
        assert (entry["PRIORITY"], entry["EVENT_TYPE"], entry["EVENT_CATEGORY"],
                entry["_PID"]) == ("6", "4", "0", machine.show("MainPID")["MainPID"])


def test_burst_arrives_whole(machine):
    before = len(machine.journal("-t", "Corvane", LOG_LINE))
    send = ("import socket\ns = socket.socket(2, 2)\nfor n in range(50_000):\n"
            "    s.sendto(b'burst %05d' % n, ('127.0.0.1', 514))")
    assert machine.in_network("/usr/bin/python3", "-c", send).wait(timeout=120) == 0
    machine.journal("EVENT_STRING_1=[burst 49999]", count=1, timeout=60)  # the last, in order
    entries = machine.journal("-t", "Corvane", LOG_LINE, "--output-fields=EVENT_STRING_1")
    assert [e["EVENT_STRING_1"] for e in entries[before:]] == [f"[burst {n:05}]"
                                                               for n in range(50_000)]


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
    send = ("import socket, time\ns = socket.socket(2, 2)\nfor n in range(15_000):\n"
            "    s.sendto(b'stalled %05d' % n, ('127.0.0.1', 514)); time.sleep(0.001)")
    machine.run("sh", "-c", f"kill -STOP {journald}")
    try:
        assert machine.in_network("/usr/bin/python3", "-c", send).wait(timeout=60) == 0
    finally:
        machine.run("sh", "-c", f"kill -CONT {journald}")
    assert machine.show("MainPID", "NRestarts") == {"MainPID": pid, "NRestarts": restarts}
    lost = machine.journal("-t", "Corvane", "EVENT_ID=0x80020006", f"_PID={pid}", count=1)
    assert re.search(r"since the start: .*[1-9][\d,]* not written", lost[0]["MESSAGE"]), lost
    machine.run("sh", "-c", f"kill -STOP {pid}")  # a loop that no longer turns
    restarted(machine, pid, timeout=10 + 2 + 5)
    assert machine.show("Result", "NRestarts")["NRestarts"] == str(int(restarts) + 1)
    machine.run("sh", "-c", f"rm {drop_in} && systemctl daemon-reload")


def test_stop_succeeds_and_remove_stops_a_running_service_and_leaves_nothing(machine):
    machine.run("systemctl", "stop", "Corvane")
    assert machine.show("ActiveState", "Result", "ExecMainStatus") == {
        "ActiveState": "inactive", "Result": "success", "ExecMainStatus": "0"}
    machine.run("systemctl", "start", "Corvane")
    assert machine.show(*RUNNING) == RUNNING
    output = machine.run(BINARY, "-remove").stdout
    assert re.fullmatch(r"Stopping Corvane\.+\nCorvane stopped\.\nCorvane removed\.\n", output)
    machine.assert_gone()

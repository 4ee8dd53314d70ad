"""The administrator's road under a real systemd, step by step in one machine, in order."""

import re

import pytest

BINARY = "/opt/Log Tools/corvane"  # a space the unit's command line must quote
LOG_LINE = "EVENT_ID=0x40020003"
RUNNING = {"ActiveState": "active", "SubState": "running", "StatusText": "Running"}


@pytest.mark.parametrize("directory", ["/root", "/home/u", "/tmp/x"])
def test_install_refuses_a_place_the_sandbox_hides(machine, directory):
    machine.run("install", "-D", "-m", "0755", "/mnt/host/corvane", f"{directory}/corvane")
    result = machine.run(f"{directory}/corvane", "-install", check=False)
    assert result.returncode == 1 and result.stdout.startswith("Unable to install Corvane - ")
    assert not any(machine.path(p).exists() for p in ("/etc/systemd/system/Corvane.service",
                                                   "/etc/corvane"))


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


def test_stop_succeeds_and_remove_stops_a_running_service_and_leaves_nothing(machine):
    machine.run("systemctl", "stop", "Corvane")
    assert machine.show("ActiveState", "Result", "ExecMainStatus") == {
        "ActiveState": "inactive", "Result": "success", "ExecMainStatus": "0"}
    machine.run("systemctl", "start", "Corvane")
    assert machine.show(*RUNNING) == RUNNING
    output = machine.run(BINARY, "-remove").stdout
    assert re.fullmatch(r"Stopping Corvane\.+\nCorvane stopped\.\nCorvane removed\.\n", output)
    machine.assert_gone()


def test_start_on_a_taken_port_fails_the_unit_with_its_code(machine):
    machine.run(BINARY, "-install")
    with machine.port_held():
        assert machine.run("systemctl", "start", "Corvane", check=False).returncode != 0
        assert machine.show("ActiveState", "StatusText") == {
            "ActiveState": "failed", "StatusText": "Stopped (exit code 10048)"}
        pid = machine.show("ExecMainPID")["ExecMainPID"]
        console = [entry["MESSAGE"] for entry in machine.journal(f"_PID={pid}")]
        assert any("bind() failed with error 10048" in line for line in console), console
    assert machine.run(BINARY, "-remove").stdout == "Corvane removed.\n"

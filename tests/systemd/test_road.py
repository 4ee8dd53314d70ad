"""The administrator's road under a real systemd, step by step in one machine."""

import re

import pytest

BINARY = "/opt/Log Tools/corvane"  # a space the unit's command line must quote
LOG_LINE = "EVENT_ID=0x40020003"
RUNNING = {"ActiveState": "active", "SubState": "running", "StatusText": "Running"}
BURST = 50_000


@pytest.fixture(scope="module")
def road(machine):
    machine.run("install", "-D", "-m", "0755", "/mnt/host/corvane", BINARY)
    return machine


@pytest.mark.parametrize("directory", ["/root", "/home/u", "/tmp/x"])
def test_install_refuses_a_place_the_sandbox_hides(road, directory):
    road.run("install", "-D", "-m", "0755", "/mnt/host/corvane", f"{directory}/corvane")
    result = road.run(f"{directory}/corvane", "-install", check=False)
    assert result.returncode == 1 and result.stdout.startswith("Unable to install Corvane - ")
    assert not road.path("/etc/systemd/system/Corvane.service").exists()
    assert not road.path("/etc/corvane").exists()


def test_installed_service_starts_without_a_reload(road):
    assert road.run(BINARY, "-install").stdout == "Corvane installed.\n"
    assert road.run("systemd-analyze", "verify", "Corvane.service").stderr == ""
    road.run("systemctl", "start", "Corvane")
    assert road.show(*RUNNING) == RUNNING


def test_running_service_is_unprivileged_and_sandboxed(road):
    tasks = road.run("sh", "-c", f"cat /proc/{road.show('MainPID')['MainPID']}/task/*/status")
    assert len(re.findall(r"^Uid:\s+[1-9]\d*\s", tasks.stdout, re.MULTILINE)) == 2  # threads
    for kind in ("Inh", "Prm", "Eff", "Amb"):
        assert re.findall(rf"^Cap{kind}:\s+(\w+)", tasks.stdout, re.MULTILINE) == ["0" * 16] * 2
    # ... yet it has the receive buffer only the privilege could give it.
    sockets = road.in_network("ss", "-Huamn", "sport = :514", stdout=-1, text=True)
    buffer = re.search(r"\brb(\d+)", sockets.communicate(timeout=10)[0])
    assert int(buffer[1]) >= 64 << 20, buffer
    security = road.run("systemd-analyze", "security", "--no-pager", "Corvane.service").stdout
    exposure = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", security)[1])
    print(f"systemd-analyze security: exposure {exposure}")
    assert exposure <= 2.0


def test_datagrams_from_logger_become_entries_with_their_fields(road):
    for options in (["--rfc5424=notq,notime,nohost", "-t", "probe"], []):
        road.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", *options, "hello")
    entries = road.journal("-t", "Corvane", LOG_LINE, count=2)
    assert entries[0]["EVENT_STRING_1"] == "[<13>1 - - probe - - - hello]"
    assert re.fullmatch(r"\[<13>.* hello\]", entries[1]["EVENT_STRING_1"]), entries
    for entry in entries:
        assert entry["MESSAGE"] == f"Corvane Log: {entry['EVENT_STRING_1']} "
        assert (entry["PRIORITY"], entry["EVENT_TYPE"], entry["EVENT_CATEGORY"],
                entry["_PID"]) == ("6", "4", "0", road.show("MainPID")["MainPID"])


def test_burst_arrives_whole(road):
    def lines():
        return road.run("journalctl", "-q", "-t", "Corvane", LOG_LINE, "-o", "cat",
                        "--output-fields=EVENT_STRING_1").stdout.splitlines()
    before = len(lines())
    send = (f"import socket\ns = socket.socket(2, 2)\nfor n in range({BURST}):\n"
            "    s.sendto(b'burst %05d' % n, ('127.0.0.1', 514))")
    assert road.in_network("/usr/bin/python3", "-c", send).wait(timeout=120) == 0
    road.journal(f"EVENT_STRING_1=[burst {BURST - 1:05}]", count=1, timeout=60)  # the last
    assert lines()[before:] == [f"[burst {n:05}]" for n in range(BURST)]


def test_stop_succeeds_and_remove_stops_a_running_service_and_leaves_nothing(road):
    road.run("systemctl", "stop", "Corvane")
    assert road.show("ActiveState", "Result", "ExecMainStatus") == {
        "ActiveState": "inactive", "Result": "success", "ExecMainStatus": "0"}
    road.run("systemctl", "start", "Corvane")
    assert road.show(*RUNNING) == RUNNING
    output = road.run(BINARY, "-remove").stdout
    assert re.fullmatch(r"Stopping Corvane\.+\nCorvane stopped\.\nCorvane removed\.\n", output)
    road.assert_gone()


@pytest.mark.parametrize("fault, code, line", [
    ("port taken", 10048, "bind() failed with error 10048"),
    ("capabilities kept", 10013, "Unable to give up capabilities after bind - Operation not permitted"),
])
def test_failed_start_fails_the_unit_with_its_code(road, fault, code, line):
    road.run(BINARY, "-install")
    drop_in = road.path("/etc/systemd/system/Corvane.service.d/deny.conf")
    if fault == "port taken":
        holder = road.in_network("/usr/bin/python3", "-c", "import socket, sys; s = socket.socket"
                                 "(2, 2); s.bind(('', 514)); print(flush=True); sys.stdin.read()",
                                 stdin=-1, stdout=-1)
        holder.stdout.readline()
    else:
        holder = None
        drop_in.parent.mkdir()
        drop_in.write_text("[Service]\nSystemCallFilter=~capset\nSystemCallErrorNumber=EPERM\n")
        road.run("systemctl", "daemon-reload")
    try:
        assert road.run("systemctl", "start", "Corvane", check=False).returncode != 0
        assert road.show("ActiveState", "StatusText") == {
            "ActiveState": "failed", "StatusText": f"Stopped (exit code {code})"}
        pid = road.show("ExecMainPID")["ExecMainPID"]
        assert any(line in entry["MESSAGE"] for entry in road.journal(f"_PID={pid}"))
    finally:
        if holder:
            holder.communicate(timeout=10)
        else:
            drop_in.unlink()
            drop_in.parent.rmdir()
        assert road.run(BINARY, "-remove").stdout == "Corvane removed.\n"

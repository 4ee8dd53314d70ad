"""Every place that the install command accepts is one the service can start from; the
places that its sandbox hides are refused before anything is written."""

import pytest

from container import HOST_DIR


@pytest.mark.parametrize("directory, accepted", [
    ("/root", False), ("/home/u", False), ("/tmp/x", False),
    ("/opt/Log Tools", True), ("/usr/local/sbin", True),
])
def test_install_place(machine, directory, accepted):
    binary = f"{directory}/corvane"
    machine.run("mkdir", "-p", directory)
    machine.run("install", "-m", "0755", f"{HOST_DIR}/corvane", binary)
    result = machine.run(binary, "-install", check=False)
    try:
        if not accepted:
            assert result.returncode == 1 and result.stdout.startswith(
                "Unable to install Corvane - "), result
            assert not machine.path("/etc/systemd/system/Corvane.service").exists()
            assert not machine.path("/etc/corvane").exists()
            return
        assert (result.returncode, result.stdout) == (0, "Corvane installed.\n")
        machine.run("systemctl", "start", "Corvane")
        machine.run("logger", "--udp", "-n", "127.0.0.1", "-P", "514", "-t", "place", directory)
        pid = machine.show("Corvane", "MainPID")["MainPID"]
        entries = machine.wait_journal(1, f"_PID={pid}", "EVENT_ID=0x40020003")
        assert len(entries) == 1 and entries[0]["EVENT_STRING_1"].endswith(f"{directory}]")
    finally:
        if machine.path("/etc/systemd/system/Corvane.service").exists():
            assert machine.run(binary, "-remove").stdout.endswith("Corvane removed.\n")

"""Install refuses the places the sandbox hides, before writing anything."""

import pytest


@pytest.mark.parametrize("directory", ["/root", "/home/u", "/tmp/x"])
def test_install_refuses_a_hidden_place(machine, directory):
    machine.run("install", "-D", "-m", "0755", "/mnt/host/corvane", f"{directory}/corvane")
    result = machine.run(f"{directory}/corvane", "-install", check=False)
    assert result.returncode == 1 and result.stdout.startswith("Unable to install Corvane - ")
    assert not machine.path("/etc/systemd/system/Corvane.service").exists()
    assert not machine.path("/etc/corvane").exists()

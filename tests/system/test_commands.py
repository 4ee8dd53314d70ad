"""The console commands: version banner, usage, install and remove."""

import subprocess

import pytest

from harness import KEY_FILE, RUNNING, STATUS_FILE, UNIT_FILE, status_file_of, stop, stopped

USAGE = ("CORVANE -install          to install the service\n"
         "CORVANE -remove           to remove the service\n"
         "CORVANE -version          to display the version number\n"
         "\nStartServiceCtrlDispatcher being called.\n"
         "This may take several seconds.  Please wait.\n")
NOT_INSTALLED = ("OpenService failed - The specified service does not exist as an installed "
                 "service. (0x424)\n")

@pytest.mark.parametrize("option", ["-version", "/VERSION", "-Version"])
def test_version_prints_the_banner_only(corvane, option):
    assert corvane.run(option) == (0, "Corvane Server service, version 1.01\nCopyright (c) 2026 "
                                   "the Corvane developers.\nRead more in the README that comes "
                                   "with Corvane.\n")


@pytest.mark.parametrize("args", [[], ["-instal"], ["--install"], ["install"], ["-versions"],
                                  ["x", "-install"]])
def test_anything_else_prints_usage_and_runs_the_service(corvane, manager, journal, args):
    service = corvane.start(*args)
    manager.wait_state(4)
    assert stop(service) == 0
    assert service.output() == USAGE
    assert not UNIT_FILE.exists()


@pytest.mark.parametrize("option", ["-install", "/INSTALL"])
def test_install_writes_the_unit_and_the_event_source_key_once(corvane, option):
    # Run elsewhere than the executable's folder: the key must still name the executable.
    assert corvane.run(option, cwd="/") == (0, "Corvane installed.\n")
    unit = UNIT_FILE.read_text()
    assert f"ExecStart={corvane.binary}" in unit.splitlines()
    assert "[Install]" not in unit  # demand start
    assert KEY_FILE.read_text() == (f"EventMessageFile\tREG_EXPAND_SZ\t{corvane.binary}\n"
                                    "TypesSupported\tREG_DWORD\t7\n")
    # A second install fails and leaves the unit and the key, even a changed one, alone.
    KEY_FILE.write_text("EventMessageFile\tREG_EXPAND_SZ\t/elsewhere/corvane\n")
    assert corvane.run(option) == (
        1, "CreateService failed - The specified service already exists. (0x431)\n")
    assert UNIT_FILE.read_text() == unit
    assert KEY_FILE.read_text() == "EventMessageFile\tREG_EXPAND_SZ\t/elsewhere/corvane\n"


@pytest.mark.parametrize("leftover", ["not installed", "no status", "stopped", "process gone"])
def test_remove_of_a_service_that_is_not_running(corvane, leftover):
    if leftover != "not installed":
        assert corvane.run("-install")[0] == 0
    if leftover in ("stopped", "process gone"):
        gone = subprocess.Popen(["true"])
        gone.wait(timeout=5)
        STATUS_FILE.parent.mkdir(exist_ok=True)
        STATUS_FILE.write_text(status_file_of(gone.pid, stopped(0) if leftover == "stopped"
                                              else RUNNING))
    assert corvane.run("-remove") == ((1, NOT_INSTALLED) if leftover == "not installed"
                                      else (0, "Corvane removed.\n"))
    assert not UNIT_FILE.exists() and not KEY_FILE.exists()


@pytest.mark.parametrize("option", ["-install", "-remove"])
def test_read_only_service_database_is_refused(corvane, option):
    subprocess.run(["mount", "-o", "remount,ro", UNIT_FILE.parent], check=True, timeout=5)
    assert corvane.run(option) == (1, "OpenSCManager failed - Access is denied. (0x5)\n")
    assert not KEY_FILE.exists()

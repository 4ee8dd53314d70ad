"""The console commands: version banner, usage, install and remove."""

import os
import re
import shutil
import subprocess
import time

import pytest

from harness import (KEY_FILE, fill, RUNNING, STATUS_FILE, UNIT_FILE, exec_path, start_time,
                     status_file_of, stop, stopped)

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
        gone.start_time = start_time(gone.pid)
        gone.wait(timeout=5)
        STATUS_FILE.parent.mkdir(exist_ok=True)
        STATUS_FILE.write_text(status_file_of(gone, stopped(0) if leftover == "stopped"
                                              else RUNNING))
    assert corvane.run("-remove") == ((1, NOT_INSTALLED) if leftover == "not installed"
                                      else (0, "Corvane removed.\n"))
    assert not UNIT_FILE.exists() and not KEY_FILE.exists()


@pytest.mark.parametrize("option", ["-install", "-remove"])
def test_read_only_service_database_is_refused(corvane, option):
    subprocess.run(["mount", "-o", "remount,ro", UNIT_FILE.parent], check=True, timeout=5)
    assert corvane.run(option) == (1, "OpenSCManager failed - Access is denied. (0x5)\n")
    assert not KEY_FILE.exists()


CANNOT_RESOLVE = "The name of the file cannot be resolved by the system. (0x781)\n"
HIDDEN = "is hidden from the service by its sandbox"
CHANGEABLE = "can be changed by a user other than root"
SPECIAL = ("its path has a control character, a quote or a backslash, which systemd refuses in "
           "a program path")


def place_binary(corvane, path, file_mode=0o755, dir_mode=0o755, owner=0):
    """A copy of the collector at `path` (bytes), its folder made with the given mode and
    owner, on a fresh tmpfs over the deepest folder of the path that exists, unless that is
    under pytest's own or the sandbox's /opt (which holds the collector's own copy)."""
    folder = os.path.dirname(path)
    mount_point = folder
    while not os.path.isdir(mount_point):
        mount_point = os.path.dirname(mount_point)
    if not mount_point.startswith((b"/tmp", b"/opt")):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", mount_point],
                       check=True, timeout=5)
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(corvane.binary, path)
    os.chmod(path, file_mode)
    os.chmod(folder, dir_mode)
    os.chown(folder, owner, 0)
    return path


@pytest.mark.parametrize("where, file_mode, dir_mode, owner, reason", [
    (b"/root/corvane", 0o755, 0o755, 0, "/root " + HIDDEN),
    (b"/home/u/corvane", 0o755, 0o755, 0, "/home " + HIDDEN),
    (b"TMP/x/corvane", 0o755, 0o755, 0, "/tmp " + HIDDEN),
    (b"/opt/shared/corvane", 0o755, 0o775, 0, "/opt/shared " + CHANGEABLE),
    (b"/opt/users/corvane", 0o755, 0o755, 1000, "/opt/users " + CHANGEABLE),
    (b"/opt/x/corvane", 0o757, 0o755, 0, "/opt/x/corvane " + CHANGEABLE),
    (b"/opt/x/corvane", 0o750, 0o755, 0,
     "/opt/x/corvane cannot be run by the service's unprivileged user"),
    (b"/opt/x/corvane", 0o755, 0o750, 0,
     "/opt/x cannot be searched by the service's unprivileged user"),
    (b'/opt/a"b/corvane', 0o755, 0o755, 0, SPECIAL),
    (b"/opt/a'b/corvane", 0o755, 0o755, 0, SPECIAL),
    (b"/opt/a\\b/corvane", 0o755, 0o755, 0, SPECIAL),
    (b"/opt/a\tb/corvane", 0o755, 0o755, 0, SPECIAL),
    (b"/opt/a\x7fb/corvane", 0o755, 0o755, 0, SPECIAL),
    (b"/opt/a\xffb/corvane", 0o755, 0o755, 0,
     "its path is not valid UTF-8, which systemd cannot handle"),
], ids=["root", "home", "tmp", "group-writable", "user-owned", "writable-file", "not-runnable",
        "not-searchable", "double-quote", "quote", "backslash", "tab", "delete", "latin-1"])
def test_install_refuses_a_program_the_manager_cannot_run(corvane, tmp_path, where, file_mode,
                                                           dir_mode, owner, reason):
    where = where.replace(b"TMP", os.fsencode(tmp_path))
    program = place_binary(corvane, where, file_mode, dir_mode, owner)
    process = corvane.spawn([os.fsdecode(program), "-install"])
    assert (process.wait(timeout=5), process.output()) == (
        1, f"Unable to install Corvane - {reason}\n")
    assert not UNIT_FILE.exists() and not os.path.exists("/etc/corvane")


@pytest.mark.parametrize("where", [b"/opt/Log Tools/corvane", b"/usr/local/sbin/corvane",
                                   "/opt/100% $HOME ${X} \u00e9;@-/corvane".encode()])
def test_install_writes_a_path_systemd_reads_back_and_remove_leaves_nothing(corvane, where):
    program = os.fsdecode(place_binary(corvane, where))
    assert corvane.spawn([program, "-install"]).wait(timeout=5) == 0
    assert exec_path(UNIT_FILE.read_bytes()) == where
    assert KEY_FILE.read_bytes().startswith(b"EventMessageFile\tREG_EXPAND_SZ\t" + where + b"\n")
    remove = corvane.spawn([program, "-remove"])
    assert (remove.wait(timeout=5), remove.output()) == (0, "Corvane removed.\n")
    assert not UNIT_FILE.exists() and not os.path.exists("/etc/corvane")


@pytest.mark.parametrize("target", ["/nowhere", "/etc/hostname", "directory"])
def test_a_unit_path_that_is_not_a_plain_file_is_refused_alike(corvane, target):
    if target == "directory":
        UNIT_FILE.mkdir()
    else:
        UNIT_FILE.symlink_to(target)
    assert corvane.run("-install") == (1, "CreateService failed - " + CANNOT_RESOLVE)
    assert corvane.run("-remove") == (1, "OpenService failed - " + CANNOT_RESOLVE)
    assert os.path.lexists(UNIT_FILE) and not KEY_FILE.exists()


def impostor(corvane, tmp_path):
    """A process that is not the service, whose program is called corvane too."""
    fake = tmp_path / "corvane"
    shutil.copyfile("/bin/sleep", fake)
    fake.chmod(0o755)
    return corvane.spawn([fake, "30"])


@pytest.mark.parametrize("forgery", ["reused ID", "no start time", "another user's file"])
def test_remove_never_signals_a_process_not_proven_to_be_the_service(corvane, tmp_path,
                                                                     forgery):
    assert corvane.run("-install")[0] == 0
    other = impostor(corvane, tmp_path)
    text = status_file_of(other, RUNNING)
    if forgery == "reused ID":
        text = text.replace(f"startTime={other.start_time}", f"startTime={other.start_time - 1}")
    elif forgery == "no start time":
        text = re.sub(r"startTime=\d+\n", "", text)
    STATUS_FILE.parent.mkdir()
    STATUS_FILE.write_text(text)
    if forgery == "another user's file":
        os.chown(STATUS_FILE.parent, 1000, 1000)
        os.chown(STATUS_FILE, 1000, 1000)
    assert corvane.run("-remove") == (
        0, "Corvane is not running: the process its status names is not the service.\n"
           "Corvane removed.\n")
    time.sleep(0.2)
    assert other.poll() is None
    assert not UNIT_FILE.exists()


@pytest.mark.parametrize("status, line", [
    ("fifo", "Access is denied. (0x5)"),
    ("link", "The name of the file cannot be resolved by the system. (0x781)"),
    ("others may write the folder", "Access is denied. (0x5)"),
    ("others may write the file", "Access is denied. (0x5)"),
    ("another user owns the folder", "Access is denied. (0x5)"),
])
def test_remove_that_cannot_read_the_state_deletes_nothing(corvane, status, line):
    assert corvane.run("-install")[0] == 0
    STATUS_FILE.parent.mkdir()
    if status == "fifo":
        os.mkfifo(STATUS_FILE)
    elif status == "link":
        STATUS_FILE.symlink_to("/etc/hostname")
    else:
        STATUS_FILE.write_text("pid=1\n")
        STATUS_FILE.parent.chmod(0o757 if status == "others may write the folder" else 0o755)
        STATUS_FILE.chmod(0o646 if status == "others may write the file" else 0o644)
        os.chown(STATUS_FILE.parent, 1000 if status == "another user owns the folder" else 0, 0)
    assert corvane.run("-remove") == (1, f"ControlService failed - {line}\n")
    assert UNIT_FILE.exists() and KEY_FILE.exists()


@pytest.mark.parametrize("start", ["still starting", "a copy under another name"])
def test_remove_stops_the_service_before_it_deletes_it(corvane, manager, journal, tmp_path,
                                                       start):
    assert corvane.run("-install")[0] == 0
    if start == "still starting":
        fill(journal.path)  # a stalled journal holds the start-up
        service = corvane.start()
        manager.wait_count(1)
    else:
        copy = place_binary(corvane, b"/opt/x/log-collector")
        service = corvane.spawn([os.fsdecode(copy)], manager.path)
        manager.wait_state(4)
    remove = corvane.spawn([corvane.binary, "-remove"])
    journal.settle()
    assert remove.wait(timeout=15) == 0
    assert re.fullmatch(r"Stopping Corvane\.+\nCorvane stopped\.\nCorvane removed\.\n",
                        remove.output()), remove.output()
    assert service.wait(timeout=5) == 0

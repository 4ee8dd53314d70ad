"""The console commands, and the files that they and the service keep, attacked where they lie."""

import os
import re
import time
from pathlib import Path

import pytest

from harness import (CLEAN_RUN, KEY_FILE, STATUS_FILE, UNIT_FILE, fill, mount, place,
                     status_file_of, statuses)

DENIED = "Access is denied. (0x5)"
UNRESOLVED = "The name of the file cannot be resolved by the system. (0x781)"
REMOVED = "Corvane removed.\n"


CHANGEABLE = "can be changed by a user other than root"
UNPRIVILEGED = "the service's unprivileged user"


@pytest.mark.parametrize("where, file_mode, dir_mode, owner, refusal", [
    (None, 0o755, 0o755, 0, None),
    (b"/opt/shared/corvane", 0o755, 0o775, 0, "/opt/shared " + CHANGEABLE),
    (b"/opt/users/corvane", 0o755, 0o755, 1000, "/opt/users " + CHANGEABLE),
    (b"/opt/x/corvane", 0o757, 0o755, 0, "/opt/x/corvane " + CHANGEABLE),
    (b"/opt/x/corvane", 0o750, 0o755, 0, "/opt/x/corvane cannot be run by " + UNPRIVILEGED),
    (b"/opt/x/corvane", 0o755, 0o750, 0, "/opt/x cannot be searched by " + UNPRIVILEGED),
    # A refused path's text: tests/unit/posix_text_test.cpp; one row shows it reaches the user.
    (b"/run/user/0/corvane", 0o755, 0o755, 0, "/run/user is hidden from the service by its "
     "sandbox"),
])
def test_install_writes_unit_and_key_once_or_nothing(corvane, where, file_mode, dir_mode, owner,
                                                     refusal):
    program = place(corvane.binary, where, file_mode, dir_mode, owner) if where else corvane.binary
    if refusal:
        assert corvane.run("-install", binary=program) == (
            1, f"Unable to install Corvane - {refusal}\n")
        assert not UNIT_FILE.exists() and not os.path.exists("/etc/corvane")
        return
    # From another folder than the program's, and in either form of the option. Its unit runs
    # it (tests/systemd); a remove takes unit and key (the remove table).
    assert corvane.run("/INSTALL", cwd="/", binary=program) == (0, "Corvane installed.\n")
    assert KEY_FILE.read_bytes() == (b"EventMessageFile\tREG_EXPAND_SZ\t/opt/corvane/corvane\n"
                                     b"TypesSupported\tREG_DWORD\t7\n")
    files = UNIT_FILE.read_bytes(), KEY_FILE.read_bytes()  # a second install leaves them alone
    assert corvane.run("-install", binary=program) == (
        1, "CreateService failed - The specified service already exists. (0x431)\n")
    assert (UNIT_FILE.read_bytes(), KEY_FILE.read_bytes()) == files


@pytest.mark.parametrize("unit, install, remove", [
    ("read-only", "OpenSCManager failed - " + DENIED, "OpenSCManager failed - " + DENIED),
    *((unit, "CreateService failed - " + UNRESOLVED, "OpenService failed - " + UNRESOLVED)
      for unit in ("/nowhere", "/etc/hostname", "directory"))])
def test_a_unit_that_cannot_be_written_is_refused(corvane, unit, install, remove):
    if unit == "read-only":
        mount("-o", "remount,ro", UNIT_FILE.parent)
    else:
        UNIT_FILE.mkdir() if unit == "directory" else UNIT_FILE.symlink_to(unit)
    assert [corvane.run("-install"), corvane.run("-remove")] == [(1, install + "\n"),
                                                                 (1, remove + "\n")]
    assert not KEY_FILE.exists() and (unit == "read-only" or os.path.lexists(UNIT_FILE))


NOT_SERVICE = (0, "Corvane is not running: the process its status names is not the service.\n"
               + REMOVED)


@pytest.mark.parametrize("status, output", [
    ("not installed", (1, "OpenService failed - The specified service does not exist as an "
                       "installed service. (0x424)\n")),
    # A status that says stopped: tests/unit/commands_test.cpp and its parse in posix_text_test.cpp.
    *((status, (0, REMOVED)) for status in ("no status", "process gone")),
    *((status, NOT_SERVICE) for status in ("reused ID", "no start time", "another user's file")),
    *((status, (1, f"ControlService failed - {line}\n")) for status, line in (
        ("fifo", DENIED), ("link", UNRESOLVED), ("open folder", DENIED), ("open file", DENIED),
        ("another user's folder", DENIED)))])
def test_remove_without_a_running_service_signals_nothing(corvane, tmp_path, status, output):
    if status != "not installed":
        assert corvane.run("-install")[0] == 0
    alike = place("/bin/sleep", tmp_path / "corvane")  # not the service, but named alike
    other, gone = corvane.spawn([alike, "30"]), corvane.spawn(["true"])
    gone.wait(timeout=5)
    text = status_file_of(gone if status == "process gone" else other)
    text = {"reused ID": text.replace(f"startTime={other.start_time}",
                                      f"startTime={other.start_time - 1}"),
            "no start time": re.sub(r"startTime=\d+\n", "", text)}.get(status, text)
    if status not in ("not installed", "no status"):
        STATUS_FILE.parent.mkdir()
        STATUS_FILE.parent.chmod(0o757 if status == "open folder" else 0o755)
        if status in ("fifo", "link"):
            os.mkfifo(STATUS_FILE) if status == "fifo" else STATUS_FILE.symlink_to("/etc/hostname")
        else:
            STATUS_FILE.write_text(text)
            STATUS_FILE.chmod(0o646 if status == "open file" else 0o644)
        if status.startswith("another user"):
            os.chown(STATUS_FILE.parent, 1000, 1000)
            os.chown(STATUS_FILE, *((1000, 1000) if status.endswith("file") else (0, 0)))
    assert corvane.run("-remove") == output
    time.sleep(0.2)
    assert other.poll() is None
    assert UNIT_FILE.exists() == KEY_FILE.exists() == output[1].startswith("ControlService")
    assert STATUS_FILE.parent.exists() == UNIT_FILE.exists()  # the service's folder goes with it


SECRET, OTHER = Path("/run/secret"), "Other\tREG_SZ\tkept"


@pytest.fixture
def secret(corvane):
    SECRET.write_text("root only\n")
    SECRET.chmod(0o600)
    yield
    assert SECRET.read_text() == "root only\n"


@pytest.mark.parametrize("start", ["still starting", "a copy under another name"])
def test_remove_stops_the_service_before_it_deletes_it(corvane, manager, journal, secret, start):
    assert corvane.run("-install")[0] == 0
    if start == "still starting":
        fill(journal.path)  # a stalled journal holds the start-up
        service = corvane.start()
        manager.wait_count(1)
    else:  # its status written past a fifo and a link left in its place: the remove reads it
        STATUS_FILE.parent.mkdir()
        os.mkfifo(STATUS_FILE)
        Path(f"{STATUS_FILE}.tmp").symlink_to(SECRET)
        service = corvane.start(place(corvane.binary, b"/opt/x/log-collector"))
        manager.wait_state(4)
    remove = corvane.spawn([corvane.binary, "-remove"])
    journal.settle()
    assert remove.wait(timeout=15) == 0 and service.wait(timeout=5) == 0, remove.output()
    assert statuses(manager.settle()) == CLEAN_RUN  # a stop while starting is held until running
    assert re.fullmatch(r"Stopping Corvane\.+\nCorvane stopped\.\n" + REMOVED, remove.output())


@pytest.mark.parametrize("before, line", [
    ("x" * 5000, "RegSetValueEx failed - The file size exceeds the limit allowed and cannot be "
     "saved. (0xdf)"),
    ("full", "RegSetValueEx failed - There is not enough space on the disk. (0x70)"),
    ("link", "Cannot create registry entries!"),
    ("fifo", "Cannot create registry entries!"),
])
def test_key_file_is_written_whole_or_not_at_all(corvane, secret, before, line):
    KEY_FILE.parent.mkdir(parents=True)
    if before == "full":  # a single page, which the key's present text takes
        mount("-t", "tmpfs", "-o", "size=4k", "tmpfs", KEY_FILE.parent)
    if before == "link":
        KEY_FILE.symlink_to(SECRET)
    elif before == "fifo":
        os.mkfifo(KEY_FILE)
    else:
        KEY_FILE.write_text(OTHER + "\n" if before == "full" else before)
    kept = KEY_FILE.read_text() if KEY_FILE.is_file() and not KEY_FILE.is_symlink() else None
    assert corvane.run("-install") == (1, line + "\n")
    assert not UNIT_FILE.exists()  # all or nothing
    assert kept is None or KEY_FILE.read_text() == kept
    assert before != "link" or [p.name for p in KEY_FILE.parent.iterdir()] == [KEY_FILE.name]


# The link that systemd makes for a dynamic user's folder: the road under systemd
# (tests/systemd), whose remove reads the status through it. A fifo or a link in a folder of
# its own: the remove above.
@pytest.mark.parametrize("plant", ["open folder with a link", "folder of another user"])
def test_service_writes_its_status_only_into_a_folder_of_its_own(corvane, manager, secret, plant):
    STATUS_FILE.parent.mkdir()
    if plant.startswith("open"):
        STATUS_FILE.parent.chmod(0o777)
        Path(f"{STATUS_FILE}.tmp").symlink_to(SECRET)
    else:
        os.chown(STATUS_FILE.parent, 1000, 1000)
    service = corvane.start()
    assert service.wait(timeout=10) == 1  # its reports fail
    assert not any("READY=1" in report for report in manager.settle())

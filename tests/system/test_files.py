"""The files the collector and its commands keep: the event source's key file and the
runtime status file, each attacked where it lies."""

import os
import subprocess
from pathlib import Path

import pytest

from harness import KEY_FILE, STATUS_FILE, UNIT_FILE, stop

SECRET = Path("/run/secret")
OTHER = "Other\tREG_SZ\tkept"
INSTALLED = "Corvane installed.\n"


def key_file(binary):
    return (f"EventMessageFile\tREG_EXPAND_SZ\t{binary}\n"
            "TypesSupported\tREG_DWORD\t7\n")


def plant_secret():
    SECRET.write_text("root only\n")
    SECRET.chmod(0o600)


@pytest.mark.parametrize("before, status, line", [
    (OTHER, 0, INSTALLED),  # no final line feed
    ("x" * 5000, 1, "RegSetValueEx failed - The file size exceeds the limit allowed and cannot be "
     "saved. (0xdf)\n"),
    ("full", 1, "RegSetValueEx failed - There is not enough space on the disk. (0x70)\n"),
    ("link", 1, "Cannot create registry entries!\n"),
    ("fifo", 1, "Cannot create registry entries!\n"),
], ids=["no-final-lf", "oversize", "disk-full", "link", "fifo"])
def test_key_file_is_written_whole_or_not_at_all(corvane, before, status, line):
    if before == "full":
        os.mkdir("/etc/corvane")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", "/etc/corvane"],
                       check=True, timeout=5)
    KEY_FILE.parent.mkdir(parents=True)
    if before == "link":
        plant_secret()
        KEY_FILE.symlink_to(SECRET)
    elif before == "fifo":
        os.mkfifo(KEY_FILE)
    elif before == "full":
        KEY_FILE.write_text(OTHER + "\n")
        filler = os.open("/etc/corvane/filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError):
            while True:
                os.write(filler, b"\0" * 4096)
        os.close(filler)
    else:
        KEY_FILE.write_text(before)
    kept = KEY_FILE.read_text() if KEY_FILE.is_file() and not KEY_FILE.is_symlink() else None

    assert corvane.run("-install") == (status, line)
    if status == 0:
        assert KEY_FILE.read_text() == OTHER + "\n" + key_file(corvane.binary)
        return
    assert not UNIT_FILE.exists()  # all or nothing
    if before == "link":
        assert KEY_FILE.is_symlink() and SECRET.read_text() == "root only\n"
        assert [p.name for p in KEY_FILE.parent.iterdir()] == [KEY_FILE.name]
    elif kept is not None:
        assert KEY_FILE.read_text() == kept


@pytest.mark.parametrize("plant", ["open folder with a link", "folder of another user",
                                   "link", "fifo", "private folder"])
def test_service_writes_its_status_only_into_a_folder_of_its_own(corvane, manager, journal,
                                                                  plant):
    plant_secret()
    if plant == "private folder":  # as systemd makes it for a dynamic user
        os.makedirs("/run/private/Corvane")
        STATUS_FILE.parent.symlink_to("private/Corvane")
    else:
        STATUS_FILE.parent.mkdir()
    if plant == "open folder with a link":
        STATUS_FILE.parent.chmod(0o777)
        Path(f"{STATUS_FILE}.tmp").symlink_to(SECRET)
    elif plant == "folder of another user":
        os.chown(STATUS_FILE.parent, 1000, 1000)
    elif plant == "link":
        Path(f"{STATUS_FILE}.tmp").symlink_to(SECRET)
    else:
        os.mkfifo(STATUS_FILE)
    service = corvane.start()
    if plant.startswith("folder") or plant.startswith("open"):
        assert service.wait(timeout=10) == 1  # its reports fail
        assert not any("READY=1" in report for report in manager.settle())
    else:
        manager.wait_state(4)
        assert STATUS_FILE.is_file() and not STATUS_FILE.is_symlink()
        assert stop(service) == 0
    assert SECRET.read_text() == "root only\n"

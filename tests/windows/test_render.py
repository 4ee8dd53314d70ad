"""The catalogue as the event viewer renders it: each executable loaded as a data file
and its entries formatted by FormatMessageA with the insertion strings of a report."""
import shutil

import pytest

import wine

ERROR_MR_MID_NOT_FOUND = 317

# Event ID, insertion strings, rendered text.
RENDERINGS = [
    (0x40020003, ["[abc]"], b"Corvane Log: [abc] "),
    (0x40020003, ["[abc\r]"], b"Corvane Log: [abc\r] "),
    (0x40020003, ["[]"], b"Corvane Log: [] "),
    (0x40020004, ["Version 1.01"],
     b"Corvane Service is starting. Version 1.01 Copyright (c) 2026 the Corvane developers. "
     b"Read more in the README that comes with Corvane."),
    (0x00020001, ["'Listening' on port 514, protocol UDP\n"],
     b"Corvane Service Started Successfully.\r\n"),
    (0x00020002, [], b"Corvane Service Stopped Successfully"),
    (0xC0020005, ["recv() failed: error 10040\n", "-"],
     b"Corvane Error recv() failed: error 10040\n - "),
]


@pytest.fixture(scope="module")
def message_files(wine_session, executables, render_helper):
    """Both executables and the helper, copied into the prefix's C: drive."""
    folder = wine.drive_c(wine_session) / "render"
    folder.mkdir()
    for arch, path in executables.items():
        shutil.copy(path, folder / f"CORVANE-{arch}.exe")
    shutil.copy(render_helper, folder / "render_message.exe")
    return folder


def render(session, folder, arch, event_id, strings):
    return wine.run(session, "render_message.exe", f"CORVANE-{arch}.exe", f"{event_id:08X}",
                    *strings, cwd=folder)


@pytest.mark.parametrize("arch", ["i686", "x86_64"])
@pytest.mark.parametrize("event_id, strings, text", RENDERINGS)
def test_entry_renders(wine_session, message_files, arch, event_id, strings, text):
    result = render(wine_session, message_files, arch, event_id, strings)
    assert (result.returncode, result.stdout) == (0, b">>" + text + b"<<\n")


def test_event_id_0_has_no_entry(wine_session, message_files):
    # The viewer then shows its own "description not found" text with the strings.
    result = render(wine_session, message_files, "x86_64", 0, ["Corvane error: 5", "x"])
    assert (result.returncode, result.stdout) == (
        1, f"FormatMessageA failed: {ERROR_MR_MID_NOT_FOUND}\n".encode())

"""CORVANE.exe read back with pefile, and its catalogue as the event viewer renders it."""
import pefile
import pytest

# Nothing to ship: each comes with every Windows.
SYSTEM_DLLS = {"advapi32.dll", "iphlpapi.dll", "kernel32.dll", "ws2_32.dll", "msvcrt.dll"}


def check_release_image(path):
    """The executable at path, in a folder named as its preset, as the release ships it."""
    image = pefile.PE(str(path))
    header = {"mingw-i686": (0x14C, 0x10B, 3), "mingw-x86_64": (0x8664, 0x20B, 3)}  # console
    assert (image.FILE_HEADER.Machine, image.OPTIONAL_HEADER.Magic, image.OPTIONAL_HEADER.Subsystem
            ) == header[path.parent.name]
    assert {entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT} == SYSTEM_DLLS
    found = {kind.id: [(e.id, lang.id) for e in kind.directory.entries
                       for lang in e.directory.entries]
             for kind in image.DIRECTORY_ENTRY_RESOURCE.entries}
    assert (found[11], found[16]) == ([(1, 0x0409)], [(1, 0)])  # message table, version
    [fixed], [info] = image.VS_FIXEDFILEINFO, image.FileInfo  # 1.0, VOS_DOS_WINDOWS32, VFT_APP
    assert (fixed.FileVersionMS, fixed.FileOS, fixed.FileType) == (0x10000, 0x10004, 1)
    blocks = {block.name: block for block in info}
    [table] = blocks["StringFileInfo"].StringTable  # every field a properties page shows
    assert (table.LangID, len(table.entries), table.entries[b"FileVersion"]) == (
        b"040904E4", 7, b"1.01")
    assert [var.entry for var in blocks["VarFileInfo"].Var] == [{b"Translation": "0x0409 0x04e4"}]


def test_console_executable_of_its_architecture_with_its_resources(executables):
    check_release_image(executables["CORVANE"])


@pytest.mark.parametrize("event_id, strings, text", [
    (0x40020003, ["[abc\r]"], b"Corvane Log: [abc\r] "),
    (0x40020004, ["Version 1.01"],
     b"Corvane Service is starting. Version 1.01 Copyright (c) 2026 the Corvane developers. "
     b"Read more in the README that comes with Corvane."),
    (0x00020001, ["'Listening' on port 514, protocol UDP\n"],
     b"Corvane Service Started Successfully.\r\n"),
    (0x00020002, [], b"Corvane Service Stopped Successfully"),
    (0xC0020005, ["recv() failed: error 10040\n", "-"],
     b"Corvane Error recv() failed: error 10040\n - "),
    (0x80020006, ["Lost since the last report: 1 too long."],
     b"Corvane Warning Lost since the last report: 1 too long. "),
])
def test_catalogue_renders_as_the_event_viewer_shows_it(wine, event_id, strings, text):
    # A viewer of the executable's own width: 32-bit insertion pointers for the release.
    helper = wine.install("render_message", "render")
    result = wine.run(helper, wine.install("CORVANE", "render"), f"{event_id:08X}", *strings)
    assert result[:2] == (0, b">>" + text + b"<<\n")

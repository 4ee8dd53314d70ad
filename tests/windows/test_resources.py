"""The built executables read back with pefile: resources and shape; and the catalogue as
the event viewer renders it."""
import struct

import pefile
import pytest

# ID, text as stored (8-bit, each ending in CR LF), in the table's order.
CATALOGUE = [
    (0x00020001, b"Corvane Service Started Successfully.\r\n"),
    (0x00020002, b"Corvane Service Stopped Successfully%0\r\n"),
    (0x40020003, b"Corvane Log: %1 %0\r\n"),
    (0x40020004, b"Corvane Service is starting. %1 Copyright (c) 2026 the Corvane developers. "
                 b"Read more in the README that comes with Corvane.%0\r\n"),
    (0x80020006, b"Corvane Warning %1 %0\r\n"),
    (0xC0020005, b"Corvane Error %1 %2 %0\r\n"),
]
VERSION_STRINGS = [
    ("CompanyName", "The Corvane developers"), ("FileDescription", "Corvane"),
    ("FileVersion", "1.01"), ("InternalName", "CORVANE.EXE"),
    ("LegalCopyright", "Copyright (c) 2026 the Corvane developers"),
    ("ProductName", "Corvane"), ("ProductVersion", "1.0.0.0"),
]
FIXED_FILE_INFO = {  # FileOS VOS_DOS_WINDOWS32, FileType VFT_APP
    "FileVersionMS": 0x00010000, "FileVersionLS": 0, "ProductVersionMS": 0x00010000,
    "ProductVersionLS": 0, "FileFlagsMask": 0, "FileFlags": 0, "FileOS": 0x00010004,
    "FileType": 1, "FileSubtype": 0,
}
# Part of every Windows installation (msvcrt.dll is the system's own C library); any
# C or C++ runtime DLL would have to be shipped beside the executable.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "ws2_32.dll", "msvcrt.dll"}


@pytest.fixture(scope="module")
def pe(executables):
    image = pefile.PE(str(executables["CORVANE"]))
    yield image
    image.close()


def resources(image, type_id):
    """[(resource ID, language, bytes)] of one resource type."""
    return [(entry.id, language.id,
             image.get_data(language.data.struct.OffsetToData, language.data.struct.Size))
            for kind in image.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == type_id
            for entry in kind.directory.entries for language in entry.directory.entries]


def test_message_table_is_resource_1_in_us_english_byte_for_byte(pe):
    [(resource_id, language, table)] = resources(pe, 11)  # RT_MESSAGETABLE
    assert (resource_id, language) == (1, 0x0409)
    entries, (blocks,) = [], struct.unpack_from("<I", table)
    for block in range(blocks):
        low, high, offset = struct.unpack_from("<III", table, 4 + 12 * block)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", table, offset)
            entries.append((message_id, flags, table[offset + 4:offset + length]))
            offset += length
    # Flags 0: 8-bit text; zero-terminated and padded with zeros to a multiple of four.
    assert entries == [(i, 0, text + b"\0" * (4 - len(text) % 4)) for i, text in CATALOGUE]


def test_version_resource_has_every_field_and_string_in_order(pe):
    image = pe
    assert [(rid, lang) for rid, lang, _ in resources(image, 16)] == [(1, 0)]  # RT_VERSION
    [fixed] = image.VS_FIXEDFILEINFO
    assert {name: getattr(fixed, name) for name in FIXED_FILE_INFO} == FIXED_FILE_INFO
    [info] = image.FileInfo
    [strings] = [block for block in info if block.name == "StringFileInfo"]
    [table] = strings.StringTable
    assert table.LangID == b"040904E4"
    assert [(k.decode(), v.decode()) for k, v in table.entries.items()] == VERSION_STRINGS
    [variables] = [block for block in info if block.name == "VarFileInfo"]
    assert [var.entry for var in variables.Var] == [{b"Translation": "0x0409 0x04e4"}]


def test_console_executable_of_its_architecture_importing_only_system_dlls(pe, executables):
    image, build = pe, executables["CORVANE"].parts[-4]
    machine, magic = {"mingw-i686": (0x14C, 0x10B), "mingw-x86_64": (0x8664, 0x20B)}[build]
    assert (image.FILE_HEADER.Machine, image.OPTIONAL_HEADER.Magic) == (machine, magic)  # PE32(+)
    assert image.OPTIONAL_HEADER.Subsystem == 3  # IMAGE_SUBSYSTEM_WINDOWS_CUI
    assert {entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT} == SYSTEM_DLLS


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
    (0x80020006, ["Lost since the last report: 1 too long, 0 not written; since the start: 1 too "
                  "long, 0 not written."],
     b"Corvane Warning Lost since the last report: 1 too long, 0 not written; since the start: "
     b"1 too long, 0 not written. "),
])
def test_catalogue_renders_as_the_event_viewer_shows_it(wine, event_id, strings, text):
    # A viewer of the executable's own width: 32-bit insertion pointers for the release.
    helper = wine.install("render_message", "render")
    result = wine.run(helper, wine.install("CORVANE", "render"), f"{event_id:08X}", *strings)
    assert result[:2] == (0, b">>" + text + b"<<\n")


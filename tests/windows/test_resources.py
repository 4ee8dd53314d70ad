"""The resources and the shape of the built executables, read back with pefile."""
import struct

import pefile
import pytest

RT_MESSAGETABLE = 11
RT_VERSION = 16
LANG_EN_US = 0x0409
LANG_NEUTRAL = 0

# ID, flags (0: 8-bit text), text as stored: each ends in CR LF.
CATALOGUE = [
    (0x00020001, 0, b"Corvane Service Started Successfully.\r\n"),
    (0x00020002, 0, b"Corvane Service Stopped Successfully%0\r\n"),
    (0x40020003, 0, b"Corvane Log: %1 %0\r\n"),
    (0x40020004, 0, b"Corvane Service is starting. %1 Copyright (c) 2026 the Corvane developers. "
                    b"Read more in the README that comes with Corvane.%0\r\n"),
    (0xC0020005, 0, b"Corvane Error %1 %2 %0\r\n"),
]

VERSION_STRINGS = [
    ("CompanyName", "The Corvane developers"),
    ("FileDescription", "Corvane"),
    ("FileVersion", "1.01"),
    ("InternalName", "CORVANE.EXE"),
    ("LegalCopyright", "Copyright (c) 2026 the Corvane developers"),
    ("ProductName", "Corvane"),
    ("ProductVersion", "1.0.0.0"),
]

FIXED_FILE_INFO = {
    "FileVersionMS": 0x00010000, "FileVersionLS": 0,
    "ProductVersionMS": 0x00010000, "ProductVersionLS": 0,
    "FileFlagsMask": 0, "FileFlags": 0,
    "FileOS": 0x00010004,  # VOS_DOS_WINDOWS32
    "FileType": 1,  # VFT_APP
    "FileSubtype": 0,
}

# Part of every Windows installation; anything else would have to be shipped beside the
# executable. msvcrt.dll is the system's own C library, which every mingw-w64 program
# imports; the runtimes that need an installer or a DLL of their own are named below.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "ws2_32.dll", "msvcrt.dll"}
RUNTIME_DLL_PREFIXES = ("libstdc++", "libgcc", "libwinpthread", "msvcr1", "msvcr7", "msvcr8",
                        "msvcr9", "msvcp", "vcruntime", "ucrtbase", "api-ms-win-crt")


@pytest.fixture(scope="module", params=["i686", "x86_64"])
def pe(request, executables):
    image = pefile.PE(str(executables[request.param]))
    yield request.param, image
    image.close()


def resource(image, type_id):
    """[(resource ID, language, bytes)] of one resource type."""
    found = []
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                data = language.data.struct
                found.append((entry.id, language.id,
                              image.get_data(data.OffsetToData, data.Size)))
    return found


def message_entries(table):
    """(ID, flags, text with its padding) of every entry of a message-table resource."""
    (block_count,) = struct.unpack_from("<I", table, 0)
    entries = []
    for block in range(block_count):
        low, high, offset = struct.unpack_from("<III", table, 4 + 12 * block)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", table, offset)
            entries.append((message_id, flags, table[offset + 4:offset + length]))
            offset += length
    return entries


def test_message_table_is_resource_1_in_us_english_only(pe):
    _, image = pe
    assert [(rid, lang) for rid, lang, _ in resource(image, RT_MESSAGETABLE)] == [(1, LANG_EN_US)]


def test_message_table_entries_byte_for_byte(pe):
    _, image = pe
    [(_, _, table)] = resource(image, RT_MESSAGETABLE)
    entries = message_entries(table)
    assert [(i, f) for i, f, _ in entries] == [(i, f) for i, f, _ in CATALOGUE]
    for (message_id, _, stored), (_, _, text) in zip(entries, CATALOGUE):
        # Zero-terminated, padded with zeros to a multiple of four bytes.
        assert stored[:len(text)] == text, hex(message_id)
        padding = stored[len(text):]
        assert padding and set(padding) == {0} and len(stored) % 4 == 0, hex(message_id)


def test_version_resource_is_resource_1_neutral(pe):
    _, image = pe
    assert [(rid, lang) for rid, lang, _ in resource(image, RT_VERSION)] == [(1, LANG_NEUTRAL)]


def test_version_fixed_fields(pe):
    _, image = pe
    [fixed] = image.VS_FIXEDFILEINFO
    assert {name: getattr(fixed, name) for name in FIXED_FILE_INFO} == FIXED_FILE_INFO


def test_version_strings_in_order(pe):
    _, image = pe
    [info] = image.FileInfo
    [string_info] = [block for block in info if block.name == "StringFileInfo"]
    [table] = string_info.StringTable
    assert table.LangID == b"040904E4"
    assert [(k.decode(), v.decode()) for k, v in table.entries.items()] == VERSION_STRINGS


def test_version_translation(pe):
    _, image = pe
    [info] = image.FileInfo
    [var_info] = [block for block in info if block.name == "VarFileInfo"]
    assert [var.entry for var in var_info.Var] == [{b"Translation": "0x0409 0x04e4"}]


@pytest.mark.parametrize("arch, machine, magic", [
    ("i686", 0x14C, 0x10B),  # PE32, the release
    ("x86_64", 0x8664, 0x20B),  # PE32+, the Wine test build
])
def test_console_executable_of_its_architecture(executables, arch, machine, magic):
    image = pefile.PE(str(executables[arch]), fast_load=True)
    assert image.FILE_HEADER.Machine == machine
    assert image.OPTIONAL_HEADER.Magic == magic
    assert image.OPTIONAL_HEADER.Subsystem == 3  # IMAGE_SUBSYSTEM_WINDOWS_CUI
    image.close()


def test_imports_only_system_dlls(pe):
    arch, image = pe
    imported = {entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT}
    runtimes = {dll for dll in imported if dll.startswith(RUNTIME_DLL_PREFIXES)}
    assert runtimes == set(), arch
    assert imported == SYSTEM_DLLS, arch

"""The release as it ships: signed by scripts/sign.sh, then read back with pefile."""
import os
import pathlib
import shutil
import subprocess

import pefile
import pytest

from conftest import ROOT

SIGN = ROOT / "scripts/sign.sh"
PASSWORD = "pass phrase $HOME 'quoted'"  # what a shell would expand or split
RELEASE = {"mingw-i686": ("CORVANE.exe", "corvane-*-x86.msi"),  # file name patterns
           "mingw-x86_64": ("CORVANE.exe",)}

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


@pytest.fixture(scope="module")
def maker(tmp_path_factory):  # a throwaway self-signed certificate, the variables that sign
    folder = tmp_path_factory.mktemp("maker")
    (folder / "openssl.cnf").write_text("[req]\ndistinguished_name = name\n[name]\n")
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, capture_output=True, timeout=60, check=True)
    openssl("req", "-config", "openssl.cnf", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=Corvane test maker", "-keyout", "maker.key", "-out", "maker.pem",
            "-addext", "extendedKeyUsage=codeSigning")
    openssl("pkcs12", "-export", "-in", "maker.pem", "-inkey", "maker.key", "-out", "maker.pfx",
            "-passout", "pass:" + PASSWORD)
    return folder / "maker.pem", {"CORVANE_SIGN_PFX": str(folder / "maker.pfx"),
                                  "CORVANE_SIGN_PASSWORD": PASSWORD}


def sign(maker, variables, *files):  # in the maker's folder, with the maker's variables
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_SIGN")}
    env.update({k: v for k, v in (maker[1] | variables).items() if v is not None})
    return subprocess.run([SIGN, *files], env=env, cwd=maker[0].parent, capture_output=True,
                          text=True, timeout=60, check=False)


def verified(ca, path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", ca, path], capture_output=True,
                          timeout=60, check=False).returncode == 0


def test_signed_files_verify_until_changed_and_keep_their_resources(tmp_path, build, maker):
    folder = tmp_path / build.name  # copies, in a folder named as their preset
    folder.mkdir()
    signed = []
    for pattern in RELEASE[build.name]:
        [path] = build.glob(pattern)  # each built, and once
        signed.append(pathlib.Path(shutil.copy(path, folder)))
    result = sign(maker, {}, *signed)
    assert (result.returncode, result.stderr) == (0, "")
    for path in signed:
        assert verified(maker[0], path), path
        if path.suffix == ".exe":
            check_release_image(path)
        changed = path.with_name("changed-" + path.name)
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 1
        changed.write_bytes(data)
        assert not verified(maker[0], changed), path


@pytest.mark.parametrize("variables, also, message", [
    ({"CORVANE_SIGN_PFX": None}, [], "CORVANE_SIGN_PFX is not set"),
    ({"CORVANE_SIGN_PFX": "/nonexistent.pfx"}, [], "cannot read the certificate file"),
    ({"CORVANE_SIGN_PFX": "maker.pem"}, [], "maker.pem is not a PKCS#12 file"),
    ({"CORVANE_SIGN_PASSWORD": None}, [], "CORVANE_SIGN_PASSWORD is not set"),
    ({"CORVANE_SIGN_PASSWORD": PASSWORD[:-1]}, [], "wrong password for"),
    ({}, ["missing.msi"], "no such file: "),  # before anything is signed
    ({"CORVANE_SIGN_TIMESTAMP": "http://127.0.0.1:9"}, [], "cannot sign"),  # after the signing
])
def test_failures_say_why_and_change_nothing(maker, build, tmp_path, variables, also, message):
    original = (build / "CORVANE.exe").read_bytes()
    shutil.copy(build / "CORVANE.exe", tmp_path)
    result = sign(maker, variables, tmp_path / "CORVANE.exe", *(tmp_path / name for name in also))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("sign.sh: ") and message in result.stderr, result.stderr
    assert PASSWORD[:-1] not in result.stderr  # neither password, the right one or the wrong
    assert [p.name for p in tmp_path.iterdir()] == ["CORVANE.exe"]  # and nothing half-signed
    assert (tmp_path / "CORVANE.exe").read_bytes() == original

"""The MSI package: its tables (no Wine), then the release's life under Wine, its own commands
and its package's under msiexec, in file order."""
import re
import shutil
import subprocess
import warnings

import pytest

from conftest import ROOT, events, x86_64_only
from test_service import (ERROR, EVENT_SOURCE_KEY, LOG, LOST, RUNNING, SERVICE, STARTED,
                          STARTING, STOPPED, send, start, state, wait_for_events)

SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Corvane"
UPGRADE_CODE = "{C2FCF637-D092-4595-80FC-99E40D553E6D}"
# The state learnt before the old release goes, the settings once the service exists.
SEQUENCE = ("RememberRunning", "InstallValidate", "RemoveExistingProducts", "InstallInitialize",
            "StopServices", "InstallServices", "CutPrivileges", "ServiceSid", "RestartOnFailure",
            "StartWithWindows", "StartServices", "StartService", "InstallFinalize")
# Per build: the package's name, and where Wine puts its program folder.
ARCHITECTURES = {"mingw-i686": ("x86", "Program Files (x86)/Corvane"),
                 "mingw-x86_64": ("x64", "Program Files/Corvane")}


def export(package, table):  # the rows of one table, after its three header lines
    out = subprocess.run(["msiinfo", "export", package, table], capture_output=True,
                         text=True, timeout=60, check=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines()[3:]]


@pytest.fixture(scope="session")
def package(build):
    [found] = build.glob(f"corvane-*-{ARCHITECTURES[build.name][0]}.msi")
    return found


def test_tables_set_what_wine_cannot_show_and_upgrade_any_older_release(build, package):
    # The service, its key and folder: as the run under Wine below shows them.
    arch, _ = ARCHITECTURES[build.name]
    version = re.fullmatch(rf"corvane-(.+)-{arch}\.msi", package.name)[1]
    # 3072: deferred, in the system's context; 64: a failure does not fail the install. The
    # other actions' work shows under Wine below.
    assert {row[0]: (row[2], row[3], int(row[1]) & ~2048) for row in export(
        package, "CustomAction")}.items() >= {
        "FindSc": ("SC", f"[{'System64Folder' if arch == 'x64' else 'SystemFolder'}]sc.exe", 51),
        "CutPrivileges": ("SC", "privs Corvane SeChangeNotifyPrivilege", 50 + 1024 + 64),
        "ServiceSid": ("SC", "sidtype Corvane unrestricted", 50 + 1024 + 64),
        "RestartOnFailure": ("SC", "failure Corvane reset= 86400 actions= restart/60000/restart/60000/restart/60000",
                             50 + 1024)}.items()
    order = sorted(export(package, "InstallExecuteSequence"), key=lambda row: int(row[2]))
    assert [row[0] for row in order if row[0] in SEQUENCE] == list(SEQUENCE)
    assert sorted(export(package, "Upgrade")) == [  # a major upgrade of any older release
        (UPGRADE_CODE, "", version, "", "1", "", "WIX_UPGRADE_DETECTED"),
        (UPGRADE_CODE, version, "", "", "2", "", "WIX_DOWNGRADE_DETECTED")]
    properties = dict(export(package, "Property"))
    assert properties.items() >= {
        "ProductName": "Corvane", "Manufacturer": "The Corvane developers",
        "ProductVersion": version, "ARPNOMODIFY": "1"}.items()
    assert "AUTOSTART" in properties["SecureCustomProperties"].split(";")


@pytest.fixture(scope="module")
def session(wine, build):
    yield wine
    # Whatever a failed case left, so that the other modules start from nothing.
    for msi in (wine.drive_c / "corvane").glob("*.msi"):
        wine.run("msiexec", "/x", f"C:\\corvane\\{msi.name}", "/qn")
    wine.run("sc", "delete", SERVICE)
    wine.run("reg", "delete", EVENT_SOURCE_KEY, "/f")
    shutil.rmtree(wine.drive_c / ARCHITECTURES[build.name][1], ignore_errors=True)


@pytest.fixture(scope="module")
def newer(tmp_path_factory, build):
    """The same sources built as release 1.02: its package, beside its executable."""
    into = tmp_path_factory.mktemp("newer")
    subprocess.run(["cmake", "-S", ROOT, "-B", into, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/{build.name}.cmake",
                    "-DCORVANE_VERSION=1.02"], capture_output=True, timeout=300, check=True)
    subprocess.run(["cmake", "--build", into, "--target", "msi"], capture_output=True,
                   timeout=600, check=True)
    [found] = into.glob("corvane-1.02-*.msi")
    return found


def msiexec(session, action, package, *properties):
    """Exit status (None for a hang) and the errors of a verbose log; the package is copied into
    the prefix. Under qemu-i386 the 32-bit custom action server may die or hang (docs/testing.md):
    where that happened before the install changed anything, its processes end and it runs
    again, four times at most."""
    (session.drive_c / "corvane").mkdir(exist_ok=True)
    shutil.copy(package, session.drive_c / "corvane" / package.name)
    for _ in range(4 if session.slowdown > 1 else 1):
        before = session.processes()
        status, _, err = session.run(  # at most 6 minutes emulated: 10 is a hang
            "msiexec", action, f"C:\\corvane\\{package.name}", "/qn", "/l*v", "C:\\corvane\\log",
            *properties, timeout=60 * min(session.slowdown, 10))
        lines = (session.drive_c / "corvane/log").read_text(encoding="latin-1").splitlines()
        if status == 0 or any(re.match(r"Action start [\d:]+: InstallValidate\.", line)
                              for line in lines):
            break
        session.end(session.processes() - before)
        warnings.warn(f"msiexec {action} {package.name}: {status} before any change, run again")
    # With Wine's crash reports.
    return status, [line for line in lines + err.decode("latin-1").splitlines()
                    if re.search(r"^Error|Return value 3|:err:seh:", line)]


def installed(session, build):
    return session.drive_c / ARCHITECTURES[build.name][1] / "CORVANE.exe"


def keys(session):
    # The image path as a path: Wine's msiexec writes it without quotation marks. WOW64 is
    # Wine's mark of a service that a 32-bit program made; its msiexec is 64-bit.
    service = session.registry(SERVICE_KEY)
    if service:
        service["ImagePath"] = (service["ImagePath"][0], service["ImagePath"][1].strip('"'))
        service.pop("WOW64", None)
    return service, session.registry(EVENT_SOURCE_KEY)


def test_release_runs_by_its_commands_then_its_package_upgrades_and_uninstalls(
        session, build, package, newer):
    # Few 32-bit starts, each about a minute where qemu-i386 runs the release. Started by
    # hand, not by the manager: the usage, and the dispatcher's refusal logged.
    executable = session.install("CORVANE.exe", ARCHITECTURES[build.name][1])
    status, out, err = session.run(executable)
    assert (status, out) == (1, b"CORVANE -install          to install the service\r\n"
                             b"CORVANE -remove           to remove the service\r\n"
                             b"CORVANE -version          to display the version number\r\n\r\n"
                             b"StartServiceCtrlDispatcher being called.\r\nThis may take "
                             b"several seconds.  Please wait.\r\n"), out
    assert [e[1:5] for e in events(err.decode("latin-1"))] == [
        (1, 0, 0, ("Corvane error: 1063", "StartServiceCtrlDispatcher failed."))]
    assert session.run(executable, "-version")[:2] == (0, (
        b"Corvane Server service, version 1.01\r\nCopyright (c) 2026 the Corvane developers.\r\n"
        b"Read more in the README that comes with Corvane.\r\n"))
    # From C:\, the message file is still the executable. Wine has none of the settings
    # beyond the entry's, and says so.
    assert session.run(executable, "-install", cwd=session.drive_c)[:2] == (0, (
        b"Required privileges not supported by this system: the service keeps every privilege "
        b"of its account - Invalid parameter. (0x57)\r\n"
        b"Service SID not supported by this system: no firewall rule can name the service - "
        b"Invalid parameter. (0x57)\r\n"
        b"Failure actions not supported by this system: the service is not restarted after a "
        b"crash - Invalid level. (0x7c)\r\n"
        b"Corvane installed.\r\n"))
    assert session.registry(SERVICE_KEY)["ImagePath"] == ("REG_SZ", f'"{executable}"')
    by_command = keys(session)
    mark, pid = start(session, "net", "start", SERVICE)
    # UTF-8 reads as sent, other bytes in the system's code page (1252) as before.
    sent = {b"abc\r\n": "[abc\r]", "café € 日本\n".encode(): "[café € 日本]",
            b"caf\xe9 \xc3\x28 \xe2\x82\n": b"[caf\xe9 \xc3\x28 \xe2\x82]".decode("cp1252")}
    longest = bytes(65 + n % 26 for n in range(8192))
    send(*sent, longest, longest + b"x", b"still here\n")
    found = wait_for_events(session, mark, (STARTING, STARTED, LOG, ERROR), len(sent) + 5, pid)
    # Only a whole datagram is logged (the trace shows the start of the longest and a cut).
    assert ("[" + longest.decode()).startswith(cut := found[-3].strings[0]) and len(cut) > 200
    assert [e[1:] for e in found] == [(4, 0, STARTING, ("Version 1.01",), False), (
        4, 0, STARTED, ("'Listening' on port 514, protocol UDP\n",), False)] + [
        (4, 0, LOG, (text,), False) for text in sent.values()] + [
        (4, 0, LOG, (cut,), True), (1, 0, ERROR, ("recv() failed: error 10040\n",), False),
        (4, 0, LOG, ("[still here]",), False)]
    status, out, _ = session.run(executable, "-remove")
    assert status == 0 and re.fullmatch(  # a dot a second while stop pending
        rb"Stopping Corvane\.+\r\nCorvane stopped\.\r\nCorvane removed\.\r\n", out), out
    assert (state(session), keys(session)) == (None, (None, None))
    # The stop's report (where the stop came 10 s after the start, after one of its own).
    *_, report = [e.strings for e in events(session.trace(mark)) if (e.pid, e.id) == (pid, LOST)]
    assert report[0].endswith("; since the start: 1 too long, 0 not written, 0 unread at stop.")
    installed(session, build).unlink()
    assert msiexec(session, "/i", package) == (0, [])
    # The keys as -install writes them.
    assert keys(session) == by_command and by_command[1] == {
        "EventMessageFile": ("REG_EXPAND_SZ", executable), "TypesSupported": ("REG_DWORD", "0x7")}
    mark, _ = start(session, "net", "start", SERVICE)
    assert msiexec(session, "/i", newer) == (0, [])
    assert session.wait_for(lambda: state(session) == (RUNNING, 0))
    assert [e.strings for e in wait_for_events(session, mark, (STARTING,), 2)] == [
        ("Version 1.01",), ("Version 1.02",)]
    assert installed(session, build).read_bytes() == (newer.parent / "CORVANE.exe").read_bytes()
    if session.slowdown > 1:  # Wine's msiexec does not wait for the stop as the package asks,
        # and the emulated process still holds its file when the delete comes (error 5)
        assert session.run("net", "stop", SERVICE)[0] == 0
        assert session.wait_for(lambda: not session.processes(b"CORVANE.exe"))
    assert msiexec(session, "/x", newer) == (0, [])
    assert (state(session), keys(session)) == (None, (None, None))
    folder = installed(session, build).parent
    assert not folder.exists(), list(folder.iterdir())


@x86_64_only  # each x86 install runs four 32-bit programs: 5 minutes under emulation
def test_autostart_refused_install_then_a_stopped_upgrade_and_a_repair(session, build, package,
                                                                        newer):
    assert msiexec(session, "/i", package, "AUTOSTART=1") == (0, [])
    assert session.registry(SERVICE_KEY)["Start"] == ("REG_DWORD", "0x2")  # with Windows
    before = keys(session)
    status, out, _ = session.run("CORVANE.exe", "-install", cwd=installed(session, build).parent)
    assert (status, out[:23], out[-9:], keys(session)) == (
        1, b"CreateService failed - ", b"(0x431)\r\n", before)
    assert session.wait_for(lambda: state(session) == (RUNNING, 0))
    assert (stopped := session.run("sc", "stop", SERVICE))[0] == 0, stopped
    assert session.wait_for(lambda: state(session) == (STOPPED, 0))
    assert msiexec(session, "/i", newer) == (0, [])  # without AUTOSTART: demand
    assert (state(session)[0], session.registry(SERVICE_KEY)["Start"]) == (
        STOPPED, ("REG_DWORD", "0x3"))
    installed(session, build).unlink()
    # /fa as Wine's msiexec takes it: its /f is not implemented.
    assert msiexec(session, "/i", newer, "REINSTALL=ALL", "REINSTALLMODE=amus") == (0, [])
    assert installed(session, build).read_bytes() == (newer.parent / "CORVANE.exe").read_bytes()


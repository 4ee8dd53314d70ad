"""The MSI package: its tables (no Wine), then its life under Wine's msiexec, in file order."""
import re
import shutil
import subprocess

import pytest

from conftest import ROOT
from test_service import (EVENT_SOURCE_KEY, RUNNING, SERVICE, STARTING, STOPPED, start, state,
                          wait_for_events)

SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\Corvane"
UPGRADE_CODE = "{C2FCF637-D092-4595-80FC-99E40D553E6D}"
# The state learnt before the old release goes, the settings once the service exists.
SEQUENCE = ("RememberRunning", "InstallValidate", "RemoveExistingProducts", "InstallInitialize",
            "StopServices", "InstallServices", "CutPrivileges", "ServiceSid", "RestartOnFailure",
            "StartWithWindows", "StartServices", "StartService", "InstallFinalize")
# Per build: the package's name, its program folder, and where Wine puts that folder.
ARCHITECTURES = {"mingw-i686": ("x86", "ProgramFilesFolder", "Program Files (x86)/Corvane"),
                 "mingw-x86_64": ("x64", "ProgramFiles64Folder", "Program Files/Corvane")}


def export(package, table):  # the rows of one table, after its three header lines
    out = subprocess.run(["msiinfo", "export", package, table], capture_output=True,
                         text=True, timeout=60, check=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines()[3:]]


@pytest.fixture(scope="session")
def package(build):
    [found] = build.glob(f"corvane-*-{ARCHITECTURES[build.name][0]}.msi")
    return found


def test_tables_install_the_service_as_the_install_command_does(build, package):
    arch, folder, _ = ARCHITECTURES[build.name]
    version = re.fullmatch(rf"corvane-(.+)-{arch}\.msi", package.name)[1]
    # The service's own values: as -install's, compared under Wine below. Stop on install and
    # on uninstall, delete on uninstall, wait.
    assert export(package, "ServiceControl") == [("Corvane", "Corvane", "162", "", "1", "Service")]
    # The key goes whole on uninstall; its values are those compared under Wine below.
    key = EVENT_SOURCE_KEY.removeprefix("HKLM\\")
    assert ("2", key, "-", "", "Service") in [row[1:] for row in export(package, "Registry")]
    assert ("INSTALLDIR", folder, "Corvane") in export(package, "Directory")
    # 3072: deferred, in the system's context; 64: a failure does not fail the install.
    assert {row[0]: (row[2], row[3], int(row[1]) & ~2048) for row in export(
        package, "CustomAction")} == {
        "FindSc": ("SC", f"[{'System64Folder' if arch == 'x64' else 'SystemFolder'}]sc.exe", 51),
        "RememberRunning": ("SetupActions", "RememberRunning", 1),
        "CutPrivileges": ("SC", "privs Corvane SeChangeNotifyPrivilege", 50 + 1024 + 64),
        "ServiceSid": ("SC", "sidtype Corvane unrestricted", 50 + 1024 + 64),
        "RestartOnFailure": ("SC", "failure Corvane reset= 86400 actions= restart/60000/restart/60000/restart/60000",
                             50 + 1024),
        "StartWithWindows": ("SetupActions", "StartWithWindows", 1 + 1024),
        "StartService": ("SC", "start Corvane", 50 + 1024)}
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
    shutil.rmtree(wine.drive_c / ARCHITECTURES[build.name][2], ignore_errors=True)


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
    """Exit status and the errors of a verbose log; the package is copied into the prefix."""
    (session.drive_c / "corvane").mkdir(exist_ok=True)
    shutil.copy(package, session.drive_c / "corvane" / package.name)
    status, _, _ = session.run("msiexec", action, f"C:\\corvane\\{package.name}", "/qn", "/l*v",
                               "C:\\corvane\\log", *properties)
    log = (session.drive_c / "corvane/log").read_text(encoding="latin-1")
    return status, [line for line in log.splitlines() if re.search(r"^Error|Return value 3", line)]


def installed(session, build):
    return session.drive_c / ARCHITECTURES[build.name][2] / "CORVANE.exe"


def keys(session):
    # The image path as a path: Wine's msiexec writes it without quotation marks.
    service = session.registry(SERVICE_KEY)
    if service:
        service["ImagePath"] = (service["ImagePath"][0], service["ImagePath"][1].strip('"'))
    return service, session.registry(EVENT_SOURCE_KEY)


def test_package_installs_what_install_writes_and_then_refuses_it(session, build, package):
    executable = session.install("CORVANE", ARCHITECTURES[build.name][2])
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
    assert session.run(executable, "-remove")[0] == 0
    installed(session, build).unlink()
    assert msiexec(session, "/i", package) == (0, [])
    # The service's values are the ServiceInstall row's, checked above; the keys must match.
    by_package = keys(session)
    assert by_package[1] == {"EventMessageFile": ("REG_EXPAND_SZ", executable),
                             "TypesSupported": ("REG_DWORD", "0x7")}
    status, out, _ = session.run(executable, "-install", cwd=installed(session, build).parent)
    assert (status, out[:23], out[-9:]) == (1, b"CreateService failed - ", b"(0x431)\r\n")
    assert by_command == by_package == keys(session)


def test_upgrade_restarts_a_running_service_then_uninstall_leaves_nothing(session, build, newer):
    mark, _ = start(session, "net", "start", SERVICE)
    assert msiexec(session, "/i", newer) == (0, [])
    assert session.wait_for(lambda: state(session) == (RUNNING, 0))
    assert [e.strings for e in wait_for_events(session, mark, (STARTING,), 2)] == [
        ("Version 1.01",), ("Version 1.02",)]
    assert installed(session, build).read_bytes() == (newer.parent / "CORVANE.exe").read_bytes()
    assert msiexec(session, "/x", newer) == (0, [])
    assert (state(session), keys(session)) == (None, (None, None))
    assert not installed(session, build).parent.exists()


def test_autostart_then_a_stopped_upgrade_and_a_repair(session, build, package, newer):
    assert msiexec(session, "/i", package, "AUTOSTART=1") == (0, [])
    assert session.registry(SERVICE_KEY)["Start"] == ("REG_DWORD", "0x2")  # with Windows
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


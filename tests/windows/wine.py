"""One Wine session for the tests: a private prefix, a persistent wineserver and the
system processes that wineboot starts (the service manager among them), with the output
of every debug channel in one file. Processes started later inherit the session's
debug settings and that file, services included, because the service manager does."""
import dataclasses
import os
import pathlib
import subprocess
import tempfile
import time

WINE = pathlib.Path("/usr/lib/wine/wine64")
WINESERVER = pathlib.Path("/usr/lib/wine/wineserver")

# fixme+advapi and +eventlog: the event log is a stub that prints every report, its
# type, category, ID and string count, then one line per insertion string.
# +service: every SetServiceStatus call with the whole record, as the manager got it.
# +pid: every line names its process, which tells one run of the service from the next.
WINEDEBUG = "fixme+advapi,+eventlog,+service,+pid"

COMMAND_TIMEOUT = 60
BOOT_TIMEOUT = 300


@dataclasses.dataclass
class Session:
    prefix: pathlib.Path
    env: dict
    trace: pathlib.Path


@dataclasses.dataclass
class Result:
    returncode: int
    stdout: bytes
    stderr: bytes


def prepare(base):
    """A fresh prefix under `base` and the environment every program of it runs in."""
    prefix = base / "prefix"
    prefix.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE") and k != "DISPLAY"}
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG=WINEDEBUG,
        WINELOADER=str(WINE),
        WINESERVER=str(WINESERVER),
        # No Mono or Gecko installers: nothing here needs them, and they cost a minute.
        WINEDLLOVERRIDES="mscoree,mshtml=",
    )
    return Session(prefix, env, base / "wine-trace.log")


def boot(session):
    """Starts the persistent wineserver and boots the prefix. Raises when Wine is
    missing or does not boot."""
    for tool in (WINE, WINESERVER):
        if not os.access(tool, os.X_OK):
            raise RuntimeError(f"{tool} is missing (Debian package wine64)")
    with open(session.trace, "ab") as trace:
        subprocess.run([str(WINESERVER), "-p"], env=session.env, stdin=subprocess.DEVNULL,
                       stdout=trace, stderr=trace, timeout=COMMAND_TIMEOUT, check=True)
        # Not "--init": the first process of a server runs that itself, and a second one
        # would start a second service manager with a database of its own.
        subprocess.run([str(WINE), "wineboot"], env=session.env, cwd=session.prefix,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace,
                       timeout=BOOT_TIMEOUT, check=True)


def stop(session):
    """Ends the session's wineserver and with it every process of the prefix."""
    if not os.access(WINESERVER, os.X_OK):
        return
    subprocess.run([str(WINESERVER), "-k"], env=session.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=COMMAND_TIMEOUT, check=False)


def run(session, *args, cwd=None, timeout=COMMAND_TIMEOUT):
    """Runs a Windows program of the session. Output goes through files, not pipes: a
    process Wine starts on the way may hold a pipe open long after this one ends."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        completed = subprocess.run([str(WINE), *map(str, args)], env=session.env,
                                   cwd=cwd or session.prefix, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err, timeout=timeout, check=False)
        out.seek(0)
        err.seek(0)
        return Result(completed.returncode, out.read(), err.read())


def drive_c(session):
    return session.prefix / "drive_c"


def trace_size(session):
    return session.trace.stat().st_size


def read_trace(session, since=0):
    """The debug output written since byte offset `since`."""
    with open(session.trace, "rb") as trace:
        trace.seek(since)
        return trace.read().decode("latin-1")


def wait_for(probe, timeout, interval=0.2):
    """Calls `probe` until it returns something true, and returns that; None when
    `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        found = probe()
        if found or time.monotonic() > deadline:
            return found or None
        time.sleep(interval)


def registry_values(session, key):
    """{name: (type, data)} of a registry key as `reg query` shows it; None when the
    key does not exist."""
    result = run(session, "reg", "query", key)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.decode("latin-1").splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) == 3 else "")
    return values


def service_state(session, name):
    """(state, Win32 exit code) of a service as `sc query` shows it; None when the
    manager does not know it."""
    result = run(session, "sc", "query", name)
    if result.returncode != 0:
        return None
    fields = {}
    for line in result.stdout.decode("latin-1").splitlines():
        key, _, value = line.partition(":")
        if value:
            fields[key.strip()] = value.split()[0]
    return int(fields["STATE"]), int(fields["WIN32_EXIT_CODE"])

"""The two builds, the i686 release first, and the one Wine session the tests of each
build share: a private prefix, a persistent wineserver and the system processes
wineboot starts (the service manager among them). Every debug channel writes to one trace file, which every later
process inherits, services included, because the service manager does."""
import collections
import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# What each build puts where; the tests run each executable beside helpers of its own build.
BUILT = {"CORVANE": "platform/win32/CORVANE.exe", **{
    helper: f"tests/windows/{helper}.exe"
    for helper in ("render_message", "system_text", "service_control", "slow_service")}}
ARCHITECTURES = ("i686", "x86_64")  # the release first
# wine64 hands a 32-bit program to the 32-bit loader; one 64-bit server serves both.
WINE, WINE32, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wine", "/usr/lib/wine/wineserver"
# fixme+advapi and +eventlog: the event log is a stub that prints every report (type,
# category, ID, string count), then a line per insertion string. +service: every
# SetServiceStatus record as the manager got it. +pid: which run of the service it was.
WINEDEBUG = "fixme+advapi,+eventlog,+service,+pid"

LINE = r"^(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):"
REPORT = re.compile(LINE + r"fixme:advapi:ReportEventA \(\w+,0x(?P<type>[0-9a-f]+),"
                    r"0x(?P<category>[0-9a-f]+),0x(?P<id>[0-9a-f]+),\w+,0x(?P<count>[0-9a-f]+),")
STRING = re.compile(LINE + r'\w+:eventlog:ReportEventW L"(?P<text>.*)"$')  # class by type
STATUS = re.compile(LINE + r"trace:service:SetServiceStatus \w+(?P<fields>(?: \w+){7})$")
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}

Event = collections.namedtuple("Event", "pid type category id strings")


def decode(text):
    """Undoes Wine's quoting of a wide string: \\n, \\r, \\t, \\", \\\\ and \\XXXX."""
    return re.sub(r'\\(?:([nrt"\\])|([0-9a-f]{4}))',
                  lambda m: ESCAPES[m[1]] if m[1] else chr(int(m[2], 16)), text)


def events(trace):
    """Every complete event report in order. A report's strings follow it on the same
    thread; other threads' lines may come in between."""
    pending, found = {}, []
    for line in trace.splitlines():
        if report := REPORT.match(line):
            key = report["pid"], report["tid"]
            fields = ("pid", "type", "category", "id", "count")
            pending[key] = [int(report[field], 16) for field in fields], []
        elif (string := STRING.match(line)) and (key := (string["pid"], string["tid"])) in pending:
            pending[key][1].append(decode(string["text"]))
        else:
            continue
        (pid, kind, category, event_id, count), strings = pending[key]
        if len(strings) == count:
            found.append(Event(pid, kind, category, event_id, tuple(strings)))
            del pending[key]
    return found


def wait_for(probe, timeout):
    """The first true result of `probe`, tried every 0.2 s; None after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not (found := probe()) and time.monotonic() < deadline:
        time.sleep(0.2)
    return found or None


class Wine:
    events, wait_for = staticmethod(events), staticmethod(wait_for)

    def __init__(self, base, executables):
        self.executables = executables
        self.prefix, self.trace_file = base / "prefix", base / "wine-trace.log"
        self.prefix.mkdir()
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("WINE") and k != "DISPLAY"}
        # No Mono or Gecko installers: nothing here needs them, and they cost a minute.
        self.env.update(WINEPREFIX=str(self.prefix), WINEDEBUG=WINEDEBUG, WINELOADER=WINE,
                        WINESERVER=WINESERVER, WINEDLLOVERRIDES="mscoree,mshtml=")
        self.drive_c = self.prefix / "drive_c"

    def boot(self):
        with open(self.trace_file, "ab") as trace:
            subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=trace, stderr=trace, timeout=60, check=True)
            # Not "--init": the first process of a server runs that itself, and a second
            # would start a second service manager with a database of its own.
            subprocess.run([WINE, "wineboot"], env=self.env, cwd=self.prefix,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace,
                           timeout=300, check=True)

    def stop(self):
        """Ends the session's wineserver and with it every process of the prefix, then
        frees the prefix's disk (over a gigabyte); the trace stays."""
        if os.access(WINESERVER, os.X_OK):
            subprocess.run([WINESERVER, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, check=False)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def install(self, name, folder):
        """Copies a file of the build under test into a folder of drive C: (made if
        missing); its Windows path."""
        (self.drive_c / folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(self.executables[name], self.drive_c / folder / f"{name}.exe")
        return "C:\\" + folder.replace("/", "\\") + f"\\{name}.exe"

    def run(self, *args, cwd=None):
        """(exit status, stdout, stderr) of a Windows program. Output goes through files:
        a process Wine starts on the way may hold a pipe open long after this one ends."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([WINE, *map(str, args)], env=self.env, cwd=cwd or self.prefix,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=60, check=False)
            return done.returncode, *(f.seek(0) or f.read() for f in (out, err))

    def mark(self):
        return self.trace_file.stat().st_size

    def trace(self, since):
        with open(self.trace_file, "rb") as trace:
            trace.seek(since)
            return trace.read().decode("latin-1")

    def statuses(self, since, pid):
        """(state, controls accepted, exit code, check point, wait hint) of every record
        process `pid` handed to the manager for an own-process service."""
        records = [[int(v, 16) for v in s["fields"].split()]
                   for s in map(STATUS.match, self.trace(since).splitlines())
                   if s and int(s["pid"], 16) == pid]
        return [(r[1], r[2], r[3], r[5], r[6]) for r in records if r[0] == 0x10]

    def query(self, *args):
        """{name: value} of the "name: value" or "name  type  value" lines of a command
        (`reg query`, `sc query`); None when it fails."""
        status, out, _ = self.run(*args)
        if status != 0:
            return None
        lines = [line.strip() for line in out.decode("latin-1").splitlines()]
        if args[0] == "reg":
            return {p[0]: tuple(p[1:]) for p in (line.split(None, 2) for line in lines)
                    if len(p) == 3 and p[1].startswith("REG_")}
        return {k.strip(): v.split()[0] for k, _, v in (line.partition(":") for line in lines)
                if v.strip()}


@pytest.fixture(scope="session", params=ARCHITECTURES)
def executables(request):
    """{name: path} of one build; every test that uses it runs once per build."""
    found = {name: ROOT / f"build/mingw-{request.param}" / path for name, path in BUILT.items()}
    for path in found.values():
        if not path.is_file():
            pytest.fail(f"{path} is not built: run tests/windows/run.sh")
    return found


def check_32_bit_runs():
    """Fails, with the reason, where the 32-bit release cannot run at all."""
    try:
        subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=60, check=True)
    except (OSError, subprocess.SubprocessError) as error:
        pytest.fail(f"{WINE32} does not run ({error}): the i686 release needs a kernel that "
                    "executes 32-bit code (IA-32 emulation) and the package wine32:i386")


@pytest.fixture(scope="session")
def wine(tmp_path_factory, executables):
    """A booted Wine session for one build; fails, never skips, when Wine cannot be had."""
    if executables["CORVANE"].parts[-4] == "mingw-i686":
        check_32_bit_runs()
    # The service binds UDP 514 (in the suite's own network namespace): a taken port would
    # show up as a service that never runs, so say so at once.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("0.0.0.0", 514))
        except OSError as error:
            pytest.fail(f"UDP port 514 is not free for the service under Wine: {error}")
    session = Wine(tmp_path_factory.mktemp("wine"), executables)
    try:
        session.boot()
    except Exception as error:  # any way of not getting Wine is a failure
        session.stop()
        pytest.fail(f"cannot start Wine: {error}")
    yield session
    session.stop()

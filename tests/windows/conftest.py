"""Per build, the i686 release first, one Wine session with one trace that services inherit."""
import collections
import contextlib
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# wine64 hands a 32-bit program to the 32-bit loader; one 64-bit server serves both.
WINE, WINE32, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wine", "/usr/lib/wine/wineserver"
# The event log is a stub that prints each report, then each string (cut with "..." past
# some 300 characters); +service: each SetServiceStatus record; +pid: whose it was.
WINEDEBUG = "fixme+advapi,+eventlog,+service,+pid"
LINE = r"^(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):"
REPORT = re.compile(LINE + r"fixme:advapi:ReportEventW \(\w+,0x(?P<type>[0-9a-f]+),"
                    r"0x(?P<category>[0-9a-f]+),0x(?P<id>[0-9a-f]+),\w+,0x(?P<count>[0-9a-f]+),")
STRING = re.compile(LINE + r'\w+:eventlog:ReportEventW L"(?P<text>.*)"(?P<cut>\.\.\.)?$')
STATUS = re.compile(LINE + r"trace:service:SetServiceStatus \w+(?P<fields>(?: \w+){7})$")
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
# How much longer a 32-bit Wine start takes under qemu-i386 than run by the kernel, the
# measure of every wait on the release's processes: its -version in a booted prefix whose
# server had ended took 0.55 s run by the kernel and 55 s emulated (2 cores, 3 runs each).
SLOWDOWN = 100

Event = collections.namedtuple("Event", "pid type category id strings cut")


def events(trace):
    """Every complete report in order; its strings follow it on its thread."""
    pending, found = {}, []
    for line in trace.splitlines():
        if report := REPORT.match(line):
            key = report["pid"], report["tid"]
            fields = ("pid", "type", "category", "id", "count")
            pending[key] = [int(report[field], 16) for field in fields], []
        elif (string := STRING.match(line)) and (key := (string["pid"], string["tid"])) in pending:
            text = re.sub(r'\\(?:([nrt"\\])|([0-9a-f]{4}))', lambda m: ESCAPES[m[1]] if m[1]
                          else chr(int(m[2], 16)), string["text"])
            pending[key][1].append((text, bool(string["cut"])))
        else:
            continue
        (*fields, count), strings = pending[key]
        if len(strings) == count:
            found.append(Event(*fields, tuple(s for s, _ in strings), any(c for _, c in strings)))
            del pending[key]
    return found


def emulated():  # an enabled binfmt_misc handler for 32-bit x86 goes before the kernel
    return any(re.match(r"enabled\ninterpreter \S*(qemu-i386|i386-binfmt)", entry.read_text())
               for entry in pathlib.Path("/proc/sys/fs/binfmt_misc").glob("*")
               if entry.name not in ("register", "status"))


EMULATED = emulated()


class Wine:
    def __init__(self, base, build):
        self.build, self.trace_file = build, base / "trace"
        self.slowdown = SLOWDOWN if EMULATED and build.name == "mingw-i686" else 1
        self.prefix, self.drive_c = base / "prefix", base / "prefix/drive_c"
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("WINE") and k != "DISPLAY"}
        # No Mono or Gecko installers: nothing here needs them, and they cost a minute; emulated,
        # no debugger for a crash, which would take minutes to start.
        self.env.update(WINEPREFIX=str(self.prefix), WINEDEBUG=WINEDEBUG, WINELOADER=WINE,
                        WINESERVER=WINESERVER, WINEDLLOVERRIDES="mscoree,mshtml=" + (
                            ";winedbg.exe=d" if self.slowdown > 1 else ""))

    def boot(self):  # not "wineboot --init": a second one would start a second service manager
        self.prefix.mkdir()
        self.serve()
        if self.slowdown > 1:  # read as the service manager starts: its wait for a service
            assert self.run("reg", "add", r"HKLM\System\CurrentControlSet\Control", "/v",
                            "ServicesPipeTimeout", "/d", 10_000 * self.slowdown, "/f")[0] == 0
            for step in ("-k", "-w"):  # ended, then gone
                subprocess.run([WINESERVER, step], env=self.env, timeout=60, check=True)
            self.serve()

    def serve(self):  # its server, then its service manager
        with open(self.trace_file, "ab") as trace:
            subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=trace, stderr=trace, timeout=60, check=True)
            # Making any prefix runs 32-bit programs: its bound scales wherever they are emulated.
            subprocess.run([WINE, "wineboot"], env=self.env, cwd=self.prefix,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace,
                           timeout=300 * (SLOWDOWN if EMULATED else 1), check=True)

    def stop(self):  # every process of the prefix, and its gigabyte; the trace stays
        subprocess.run([WINESERVER, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60, check=False)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def install(self, built, folder):  # a file of the build, by its path there
        (self.drive_c / folder).mkdir(parents=True, exist_ok=True)
        shutil.copy(self.build / built, self.drive_c / folder)
        return "C:\\" + folder.replace("/", "\\") + "\\" + pathlib.Path(built).name

    def run(self, *args, cwd=None, timeout=None):  # status None: ended after `timeout` seconds
        # Through files: a process Wine starts on the way may hold a pipe open for long.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.run([WINE, *map(str, args)], env=self.env,
                                        cwd=cwd or self.prefix, stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=err, check=False,
                                        timeout=timeout or 60 * self.slowdown).returncode
            except subprocess.TimeoutExpired:
                status = None
            return status, *(f.seek(0) or f.read() for f in (out, err))

    def ours(self, pid, named=b""):  # a process of this session: our user's, in this prefix
        entry = pathlib.Path(f"/proc/{pid}")
        try:
            return entry.stat().st_uid == os.getuid() and f"WINEPREFIX={self.prefix}".encode() in (
                entry / "environ").read_bytes().split(b"\0") and named in (
                entry / "cmdline").read_bytes()
        except OSError:  # ended
            return False

    def processes(self, named=b""):  # with `named` in its command line, as Wine shows a program
        return {pid for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
                if self.ours(pid, named)}

    def end(self, pids):  # each proven ours through a handle that a reused pid cannot redirect
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):  # ended
                handle = os.pidfd_open(pid)
                try:
                    if self.ours(pid):
                        signal.pidfd_send_signal(handle, signal.SIGKILL)
                finally:
                    os.close(handle)

    def mark(self):
        return self.trace_file.stat().st_size

    def trace(self, since):
        with open(self.trace_file, "rb") as trace:
            trace.seek(since)
            return trace.read().decode("latin-1")

    def wait_for(self, probe, timeout=20):
        deadline = time.monotonic() + timeout * self.slowdown
        while not (found := probe()) and time.monotonic() < deadline:
            time.sleep(0.2)
        return found or None

    def statuses(self, since, pid):
        # (state, controls, exit code, check point, wait hint) of each own-process record
        records = [[int(v, 16) for v in s["fields"].split()]
                   for s in map(STATUS.match, self.trace(since).splitlines())
                   if s and int(s["pid"], 16) == pid]
        return [(r[1], r[2], r[3], r[5], r[6]) for r in records if r[0] == 0x10]

    def registry(self, key):  # {name: (type, value)}; None for no key
        status, out, _ = self.run("reg", "query", key)
        rows = [line.split(None, 2) for line in out.decode("latin-1").splitlines()]
        return None if status else {
            row[0]: tuple(row[1:]) for row in rows if len(row) == 3 and row[1].startswith("REG_")}


@pytest.fixture(scope="session", params=("i686", "x86_64"))
def build(request):  # named as its preset
    return ROOT / f"build/mingw-{request.param}"


# For a case the emulated release could not do in time: each use says why.
x86_64_only = pytest.mark.parametrize("build", ["x86_64"], indirect=True)


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items):  # one Wine session per build, each in file order
    items.sort(key=lambda item: (item.callspec.params["build"], *item.location[:2]))


@pytest.fixture(scope="session")
def wine(tmp_path_factory, build):  # an error when Wine cannot be had
    try:  # Exec format error where neither the kernel nor a binfmt_misc handler runs it
        if build.name == "mingw-i686":
            subprocess.run([WINE32, "--version"], capture_output=True, timeout=60, check=True)
    except OSError as error:
        pytest.fail(f"{error}: tests/windows/run.sh has qemu-i386 run 32-bit code where the "
                    "kernel refuses it", pytrace=False)
    session, cpus = Wine(tmp_path_factory.mktemp("wine"), build), os.sched_getaffinity(0)
    if session.slowdown > 1:  # qemu-i386's threads of one process race less on one core
        os.sched_setaffinity(0, {min(cpus)})  # this process's, and so every Wine process's
    try:
        session.boot()
        yield session
    finally:
        session.stop()
        os.sched_setaffinity(0, cpus)

"""What Wine's debug channels say about a Windows program: the reports of the stubbed
event log and the status records handed to the service manager."""
import dataclasses
import re

LINE_START = r"^(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):"
REPORT = re.compile(
    LINE_START + r"fixme:advapi:ReportEventA \(\w+,0x(?P<type>[0-9a-f]+),"
    r"0x(?P<category>[0-9a-f]+),0x(?P<id>[0-9a-f]+),\w+,0x(?P<count>[0-9a-f]+),")
# One per insertion string; the class (trace, warn, err) follows the event type.
STRING = re.compile(LINE_START + r'\w+:eventlog:ReportEventW L"(?P<text>.*)"$')
STATUS = re.compile(LINE_START + r"trace:service:SetServiceStatus \w+(?P<fields>(?: \w+){7})$")

ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


@dataclasses.dataclass(frozen=True)
class Event:
    pid: int
    type: int
    category: int
    event_id: int
    strings: tuple


@dataclasses.dataclass(frozen=True)
class Status:
    pid: int
    service_type: int
    state: int
    controls_accepted: int
    exit_code: int
    specific_exit_code: int
    check_point: int
    wait_hint: int


def decode(text):
    """Undoes Wine's quoting of a wide string: \\n, \\r, \\t, \\", \\\\ and \\XXXX."""
    out, i = [], 0
    while i < len(text):
        if text[i] != "\\":
            out.append(text[i])
            i += 1
        elif text[i + 1] in ESCAPES:
            out.append(ESCAPES[text[i + 1]])
            i += 2
        else:
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
    return "".join(out)


def events(trace):
    """Every complete event report in the trace, in order. A report's strings follow it
    on the same thread; other threads' lines may come in between."""
    pending, found = {}, []
    for line in trace.splitlines():
        report = REPORT.match(line)
        if report:
            key = (report["pid"], report["tid"])
            pending[key] = (Event(int(report["pid"], 16), int(report["type"], 16),
                                  int(report["category"], 16), int(report["id"], 16), ()),
                            int(report["count"], 16))
        else:
            string = STRING.match(line)
            key = (string["pid"], string["tid"]) if string else None
            if key not in pending:
                continue
            event, count = pending[key]
            pending[key] = (dataclasses.replace(
                event, strings=event.strings + (decode(string["text"]),)), count)
        event, count = pending.get(key, (None, -1))
        if event is not None and len(event.strings) == count:
            found.append(event)
            del pending[key]
    return found


def statuses(trace, pid):
    """The status records process `pid` handed to the manager, in order."""
    found = []
    for line in trace.splitlines():
        status = STATUS.match(line)
        if status and int(status["pid"], 16) == pid:
            found.append(Status(pid, *(int(v, 16) for v in status["fields"].split())))
    return found

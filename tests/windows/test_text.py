"""The text of datagrams under Wine: long lines logged whole up to the receive buffer,
UTF-8 reported through the wide call so that it reads as sent, other bytes as before, and
the loss report at the stop. The stubbed event log prints at most some 300 characters of
a string and marks the cut with "..."."""
import collections
import re
import socket
import subprocess

import pytest

from conftest import LINE, decode

LOG_LINE, ERROR, LOST = 0x40020003, 0xC0020005, 0x80020006
WARNING_TYPE = 2
EVENT_WAIT = 20
HEADER = re.compile(LINE + r"fixme:advapi:ReportEvent(?P<call>[AW]) \(\w+,0x(?P<type>[0-9a-f]+),"
                    r"0x[0-9a-f]+,0x(?P<id>[0-9a-f]+),\w+,0x(?P<count>[0-9a-f]+),")
STRING = re.compile(LINE + r'\w+:eventlog:ReportEventW L"(?P<text>.*)"(?P<cut>\.\.\.)?$')
# A logger line as devices send them: the header of its plain form, then the text.
LOGGER_HEADER = "<13>1 - - probe - - - "

Report = collections.namedtuple("Report", "wide type id strings cut")


def reports(trace):
    """Every complete report in order. ReportEventA shows as its own line followed by the
    ReportEventW line it calls; a report made with ReportEventW alone is the wide one."""
    pending, found = {}, []
    for line in trace.splitlines():
        if header := HEADER.match(line):
            key = header["pid"], header["tid"]
            if header["call"] == "W" and key in pending and not pending[key][1]:
                continue  # the 8-bit call's own wide call
            fields = (header["call"] == "W", int(header["type"], 16), int(header["id"], 16),
                      int(header["count"], 16))
            pending[key] = fields, []
        elif (string := STRING.match(line)) and (key := (string["pid"], string["tid"])) in pending:
            pending[key][1].append((decode(string["text"]), bool(string["cut"])))
        else:
            continue
        (wide, kind, event_id, count), strings = pending[key]
        if len(strings) == count:
            found.append(Report(wide, kind, event_id, tuple(s for s, _ in strings),
                                any(cut for _, cut in strings)))
            del pending[key]
    return found


@pytest.fixture(scope="module")
def service(wine):
    executable = wine.install("CORVANE", "corvane-text")
    assert wine.run(executable, "-install")[0] == 0
    assert wine.run("net", "start", "Corvane")[0] == 0  # running: the socket is bound
    yield wine
    wine.run(executable, "-remove")


def send_and_collect(session, send, count, ids=(LOG_LINE, ERROR, LOST)):
    mark = session.mark()
    send()

    def probe():
        found = [r for r in reports(session.trace(mark)) if r.id in ids]
        return found if len(found) >= count else None
    found = session.wait_for(probe, EVENT_WAIT)
    assert found, f"no {count} reports within {EVENT_WAIT} s: {reports(session.trace(mark))}"
    return found


def send_datagrams(*payloads):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for payload in payloads:
            sender.sendto(payload, ("127.0.0.1", 514))


@pytest.mark.parametrize("payload, text, wide", [
    ("café € 日本\n".encode(), "[café € 日本]", True),
    (b"caf\xe9 \xc3\x28 \xe2\x82\n", b"[caf\xe9 \xc3\x28 \xe2\x82]".decode("cp1252"), False),
    (b"plain\n", "[plain]", False),
], ids=["utf-8", "latin-1-and-broken-utf-8", "ascii"])
def test_text_reads_as_the_sender_wrote_it(service, payload, text, wide):
    # The 8-bit call reads its bytes in the system's code page (here 1252), as before.
    [report] = send_and_collect(service, lambda: send_datagrams(payload), 1)
    assert report == Report(wide, 4, LOG_LINE, (text,), False)


def test_long_datagrams_are_logged_whole_up_to_the_buffer_and_the_stop_reports_the_rest(service):
    body = "".join(chr(ord("a") + n % 26) for n in range(1400 - len(LOGGER_HEADER)))
    longest = bytes(ord("A") + n % 26 for n in range(8192))

    def send():
        subprocess.run(["logger", "--udp", "-n", "127.0.0.1", "-P", "514", "--size", "8192",
                        "--rfc5424=notq,notime,nohost", "-t", "probe", body], check=True,
                       timeout=5)
        send_datagrams(longest, longest + b"x", b"still here\n")
    found = send_and_collect(service, send, 4)
    # Only a receive that took the whole datagram makes a log line of it; the trace then
    # shows its beginning and the cut.
    assert [(r.type, r.id, r.cut) for r in found] == [(4, LOG_LINE, True), (4, LOG_LINE, True),
                                                      (1, ERROR, False), (4, LOG_LINE, False)]
    line, whole = found[0].strings[0], "[" + LOGGER_HEADER + body + "]"
    assert len(line) > 200 and whole.startswith(line)
    assert ("[" + longest.decode()).startswith(found[1].strings[0])
    assert found[2].strings == ("recv() failed: error 10040\n",)

    [lost] = send_and_collect(service, lambda: service.run("sc", "stop", "Corvane"), 1, (LOST,))
    # No count of the kernel's drops here: the platform keeps none per socket.
    assert lost == Report(False, WARNING_TYPE, LOST, (
        "Lost since the last report: 1 too long, 0 not written, 0 unread at stop; since the "
        "start: 1 too long, 0 not written, 0 unread at stop.",), False)

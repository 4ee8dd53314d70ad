"""The collector against the real systemd-journald, read back with journalctl."""

import json
import socket
import subprocess
import time
from pathlib import Path

from harness import JOURNAL_SOCKET, LISTENING, STARTING, log_line, send, stop


def start_journald(corvane):
    conf = Path("/etc/systemd/journald.conf.d")
    conf.mkdir(parents=True, exist_ok=True)
    # Keep to the sandbox: no kernel log in or out, entries only under the tmpfs /run.
    (conf / "sandbox.conf").write_text("[Journal]\nStorage=volatile\nReadKMSG=no\n")
    journald = corvane.spawn(["/lib/systemd/systemd-journald"])
    deadline = time.monotonic() + 5
    while True:
        # The socket file outlives a stopped journal: only a connect tells.
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as probe:
            if probe.connect_ex(JOURNAL_SOCKET) == 0:
                return journald
        assert time.monotonic() < deadline, "systemd-journald did not open its socket"
        time.sleep(0.05)


def read_journal(count, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        lines = subprocess.run(["journalctl", "-o", "json", "-t", "Corvane", "--no-pager"],
                               capture_output=True, text=True, timeout=timeout).stdout
        entries = [json.loads(line) for line in lines.splitlines()]
        if len(entries) >= count or time.monotonic() > deadline:
            return [[(name, bytes(value).decode() if isinstance(value, list) else value)
                     for name, value in entry.items()] for entry in entries]
        time.sleep(0.1)


def test_entries_in_the_real_journal_and_after_its_restart(corvane, manager):
    journald = start_journald(corvane)
    service = corvane.start()
    manager.wait_state(4)
    texts = [f"burst line {n:03}" for n in range(100)]
    for text in texts:
        send(f"{text}\n".encode())
    expected = [STARTING, LISTENING] + [log_line(f"[{text}]") for text in texts]
    entries = read_journal(len(expected))
    assert [[(name, dict(entry).get(name)) for name, _ in want] for entry, want
            in zip(entries, expected)] == expected
    assert len(entries) == len(expected)
    assert {dict(entry)["_PID"] for entry in entries} == {str(service.pid)}

    journald.terminate()
    journald.wait(timeout=5)
    for number in range(10):
        send(b"lost %d\n" % number)
    time.sleep(0.3)
    start_journald(corvane)
    send(b"after\n")
    assert [dict(entry)["EVENT_STRING_1"] for entry in read_journal(len(expected) + 1)
            [len(expected):]] == ["[after]"]
    assert stop(service) == 0

"""The collector against the real systemd-journald, read back with journalctl."""

import json
import os
import subprocess
import time
from pathlib import Path

from conftest import JOURNAL_SOCKET, LISTENING, STARTING, log_line, send

BURST = 100


def start_journald(sandbox):
    conf = Path("/etc/systemd/journald.conf.d")
    conf.mkdir(parents=True, exist_ok=True)
    # Keep to the sandbox: no kernel log in or out, entries only under the tmpfs /run.
    (conf / "sandbox.conf").write_text("[Journal]\nStorage=volatile\nReadKMSG=no\n")
    env = {key: value for key, value in os.environ.items() if key != "NOTIFY_SOCKET"}
    sandbox.start(["/lib/systemd/systemd-journald"], stdin=subprocess.DEVNULL,
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    deadline = time.monotonic() + 5
    while not os.path.exists(JOURNAL_SOCKET):
        assert time.monotonic() < deadline, "systemd-journald did not open its socket"
        time.sleep(0.05)


def read_journal(count, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        lines = subprocess.run(["journalctl", "-o", "json", "-t", "Corvane", "--no-pager"],
                               capture_output=True, text=True, timeout=timeout).stdout
        entries = [json.loads(line) for line in lines.splitlines()]
        if len(entries) >= count or time.monotonic() > deadline:
            return entries
        time.sleep(0.1)


def field(entry, name):
    value = entry.get(name)
    return bytes(value).decode() if isinstance(value, list) else value  # binary-safe form


def test_entries_in_the_real_journal(sandbox, corvane, manager):
    start_journald(sandbox)
    service = corvane.start()
    manager.wait_state(4)
    texts = [f"burst line {n:03}" for n in range(BURST)]
    for text in texts:
        send(f"{text}\n".encode())

    expected = [STARTING, LISTENING] + [log_line(f"[{text}]") for text in texts]
    entries = read_journal(len(expected))
    assert [{name: field(entry, name) for name in want} for entry, want
            in zip(entries, expected)] == expected
    assert len(entries) == len(expected)
    assert {entry["_PID"] for entry in entries} == {str(service.pid)}

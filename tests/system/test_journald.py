"""The collector against the real systemd-journald, read back with journalctl."""

import json
import subprocess
import time
from pathlib import Path

from harness import LISTENING, STARTING, log_line, send, stop


def read_journal(count):
    deadline = time.monotonic() + 10
    while True:
        lines = subprocess.run(["journalctl", "-o", "json", "-t", "Corvane", "--no-pager"],
                               capture_output=True, text=True, timeout=10).stdout.splitlines()
        if len(lines) >= count or time.monotonic() > deadline:
            # Fields with control characters come as arrays of bytes.
            return [[(name, bytes(value).decode() if isinstance(value, list) else value)
                     for name, value in json.loads(line).items()] for line in lines]
        time.sleep(0.1)


def test_entries_in_the_real_journal(corvane, manager):
    conf = Path("/etc/systemd/journald.conf.d")
    conf.mkdir(parents=True, exist_ok=True)
    # Keep to the sandbox: no kernel log in or out, entries only under the tmpfs /run.
    (conf / "sandbox.conf").write_text("[Journal]\nStorage=volatile\nReadKMSG=no\n")
    corvane.spawn(["/lib/systemd/systemd-journald"], manager.path)
    manager.wait_until(lambda reports: any("READY=1" in report for report in reports))
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
    assert stop(service) == 0

import os
import signal

import pytest

from harness import Journal, Manager, Processes, sandbox

TEST_TIMEOUT_S = 60


def pytest_configure(config):
    if "CORVANE_BINARY" not in os.environ:
        pytest.exit("CORVANE_BINARY is not set: run tests/system/run.sh", 2)


def _on_alarm(signum, frame):
    raise TimeoutError("test still running after its time")


@pytest.fixture(autouse=True)
def corvane(tmp_path):
    processes = Processes(tmp_path)
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.alarm(TEST_TIMEOUT_S)
    try:
        with sandbox():
            yield processes
            reports = processes.end_all()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert not reports, "\n".join(reports)


@pytest.fixture
def journal(corvane):
    return Journal()


@pytest.fixture
def manager(corvane):
    return Manager()

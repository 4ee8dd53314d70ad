"""Fixtures of the hardening tests. They run only inside tests/hardening/namespace.sh:
they bind the journal's socket path and port 514, which on the host belong to others."""

import os
import shutil
import signal
import socket

import pytest

import harness

TEST_TIMEOUT_S = 90


def pytest_configure(config):
    private_network = [name for _, name in socket.if_nameindex()] == ["lo"]
    if os.environ.get("CORVANE_HARDENING_NAMESPACE") != "1" or not private_network:
        pytest.exit("run the hardening tests through tests/hardening/run.sh "
                    "(they need the private namespace of namespace.sh)", 2)


def _on_alarm(signum, frame):
    raise TimeoutError(f"test still running after {TEST_TIMEOUT_S} s")


@pytest.fixture(autouse=True)
def fresh_state():
    shutil.rmtree("/run/Corvane", ignore_errors=True)
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.alarm(TEST_TIMEOUT_S)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


@pytest.fixture
def journal():
    fake = harness.FakeJournal()
    yield fake
    fake.close()


@pytest.fixture
def manager():
    fake = harness.FakeManager()
    yield fake
    fake.close()


@pytest.fixture
def start():
    """Starts the collector; whatever a test leaves running is ended by its own id."""
    services = []

    def _start(**options):
        service = harness.Service(**options)
        services.append(service)
        return service

    yield _start
    reports = []
    for service in services:
        service.end()
        if "Sanitizer" in service.text() or "runtime error:" in service.text():
            reports.append(service.text())
    service_texts_checked = not reports
    assert service_texts_checked, "\n".join(reports)

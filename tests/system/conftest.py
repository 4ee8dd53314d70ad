import pytest

from harness import Journal, Manager, Processes, place, sandbox


@pytest.fixture(autouse=True)
def corvane(tmp_path):
    processes = Processes(tmp_path)
    with sandbox():
        # -install refuses a build tree under /tmp or a home: a copy in the sandbox's /opt.
        processes.binary = place(processes.binary, b"/opt/corvane/corvane")
        yield processes
        reports = processes.end_all()
    assert not reports, "\n".join(reports)


@pytest.fixture
def journal(corvane):
    return Journal()


@pytest.fixture
def manager(corvane):
    return Manager()

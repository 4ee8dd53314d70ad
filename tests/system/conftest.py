import pytest

from harness import Journal, Manager, Processes, sandbox


@pytest.fixture(autouse=True)
def corvane(tmp_path):
    processes = Processes(tmp_path)
    with sandbox():
        processes.install_copy()
        yield processes
        reports = processes.end_all()
    assert not reports, "\n".join(reports)


@pytest.fixture
def journal(corvane):
    return Journal()


@pytest.fixture
def manager(corvane):
    return Manager()

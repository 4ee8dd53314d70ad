"""The built executables and the Wine session the Windows tests share."""
import pathlib
import socket

import pytest

import wine

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXECUTABLES = {
    "i686": ROOT / "build/mingw-i686/platform/win32/CORVANE.exe",
    "x86_64": ROOT / "build/mingw-x86_64/platform/win32/CORVANE.exe",
}
RENDER_HELPER = ROOT / "build/mingw-x86_64/tests/windows/render_message.exe"


def built(path):
    if not path.is_file():
        pytest.fail(f"{path} is not built: run tests/windows/run.sh")
    return path


@pytest.fixture(scope="session")
def executables():
    return {arch: built(path) for arch, path in EXECUTABLES.items()}


@pytest.fixture(scope="session")
def render_helper():
    return built(RENDER_HELPER)


def free_syslog_port():
    """The service binds UDP 514 on the host's own stack; a taken port would show up as
    a service that never runs, so say so at once."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind(("0.0.0.0", 514))
    except OSError as error:
        pytest.fail(f"UDP port 514 is not free for the service under Wine: {error}")
    finally:
        probe.close()


@pytest.fixture(scope="session")
def wine_session(tmp_path_factory):
    """A booted Wine prefix; fails (never skips) when Wine cannot be had."""
    free_syslog_port()
    session = wine.prepare(tmp_path_factory.mktemp("wine"))
    try:
        wine.boot(session)
    except Exception as error:  # any way of not getting Wine is a failure
        wine.stop(session)
        pytest.fail(f"cannot start Wine: {error}")
    try:
        yield session
    finally:
        wine.stop(session)

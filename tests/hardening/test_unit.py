"""The unit file that `corvane -install` writes: locked down, and accepted by systemd's
own checks, run against the file (systemd is not the init system here)."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import binary

UNIT = Path("/etc/systemd/system/Corvane.service")
LOCKED_DOWN = [
    "Type=notify", "NoNewPrivileges=yes", "ProtectSystem=strict", "ReadWritePaths=/run/Corvane",
    "ProtectHome=yes", "PrivateTmp=yes",
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_NET_ADMIN",
    "RestrictAddressFamilies=AF_INET AF_UNIX",
]


@pytest.fixture
def installed(tmp_path):
    UNIT.unlink(missing_ok=True)
    result = subprocess.run([binary(), "-install"], cwd=tmp_path, capture_output=True, timeout=30)
    assert result.returncode == 0 and b"Corvane installed." in result.stdout, result.stdout
    yield UNIT
    UNIT.unlink(missing_ok=True)


def test_unit_is_locked_down_and_verifies(installed):
    lines = installed.read_text().splitlines()
    assert [setting for setting in LOCKED_DOWN if setting not in lines] == []
    assert f"ExecStart={binary()}" in lines
    if shutil.which("systemd-analyze") is None:
        pytest.skip("no systemd-analyze")
    verify = subprocess.run(["systemd-analyze", "verify", str(installed)], capture_output=True,
                            text=True, timeout=60)
    assert verify.returncode == 0 and verify.stderr.strip() == "", verify.stderr
    security = subprocess.run(["systemd-analyze", "security", "--offline=true", str(installed)],
                              capture_output=True, text=True, timeout=60)
    score = re.search(r"Overall exposure level for Corvane.service: ([\d.]+) (\w+)", security.stdout)
    assert score, security.stdout + security.stderr
    print(f"systemd-analyze security: {score.group(1)} {score.group(2)}")
    # From 5 on systemd calls a service's exposure medium: the lock-down would be lost.
    assert float(score.group(1)) < 5.0

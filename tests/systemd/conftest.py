import itertools
import os
import shutil

import pytest

from container import Container

_names = itertools.count()


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    """One booted machine per test module, the collector's binary and package at /mnt/host."""
    host_dir = tmp_path_factory.mktemp("host")
    shutil.copy(os.environ["CORVANE_BINARY"], host_dir / "corvane")
    shutil.copy(os.environ["CORVANE_DEB"], host_dir)
    container = Container(os.environ["CORVANE_TREE"], f"corvane-{os.getpid()}-{next(_names)}",
                          host_dir, tmp_path_factory.mktemp("boot") / "nspawn.log")
    yield container
    container.halt()

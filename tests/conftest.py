import gc
import sys

import pytest

import _tarnik_core


@pytest.fixture
def c():
    """A fresh, empty container."""
    return _tarnik_core.Container()


@pytest.fixture
def collect():
    """Run the cyclic collector so that finalizer counts are settled."""

    def run():
        for _ in range(3):
            gc.collect()

    return run


def pytest_report_header(config):
    return "_tarnik_core from %s (CPython %s)" % (_tarnik_core.__file__, sys.version.split()[0])


@pytest.fixture
def log():
    """The keys of the logging providers, in the order they were called."""
    return []


@pytest.fixture
def reg(c, log):
    from support import registrar

    return registrar(c, log)

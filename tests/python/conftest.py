"""Small tables and helpers shared by the tests of the _native module."""


import numpy as np
import pytest

from helpers import merge, tables


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class, met through a failure inside the native code."""
    _, points, info = tables()
    try:
        merge(np.zeros((1, 1)), points, info, 0.1, 1)
    except BaseException as error:  # noqa: BLE001 - that is the point
        return type(error)
    pytest.fail("a one-column connected_crop_rows table did not fail")


def pytest_configure(config):
    # pytest-run-parallel runs tests marked thread_unsafe on one thread only;
    # registered here too so that the marker is known without the plugin.
    config.addinivalue_line("markers", "thread_unsafe(reason=None): not safe to run on several threads at once")

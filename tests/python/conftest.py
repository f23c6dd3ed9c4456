"""Small tables and helpers shared by the tests of the _native module."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _native
from reference import Failure, reference_merge

merge = _native.merge_points_removing_overlap


def tables():
    """Two groups without connected rows; the result is rows 0, 2, 1 of points_in_rows."""
    connected_crop_rows = np.array([[0.0, 1, 1, np.nan], [0.0, 2, 2, np.nan]])
    points_in_rows = np.array(
        [
            [1.0, 1, 0.5, 0.5, 10],
            [2.0, 2, 3.0, 3.0, 11],
            [1.0, 1, 0.7, 0.1, 12],
            [3.0, 3, 9.0, 9.0, 13],
        ]
    )
    row_information = np.array(
        [[r, 0, 0, 0, r, 0, 0, 1, 1, 2, 2] for r in (1.0, 2.0, 3.0)]
    )
    return connected_crop_rows, points_in_rows, row_information


def expected_result(points_in_rows):
    return np.asarray(points_in_rows)[[0, 2, 1]]


def reference_array(connected_crop_rows, points_in_rows, row_information, tolerance):
    """The plain Python model's result, as the module must return it."""
    rows = reference_merge(connected_crop_rows, points_in_rows, row_information, tolerance)
    assert not isinstance(rows, Failure), rows
    return np.array(rows, dtype=np.float64).reshape(len(rows), points_in_rows.shape[1])


def assert_rows(result, expected):
    """The same rows, bit for bit, in the same order."""
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.shape == expected.shape
    assert result.tobytes() == expected.tobytes()


def call(connected_crop_rows=None, points_in_rows=None, row_information=None, tolerance=0.1, num_threads=1):
    defaults = tables()
    args = [
        defaults[0] if connected_crop_rows is None else connected_crop_rows,
        defaults[1] if points_in_rows is None else points_in_rows,
        defaults[2] if row_information is None else row_information,
    ]
    return merge(*args, tolerance, num_threads)


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class, met through a failure inside the native code."""
    _, points, info = tables()
    try:
        merge(np.zeros((1, 1)), points, info, 0.1, 1)
    except BaseException as error:  # noqa: BLE001 - that is the point
        return type(error)
    pytest.fail("a one-column connected_crop_rows table did not fail")


def checkout_docs():
    """The checkout's docs/ folder, whose examples/ holds the tables some tests read.

    Tests run against an installed wheel are a copy of this folder somewhere
    else: ROWMERGE_DOCS then names a docs/ folder (a checkout's or an unpacked
    sdist's). Without it, the docs/ beside tests/ is used. A module that needs
    the tables fails to load, saying where it looked, rather than failing test
    by test on a missing file.
    """
    configured = os.environ.get("ROWMERGE_DOCS")
    docs = Path(configured) if configured else Path(__file__).resolve().parents[2] / "docs"
    if not (docs / "examples").is_dir():
        where = f"ROWMERGE_DOCS={configured}" if configured else f"{docs}, the docs/ beside the tests"
        raise FileNotFoundError(
            f"the example tables (examples/) are not in {where}; run the tests from a checkout, "
            "or set ROWMERGE_DOCS to the docs/ folder of a checkout or of the unpacked sdist"
        )
    return docs


def run_python(code):
    """Runs `code` in a fresh interpreter that finds the same _native module."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_native.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)


def pytest_configure(config):
    # pytest-run-parallel runs tests marked thread_unsafe on one thread only;
    # registered here too so that the marker is known without the plugin.
    config.addinivalue_line("markers", "thread_unsafe(reason=None): not safe to run on several threads at once")

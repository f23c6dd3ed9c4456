"""Helpers shared by the test modules: tables, merges, child processes, terminals, the command line.

Test modules import them from here (never from each other); fixtures live in
conftest.py.
"""

from __future__ import annotations

import contextlib
import functools
import importlib.util
import io
import os
import re
import select
import signal
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import _native
import rowmerge
from reference import Failure, reference_batches, reference_merge

nan = np.nan

# --- small tables and the _native module ------------------------------------------

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


def run_python(code, extra_env=None):
    """Runs `code` in a fresh interpreter that finds the same _native module."""
    env = dict(os.environ, **(extra_env or {}))
    module_dir = os.path.dirname(os.path.abspath(_native.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)


# --- child interpreters and raw bits ----------------------------------------------

def bits(array):
    """The array's values as raw bits, so that NaNs compare too."""
    return np.ascontiguousarray(array).view(np.uint64)


def child_env():
    """The environment of a child interpreter that imports the modules under test."""
    env = dict(os.environ)
    for name in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE", "NATIVE_BACKTRACE"):
        env.pop(name, None)
    env["TERM"] = "xterm-256color"
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(rowmerge.__file__)))
    native_dir = os.path.dirname(os.path.abspath(_native.__file__))
    env["PYTHONPATH"] = os.pathsep.join([package_parent, native_dir] + [p for p in sys.path if p])
    return env


def axis_table():
    """Six crop rows in three pairs (diagonal, along x, along y), each pair overlapping; a group per row."""
    rows = {
        (1, 1): ((0, 0), (10, 10), (5, 5)), (1, 2): ((8, 8), (18, 18), (13, 13)),
        (2, 1): ((0, 50), (10, 50), (5, 50)), (2, 2): ((8, 50), (18, 50), (13, 50)),
        (3, 1): ((70, 0), (70, 10), (70, 5)), (3, 2): ((70, 8), (70, 18), (70, 13)),
    }
    records = np.array([[r, 0, 0, 0, s, *a0, *a1, *a2] for (r, s), (a0, a1, a2) in rows.items()], dtype=float)
    pairs = [((1, 1), (1, 2)), ((1, 2), (1, 1)), ((2, 1), (2, 2)), ((2, 2), (2, 1)), ((3, 1), (3, 2)),
             ((3, 2), (3, 1))]
    groups = np.array([[g, *main, *other, nan] for g, (main, other) in enumerate(pairs)], dtype=float)
    points = np.array([[r, s, x, y] for (r, s), (a0, a1, _) in rows.items()
                       for x, y in (a0, a1)], dtype=float)
    return groups, points, records


# --- the command line ---------------------------------------------------------------

# Dask keeps one instance of each graph expression in a weak dictionary
# (dask/_expr.py): a thread may find an expression there that another thread
# drops before it is read back, and fail with a KeyError. Threads that build
# the same graph at once race there, so the Dask tests build theirs one
# thread at a time: whole tests through this mark, a door among others
# through the lock.
ONE_DASK_GRAPH_AT_A_TIME = pytest.mark.thread_unsafe(reason="Dask's expression cache races between threads")
DASK_GRAPHS = threading.Lock()


def needs(module: str) -> pytest.MarkDecorator:
    """Skips a case where ``module`` (an optional extra) is not installed."""
    return pytest.mark.skipif(importlib.util.find_spec(module) is None, reason=f"needs {module}")


ROOT = Path(__file__).resolve().parents[2]




def checkout_docs():
    """The checkout's docs/ folder, whose examples/ holds the tables some tests read.

    Tests run against an installed wheel are a copy of this folder somewhere
    else: ROWMERGE_DOCS then names a docs/ folder (a checkout's or an unpacked
    sdist's). Without it, the docs/ beside tests/ is used. A module that needs
    the tables fails to load, saying where it looked, rather than failing test
    by test on a missing file.
    """
    configured = os.environ.get("ROWMERGE_DOCS")
    docs = Path(configured) if configured else ROOT / "docs"
    if not (docs / "examples").is_dir():
        where = f"ROWMERGE_DOCS={configured}" if configured else f"{docs}, the docs/ beside the tests"
        raise FileNotFoundError(
            f"the example tables (examples/) are not in {where}; run the tests from a checkout, "
            "or set ROWMERGE_DOCS to the docs/ folder of a checkout or of the unpacked sdist"
        )
    return docs


EXAMPLES = checkout_docs() / "examples"


RAW = ("connected_crop_rows", "points_in_rows", "row_information")


def run(*argv):
    """main(argv) in this process: (status, stdout, stderr)."""
    from rowmerge.cli import main

    out, err = io.StringIO(), io.StringIO()
    status = main([str(a) for a in argv], stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def assert_one_line_error(status, out, err, expected_status, fragment):
    assert status == expected_status
    assert out == ""
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert err.startswith("rowmerge") and fragment in err, err
    assert "Traceback" not in err


def raw_tables(path=EXAMPLES / "raw-tables" / "field.npz"):
    with np.load(path) as archive:
        return {name: archive[name] for name in RAW}


def direct(tables, tolerance=0.02):
    """rowmerge.merge on the arrays: the surviving rows and their row numbers."""
    return rowmerge.merge(*(tables[n] for n in RAW), tolerance=tolerance, threads=1,
                          return_index=True)


# --- child processes ------------------------------------------------------------------

def wait_for_child(pid, timeout):
    """Waits for `pid` and returns its exit code; after `timeout` seconds
    kills it, with the process group it leads, and fails."""
    descriptor = os.pidfd_open(pid)
    try:
        ready, _, _ = select.select([descriptor], [], [], timeout)
    finally:
        os.close(descriptor)
    if not ready:
        for kill in (os.killpg, os.kill):
            with contextlib.suppress(OSError):
                kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail(f"child {pid} did not finish within {timeout} s")
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


# --- terminals: pseudo-terminals and the progress line -------------------------------

# Upper bound for one child run; only there so that a hanging child fails the
# test instead of blocking the run. No assertion depends on how long a run takes.
CHILD_TIMEOUT = 60.0


CSI = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]")


OSC = re.compile(r"\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)")


# spinner, blank, [elapsed], blank, [bar], blank, pos/len, blank, (eta)
LINE = re.compile(
    r"(?P<spinner>.) \[(?P<elapsed>(?:\d+d )?\d\d:\d\d:\d\d)\] \[(?P<bar>[█░]{40})\] "
    r"(?P<pos>\d+)/(?P<len>\d+) \((?P<eta>\d+[smhdwy])\)"
)


def strip_escapes(text):
    return CSI.sub("", OSC.sub("", text))


def screen_lines(raw):
    """The lines a terminal shows: escapes removed, each line's redraws resolved.

    Within a line, only the text after its last carriage return remains (the
    line is redrawn from its start each time).
    """
    lines = []
    for line in strip_escapes(raw).split("\n"):
        lines.append(line.rsplit("\r", 1)[-1])
    return lines


def progress_lines(raw):
    """The screen lines that are progress lines, as match objects, in order."""
    matches = [LINE.fullmatch(line) for line in screen_lines(raw)]
    return [m for m in matches if m]


def open_pty():
    master, slave = os.openpty()
    # No output processing, so the master side reads exactly the bytes the
    # child wrote (no "\n" -> "\r\n" translation).
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return master, slave


def read_until_eof(master, process):
    """Reads the master side until every slave descriptor is closed."""
    chunks = []
    deadline = time.monotonic() + CHILD_TIMEOUT
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            process.kill()
            process.wait()
            pytest.fail("child did not finish; output so far: %r" % b"".join(chunks))
        ready, _, _ = select.select([master], [], [], remaining)
        if not ready:
            continue
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO: the slave side is closed everywhere
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


# --- sanitizers ------------------------------------------------------------------------

def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# --- a large field of overlapping segments, and its merge by the model -----------------

TOLERANCE = 0.05


def field(crop_rows=2, segments=8, points_per_segment=4200, seed=1, extra_columns=1):
    """Crop rows cut into overlapping segments along x, one group per segment.

    Segment s of crop row r is the crop row (r, s); its group names the
    segments before and after it as connected rows, so the points of every
    overlap are trimmed on both sides.  Point rows are shuffled so that each
    group's points lie scattered over the table.
    """
    rng = np.random.default_rng(seed)
    length, overlap = 10.0, 1.5
    groups, records, blocks = [], [], []
    for r in range(1, crop_rows + 1):
        y = 0.75 * r
        for s in range(1, segments + 1):
            x0, x1 = (s - 1) * length - overlap, s * length + overlap
            records.append([r, 0, 0, 0, s, x0, y, x1, y + 0.01, (x0 + x1) / 2, y + 0.005])
            row = [len(groups), r, s]
            for t in (s - 1, s + 1):
                if 1 <= t <= segments:
                    row += [r, t]
            groups.append(row + [nan] * (11 - len(row)))
            n = points_per_segment
            blocks.append(
                np.column_stack(
                    [
                        np.full(n, r),
                        np.full(n, s),
                        rng.uniform(x0, x1, n),
                        y + rng.normal(0, 0.02, n),
                        rng.normal(size=(n, extra_columns)),
                    ]
                )
            )
    points = np.concatenate(blocks)
    points = np.ascontiguousarray(points[rng.permutation(len(points))])
    return np.array(groups), points, np.array(records)


def stacked(batches, width):
    """The rows of per-group batches, one batch after the other."""
    return np.array([row for batch in batches for row in batch], dtype=np.float64).reshape(-1, width)


@functools.lru_cache(maxsize=None)
def field_batches(seed):
    """field(seed=seed), read-only, and the model's batch of rows of each group."""
    groups, points, records = field(seed=seed)
    for array in (groups, points, records):
        array.setflags(write=False)
    batches = reference_batches(groups, points, records, TOLERANCE)
    assert not isinstance(batches, Failure), batches
    return groups, points, records, batches


@functools.lru_cache(maxsize=None)
def merged_field(seed):
    """field(seed=seed) and the model's merge of it, all read-only."""
    groups, points, records, batches = field_batches(seed)
    expected = stacked(batches, points.shape[1])
    expected.setflags(write=False)
    return groups, points, records, expected

"""Merges that read a table of points while other Python threads write to it.

NumPy writes to arrays without holding the interpreter, so holding it
protects nothing: a merge may return any rows the table held during the
call, but never memory it did not write, and its rows, row count and index
always agree. The stress runs once more in a child process whose allocator
fills fresh memory with a known byte (``MALLOC_PERTURB_``), so that a result
row nobody wrote cannot pass for a real one.
"""

import threading

import numpy as np
import pytest

import _native
import rowmerge
from helpers import run_python

nan = np.nan

# Crop row (1, 1) from (0, 0) to (10, 10) is the main row of two groups: one
# meets (1, 2) beyond its end (a point at 9.6 lies past the cut and is
# removed), the other meets (1, 3) before its start (both points kept).
GROUPS = np.array([[0, 1, 1, 1, 2, nan], [1, 1, 1, 1, 3, nan]])
RECORDS = np.array([
    [1, 0, 0, 0, 1, 0.0, 0.0, 10.0, 10.0, 5.0, 5.0],
    [1, 0, 0, 0, 2, 8.0, 8.0, 18.0, 18.0, 13.0, 13.0],
    [1, 0, 0, 0, 3, -8.0, -8.0, 2.0, 2.0, -3.0, -3.0],
])
FLIP_VALUES = (5.0, 9.6)
SCRIBBLES = np.array([nan, np.inf, -np.inf, 1e300, -1.0, 2.0**32, 0.5, 1.0, 2.0, 3.0, 5.0, 9.6])


def held(values, allowed):
    """Whether every value is one of `allowed` (NaN included)."""
    return bool((np.isin(values, allowed) | np.isnan(values)).all())


def shared_main_row_points(rows):
    """Points of crop row (1, 1) at (5, 5); the last column is the row number, which no writer touches."""
    points = np.empty((rows, 5))
    points[:, :2] = 1.0
    points[:, 2:4] = 5.0
    points[:, 4] = np.arange(rows)
    return points


class Writers:
    """Threads that write into a table until stopped (by a flag, no sleeps)."""

    def __init__(self, write, count=1):
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=self._run, args=(write, k)) for k in range(count)]

    def _run(self, write, k):
        generation = k
        while not self._stop.is_set():
            write(generation)
            generation += len(self._threads)

    def __enter__(self):
        for thread in self._threads:
            thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        for thread in self._threads:
            thread.join()


def flip_stress(calls, rows=1 << 17):
    """Writers flip every point across the cut and back while both modules merge."""
    points = shared_main_row_points(rows)

    def flip(generation):
        points[:, 2:4] = FLIP_VALUES[generation % 2]

    with Writers(flip):
        for _ in range(calls):
            merged, index = rowmerge.merge(GROUPS, points, RECORDS, tolerance=0.0, return_index=True)
            assert len(merged) == len(index) and rows <= len(index) <= 2 * rows
            assert index.min() >= 0 and index.max() < rows
            assert np.array_equal(merged[:, 4], index.astype(np.float64))
            assert np.isin(merged[:, 2:4], FLIP_VALUES).all()
            native = _native.merge_points_removing_overlap(GROUPS, points, RECORDS, 0.0, 0)
            assert rows <= len(native) <= 2 * rows
            assert np.isin(native[:, 2:4], FLIP_VALUES).all()
            assert np.isin(native[:, 4], np.arange(rows)).all()


def scribble_stress(calls, rows=1 << 17):
    """Writers put NaN, infinities, huge, negative and foreign values into identifiers, x and y."""
    points = shared_main_row_points(rows)

    def scribble(generation):
        random = np.random.default_rng(generation)
        at = random.integers(0, rows, rows // 8)
        column = random.integers(0, 4)
        points[at, column] = SCRIBBLES[random.integers(0, len(SCRIBBLES), len(at))]

    allowed = np.concatenate([SCRIBBLES, [1.0, 5.0]])
    with Writers(scribble, count=2):
        for _ in range(calls):
            try:
                merged, index = rowmerge.merge(GROUPS, points, RECORDS, tolerance=0.0, return_index=True)
            except ValueError:  # (and its subclasses)
                pass  # a value that is no identifier, refused: also a sound outcome
            else:
                assert len(merged) == len(index) <= 2 * rows
                assert len(index) == 0 or (index.min() >= 0 and index.max() < rows)
                assert np.array_equal(merged[:, 4], index.astype(np.float64))
                assert held(merged[:, :4], allowed)
            native = _native.merge_points_removing_overlap(GROUPS, points, RECORDS, 0.0, 0)
            assert len(native) <= 2 * rows
            assert np.isin(native[:, 4], np.arange(rows)).all()
            assert held(native[:, :4], allowed)


@pytest.mark.thread_unsafe(reason="starts writer threads of its own")
@pytest.mark.parametrize("stress", [flip_stress, scribble_stress])
def test_merges_under_concurrent_writers(stress):
    stress(calls=8)


@pytest.mark.thread_unsafe(reason="a child process with a perturbed allocator")
def test_no_unwritten_memory_reaches_python():
    child = run_python("import test_concurrent_writers as t; t.flip_stress(12); t.scribble_stress(6)",
                       extra_env={"MALLOC_PERTURB_": "165"})
    assert child.returncode == 0, child.stderr


@pytest.mark.thread_unsafe(reason="changes the interpreter's switch interval")
def test_other_threads_run_during_a_native_merge():
    """Another thread goes on running while _native merges: the call does not hold the interpreter.

    With a switch interval far longer than the test, the calling thread
    gives up the interpreter only where it lets go of it itself; the counter
    lets go of it at every step (``time.sleep(0)``). So the counter advances
    between reading ``before`` and ``after`` only if the call let go.
    """
    import sys
    import time

    points = shared_main_row_points(1 << 20)
    started = threading.Event()
    stop = threading.Event()
    count = [0]

    def counter():
        started.set()
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=counter)
    try:
        thread.start()
        started.wait()
        # The first call of a process may wait for NumPy's C interface, and
        # lets go of the interpreter while it waits.
        _native.merge_points_removing_overlap(GROUPS, points[:1], RECORDS, 0.0, 1)
        progress = []
        for _ in range(5):
            before = count[0]
            _native.merge_points_removing_overlap(GROUPS, points, RECORDS, 0.0, 1)
            progress.append(count[0] - before)
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert sum(step > 0 for step in progress) >= 4, progress

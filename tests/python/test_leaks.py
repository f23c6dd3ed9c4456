"""Reference counts and memory across many calls, and the lifetime of the
result buffer.

Native memory (input copies, indexes, result buffers) is watched through the
resident set size; Python objects (exceptions, notes, arrays) through
tracemalloc, which sees every allocation of the interpreter and of NumPy.
"""

import contextlib
import gc
import os
import sys
import tracemalloc
import weakref

import numpy as np
import pytest

from conftest import merge, tables
from test_concurrency import TOLERANCE, field

pytestmark = pytest.mark.thread_unsafe(reason="measures process-wide memory")

MiB = 2**20
CALLS = 10_000
WARM_UP = 1_000
# Worker threads' malloc arenas take a few hundred calls on the pool to settle
# (about 10 MiB here); the warm-up makes that many before measuring.
WARM_UP_POOL_CALLS = 300
RSS_BOUND = 8 * MiB  # 10,000 calls; a leaked copy of the medium tables is 10 KiB a call
TRACED_BOUND = 64 * 2**10  # a leaked Python object per call would be at least 320 KiB


def address_sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# AddressSanitizer keeps freed memory in quarantine (256 MB by default), so
# resident memory says nothing about leaks under it; it finds those itself.
RSS_MEANINGFUL = not address_sanitizer_loaded()


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS line")


@contextlib.contextmanager
def quiet_stderr():
    """Sends file descriptor 2 and sys.stderr to /dev/null: thousands of
    failure reports are written during the loop."""
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)
        try:
            with contextlib.redirect_stderr(null):
                yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


class RaisingFloat:
    def __float__(self):
        raise ValueError("no float here")


class PanickingIndex:
    """Raises the PanicException met in an earlier call from __index__."""

    def __init__(self, panic_exception):
        self.panic_exception = panic_exception

    def __index__(self):
        raise self.panic_exception("raised in __index__")


def call_mix(panic_exception):
    """(name, call, expected exception type or None) for every kind of outcome."""
    small = tables()
    groups, points, records = field(crop_rows=1, segments=4, points_per_segment=64)
    large = field(crop_rows=4, segments=8, points_per_segment=520)
    float32_points = points.astype(np.float32)
    short_records = records[:, :3]
    huge = np.broadcast_to(points[0], (2**55, points.shape[1]))
    raising_float = RaisingFloat()
    panicking_index = PanickingIndex(panic_exception)
    arrays = [*small, groups, points, records, *large, float32_points, short_records, huge]
    others = [raising_float, panicking_index]
    mix = [
        ("small", lambda: merge(*small, 0.1, 1), None),
        ("medium", lambda: merge(groups, points, records, TOLERANCE, 1), None),
        ("medium_keywords", lambda: merge(groups, points, records, tolerance=TOLERANCE, num_threads=2), None),
        ("wrong_dtype", lambda: merge(groups, float32_points, records, TOLERANCE, 1), TypeError),
        ("not_an_array", lambda: merge(groups, points, [[1.0]], TOLERANCE, 1), TypeError),
        ("missing_argument", lambda: merge(groups, points, records, TOLERANCE), TypeError),
        ("unexpected_keyword", lambda: merge(groups, points, records, TOLERANCE, 1, **{"bad\udc80": 1}),
         TypeError),
        ("tolerance_str", lambda: merge(groups, points, records, "x", 1), TypeError),
        ("tolerance_raises", lambda: merge(groups, points, records, raising_float, 1), ValueError),
        ("negative_threads", lambda: merge(groups, points, records, TOLERANCE, -1), OverflowError),
        ("engine_failure", lambda: merge(groups, points, short_records, TOLERANCE, 1), panic_exception),
        ("resumed_panic", lambda: merge(groups, points, records, TOLERANCE, panicking_index), panic_exception),
        ("memory_error", lambda: merge(groups, huge, records, TOLERANCE, 1), MemoryError),
    ]
    # Calls on the worker pool are slower: one in every fifty calls.
    pool_calls = [("pool", lambda: merge(*large, TOLERANCE, 2), None)]
    return mix, pool_calls, arrays + others


def run_mix(mix, pool_calls, count):
    outcomes = {}
    for i in range(count):
        name, call, expected = pool_calls[0] if i % 50 == 49 else mix[i % len(mix)]
        try:
            call()
            kind = None
        except BaseException as error:  # noqa: BLE001 - every outcome is counted
            kind = type(error)
            del error
        assert kind is expected, f"{name}: {kind} instead of {expected}"
        outcomes[name] = outcomes.get(name, 0) + 1
    return outcomes


def test_ten_thousand_mixed_calls_leak_nothing(panic_exception):
    mix, pool_calls, held = call_mix(panic_exception)
    tracemalloc.start()
    try:
        with quiet_stderr():
            run_mix(mix, pool_calls, WARM_UP)
            run_mix(pool_calls, pool_calls, WARM_UP_POOL_CALLS)
            gc.collect()
            counts_before = [sys.getrefcount(obj) for obj in held]
            rss_before = resident_bytes()
            traced_before = tracemalloc.get_traced_memory()[0]

            outcomes = run_mix(mix, pool_calls, CALLS)

            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
            rss_growth = resident_bytes() - rss_before
            counts_after = [sys.getrefcount(obj) for obj in held]
    finally:
        tracemalloc.stop()
    assert sum(outcomes.values()) == CALLS
    assert set(outcomes) == {name for name, _, _ in mix} | {"pool"}
    assert counts_after == counts_before
    if RSS_MEANINGFUL:
        assert rss_growth < RSS_BOUND, f"resident memory grew by {rss_growth / MiB:.1f} MiB"
    assert traced_growth < TRACED_BOUND, f"Python allocations grew by {traced_growth} bytes"


@pytest.mark.skipif(not RSS_MEANINGFUL, reason="freed memory stays in AddressSanitizer's quarantine")
def test_result_buffer_freed_with_its_owner():
    # One group whose main row has a million points of 25 values: a 200 MB
    # result.  Its buffer is far above malloc's mmap threshold, so freeing it
    # gives the pages back at once.
    rows, columns = 1_000_000, 25
    size = rows * columns * 8
    row = np.arange(columns, dtype=np.float64)
    row[:2] = 1.0
    points = np.broadcast_to(row, (rows, columns))
    groups = np.array([[0.0, 1, 1, np.nan]])
    records = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])

    baseline = resident_bytes()
    result = merge(groups, points, records, 0.1, 1)
    assert result.shape == (rows, columns)
    owner = result.base
    with pytest.raises(TypeError):
        weakref.ref(owner)  # the owner takes no weak references; its count is watched instead
    count = sys.getrefcount(owner)  # the result's reference and ours
    view = result[::100_000, 3:]
    del result
    assert sys.getrefcount(owner) == count  # the view keeps the result array alive
    with_result = resident_bytes()
    assert with_result - baseline > 0.75 * size
    np.testing.assert_array_equal(view, np.broadcast_to(row[3:], (10, columns - 3)))

    del view
    assert sys.getrefcount(owner) == count - 1  # only `owner` is left
    assert resident_bytes() - baseline > 0.75 * size  # still alive through `owner`
    del owner
    assert with_result - resident_bytes() > 0.75 * size

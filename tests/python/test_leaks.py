"""Reference counts and memory across many calls, and the lifetime of the
result buffer.

Native memory (input copies, indexes, result buffers) is watched through the
C allocator's own count of the bytes it has handed out and not had back
(glibc's mallinfo2, over all its arenas and mappings), which does not depend
on when freed memory is given back to the system; Python objects
(exceptions, notes, arrays) through tracemalloc, which sees every allocation
of the interpreter and of NumPy.
"""

import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc
import weakref

import numpy as np
import pytest

from helpers import TOLERANCE, address_sanitizer_loaded, field, merge, tables

pytestmark = pytest.mark.thread_unsafe(reason="measures process-wide memory")

CALLS = 10_000
WARM_UP = 1_000
# A leaked copy of the medium tables would be 10 KiB a call, 100 MB over the
# calls; a leaked Python object per call at least 320 KiB.  The bounds only
# leave room for what caches hold (the allocator's per-thread caches,
# NumPy's cache of small buffers, tracemalloc's own tables), which does not
# grow with the number of calls.
NATIVE_BOUND = 2**20
TRACED_BOUND = 64 * 2**10


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")
    ]


def _mallinfo2():
    function = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if function is not None:
        function.restype = _MallInfo2
    return function


_MALLINFO2 = _mallinfo2()
# Under AddressSanitizer its own allocator serves every allocation (and finds
# leaks itself); the C library's count then says nothing.
NATIVE_COUNTED = _MALLINFO2 is not None and not address_sanitizer_loaded()


def native_bytes_in_use():
    """Bytes handed out by malloc and not yet freed, in every arena and mapping."""
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


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
    large = field()
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
    # Calls on the worker pool, on a table it splits, are slower: one in
    # every fifty calls.
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
            gc.collect()
            counts_before = [sys.getrefcount(obj) for obj in held]
            native_before = native_bytes_in_use() if NATIVE_COUNTED else 0
            traced_before = tracemalloc.get_traced_memory()[0]

            outcomes = run_mix(mix, pool_calls, CALLS)

            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
            native_growth = native_bytes_in_use() - native_before if NATIVE_COUNTED else 0
            counts_after = [sys.getrefcount(obj) for obj in held]
    finally:
        tracemalloc.stop()
    assert sum(outcomes.values()) == CALLS
    assert set(outcomes) == {name for name, _, _ in mix} | {"pool"}
    assert counts_after == counts_before
    assert native_growth < NATIVE_BOUND, f"native allocations grew by {native_growth} bytes"
    assert traced_growth < TRACED_BOUND, f"Python allocations grew by {traced_growth} bytes"


@pytest.mark.skipif(not NATIVE_COUNTED, reason="needs the C library's count of allocated bytes")
def test_result_buffer_freed_with_its_owner():
    # One group whose main row has a million points of 25 values: a 200 MB
    # result, alive exactly as long as its owner object.
    rows, columns = 1_000_000, 25
    size = rows * columns * 8
    row = np.arange(columns, dtype=np.float64)
    row[:2] = 1.0
    points = np.broadcast_to(row, (rows, columns))
    groups = np.array([[0.0, 1, 1, np.nan]])
    records = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])

    baseline = native_bytes_in_use()
    result = merge(groups, points, records, 0.1, 1)
    assert result.shape == (rows, columns)
    owner = result.base
    with pytest.raises(TypeError):
        weakref.ref(owner)  # the owner takes no weak references; its count is watched instead
    count = sys.getrefcount(owner)  # the result's reference and ours
    view = result[::100_000, 3:]
    del result
    assert sys.getrefcount(owner) == count  # the view keeps the result array alive
    with_result = native_bytes_in_use()
    assert with_result - baseline >= size
    np.testing.assert_array_equal(view, np.broadcast_to(row[3:], (10, columns - 3)))

    del view
    assert sys.getrefcount(owner) == count - 1  # only `owner` is left
    with_owner = native_bytes_in_use()
    assert with_owner - baseline >= size  # still alive through `owner`
    del owner
    assert with_owner - native_bytes_in_use() >= size

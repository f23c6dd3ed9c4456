"""Many Python threads calling the module at once on shared inputs.

The inputs have more than 2**16 point rows, so that calls with more than one
worker split the table of points into several slices on the worker pool,
and few groups, so that the plain Python model (reference.py) merges them in
well under a second.  Every result, whatever its number of workers, must be
the model's array: the same rows in the same order.
"""

import sys
import threading
import weakref

import numpy as np
import pytest

from helpers import TOLERANCE, assert_rows, field_batches, merge, merged_field, reference_array, stacked

NAN = np.nan
JOIN_TIMEOUT = 240  # seconds; a thread still alive then is taken as deadlocked
CALLS_PER_THREAD = 150

# These tests start their own threads; running each of them on several test
# threads at once would only multiply their run time.
pytestmark = pytest.mark.thread_unsafe(reason="starts its own threads")


def combined_table(groups, points, records):
    """One 11-column table that serves as both points_in_rows and row_information.

    Record rows come first, so each main-record lookup finds them.  Point rows
    carry 0 in column 4, which matches no second identifier, so they are never
    taken for records.  Record rows are also points of their crop row (at the
    segment's start anchor).
    """
    point_rows = np.zeros((len(points), 11))
    point_rows[:, :4] = points[:, :4]
    point_rows[:, 5:] = np.arange(6) + 0.5
    record_rows = records.copy()
    record_rows[:, 1] = records[:, 4]
    record_rows[:, 2:4] = records[:, 5:7]
    return np.concatenate([record_rows, point_rows])


def run_threads(targets):
    """Starts one thread per target at once; returns the errors they raised."""
    errors = []
    barrier = threading.Barrier(len(targets))

    def wrapped(target):
        try:
            barrier.wait(timeout=JOIN_TIMEOUT)
            target()
        except BaseException as error:  # noqa: BLE001 - reported by the test
            errors.append(error)

    threads = [threading.Thread(target=wrapped, args=(t,), daemon=True) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a calling thread never finished (deadlock?)"
    return errors


@pytest.fixture(scope="module")
def shared():
    groups, points, records, batches = field_batches(1)
    table = combined_table(groups, points, records)
    inputs = {
        "groups": groups,
        "points": points,
        "records": records,
        "table": table,
        "points_fortran": np.asfortranarray(points),
        "groups_small": groups[:5].copy(),
        "groups_reversed": groups[::-1].copy(),
    }
    for array in inputs.values():
        array.setflags(write=False)  # a stray write by any call would raise here
    width = points.shape[1]
    expected = {
        "plain": stacked(batches, width),
        "combined": reference_array(groups, table, table, TOLERANCE),
        "small": stacked(batches[:5], width),
        "reversed": stacked(batches[::-1], width),
    }
    return inputs, expected


def test_field_is_large_and_trimmed(shared):
    inputs, expected = shared
    # Enough point rows for several slices on the pool.
    assert len(inputs["points"]) > 2**16
    for name, total in (("plain", len(inputs["points"])), ("combined", len(inputs["table"]))):
        # Overlaps were trimmed, but most points survive.
        assert 0.6 * total < len(expected[name]) < total
    # Reversing the groups reverses the order of their batches, nothing else.
    assert not np.array_equal(expected["reversed"], expected["plain"])
    assert sorted(map(bytes, expected["reversed"])) == sorted(map(bytes, expected["plain"]))


# Call forms: (expected result, argument builder, num_threads).  All threads
# pass the same array objects; some forms pass one object twice.
CALL_FORMS = [
    ("plain", lambda a: (a["groups"], a["points"], a["records"]), 1),
    ("plain", lambda a: (a["groups"], a["points"], a["records"]), 2),
    ("plain", lambda a: (a["groups"], a["points_fortran"], a["records"]), 3),
    ("combined", lambda a: (a["groups"], a["table"], a["table"]), 2),
    ("combined", lambda a: (a["groups"], a["table"], a["table"]), 1),
    ("plain", lambda a: (a["groups"], a["points"], a["records"]), 8),
    ("small", lambda a: (a["groups_small"], a["points"], a["records"]), 2),
    ("reversed", lambda a: (a["groups_reversed"], a["points_fortran"], a["records"]), 0),
]


def test_eight_threads_many_calls_each(shared):
    inputs, expected = shared
    before = [a.tobytes() for a in inputs.values()]
    calls = [0] * len(CALL_FORMS)

    def caller(index):
        key, build, num_threads = CALL_FORMS[index]
        args = build(inputs)

        def run():
            for i in range(CALLS_PER_THREAD):
                # Alternate positional and keyword calls.
                if i % 2:
                    result = merge(*args, TOLERANCE, num_threads)
                else:
                    result = merge(
                        num_threads=num_threads,
                        tolerance=TOLERANCE,
                        row_information=args[2],
                        points_in_rows=args[1],
                        connected_crop_rows=args[0],
                    )
                assert_rows(result, expected[key])
                calls[index] += 1

        return run

    errors = run_threads([caller(i) for i in range(len(CALL_FORMS))])
    assert errors == []
    assert calls == [CALLS_PER_THREAD] * len(CALL_FORMS)
    assert [a.tobytes() for a in inputs.values()] == before


def failing_cases(inputs):
    """Calls that fail: (arguments, exception type or "panic", text or None)."""
    groups, points, records = inputs["groups"], inputs["points"], inputs["records"]
    unknown_partner = groups.copy()
    unknown_partner[11, 3:5] = [99, 99]  # a connected row without a record
    return [
        ((groups, points.astype(np.float32), records, TOLERANCE, 2), TypeError,
         "'ndarray' object is not an instance of 'ndarray'"),
        ((groups, points, records, TOLERANCE), TypeError,
         "merge_points_removing_overlap() missing 1 required positional argument: 'num_threads'"),
        ((groups, points, records, TOLERANCE, -1), OverflowError, None),
        # Fails inside the worker pool, in one group among many.
        ((unknown_partner, points, records, TOLERANCE, 2), "panic",
         "called `Option::unwrap()` on a `None` value"),
        ((groups, points, records[:, :3], TOLERANCE, 2), "panic", "ndarray: index out of bounds"),
        ((groups, np.broadcast_to(points[0], (2**55, points.shape[1])), records, TOLERANCE, 2),
         MemoryError, None),
    ]


def test_failing_calls_beside_succeeding_ones(shared, panic_exception):
    inputs, expected = shared
    failures = failing_cases(inputs)
    args = (inputs["groups"], inputs["points"], inputs["records"])

    def succeeding(num_threads):
        def run():
            for _ in range(60):
                assert_rows(merge(*args, TOLERANCE, num_threads), expected["plain"])

        return run

    def failing(offset):
        def run():
            for i in range(60):
                call_args, kind, text = failures[(i + offset) % len(failures)]
                kind = panic_exception if kind == "panic" else kind
                with pytest.raises(BaseException) as info:
                    merge(*call_args)
                assert type(info.value) is kind
                if text is not None:
                    assert str(info.value) == text
                if i % 10 == 0:  # a success right after a failure on the same thread
                    assert_rows(merge(*args, TOLERANCE, 2), expected["plain"])

        return run

    errors = run_threads([succeeding(n) for n in (1, 2, 0, 2)] + [failing(k) for k in range(4)])
    assert errors == []


@pytest.mark.parametrize("mutation", ["rewrite", "replace_and_drop"])
def test_mutating_thread_does_not_disturb_running_calls(mutation):
    # The calls read the caller's table in place, detached from the
    # interpreter, while a thread rewrites it as fast as it can or replaces it
    # and drops the old one. A call may see any mix of the table's states
    # (as a NumPy copy made meanwhile would), but every value it returns is
    # one the table held in that column, and a replaced array lives until no
    # call holds it. (Resizing an array in
    # place with refcheck=False while others hold it is NumPy's own
    # documented hazard, as it is for NumPy's functions: not tested here.)
    groups, original, records, expected = merged_field(7)
    points = original.copy()
    shifted = points.copy()
    shifted[:, 2] += 0.4  # moves points across trimming borders
    shifted[:, 4] = -shifted[:, 4]
    if mutation == "rewrite":
        shifted_expected = reference_array(groups, shifted, records, TOLERANCE)
        assert shifted_expected.shape != expected.shape
    held = np.concatenate([original, shifted])
    slots = {"points": points if mutation != "replace_and_drop" else points.copy()}
    dropped = []
    stop = threading.Event()
    writes = [0]

    def mutator():
        if mutation == "rewrite":
            states = [points.tobytes(), shifted.tobytes()]
            view = memoryview(points).cast("B")
        while not stop.is_set():
            if mutation == "rewrite":
                view[:] = states[(writes[0] + 1) % 2]
            else:
                old = slots["points"]
                slots["points"] = old.copy()
                dropped.append(weakref.ref(old))
                del old
            writes[0] += 1

    def caller():
        for _ in range(40):
            result = merge(groups, slots["points"], records, TOLERANCE, 2)
            if mutation == "replace_and_drop":
                assert result.tobytes() == expected.tobytes()
            else:
                assert result.shape[1] == held.shape[1]
                for j in range(held.shape[1]):
                    assert np.isin(result[:, j], held[:, j]).all(), f"a value column {j} never held"

    writer = threading.Thread(target=mutator, daemon=True)
    writer.start()
    try:
        errors = run_threads([caller] * 4)
    finally:
        stop.set()
        writer.join(JOIN_TIMEOUT)
    assert errors == []
    assert writes[0] > 0
    if mutation == "replace_and_drop":
        # Every replaced array is gone once no call holds it any more.
        slots.clear()
        assert dropped and all(ref() is None for ref in dropped)

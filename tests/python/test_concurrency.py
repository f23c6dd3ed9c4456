"""Many Python threads calling the module at once on shared inputs.

The inputs are big enough (more than 16384 point rows) that calls with more
than one worker really run on the worker pool, and small enough that a few
thousand calls finish in seconds.  Results are compared with a run on one
worker: there the groups come in ascending order; with more workers they may
come in any order, but each group's rows stay together and in table order, so
results are compared group by group.
"""

import sys
import threading
import time
import weakref

import numpy as np
import pytest

from conftest import merge

NAN = np.nan
TOLERANCE = 0.05
JOIN_TIMEOUT = 240  # seconds; a thread still alive then is taken as deadlocked

# These tests start their own threads; running each of them on several test
# threads at once would only multiply their run time.
pytestmark = pytest.mark.thread_unsafe(reason="starts its own threads")


def field(crop_rows=4, segments=8, points_per_segment=520, seed=1, extra_columns=1):
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
            groups.append(row + [NAN] * (11 - len(row)))
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


def run_starts(result):
    """Indices of the rows where a new crop row begins."""
    keys = result[:, :2]
    return np.concatenate([[0], np.flatnonzero(np.any(keys[1:] != keys[:-1], axis=1)) + 1])


def run_keys(result):
    """The crop rows of the result's groups, in result order."""
    return [tuple(k) for k in result[run_starts(result), :2].tolist()]


def by_groups(result):
    """The rows of `result` with its groups sorted by crop row, each group's
    rows kept in their order.  Fails when the rows of one crop row do not
    form one contiguous run (every main row here belongs to one group)."""
    if len(result) == 0:
        return result
    starts = run_starts(result)
    ends = np.append(starts[1:], len(result))
    keys = result[starts, :2]
    order = np.lexsort((keys[:, 1], keys[:, 0]))
    sorted_keys = keys[order]
    assert not np.any(np.all(sorted_keys[1:] == sorted_keys[:-1], axis=1)), "a group's rows are split"
    return result[np.concatenate([np.arange(starts[k], ends[k]) for k in order])]


class Expected:
    """A result of one worker, and the same rows ordered by groups."""

    def __init__(self, rows):
        self.rows = rows
        self.bytes = rows.tobytes()
        self.grouped = by_groups(rows)

    def matches(self, result):
        """The same groups, each with the same rows in the same order."""
        return result.shape == self.rows.shape and np.array_equal(by_groups(result), self.grouped)

    def check(self, result, num_threads):
        if num_threads == 1:
            assert result.shape == self.rows.shape and result.tobytes() == self.bytes
        else:
            assert self.matches(result)


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
    groups, points, records = field()
    table = combined_table(groups, points, records)
    inputs = {
        "groups": groups,
        "points": points,
        "records": records,
        "table": table,
        "points_fortran": np.asfortranarray(points),
        "groups_small": groups[:5].copy(),
    }
    for array in inputs.values():
        array.setflags(write=False)  # a stray write by any call would raise here
    expected = {
        "plain": Expected(merge(groups, points, records, TOLERANCE, 1)),
        "combined": Expected(merge(groups, table, table, TOLERANCE, 1)),
        "small": Expected(merge(inputs["groups_small"], points, records, TOLERANCE, 1)),
    }
    return inputs, expected


def test_field_exercises_trimming_and_order(shared):
    inputs, expected = shared
    points, groups = inputs["points"], inputs["groups"]
    assert len(points) > 16384  # enough rows for the parallel path
    for name, total in (("plain", len(points)), ("combined", len(points) + len(groups))):
        rows = expected[name].rows
        # Overlaps were trimmed, but most points survive.
        assert 0.6 * total < len(rows) < total
        # With one worker, groups come out in ascending group order.
        assert run_keys(rows) == [tuple(row) for row in groups[:, 1:3].tolist()]
    assert run_keys(expected["small"].rows) == [tuple(row) for row in groups[:5, 1:3].tolist()]


# Call forms: (expected result, argument builder, num_threads).  All threads
# pass the same array objects; some forms pass one object twice.
CALL_FORMS = [
    ("plain", lambda a: (a["groups"], a["points"], a["records"]), 1),
    ("plain", lambda a: (a["groups"], a["points"], a["records"]), 2),
    ("plain", lambda a: (a["groups"], a["points_fortran"], a["records"]), 3),
    ("combined", lambda a: (a["groups"], a["table"], a["table"]), 2),
    ("combined", lambda a: (a["groups"], a["table"], a["table"]), 1),
    ("plain", lambda a: (a["groups"], a["points"], a["records"]), 0),
    ("small", lambda a: (a["groups_small"], a["points"], a["records"]), 2),
    ("small", lambda a: (a["groups_small"], a["points_fortran"], a["records"]), 1),
]


def test_eight_threads_five_hundred_calls_each(shared):
    inputs, expected = shared
    before = [a.tobytes() for a in inputs.values()]
    calls = [0] * len(CALL_FORMS)

    def caller(index):
        key, build, num_threads = CALL_FORMS[index]
        args = build(inputs)

        def run():
            for i in range(500):
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
                expected[key].check(result, num_threads)
                calls[index] += 1

        return run

    errors = run_threads([caller(i) for i in range(len(CALL_FORMS))])
    assert errors == []
    assert sum(calls) == 4000
    assert [a.tobytes() for a in inputs.values()] == before


def failing_cases(inputs):
    """Calls that fail: (arguments, exception type or "panic", text or None)."""
    groups, points, records = inputs["groups"], inputs["points"], inputs["records"]
    unknown_partner = groups.copy()
    unknown_partner[17, 3:5] = [99, 99]  # a connected row without a record
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
                expected["plain"].check(merge(*args, TOLERANCE, num_threads), num_threads)

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
                    expected["plain"].check(merge(*args, TOLERANCE, 2), 2)

        return run

    errors = run_threads([succeeding(n) for n in (1, 2, 0, 2)] + [failing(k) for k in range(4)])
    assert errors == []


@pytest.mark.skipif(
    hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled(),
    reason="needs the interpreter lock to make each write of the mutating thread atomic",
)
@pytest.mark.parametrize("mutation", ["rewrite", "resize", "replace_and_drop"])
def test_mutating_thread_does_not_disturb_running_calls(mutation):
    # The calls copy their inputs while attached to the interpreter and merge
    # detached, on their copies.  The mutating thread runs while callers are
    # detached or between calls, so it writes while merges run.  Each of its
    # writes happens under the interpreter lock (a memoryview assignment, a
    # resize), so a call copies either the old or the new contents, never a
    # mix; a call that read the arrays while merging would see a mix, or
    # freed memory after a resize.
    groups, points, records = field(seed=7)
    rows = len(points)
    shifted = points.copy()
    shifted[:, 2] += 0.4  # moves points across trimming borders
    shifted[:, 4] = -shifted[:, 4]
    allowed = [Expected(merge(groups, points, records, TOLERANCE, 1))]
    if mutation == "rewrite":
        allowed.append(Expected(merge(groups, shifted, records, TOLERANCE, 1)))
        assert not allowed[0].matches(allowed[1].rows)
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
            elif mutation == "resize":
                # Grows with zero rows (crop row (0, 0), which no group names)
                # and shrinks back; the data usually moves.
                points.resize((rows + 1000, 5), refcheck=False)
                points.resize((rows, 5), refcheck=False)
            else:
                old = slots["points"]
                slots["points"] = old.copy()
                dropped.append(weakref.ref(old))
                del old
            writes[0] += 1
            time.sleep(0.0002)  # leaves the callers most of the interpreter time

    def caller():
        for _ in range(40):
            result = merge(groups, slots["points"], records, TOLERANCE, 2)
            assert any(expected.matches(result) for expected in allowed), \
                "a result matches neither state of the inputs"

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

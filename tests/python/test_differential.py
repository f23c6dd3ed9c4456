"""Differential tests: the module against the plain Python model in reference.py.

The first half checks the model itself on small worked cases, so that a
disagreement later on points at the module.  The second half feeds both the
same generated calls and requires the same array, bit for bit, or the same
exception type and text.

Example counts: MERGE_FUZZ_PROFILE=ci (default: 5,000 one-worker examples and
1,000 for each many-worker variant) or MERGE_FUZZ_PROFILE=long (100,000 and
20,000 each); MERGE_FUZZ_EXAMPLES=N sets the one-worker count directly.
"""

from __future__ import annotations

import math
import os
import struct
from collections import Counter
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, note, settings

import reference
from reference import (
    BAD_ANCHOR_COUNT,
    OUT_OF_BOUNDS,
    RECORD_NOT_FOUND,
    Failure,
    reference_batches,
    reference_merge,
)
from strategies import cases

NAN = math.nan

_EXAMPLES = {"ci": 5000, "long": 100_000}
_PROFILE = os.environ.get("MERGE_FUZZ_PROFILE", "ci")
EXAMPLES = int(os.environ.get("MERGE_FUZZ_EXAMPLES", _EXAMPLES[_PROFILE]))

FUZZ_SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    print_blob=True,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)


# ---------------------------------------------------------------------------
# Helpers for the model tests


def tail(anchors):
    """A record tail: second identifier, then the six anchor values."""
    return [0.0] + [v for anchor in anchors for v in anchor]


def trim(points_xy, main_anchors, partner_anchors, tolerance):
    points = [[1.0, 1.0, x, y] for x, y in points_xy]
    kept = reference.trim_against_connected_row(
        points, tail(main_anchors), tail(partner_anchors), tolerance
    )
    return [(p[2], p[3]) for p in kept]


def record(first, second, anchors):
    return [first, 0.0, 0.0, 0.0, second] + [v for anchor in anchors for v in anchor]


def merge(groups, points, records, tolerance=0.25, columns=None):
    def table(rows, width):
        if width is None:
            width = len(rows[0]) if rows else 0
        return np.array(rows, dtype=np.float64).reshape(len(rows), width)

    widths = columns or (None, None, None)
    return reference_merge(
        table(groups, widths[0]),
        table(points, widths[1]),
        table(records, widths[2]),
        tolerance,
    )


def comparable(outcome):
    """Rows as bytes, so that NaN rows compare equal; failures as they are."""
    if isinstance(outcome, Failure):
        return outcome
    return [row_bits(row) for row in outcome]


def row_bits(row) -> bytes:
    return b"".join(struct.pack("<d", v) for v in row)


DIAGONAL_MAIN = [(0.0, 0.0), (10.0, 10.0), (5.0, 5.0)]
DIAGONAL_PARTNER = [(8.0, 9.0), (20.0, 21.0), (14.0, 15.0)]
DIAGONAL_POINTS = [
    (2.0, 2.0),
    (9.5, 9.5),
    (9.6, 9.4),
    (9.6, 9.6),
    (10.0, 10.0),
    (10.25, 10.25),
    (10.3, 10.2),
    (NAN, 1.0),
]
FLAT_MAIN = [(0.0, 0.0), (10.0, 0.0), (5.0, 0.0)]
FLAT_PARTNER = [(8.0, 0.0), (20.0, 0.0), (14.0, 0.0)]
FLAT_POINTS = [(3.0, 0.0), (9.0, 0.0), (9.7, 0.0), (12.0, 0.0), (10.0, 1.0), (8.0, -1.0)]


# ---------------------------------------------------------------------------
# The model on worked cases


@pytest.mark.parametrize(
    "value, expected",
    [
        (3.0, 3),
        (3.2, 3),
        (3.999, 3),
        (0.999, 0),
        (NAN, 0),
        (-7.5, 0),
        (-0.0, 0),
        (-math.inf, 0),
        (4294967294.5, 4294967294),
        (4294967295.0, 4294967295),
        (4294967296.0, 4294967295),
        (math.inf, 4294967295),
        (5e-324, 0),
    ],
)
def test_row_identifier_saturates_and_truncates(value, expected):
    assert reference.to_row_identifier(value) == expected


@pytest.mark.parametrize(
    "numerator, denominator, expected",
    [
        (15.0, 200.0, 0.075),
        (1.0, 0.0, math.inf),
        (-1.0, 0.0, -math.inf),
        (1.0, -0.0, -math.inf),
        (0.0, 0.0, NAN),
        (NAN, 0.0, NAN),
        (math.inf, math.inf, NAN),
    ],
)
def test_division_follows_ieee(numerator, denominator, expected):
    result = reference.divide(numerator, denominator)
    if math.isnan(expected):
        assert math.isnan(result)
    else:
        assert result == expected


@pytest.mark.parametrize(
    "main, partner, points, tolerance, kept",
    [
        pytest.param(
            DIAGONAL_MAIN,
            DIAGONAL_PARTNER,
            DIAGONAL_POINTS,
            0.25,
            [(2.0, 2.0), (9.5, 9.5), (10.25, 10.25)],
            id="diagonal-rule-1",
        ),
        pytest.param(
            DIAGONAL_MAIN,
            DIAGONAL_PARTNER,
            DIAGONAL_POINTS,
            2.0,
            [p for p in DIAGONAL_POINTS if not math.isnan(p[0])],
            id="tolerance-beyond-cut-distance",
        ),
        pytest.param(
            DIAGONAL_MAIN,
            DIAGONAL_PARTNER,
            DIAGONAL_POINTS,
            -0.25,
            [(2.0, 2.0), (10.0, 10.0), (10.25, 10.25), (10.3, 10.2)],
            id="negative-tolerance-moves-corners-back",
        ),
        pytest.param(
            DIAGONAL_MAIN, DIAGONAL_PARTNER, DIAGONAL_POINTS, NAN, [], id="nan-tolerance"
        ),
        pytest.param(
            FLAT_MAIN,
            FLAT_PARTNER,
            FLAT_POINTS,
            0.5,
            [(9.0, 0.0), (9.7, 0.0), (12.0, 0.0)],
            id="flat-row-rule-4",
        ),
        pytest.param(
            [(3.0, 4.0)] * 3,
            [(3.0, 4.0)] * 3,
            [(2.0, 5.0), (2.5, 4.5), (2.6, 5.0), (2.0, 4.4), (3.0, 4.0)],
            0.5,
            [(2.0, 5.0), (2.5, 4.5)],
            id="all-anchors-in-one-place",
        ),
        pytest.param(DIAGONAL_MAIN, DIAGONAL_PARTNER, [], 0.25, [], id="no-points"),
    ],
)
def test_trimming_pass_keeps_the_worked_points(main, partner, points, tolerance, kept):
    assert trim(points, main, partner, tolerance) == kept


def test_cut_point_of_the_diagonal_example():
    main = reference.anchor_set(tail(DIAGONAL_MAIN))
    partner = reference.anchor_set(tail(DIAGONAL_PARTNER))
    assert reference.cut_point(main, partner) == ((9.25, 9.25), (10.0, 10.0))


@pytest.mark.parametrize(
    "main, partner, cut, near",
    [
        # Main anchors 0 and 2 tie for the farthest pair: anchor 0 wins.
        ([(0.0, 0.0), (10.0, 0.0), (0.0, 0.0)], [(20.0, 0.0), (30.0, 0.0), (25.0, 0.0)],
         (15.0, 0.0), (10.0, 0.0)),
        # Partner anchors 0 and 2 tie: anchor 0 wins, so anchor 1 is the partner's near one.
        ([(0.0, 0.0), (10.0, 0.0), (5.0, 0.0)], [(30.0, 0.0), (20.0, 0.0), (30.0, 0.0)],
         (15.0, 0.0), (10.0, 0.0)),
        # Main anchor 2 is the far anchor: main anchor 0 is the near one.
        ([(4.0, 0.0), (2.0, 0.0), (-12.0, 0.0)], [(6.0, 0.0), (8.0, 0.0), (7.0, 0.0)],
         (5.0, 0.0), (4.0, 0.0)),
    ],
)
def test_farthest_pair_ties_go_to_the_lower_index(main, partner, cut, near):
    assert reference.cut_point(
        reference.anchor_set(tail(main)), reference.anchor_set(tail(partner))
    ) == (cut, near)


def test_coinciding_far_and_near_anchor_gives_a_nan_cut_point():
    main = reference.anchor_set(tail([(1.0, 1.0)] * 3))
    (cx, cy), near = reference.cut_point(main, main)
    assert math.isnan(cx) and math.isnan(cy) and near == (1.0, 1.0)


@pytest.mark.parametrize("values", [5, 7, 0])
def test_anchor_sets_need_six_values(values):
    with pytest.raises(reference._GroupFailed, match="ShapeError"):
        reference.anchor_set([0.0] + [1.0] * values)


MAIN_RECORD = record(1.0, 2.0, DIAGONAL_MAIN)
PARTNER_RECORD = record(3.0, 4.0, DIAGONAL_PARTNER)
POINT_ROWS = [[1.0, 2.0, x, y, 7.0] for x, y in DIAGONAL_POINTS]


@pytest.mark.parametrize(
    "groups, points, records, columns, expected",
    [
        pytest.param(
            [[0.0, 1.0, 2.0, NAN]], POINT_ROWS, [MAIN_RECORD], None, POINT_ROWS,
            id="no-connected-rows-keeps-nan-points",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
            Failure(OUT_OF_BOUNDS), id="four-columns-and-a-connected-row",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0]], POINT_ROWS, [PARTNER_RECORD], None,
            Failure(RECORD_NOT_FOUND), id="main-record-is-looked-up-first",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0, 4.0]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
            Failure(OUT_OF_BOUNDS), id="five-columns-run-one-pass-then-fail",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0, 4.0, 3.0, 4.0, 3.0, 4.0, 3.0, 4.0]],
            POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
            [POINT_ROWS[0], POINT_ROWS[1], POINT_ROWS[5]],
            id="four-passes",
        ),
        pytest.param(
            [[0.0, 1.7, 2.2, NAN]], POINT_ROWS, [MAIN_RECORD], None, POINT_ROWS,
            id="main-identifiers-are-truncated",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.7, 4.0]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
            Failure(RECORD_NOT_FOUND), id="connected-identifiers-are-not-truncated",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0, NAN]], POINT_ROWS, [MAIN_RECORD, record(3.0, NAN, DIAGONAL_PARTNER)],
            None, Failure(RECORD_NOT_FOUND), id="nan-never-equals-nan",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, -0.0, 4.0, NAN]], POINT_ROWS,
            [MAIN_RECORD, record(0.0, 4.0, DIAGONAL_PARTNER)], None,
            [POINT_ROWS[0], POINT_ROWS[1], POINT_ROWS[5]],
            id="negative-zero-equals-zero",
        ),
        pytest.param(
            [[0.0, NAN, -3.0, NAN]], [[-1.0, 0.5, 1.0, 1.0], [0.0, 1.0, 2.0, 2.0]],
            [record(-9.0, NAN, DIAGONAL_MAIN)], None, [[-1.0, 0.5, 1.0, 1.0]],
            id="nan-and-negative-identifiers-are-zero",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0, 4.0, NAN]], POINT_ROWS,
            [MAIN_RECORD, PARTNER_RECORD, record(3.0, 4.0, FLAT_PARTNER)], None,
            [POINT_ROWS[0], POINT_ROWS[1], POINT_ROWS[5]],
            id="first-of-duplicate-records-wins",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, NAN], [0.0, 1.0, 2.0, NAN], [0.0, 3.0, 4.0, NAN]],
            POINT_ROWS[:2], [MAIN_RECORD, PARTNER_RECORD], None, POINT_ROWS[:2] * 2,
            id="same-main-row-twice-and-a-row-without-points",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0, 4.0, NAN]], [], [MAIN_RECORD[:10], PARTNER_RECORD[:10]], None,
            Failure(BAD_ANCHOR_COUNT), id="anchor-count-checked-without-points",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, 3.0, 4.0, NAN]], [r[:3] for r in POINT_ROWS],
            [MAIN_RECORD, PARTNER_RECORD], None, Failure(OUT_OF_BOUNDS),
            id="points-without-y",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, NAN]], [[1.0]], [MAIN_RECORD], None, Failure(OUT_OF_BOUNDS),
            id="points-with-one-column",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, NAN]], [[5.0]], [MAIN_RECORD], None, [],
            id="one-column-points-of-other-rows",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, NAN]], [[]], [MAIN_RECORD], (4, 0, 11), Failure(OUT_OF_BOUNDS),
            id="points-without-columns",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, NAN]], POINT_ROWS, [], (4, 5, 11), Failure(RECORD_NOT_FOUND),
            id="no-records",
        ),
        pytest.param(
            [[0.0, 1.0, 2.0, NAN]], POINT_ROWS, [[1.0, 2.0, 3.0]], None, Failure(OUT_OF_BOUNDS),
            id="short-records",
        ),
        pytest.param(
            [[0.0, 1.0]], POINT_ROWS, [MAIN_RECORD], None, Failure(OUT_OF_BOUNDS),
            id="groups-with-two-columns",
        ),
        pytest.param([], POINT_ROWS, [], (11, 5, 11), [], id="no-groups"),
    ],
)
def test_groups_follow_the_kernel(groups, points, records, columns, expected):
    assert comparable(merge(groups, points, records, columns=columns)) == comparable(
        expected
    )


def test_lowest_failing_group_decides_the_failure():
    fine = [0.0, 1.0, 2.0, NAN, NAN]
    groups = [fine] * 10
    groups[4] = [0.0, 5.0, 5.0, NAN, NAN]  # no record
    groups[9] = [0.0, 1.0, 2.0, 3.0, 4.0]  # one pass, then no column 5
    records = [MAIN_RECORD, PARTNER_RECORD]
    assert merge(groups, POINT_ROWS, records) == Failure(RECORD_NOT_FOUND)
    groups[4] = fine
    assert merge(groups, POINT_ROWS, records) == Failure(OUT_OF_BOUNDS)


@pytest.mark.parametrize(
    "position, argument, text",
    [
        (0, [[1.0]], "'list' object is not an instance of 'ndarray'"),
        (1, None, "'None' is not an instance of 'ndarray'"),
        (2, np.zeros((2, 11), np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        (2, np.zeros((2, 11), ">f8"), "'ndarray' object is not an instance of 'ndarray'"),
        (1, np.zeros(4), "'ndarray' object is not an instance of 'ndarray'"),
        (0, np.zeros((1, 2, 11)), "'ndarray' object is not an instance of 'ndarray'"),
    ],
)
def test_refused_arguments(position, argument, text):
    args = [np.zeros((0, 11)), np.zeros((0, 4)), np.zeros((0, 11))]
    args[position] = argument
    note = f"while processing '{reference.PARAMETERS[position]}'"
    assert reference_merge(*args, 0.5) == Failure(text, kind="TypeError", note=note)


# ---------------------------------------------------------------------------
# The module against the model


@pytest.fixture(scope="module")
def native():
    import _native

    return _native


@dataclass(frozen=True)
class Raised:
    kind: str
    text: str
    notes: tuple


def call(native, case, num_threads):
    """The module's answer: an array, or what it raised."""
    try:
        return native.merge_points_removing_overlap(*case.args(), num_threads)
    except TypeError as error:
        return Raised("TypeError", str(error), tuple(getattr(error, "__notes__", ())))
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        assert type(error).__module__ == "pyo3_runtime"
        assert not isinstance(error, Exception)
        return Raised("PanicException", str(error), tuple(getattr(error, "__notes__", ())))


def expected_raised(failure: Failure) -> Raised:
    notes = (failure.note,) if failure.note else ()
    return Raised(failure.kind, failure.text, notes)


def fingerprint(obj):
    if isinstance(obj, np.ndarray):
        return obj.dtype.str, obj.shape, obj.tobytes()
    return repr(obj)


def check_result_array(result, case):
    assert type(result) is np.ndarray, type(result)
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.ndim == 2
    assert result.shape[1] == case.points_in_rows.shape[1]
    for argument in case.args()[:3]:
        assert not np.shares_memory(result, argument)


def outcome_event(expected):
    if isinstance(expected, Failure):
        event(f"{expected.kind}: {expected.text[:60]}")
    else:
        event("rows kept" if expected else "empty result")


@FUZZ_SETTINGS
@given(case=cases())
def test_one_worker_matches_the_model(native, case):
    before = [fingerprint(a) for a in case.args()[:3]]
    expected = reference_merge(*case.args())
    note(f"expected: {expected!r}")
    outcome_event(expected)
    actual = call(native, case, 1)

    if isinstance(expected, Failure):
        assert isinstance(actual, Raised), f"returned {actual!r}"
        assert actual == expected_raised(expected)
    else:
        assert not isinstance(actual, Raised), actual
        check_result_array(actual, case)
        width = case.points_in_rows.shape[1]
        wanted = np.array(expected, dtype=np.float64).reshape(len(expected), width)
        assert actual.shape == wanted.shape
        assert [row_bits(r) for r in actual.tolist()] == [
            row_bits(r) for r in wanted.tolist()
        ]
    assert [fingerprint(a) for a in case.args()[:3]] == before


def is_concatenation_of(rows, batches) -> bool:
    """Whether `rows` is the batches, each kept whole, in some order."""
    remaining = Counter(tuple(batch) for batch in batches if batch)

    def fits(position):
        if position == len(rows):
            return not +remaining
        for batch, count in list(remaining.items()):
            if count and tuple(rows[position : position + len(batch)]) == batch:
                remaining[batch] -= 1
                if fits(position + len(batch)):
                    return True
                remaining[batch] += 1
        return False

    return fits(0)


@pytest.mark.parametrize(
    "rows, batches, expected",
    [
        ([1, 2, 3], [[3], [1, 2]], True),
        ([1, 3, 2], [[3], [1, 2]], False),
        ([1, 2, 1, 2], [[1, 2], [], [1, 2]], True),
        ([1, 2, 1], [[1, 2], [1, 2]], False),
        ([1, 1, 2], [[1], [1, 2]], True),
        ([], [[], []], True),
    ],
)
def test_batch_order_check(rows, batches, expected):
    assert is_concatenation_of(rows, batches) is expected


@pytest.mark.parametrize("num_threads", [2, 0])
@settings(FUZZ_SETTINGS, max_examples=max(100, EXAMPLES // 5))
@given(case=cases(refused_share=200))
def test_many_workers_give_the_same_batches(native, case, num_threads):
    expected = reference_batches(*case.args())
    note(f"expected batches: {expected!r}")
    actual = call(native, case, num_threads)

    if isinstance(expected, Failure):
        assert isinstance(actual, Raised), f"returned {actual!r}"
        assert actual == expected_raised(expected)
        return
    assert not isinstance(actual, Raised), actual
    check_result_array(actual, case)
    rows = [row_bits(r) for r in actual.tolist()]
    batches = [[row_bits(r) for r in batch] for batch in expected]
    assert len(rows) == sum(len(b) for b in batches)
    assert is_concatenation_of(rows, batches)

"""Merges worked out by hand, shared by the tests of the module
(test_differential.py) and of the plain Python model (test_reference_model.py).

Every expected value here was derived on paper from the column layouts and
the trimming rules, not by running any code.

The trimming example: main anchors (0, 0), (10, 10), (5, 5) and partner
anchors (8, 9), (20, 21), (14, 15).  The farthest pair is main anchor 0 with
partner anchor 1, so F = (0, 0), N = (10, 10), P = (8, 9), M = (9, 9.5),
V = (-10, -10), W = (-1, -0.5), t = 15 / 200 and C = (9.25, 9.25).  With
tolerance 0.25 the first rule keeps (x <= 9.5 and y <= 9.5) or
(x >= 10.25 and y >= 10.25).  Mirroring every x, every y or both mirrors the
cut point and selects each of the other three rules, with the same points
kept.  The flat example lies on y = 0 with C = (9, 0) and N = (10, 0), one
unit apart, and is tested by the last rule.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

from reference import BAD_ANCHOR_COUNT, OUT_OF_BOUNDS, RECORD_NOT_FOUND, Failure

NAN = math.nan

DIAGONAL_MAIN = [(0.0, 0.0), (10.0, 10.0), (5.0, 5.0)]
DIAGONAL_PARTNER = [(8.0, 9.0), (20.0, 21.0), (14.0, 15.0)]
DIAGONAL_POINTS = [
    (2.0, 2.0),
    (9.5, 9.5),  # on the far corner: kept
    (9.6, 9.4),
    (9.6, 9.6),
    (10.0, 10.0),
    (10.25, 10.25),  # on the near corner: kept
    (10.3, 10.2),
    (NAN, 1.0),
]
FLAT_MAIN = [(0.0, 0.0), (10.0, 0.0), (5.0, 0.0)]
FLAT_PARTNER = [(8.0, 0.0), (20.0, 0.0), (14.0, 0.0)]
FLAT_POINTS = [(3.0, 0.0), (9.0, 0.0), (9.7, 0.0), (12.0, 0.0), (10.0, 1.0), (8.0, -1.0)]


def mirrored(pairs, sx, sy):
    return [(sx * x, sy * y) for x, y in pairs]


def _diagonal(sx, sy, tolerance, kept, name):
    return pytest.param(
        mirrored(DIAGONAL_MAIN, sx, sy),
        mirrored(DIAGONAL_PARTNER, sx, sy),
        mirrored(DIAGONAL_POINTS, sx, sy),
        tolerance,
        kept,
        id=name,
    )


# (main anchors, partner anchors, points (x, y), tolerance, indices of the
# points kept, in order)
TRIMMING_PASSES = [
    _diagonal(1, 1, 0.25, [0, 1, 5], "rule-1"),
    _diagonal(1, -1, 0.25, [0, 1, 5], "rule-2"),
    _diagonal(-1, -1, 0.25, [0, 1, 5], "rule-3"),
    _diagonal(-1, 1, 0.25, [0, 1, 5], "rule-4"),
    # 2.0 exceeds the distance from C to N (about 1.06): every numeric point stays.
    _diagonal(1, 1, 2.0, [0, 1, 2, 3, 4, 5, 6], "tolerance-beyond-cut-distance"),
    # Keep (x <= 9 and y <= 9) or (x >= 9.75 and y >= 9.75).
    _diagonal(1, 1, -0.25, [0, 4, 5, 6], "negative-tolerance-moves-corners-back"),
    _diagonal(1, 1, NAN, [], "nan-tolerance"),
    # Keep (x >= 8.5 and y <= 0.5) or (x <= 9.5 and y >= 0.5).
    pytest.param(FLAT_MAIN, FLAT_PARTNER, FLAT_POINTS, 0.5, [1, 2, 3], id="flat-row-rule-4"),
    # A tolerance equal to the distance from C to N does not exceed it:
    # keep (x >= 8 and y <= 1) or (x <= 9 and y >= 1).
    pytest.param(FLAT_MAIN, FLAT_PARTNER, FLAT_POINTS, 1.0, [1, 2, 3, 4, 5], id="tolerance-equal-to-cut-distance"),
    # All anchors at (3, 4): C is NaN, N = (3, 4); only x <= 2.5 and y >= 4.5 survive.
    pytest.param(
        [(3.0, 4.0)] * 3,
        [(3.0, 4.0)] * 3,
        [(2.0, 5.0), (2.5, 4.5), (2.6, 5.0), (2.0, 4.4), (3.0, 4.0)],
        0.5,
        [0, 1],
        id="all-anchors-in-one-place",
    ),
    pytest.param(DIAGONAL_MAIN, DIAGONAL_PARTNER, [], 0.25, [], id="no-points"),
]


def record(first, second, anchors):
    return [first, 0.0, 0.0, 0.0, second] + [v for anchor in anchors for v in anchor]


def trimming_tables(main, partner, points):
    """One group, main row (1, 2) with connected row (3, 4); every point
    carries its index in a fifth column."""
    groups = np.array([[0.0, 1.0, 2.0, 3.0, 4.0, NAN]])
    point_rows = np.array([[1.0, 2.0, x, y, float(i)] for i, (x, y) in enumerate(points)]).reshape(-1, 5)
    records = np.array([record(1.0, 2.0, main), record(3.0, 4.0, partner)])
    return groups, point_rows, records


def table(rows, width=None):
    if width is None:
        width = len(rows[0]) if rows else 0
    return np.array(rows, dtype=np.float64).reshape(len(rows), width)


MAIN_RECORD = record(1.0, 2.0, DIAGONAL_MAIN)
PARTNER_RECORD = record(3.0, 4.0, DIAGONAL_PARTNER)
POINT_ROWS = [[1.0, 2.0, x, y, 7.0] for x, y in DIAGONAL_POINTS]
# What the diagonal pass keeps of POINT_ROWS, once or any number of times.
TRIMMED = [POINT_ROWS[0], POINT_ROWS[1], POINT_ROWS[5]]
PAIR = [3.0, 4.0]

# (groups, points, records, column counts or None, expected rows or Failure)
GROUPS = [
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
        [[0.0, 1.0, 2.0, *PAIR]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
        Failure(OUT_OF_BOUNDS), id="five-columns-run-one-pass-then-fail",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, *PAIR, *PAIR, NAN]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
        TRIMMED, id="ten-columns-nan-at-column-9",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, *PAIR, *PAIR, 3.0]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
        Failure(OUT_OF_BOUNDS), id="ten-columns-fourth-pair-without-its-second-value",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, *PAIR, *PAIR]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
        Failure(OUT_OF_BOUNDS), id="nine-columns-three-pairs-and-no-end",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, *PAIR, *PAIR, *PAIR]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD], None,
        TRIMMED, id="four-passes",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, *PAIR, *PAIR, *PAIR, 99.0, 99.0]], POINT_ROWS, [MAIN_RECORD, PARTNER_RECORD],
        None, TRIMMED, id="nothing-read-after-the-fourth-pair",
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
        [MAIN_RECORD, record(0.0, 4.0, DIAGONAL_PARTNER)], None, TRIMMED,
        id="negative-zero-equals-zero",
    ),
    pytest.param(
        [[0.0, NAN, -3.0, NAN]], [[-1.0, 0.5, 1.0, 1.0], [0.0, 1.0, 2.0, 2.0]],
        [record(-9.0, NAN, DIAGONAL_MAIN)], None, [[-1.0, 0.5, 1.0, 1.0]],
        id="nan-and-negative-identifiers-are-zero",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, NAN]], POINT_ROWS,
        [MAIN_RECORD, PARTNER_RECORD, record(3.0, 4.0, FLAT_PARTNER)], None, TRIMMED,
        id="first-of-duplicate-records-wins",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, NAN], [0.0, 3.0, 4.0, NAN], [0.0, 1.0, 2.0, NAN]],
        POINT_ROWS[:2], [MAIN_RECORD, PARTNER_RECORD], None, POINT_ROWS[:2] * 2,
        id="same-main-row-twice-and-a-row-without-points",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, NAN]], [], [MAIN_RECORD[:10], PARTNER_RECORD[:10]], (6, 5, 10),
        Failure(BAD_ANCHOR_COUNT), id="anchor-count-checked-without-points",
    ),
    pytest.param(
        [[0.0, 1.0, 2.0, *PAIR, NAN]], [r[:3] for r in POINT_ROWS],
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
]


def group_tables(groups, points, records, columns):
    widths = columns or (None, None, None)
    return table(groups, widths[0]), table(points, widths[1]), table(records, widths[2])

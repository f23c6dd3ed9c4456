"""The plain Python model in reference.py on hand-worked cases.

The model is the oracle of the differential tests and of the expected values
of the large-table tests; these tests keep it honest, so that a disagreement
there points at the module.  Nothing here calls the module.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

import reference
from reference import Failure, reference_merge
from worked_cases import (
    DIAGONAL_MAIN,
    DIAGONAL_PARTNER,
    GROUPS,
    TRIMMING_PASSES,
    group_tables,
    trimming_tables,
)

NAN = math.nan


def tail(anchors):
    """A record tail: second identifier, then the six anchor values."""
    return [0.0] + [v for anchor in anchors for v in anchor]


def cut_point(main, partner):
    return reference.cut_point(reference.anchor_set(tail(main)), reference.anchor_set(tail(partner)))


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
    assert result == expected or (math.isnan(expected) and math.isnan(result))


@pytest.mark.parametrize(
    "main, partner, cut, near",
    [
        (DIAGONAL_MAIN, DIAGONAL_PARTNER, (9.25, 9.25), (10.0, 10.0)),
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
def test_cut_point_and_near_anchor(main, partner, cut, near):
    assert cut_point(main, partner) == (cut, near)


def test_coinciding_far_and_near_anchor_gives_a_nan_cut_point():
    (cx, cy), near = cut_point([(1.0, 1.0)] * 3, [(1.0, 1.0)] * 3)
    assert math.isnan(cx) and math.isnan(cy) and near == (1.0, 1.0)


@pytest.mark.parametrize("main, partner, points, tolerance, kept", TRIMMING_PASSES)
def test_trimming_pass_keeps_the_worked_points(main, partner, points, tolerance, kept):
    groups, point_rows, records = trimming_tables(main, partner, points)
    rows = reference_merge(groups, point_rows, records, tolerance)
    assert [row[4] for row in rows] == kept


def comparable(outcome):
    """Rows as bytes, so that NaN rows compare equal; failures as they are."""
    if isinstance(outcome, Failure):
        return outcome
    return [np.array(row, dtype=np.float64).tobytes() for row in outcome]


@pytest.mark.parametrize("groups, points, records, columns, expected", GROUPS)
def test_groups_follow_the_worked_cases(groups, points, records, columns, expected):
    outcome = reference_merge(*group_tables(groups, points, records, columns), 0.25)
    assert comparable(outcome) == comparable(expected)


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


def test_equivalent_float64_dtypes_are_accepted():
    meta = np.dtype("float64", metadata={"unit": "m"})
    args = [np.zeros((0, 11), meta), np.zeros((0, 4), np.dtype(np.float64).newbyteorder("=")), np.zeros((0, 11))]
    assert reference_merge(*args, 0.5) == []

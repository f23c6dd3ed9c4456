"""rowmerge.merge refuses values it cannot use, in the engine's own pass, and warns of what it leaves out.

Tables: the worked example of the README (crop row 1 seen as two segments
along x = y, linked both ways); expected outcomes are worked out by hand.
"""

import warnings

import numpy as np
import pytest

import reference
import rowmerge
from rowmerge import (
    InvalidValueError,
    OneWayLinkWarning,
    OrphanPointsWarning,
    TableShapeError,
    UnplacedPointsWarning,
)

nan, inf = np.nan, np.inf

GROUPS = np.array([[0, 1, 1, 1, 2, nan], [1, 1, 2, 1, 1, nan]])
RECORDS = np.array([[1, 0, 0, 0, 1, 0.0, 0.0, 10.0, 10.0, 5.0, 5.0],
                    [1, 0, 0, 0, 2, 8.0, 8.0, 18.0, 18.0, 13.0, 13.0]])
POINTS = np.array([[1, 1, 1.0, 1.0], [1, 1, 9.5, 9.5], [1, 2, 8.2, 8.2], [1, 2, 12.0, 12.0]])
KEPT = [0, 3]  # (9.5, 9.5) lies past segment 1's cut, (8.2, 8.2) before segment 2's

IDENTIFIER = "crop-row identifiers must be whole numbers in [0, 2**32)"


def merge(groups=GROUPS, points=POINTS, records=RECORDS, **options):
    return rowmerge.merge(groups, points, records, tolerance=0.05, return_index=True, **options)


def with_cell(table, row, column, value):
    changed = table.copy()
    changed[row, column] = value
    return changed


@pytest.mark.parametrize("value", [nan, -1.0, 0.5, 2.0**32, inf, -0.5])
@pytest.mark.parametrize(("table", "row", "column"), [
    ("connected_crop_rows", 1, 1), ("connected_crop_rows", 0, 4),
    ("row_information", 1, 0), ("row_information", 0, 4),
    ("points_in_rows", 2, 0), ("points_in_rows", 3, 1),
])
def test_identifiers_that_name_no_crop_row_are_refused(table, row, column, value):
    tables = {"connected_crop_rows": GROUPS, "points_in_rows": POINTS, "row_information": RECORDS}
    tables[table] = with_cell(tables[table], row, column, value)
    with pytest.raises(InvalidValueError) as raised:
        merge(tables["connected_crop_rows"], tables["points_in_rows"], tables["row_information"])
    error = raised.value
    assert isinstance(error, ValueError) and isinstance(error, rowmerge.MergeError)
    assert (error.table, error.row, error.column) == (table, row, column)
    assert error.value == value or (np.isnan(value) and np.isnan(error.value))
    assert str(error) == f"{table}[{row}, {column}] is {float(value)!r}: {IDENTIFIER}"


@pytest.mark.parametrize("value", [nan, inf, -inf])
@pytest.mark.parametrize("column", [2, 3])
def test_points_without_a_finite_position_are_counted_in_a_warning(value, column):
    # They merge as the plain-Python reference merges them (NaN fails every
    # per-axis test, so linked segment 1 drops its point 0; unlinked segment
    # 3 keeps all its points), and are counted.
    groups = np.vstack([GROUPS, [2, 1, 3, nan, nan, nan]])
    records = np.vstack([RECORDS, [1, 0, 0, 0, 3, 50, 50, 60, 60, 55, 55]])
    points = np.vstack([with_cell(POINTS, 0, column, value), [[1, 3, 52, 52]]])
    points[4, column] = value
    with pytest.warns(UnplacedPointsWarning) as warned:
        merged, index = merge(groups, points, records)
    assert [w.message.count for w in warned] == [2]
    expected = reference.reference_merge(groups, points, records, 0.05)
    assert np.array_equal(merged, np.array(expected).reshape(-1, 4), equal_nan=True)
    if np.isnan(value):
        assert index.tolist() == [3, 4]


@pytest.mark.parametrize(("column", "anchor"), [(5, "start x"), (8, "end y"), (10, "middle y")])
def test_an_anchor_the_merge_reads_must_be_finite(column, anchor):
    with pytest.raises(InvalidValueError) as raised:
        merge(records=with_cell(RECORDS, 1, column, nan))
    assert (raised.value.table, raised.value.row, raised.value.column) == ("row_information", 1, column)
    assert f"the {anchor} of crop row (1, 2)" in str(raised.value)


def test_anchors_of_records_nobody_reads_are_not_checked():
    # A third record, for a segment without links: its blank anchors are harmless.
    records = np.vstack([RECORDS, [1, 0, 0, 0, 3, nan, nan, nan, nan, nan, nan]])
    merged, index = merge(records=records)
    assert index.tolist() == KEPT


def test_the_first_offending_cell_is_named():
    # Row order within a table, and the tables in the order groups, records, points.
    points = with_cell(with_cell(POINTS, 3, 0, -1.0), 1, 1, 2.5)
    with pytest.raises(InvalidValueError) as raised:
        merge(points=points)
    assert (raised.value.row, raised.value.column) == (1, 1)
    with pytest.raises(InvalidValueError) as raised:
        merge(points=points, records=with_cell(RECORDS, 1, 7, inf))
    assert raised.value.table == "row_information"
    with pytest.raises(InvalidValueError) as raised:
        merge(points=points, records=with_cell(RECORDS, 1, 7, inf), groups=with_cell(GROUPS, 1, 3, 0.5))
    assert raised.value.table == "connected_crop_rows"


@pytest.mark.parametrize("threads", [1, 2])
def test_the_lowest_refused_row_of_a_large_table(threads):
    # Enough rows for several slices, with bad rows in more than one of them.
    points = np.tile(POINTS, (60_000, 1))
    points[150_001, 1] = nan
    points[200_000, 0] = 7.5
    points[230_000, 1] = -inf
    with pytest.raises(InvalidValueError) as raised:
        merge(points=points, threads=threads)
    assert (raised.value.row, raised.value.column) == (150_001, 1)


def test_a_list_of_connected_rows_that_does_not_end():
    groups = np.array([[0, 1, 1, 1, 2], [1, 1, 2, 1, 1]])
    with pytest.raises(TableShapeError) as raised:
        merge(groups=groups)
    assert (raised.value.table, raised.value.column, raised.value.group) == ("connected_crop_rows", 5, 0)


def test_points_of_no_group_are_counted_in_a_warning():
    points = np.vstack([POINTS, [[7, 7, 0, 0], [7, 8, 1, 1]]])
    with pytest.warns(OrphanPointsWarning) as warned:
        merged, index = merge(points=points)
    assert index.tolist() == KEPT
    assert [w.message.count for w in warned] == [2]
    assert issubclass(OrphanPointsWarning, UserWarning)


def test_a_link_that_goes_one_way_is_warned_of():
    groups = np.array([[0, 1, 1, 1, 2, nan], [1, 1, 2, nan, nan, nan]])
    with pytest.warns(OneWayLinkWarning) as warned:
        merged, index = merge(groups=groups)
    # Segment 1 cuts its side; segment 2 keeps the whole overlap.
    assert index.tolist() == [0, 2, 3]
    assert [(w.message.count, w.message.group) for w in warned] == [(1, 0)]


def test_sound_tables_merge_without_a_word():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        merged, index = merge()
    assert index.tolist() == KEPT
    assert np.array_equal(merged, POINTS[KEPT])

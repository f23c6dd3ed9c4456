"""Nullable pandas columns: a missing value (pd.NA) is a missing value.

rowmerge.merge_frame must treat pd.NA in an Int64 or Float64 column exactly
as it treats NaN in the same column of dtype float64; in particular a missing
crop row is never read as crop row 0.  The frames number their crop rows
from 0, so that such a misreading would put the point in a real segment.
"""

import warnings

import numpy as np
import pytest

import rowmerge
from rowmerge.field import make_field

pd = pytest.importorskip("pandas")

ANCHORS = ("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y")


def frames():
    """(points, segments, links, tolerance) of a generated frame, crop rows numbered from 0."""
    f = make_field("frame", seed=0)
    groups, points, records = f.connected_crop_rows, f.points_in_rows, f.row_information
    segments = pd.DataFrame({"crop_row": records[:, 0].astype(np.int64) - 1,
                             "segment": records[:, 4].astype(np.int64),
                             **{name: records[:, 5 + k] for k, name in enumerate(ANCHORS)}})
    links = pd.DataFrame(
        [(row[1] - 1, row[2], row[c] - 1, row[c + 1]) for row in groups for c in (3, 5, 7, 9)
         if not np.isnan(row[c])],
        columns=["crop_row", "segment", "linked_crop_row", "linked_segment"]).astype(np.int64)
    table = pd.DataFrame({"crop_row": points[:, 0].astype(np.int64) - 1, "segment": points[:, 1].astype(np.int64),
                          "x": points[:, 2], "y": points[:, 3], "n": np.arange(len(points))})
    return table, segments, links, f.tolerance


def outcome(points, segments, links, tolerance):
    """The row numbers kept, or the error's type and text."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            kept = rowmerge.merge_frame(points, segments, links, tolerance=tolerance, threads=1)
    except Exception as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        # The class and the cell named (a missing value and a NaN are worded
        # apart, but both are refused at the same place).
        return type(error).__name__, tuple(str(getattr(error, k, None)) for k in ("table", "row", "column"))
    return "kept", kept["n"].tolist()


def with_missing(frame, column, row, nullable_dtype):
    """Two copies of `frame` with `column` missing at `row`: as pd.NA (nullable) and as NaN (float64)."""
    nullable = frame.copy()
    nullable[column] = nullable[column].astype(nullable_dtype)
    nullable.loc[row, column] = pd.NA
    plain = frame.copy()
    plain[column] = plain[column].astype(np.float64)
    plain.loc[row, column] = np.nan
    return nullable, plain


@pytest.fixture(scope="module")
def field():
    points, segments, links, tolerance = frames()
    kept = outcome(points, segments, links, tolerance)
    assert kept[0] == "kept", kept
    # A surviving point of crop row 0, and its segment.
    point = next(n for n in kept[1] if points.loc[n, "crop_row"] == 0)
    segment = int(np.flatnonzero((segments["crop_row"] == 0)
                                 & (segments["segment"] == points.loc[point, "segment"]))[0])
    return points, segments, links, tolerance, point, segment


@pytest.mark.parametrize(("table", "column", "dtype"), [
    ("points", "crop_row", "Int64"),
    ("points", "crop_row", "Float64"),
    ("points", "segment", "Int64"),
    ("points", "x", "Float64"),
    ("segments", "crop_row", "Int64"),
    ("segments", "start_x", "Float64"),
    ("links", "linked_crop_row", "Int64"),
])
def test_missing_value_in_a_nullable_column_is_nan(field, table, column, dtype):
    points, segments, links, tolerance, point, segment = field
    tables = {"points": points, "segments": segments, "links": links}
    row = {"points": point, "segments": segment, "links": 0}[table]
    nullable, plain = with_missing(tables[table], column, row, dtype)
    as_na = outcome(*{**tables, table: nullable}.values(), tolerance)
    as_nan = outcome(*{**tables, table: plain}.values(), tolerance)
    if as_na[0] == "InvalidValueError":
        # A missing value is refused at its cell (never read as 0, nor as a NaN x or y).
        assert (as_na[1][0], as_na[1][2]) == (table, column), as_na
    else:
        assert as_na == as_nan


@pytest.mark.parametrize("dtype", ["Int64", "UInt32", "Float64"])
def test_a_point_without_crop_row_is_not_a_point_of_crop_row_0(field, dtype):
    points, segments, links, tolerance, point, _ = field
    nullable, _ = with_missing(points, "crop_row", point, dtype)
    result = outcome(nullable, segments, links, tolerance)
    assert result[0] != "kept" or point not in result[1], result

"""rowmerge.merge: conversions, refusals before any work, the exceptions, the axis warning.

Expected merges come from _native and from the plain-Python reference.
"""

import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

import _native
import rowmerge
from rowmerge import AnchorCountError, AxisParallelWarning, MergeError, MissingRecordError, TableShapeError

import reference
from helpers import axis_table, bits, child_env

nan = np.nan
IDENTIFIERS = "crop-row identifiers must be whole numbers in [0, 2**32)"

# Two crop rows of two segments each; whole-number coordinates, so that every
# numeric type holds the tables exactly.
GROUPS = np.array([[0, 1, 1, 1, 2, nan], [1, 1, 2, 1, 1, nan], [2, 2, 1, nan, nan, nan]])
RECORDS = np.array([[1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5], [1, 0, 0, 0, 2, 8, 8, 18, 18, 13, 13],
                    [2, 0, 0, 0, 1, 0, 40, 10, 40, 5, 40]], dtype=float)
POINTS = np.array([[1, 1, 1, 1, 7], [1, 1, 4, 4, 6], [1, 1, 10, 10, 5], [1, 2, 8, 8, 4], [1, 2, 12, 12, 3],
                   [2, 1, 3, 40, 2], [5, 5, 0, 0, 1]], dtype=float)


def expected_merge(groups=GROUPS, points=POINTS, records=RECORDS, tolerance=0.25):
    return _native.merge_points_removing_overlap(groups, points, records, tolerance, 1)


def test_result_and_index_against_the_reference():
    merged, index = rowmerge.merge(GROUPS, POINTS, RECORDS, tolerance=0.25, return_index=True)
    assert merged.tolist() == reference.reference_merge(GROUPS, POINTS, RECORDS, 0.25)
    assert index.tolist() == [0, 1, 4, 5]
    assert np.array_equal(bits(POINTS[index]), bits(merged))
    assert np.array_equal(bits(rowmerge.merge(GROUPS, POINTS, RECORDS, tolerance=0.25, threads=3)), bits(merged))


# --- conversions ----------------------------------------------------------------

CONVERSIONS = {
    "float32": lambda t: t.astype(np.float32),
    "float16": lambda t: t.astype(np.float16),
    "big-endian float64": lambda t: t.astype(">f8"),
    "long double": lambda t: t.astype(np.longdouble),
    "Fortran order": np.asfortranarray,
    "reversed columns view": lambda t: t[:, ::-1][:, ::-1],
    "nested lists": lambda t: t.tolist(),
    "tuples": lambda t: tuple(map(tuple, t.tolist())),
    "unmasked masked array": np.ma.masked_array,
}
INTEGER_CONVERSIONS = {
    "int64": lambda t: t.astype(np.int64),
    "int32": lambda t: t.astype(np.int32),
    "uint16": lambda t: t.astype(np.uint16),
}


# The list of connected rows ends with NaN, which integers cannot hold.
@pytest.mark.parametrize("table, convert", [
    (table, convert) for table in ("points_in_rows", "row_information", "connected_crop_rows")
    for convert in (CONVERSIONS if table == "connected_crop_rows" else {**CONVERSIONS, **INTEGER_CONVERSIONS})
])
def test_exact_conversions(table, convert):
    tables = {"connected_crop_rows": GROUPS, "points_in_rows": POINTS, "row_information": RECORDS}
    tables[table] = {**CONVERSIONS, **INTEGER_CONVERSIONS}[convert](tables[table])
    assert np.array_equal(bits(rowmerge.merge(*tables.values(), tolerance=0.25)), bits(expected_merge()))


def test_large_integers_that_float64_holds():
    points = POINTS.astype(np.int64)
    points[-1, 4] = 2**60
    merged, index = rowmerge.merge(GROUPS, points, RECORDS, tolerance=0.25, return_index=True)
    assert merged.dtype == np.float64 and index.tolist() == [0, 1, 4, 5]


def with_cell(table, row, column, value, dtype=None):
    changed = np.array(table, dtype=dtype or table.dtype)
    changed[row, column] = value
    return changed


@pytest.mark.parametrize(
    "points, error, message",
    [
        (POINTS.astype(complex), TypeError, "points_in_rows has dtype complex128, which has no exact float64 form"),
        (POINTS.astype(object), TypeError, "points_in_rows has dtype object, which has no exact float64 form"),
        (POINTS.astype(str), TypeError, "points_in_rows has dtype <U32, which has no exact float64 form"),
        (POINTS.astype("datetime64[s]"), TypeError,
         "points_in_rows has dtype datetime64[s], which has no exact float64 form"),
        (with_cell(POINTS, 2, 4, 2**53 + 1, np.int64), TypeError,
         "points_in_rows[2, 4] is 9007199254740993, an integer that float64 cannot hold exactly"),
        (with_cell(POINTS, 6, 3, 2**64 - 1, np.uint64), TypeError,
         "points_in_rows[6, 3] is 18446744073709551615, an integer that float64 cannot hold exactly"),
        (np.ma.masked_array(POINTS, mask=POINTS == 12), TypeError,
         "points_in_rows has masked values, which have no float64 form"),
        (POINTS[0], ValueError, "points_in_rows must be a two-dimensional table, not an array of shape (5,)"),
        ([[1, 1, 2, 2], [1, 1, 2]], TypeError, "points_in_rows cannot be read as an array of numbers: "),
    ],
    ids=["complex", "object", "str", "datetime", "int64 beyond 2**53", "uint64", "masked", "1-D", "ragged"],
)
def test_refused_tables(points, error, message):
    with pytest.raises(error) as raised:
        rowmerge.merge(GROUPS, points, RECORDS, tolerance=0.25)
    assert str(raised.value).startswith(message)
    assert message.endswith(": ") or str(raised.value) == message


def test_long_double_that_float64_would_round():
    records = RECORDS.astype(np.longdouble)
    records[1, 6] += np.longdouble(2) ** -60
    with pytest.raises(TypeError, match=r"^row_information\[1, 6\] is .*, which float64 cannot hold exactly$"):
        rowmerge.merge(GROUPS, POINTS, records, tolerance=0.25)


# --- refusals before any work ------------------------------------------------------


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"tolerance": nan}, ValueError, "tolerance must be a finite number of at least 0, not nan"),
        ({"tolerance": -np.inf}, ValueError, "tolerance must be a finite number of at least 0, not -inf"),
        ({"tolerance": -0.5}, ValueError, "tolerance must be a finite number of at least 0, not -0.5"),
        ({"tolerance": "0.1"}, TypeError, "tolerance must be a real number, not str"),
        ({"tolerance": True}, TypeError, "tolerance must be a real number, not bool"),
        ({"tolerance": 1j}, TypeError, "tolerance must be a real number, not complex"),
        ({"tolerance": 0.1, "threads": 0}, ValueError,
         "threads must be at least 1 (or None for the default count), not 0"),
        ({"tolerance": 0.1, "threads": 2.0}, TypeError, "threads must be an integer or None, not float"),
    ],
)
def test_refused_arguments(arguments, error, message):
    with pytest.raises(error) as raised:
        rowmerge.merge(GROUPS, POINTS, RECORDS, **arguments)
    assert str(raised.value) == message


PLACES = [("points_in_rows", 3, 0), ("points_in_rows", 6, 1), ("row_information", 2, 0), ("row_information", 1, 4),
          ("connected_crop_rows", 1, 1), ("connected_crop_rows", 2, 2), ("connected_crop_rows", 0, 3),
          ("connected_crop_rows", 1, 4)]


# (NaN in column 3 of connected_crop_rows ends the list of connected rows.)
@pytest.mark.parametrize("table, row, column, value", [
    (*place, value) for place in PLACES for value in (nan, -1.0, 2.5, np.inf, 2.0**32)
    if not (place[0] == "connected_crop_rows" and place[2] == 3 and value != value)
])
def test_refused_identifiers(table, row, column, value):
    tables = {"connected_crop_rows": GROUPS, "points_in_rows": POINTS, "row_information": RECORDS}
    tables[table] = with_cell(tables[table], row, column, value)
    with pytest.raises(ValueError) as raised:
        rowmerge.merge(*tables.values(), tolerance=0.25)
    assert str(raised.value) == f"{table}[{row}, {column}] is {value!r}: {IDENTIFIERS}"


def test_identifier_edges_and_columns_after_the_list():
    points = with_cell(with_cell(POINTS, 6, 0, 2.0**32 - 1), 6, 1, -0.0)
    groups = with_cell(with_cell(GROUPS, 2, 4, -7.5), 2, 5, 0.5)  # after the NaN: never read
    assert np.array_equal(bits(rowmerge.merge(groups, points, RECORDS, tolerance=0.25)), bits(expected_merge()))


@pytest.mark.parametrize(
    "tables, error, message, attributes",
    [
        ((GROUPS[:, :2], POINTS, RECORDS), TableShapeError,
         "connected_crop_rows has 2 columns; the merge reads column 2 (the main row's second identifier)",
         {"table": "connected_crop_rows", "column": 2, "group": None}),
        ((GROUPS, POINTS[:, :3], RECORDS), TableShapeError, "points_in_rows has 3 columns; the merge reads column 3 (y)",
         {"table": "points_in_rows", "column": 3}),
        ((GROUPS[2:, :4], POINTS, RECORDS[:, :4]), TableShapeError,
         "row_information has 4 columns; the merge reads column 4 (the crop row's second identifier)",
         {"table": "row_information", "column": 4}),
        ((GROUPS[:, :5], POINTS, RECORDS), TableShapeError,
         "connected_crop_rows has 5 columns, so the list of connected rows of group 0 does not end: a NaN in "
         "column 5 would end it", {"table": "connected_crop_rows", "column": 5, "group": 0}),
        ((GROUPS[:, :4], POINTS, RECORDS), TableShapeError,
         "connected_crop_rows has 4 columns, so the connected row that group 0 names in column 3 lacks its "
         "second identifier (column 4)", {"table": "connected_crop_rows", "column": 4, "group": 0}),
        ((GROUPS, POINTS, RECORDS[:, :10]), AnchorCountError,
         "row_information has 10 columns; groups with connected rows (the first is group 0) need exactly 11: "
         "identifiers in columns 0 and 4, three anchors (x, y) in columns 5 to 10",
         {"table": "row_information", "group": 0}),
    ],
    ids=["no main row", "no y", "no second identifier", "list not ended", "pair cut short", "two anchors"],
)
def test_tables_the_merge_cannot_use(tables, error, message, attributes):
    with pytest.raises(error) as raised:
        rowmerge.merge(*tables, tolerance=0.25)
    assert str(raised.value) == message
    assert {name: getattr(raised.value, name) for name in attributes} == attributes


def test_empty_tables_of_any_width():
    merged, index = rowmerge.merge(np.empty((0, 2)), np.empty((0, 2)), np.empty((0, 0)), tolerance=0,
                                   return_index=True)
    assert merged.shape == (0, 2) and index.shape == (0,)


# --- failures of the merge ---------------------------------------------------------------


@pytest.mark.parametrize(
    "groups, message, crop_row, connected",
    [
        ([[0, 1, 1, nan], [0, 5, 6, nan]], "group 1 (row 1 of connected_crop_rows): row_information has no record "
         "for its main row, crop row (5, 6)", (5.0, 6.0), None),
        ([[0, 1, 1, 1, 2, 1, 7, nan]], "group 0 (row 0 of connected_crop_rows): row_information has no record for "
         "its connected row 1, crop row (1, 7)", (1.0, 7.0), 1),
    ],
)
def test_missing_records(groups, message, crop_row, connected):
    with pytest.raises(MissingRecordError) as raised:
        rowmerge.merge(np.array(groups), POINTS, RECORDS, tolerance=0.25, threads=2)
    error = raised.value
    assert (str(error), error.group, error.crop_row, error.connected) == (message, len(groups) - 1, crop_row,
                                                                          connected)


class FakeEngine:
    """Stands in for rowmerge._engine: returns `outcome` or raises it."""

    def __init__(self, outcome):
        self.outcome = outcome

    def merge(self, *args, **kwargs):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


def engine_failure(kind, **fields):
    failure = {"kind": kind, "group": 3, "table": "row_information", "column": None, "crop_row": (1.0, 2.0),
               "connected": None, "message": "..."}
    return None, None, {**failure, **fields}, np.empty(0, np.int64), 0, 0, None


@pytest.mark.parametrize(
    "outcome, error, message",
    [
        (engine_failure("column_missing", table="connected_crop_rows", column=7, crop_row=None), TableShapeError,
         "group 3 (row 3 of connected_crop_rows): connected_crop_rows has no column 7, which the merge reads"),
        (engine_failure("anchor_count"), AnchorCountError, "group 3 (row 3 of connected_crop_rows): row_information "
         "needs exactly 11 columns (identifiers in columns 0 and 4, three anchors (x, y) in columns 5 to 10) for a "
         "group with connected rows"),
        (engine_failure("gone_wrong"), MergeError, "the merge failed, and its failure could not be read: "),
        (RuntimeError("no thread"), MergeError, "the merge failed unexpectedly: no thread"),
        ((None, None), MergeError, "the merge failed unexpectedly: not enough values to unpack"),
    ],
    ids=["column", "anchors", "unknown kind", "runtime error", "bad outcome"],
)
def test_engine_failures_become_merge_errors(monkeypatch, outcome, error, message):
    monkeypatch.setattr(rowmerge.api, "_engine", FakeEngine(outcome))
    with pytest.raises(MergeError) as raised:
        rowmerge.merge(GROUPS, POINTS, RECORDS, tolerance=0.25)
    assert type(raised.value) is error
    assert str(raised.value).startswith(message)
    if error is MergeError:
        assert raised.value.__cause__ is not None


@pytest.mark.parametrize("passed", [MemoryError(), KeyboardInterrupt()])
def test_memory_and_interrupts_pass_unchanged(monkeypatch, passed):
    monkeypatch.setattr(rowmerge.api, "_engine", FakeEngine(passed))
    with pytest.raises(type(passed)) as raised:
        rowmerge.merge(GROUPS, POINTS, RECORDS, tolerance=0.25)
    assert raised.value is passed


def test_a_loop_over_bad_inputs_goes_on():
    for error in (TableShapeError, MissingRecordError, AnchorCountError):
        assert issubclass(error, MergeError) and rowmerge.errors.__dict__[error.__name__] is error
    assert issubclass(MergeError, Exception)
    outcomes = []
    for records in (RECORDS[:1], RECORDS[:, :9], RECORDS):
        try:
            outcomes.append(len(rowmerge.merge(GROUPS, POINTS, records, tolerance=0.25)))
        except Exception as error:  # noqa: BLE001 - the point of the test
            outcomes.append(type(error).__name__)
            copy = pickle.loads(pickle.dumps(error))
            assert (type(copy), str(copy), vars(copy)) == (type(error), str(error), vars(error))
    assert outcomes == ["MissingRecordError", "AnchorCountError", 4]


# --- the axis warning ---------------------------------------------------------------------


# Groups 2 to 5 of the axis table run along x or y; groups 0 and 1 diagonally.
@pytest.mark.parametrize(("group_count", "named"), [
    (3, "group 2 (crop row (2, 1)) meets"),
    (4, "group 2 (crop row (2, 1)) and 1 other group meet"),
    (6, "group 2 (crop row (2, 1)) and 3 other groups meet"),
])
def test_axis_parallel_warning_once_per_call(group_count, named):
    groups, points, records = axis_table()
    groups = groups[:group_count]
    with pytest.warns(AxisParallelWarning) as warned:
        merged = rowmerge.merge(groups, points, records, tolerance=0.5)
    # (The table also has points of no group and one-way links: those warn apart.)
    warned = [w for w in warned if w.category is AxisParallelWarning]
    assert [str(w.message) for w in warned] == [
        f"{named} a connected row exactly parallel to the x or the y axis: there the overlap test uses one "
        "fixed per-axis rule whatever the row's direction, and may remove points on the wrong side of the cut"]
    assert issubclass(AxisParallelWarning, UserWarning)
    assert warned[0].filename == __file__  # points at the caller
    assert np.array_equal(bits(merged), bits(expected_merge(groups, points, records, 0.5)))


def test_no_warning_for_rows_at_an_angle():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        field = rowmerge.make_field("field_medium")
        rowmerge.merge(field.connected_crop_rows, field.points_in_rows, field.row_information,
                       tolerance=field.tolerance)


# --- the package -----------------------------------------------------------------------------

LIGHTNESS = """
import sys
import rowmerge
loaded = lambda: [m for m in ("numpy", "pandas", "rowmerge._engine") if m in sys.modules]
print(loaded())
rowmerge.merge, rowmerge.merge_frame
print(loaded())
"""


def test_import_stays_light():
    out = subprocess.run([sys.executable, "-c", LIGHTNESS], env=child_env(), capture_output=True, text=True,
                         timeout=120)
    assert (out.returncode, out.stdout, out.stderr) == (0, "[]\n['numpy', 'rowmerge._engine']\n", "")


def test_documentation():
    assert "rowmerge.merge(connected_crop_rows" in rowmerge.__doc__
    for section in ("Parameters", "Returns", "Raises", "Warns", "return_index"):
        assert section in rowmerge.merge.__doc__
    assert set(rowmerge.__all__) <= set(dir(rowmerge))


def test_merge_frame_needs_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"^rowmerge.merge_frame needs pandas: pip install 'rowmerge\[pandas\]'"):
        rowmerge.merge_frame(None, None, None, tolerance=0.1)

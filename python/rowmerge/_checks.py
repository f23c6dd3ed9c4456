"""The checks :func:`rowmerge.merge` makes before any work.

Each check raises at the first problem it finds, naming the table, the row
and the column: ``TypeError`` / ``ValueError`` for bad argument values,
:class:`~rowmerge.errors.TableShapeError` for a table that lacks a column
the merge reads, :class:`~rowmerge.errors.AnchorCountError` for records
without exactly three anchors where a group needs them.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from ._table_layout import CONNECTED_ROW_COLUMNS, RECORD_COLUMNS
from .errors import AnchorCountError, TableShapeError

__all__ = [
    "RECORD_COLUMNS",
    "checked_tolerance",
    "checked_threads",
    "invalid_identifiers",
    "first_invalid_identifier",
    "check_identifiers",
    "check_tables",
]

Table = npt.NDArray[np.float64]

# The columns the merge reads in every row, and what they hold.
_GROUP_COLUMNS = {1: "the main row's first identifier", 2: "the main row's second identifier"}
_RECORD_IDENTIFIER_COLUMNS = {0: "the crop row's first identifier", 4: "the crop row's second identifier"}
_POINT_COLUMNS = {0: "the crop row's first identifier", 1: "the crop row's second identifier", 2: "x", 3: "y"}


def checked_tolerance(tolerance: object) -> float:
    """The tolerance as a float: a real number, finite and at least 0."""
    if isinstance(tolerance, bool) or not isinstance(tolerance, numbers.Real):
        raise TypeError(f"tolerance must be a real number, not {type(tolerance).__name__}")
    value = float(tolerance)
    if not (math.isfinite(value) and value >= 0.0):
        raise ValueError(f"tolerance must be a finite number of at least 0, not {value!r}")
    return value


def checked_threads(threads: object) -> int:
    """The worker count for the engine: 0 (its default) for None, else an integer of at least 1."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be an integer or None, not {type(threads).__name__}")
    count = int(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1 (or None for the default count), not {count}")
    return count


# Rows checked at a time: the temporaries of a block stay in the cache.
_BLOCK_ROWS = 1 << 16


def invalid_identifiers(values: Table) -> npt.NDArray[np.bool_]:
    """Where ``values`` are not whole numbers in [0, 2**32) (NaN and infinities included).

    A value is one exactly when it survives the round trip through uint32:
    whatever the cast makes of a value outside that type's range (NaN,
    negative, too large), no uint32 equals it.
    """
    with np.errstate(invalid="ignore"):
        invalid: npt.NDArray[np.bool_] = values.astype(np.uint32) != values
    return invalid


def first_invalid_identifier(values: Table) -> tuple[int, ...] | None:
    """The position (row, and column for a table) of the first value that is no identifier, in row order."""
    for start in range(0, len(values), _BLOCK_ROWS):
        invalid = invalid_identifiers(values[start:start + _BLOCK_ROWS])
        if invalid.any():
            at = np.unravel_index(int(np.argmax(invalid)), invalid.shape)
            return (start + int(at[0]), *(int(i) for i in at[1:]))
    return None


def check_identifiers(values: Table, describe: Callable[[int], str]) -> None:
    """Raises ValueError at the first value that is no crop-row identifier.

    ``describe(i)`` names the place of ``values[i]`` for the message.
    """
    at = first_invalid_identifier(values)
    if at is not None:
        _refuse_identifier(describe(at[0]), float(values[at[0]]))


def _refuse_identifier(place: str, value: float) -> None:
    raise ValueError(f"{place} is {value!r}: crop-row identifiers must be whole numbers in [0, 2**32)")


def _check_columns(table: Table, name: str, read: dict[int, str]) -> None:
    """Raises TableShapeError when ``table`` lacks one of the columns in ``read`` (column: what it holds)."""
    columns = table.shape[1]
    for column, meaning in read.items():
        if column >= columns:
            raise TableShapeError(f"{name} has {columns} column{'' if columns == 1 else 's'}; the merge reads "
                                  f"column {column} ({meaning})", table=name, column=column)


def _check_table_identifiers(table: Table, name: str, columns: tuple[int, int]) -> None:
    """Checks the identifiers in two columns of ``table`` (those it has), row by row."""
    present = [column for column in columns if column < table.shape[1]]
    if not present:
        return
    # A view when the columns are neighbours, else a copy (of a small table).
    values = table[:, present[0]:present[-1] + 1:present[-1] - present[0] or 1]
    at = first_invalid_identifier(values)
    if at is not None:
        row, column = at[0], present[at[1]]
        _refuse_identifier(f"{name}[{row}, {column}]", float(table[row, column]))


def _walk_connected_rows(groups: Table) -> npt.NDArray[np.bool_]:
    """Checks every group's list of connected rows; returns which groups have one.

    A list ends at the first NaN in a first-identifier column, or after four
    pairs. Both identifiers of every pair before its end must be crop-row
    identifiers, and must lie inside the table.
    """
    count, columns = groups.shape
    listing = np.ones(count, dtype=bool)  # groups whose list has not ended yet
    connected = np.zeros(count, dtype=bool)
    for first, second in CONNECTED_ROW_COLUMNS:
        if first >= columns:
            if listing.any():
                group = int(np.argmax(listing))
                raise TableShapeError(
                    f"connected_crop_rows has {columns} columns, so the list of connected rows of group {group} "
                    f"does not end: a NaN in column {first} would end it", table="connected_crop_rows",
                    column=first, group=group)
            break
        listing &= ~np.isnan(groups[:, first])
        if not listing.any():
            break
        if second >= columns:
            group = int(np.argmax(listing))
            raise TableShapeError(
                f"connected_crop_rows has {columns} columns, so the connected row that group {group} names in "
                f"column {first} lacks its second identifier (column {second})", table="connected_crop_rows",
                column=second, group=group)
        rows = np.flatnonzero(listing)
        for column in (first, second):
            at = first_invalid_identifier(groups[rows, column])
            if at is not None:
                row = int(rows[at[0]])
                _refuse_identifier(f"connected_crop_rows[{row}, {column}]", float(groups[row, column]))
        connected |= listing
    return connected


def check_tables(connected_crop_rows: Table, points_in_rows: Table, row_information: Table) -> None:
    """Checks the three tables' shapes and identifiers (see the module's docstring)."""
    if connected_crop_rows.shape[0] > 0:
        _check_columns(connected_crop_rows, "connected_crop_rows", _GROUP_COLUMNS)
        _check_columns(row_information, "row_information", _RECORD_IDENTIFIER_COLUMNS)
    if points_in_rows.shape[0] > 0:
        _check_columns(points_in_rows, "points_in_rows", _POINT_COLUMNS)

    _check_table_identifiers(connected_crop_rows, "connected_crop_rows", (1, 2))
    _check_table_identifiers(points_in_rows, "points_in_rows", (0, 1))
    _check_table_identifiers(row_information, "row_information", (0, 4))

    connected = _walk_connected_rows(connected_crop_rows)
    if connected.any() and row_information.shape[1] != RECORD_COLUMNS:
        group = int(np.argmax(connected))
        raise AnchorCountError(
            f"row_information has {row_information.shape[1]} columns; groups with connected rows (the first is "
            f"group {group}) need exactly {RECORD_COLUMNS}: identifiers in columns 0 and 4, three anchors (x, y) "
            f"in columns 5 to 10", group=group)

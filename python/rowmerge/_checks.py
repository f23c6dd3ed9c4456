"""The checks :func:`rowmerge.merge` makes before it calls the engine.

The arguments (``TypeError`` / ``ValueError`` for bad tolerances and thread
counts) and the tables' shapes (:class:`~rowmerge.errors.TableShapeError`
for a table that lacks a column the merge reads in every row). The values
are checked by the engine itself, in its pass over the tables.
"""

from __future__ import annotations

import math
import numbers

import numpy as np
import numpy.typing as npt

from ._table_layout import RECORD_COLUMNS
from .errors import TableShapeError

__all__ = [
    "RECORD_COLUMNS",
    "checked_tolerance",
    "checked_threads",
    "check_shapes",
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


def _check_columns(table: Table, name: str, read: dict[int, str]) -> None:
    """Raises TableShapeError when ``table`` lacks one of the columns in ``read`` (column: what it holds)."""
    columns = table.shape[1]
    for column, meaning in read.items():
        if column >= columns:
            raise TableShapeError(
                f"{name} has {columns} column{'' if columns == 1 else 's'}; the merge reads "
                f"column {column} ({meaning})",
                table=name,
                column=column,
            )


def check_shapes(connected_crop_rows: Table, points_in_rows: Table, row_information: Table) -> None:
    """Checks that each table has the columns the merge reads in every row.

    Only the shapes: every value is checked by the engine, in its own pass.
    """
    groups_shape, points_shape, records_shape = connected_crop_rows.shape, points_in_rows.shape, row_information.shape
    # The usual case at once; the checks below name what is missing.
    if ((groups_shape[1] >= 3 and records_shape[1] >= 5) or groups_shape[0] == 0) and (
        points_shape[1] >= 4 or points_shape[0] == 0
    ):
        return
    if connected_crop_rows.shape[0] > 0:
        _check_columns(connected_crop_rows, "connected_crop_rows", _GROUP_COLUMNS)
        _check_columns(row_information, "row_information", _RECORD_IDENTIFIER_COLUMNS)
    if points_in_rows.shape[0] > 0:
        _check_columns(points_in_rows, "points_in_rows", _POINT_COLUMNS)

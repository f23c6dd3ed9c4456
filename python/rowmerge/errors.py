"""The exceptions and warnings of :func:`rowmerge.merge` and :func:`rowmerge.merge_frame`.

Every failure of a merge raises a :class:`MergeError`, an ordinary
``Exception``, so that ``except Exception`` (or ``except rowmerge.MergeError``)
catches it::

    MergeError                 the merge cannot be done
    ├── TableShapeError        a table lacks a column that the merge reads
    ├── MissingRecordError     a crop row has no record in row_information
    ├── AnchorCountError       row_information without exactly 11 columns
    └── InvalidValueError      a cell the merge reads holds a value it cannot use
                               (also a ValueError)

Bad argument values (a NaN tolerance, a table that cannot be read as
float64) raise ``ValueError`` or ``TypeError`` before any work is done.

Warnings (all ``UserWarning``): :class:`AxisParallelWarning` says that a
junction runs exactly parallel to an axis, where the overlap test does not
follow the row's direction; :class:`OrphanPointsWarning` that points belong
to no group and are therefore not in the result; :class:`UnplacedPointsWarning`
that points have no finite x or y, so that no cut can place them;
:class:`OneWayLinkWarning` that a group names a connected row whose own group
does not name it back.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = [
    "MergeError",
    "TableShapeError",
    "MissingRecordError",
    "AnchorCountError",
    "InvalidValueError",
    "AxisParallelWarning",
    "OrphanPointsWarning",
    "UnplacedPointsWarning",
    "OneWayLinkWarning",
    "error_from_failure",
]


class MergeError(Exception):
    """The merge cannot be done with these tables.

    ``group`` is the index of the group (row of ``connected_crop_rows``) that
    the failure concerns, or None when it concerns the tables as a whole.
    """

    def __init__(self, message: str, *, group: int | None = None) -> None:
        super().__init__(message)
        self.group = group


class TableShapeError(MergeError):
    """A table lacks a column that the merge reads.

    ``table`` names the table (or DataFrame) and ``column`` the column it
    lacks: a number for an array, a name for a DataFrame.
    """

    def __init__(
        self, message: str, *, table: str | None = None, column: int | str | None = None, group: int | None = None
    ) -> None:
        super().__init__(message, group=group)
        self.table = table
        self.column = column


class MissingRecordError(MergeError):
    """A crop row of a group has no record in ``row_information``.

    ``group`` is the group's index, ``crop_row`` the crop row's two
    identifiers and ``connected`` which of the group's connected rows it is
    (0 to 3), or None for the group's main row.
    """

    def __init__(
        self,
        message: str,
        *,
        group: int | None = None,
        crop_row: tuple[float, float] | None = None,
        connected: int | None = None,
    ) -> None:
        super().__init__(message, group=group)
        self.crop_row = crop_row
        self.connected = connected


class AnchorCountError(MergeError):
    """``row_information`` does not have exactly 11 columns, and a group has connected rows.

    The overlap test reads three anchor points (six values, columns 5 to 10)
    from every record. ``table`` is ``"row_information"``; ``group`` the first
    group with a connected row.
    """

    def __init__(self, message: str, *, table: str = "row_information", group: int | None = None) -> None:
        super().__init__(message, group=group)
        self.table = table


class InvalidValueError(MergeError, ValueError):
    """A cell that the merge reads holds a value it cannot use.

    Crop-row identifiers must be whole numbers in [0, 2**32), and the
    anchors of every record that the merge reads must be finite. ``table``
    names the table, ``row`` and ``column`` the cell (numbers for arrays;
    :func:`rowmerge.merge_frame` and the command line name the frame's index
    label and column, or the file's line), ``value`` is the value found
    there. The first offending cell is named: tables in the order
    connected_crop_rows, row_information, points_in_rows, lowest row first.
    """

    def __init__(
        self,
        message: str,
        *,
        table: str | None = None,
        row: Any = None,
        column: Any = None,
        value: Any = None,
        group: int | None = None,
    ) -> None:
        super().__init__(message, group=group)
        self.table = table
        self.row = row
        self.column = column
        self.value = value


class AxisParallelWarning(UserWarning):
    """A junction runs exactly parallel to the x or the y axis.

    When a junction's cut point and near anchor share an x or a y coordinate,
    the per-axis overlap test does not follow the direction of the row: one
    fixed rule applies, which can remove points on the wrong side of the cut.
    Rows at any angle to the axes, as real fields are, do not meet this.
    """


class OrphanPointsWarning(UserWarning):
    """Points whose crop row is the main row of no group: they are not in the result.

    ``count`` is the number of such points.
    """

    def __init__(self, message: str, count: int = 0) -> None:
        super().__init__(message)
        self.count = count


class UnplacedPointsWarning(UserWarning):
    """Points whose x or y is NaN or infinite: no cut can place them.

    A detector writes NaN for a plant it saw but could not place. A NaN
    fails every overlap test (a segment with connected rows drops the
    point; a segment without keeps all its points), an infinity lies beyond
    every cut. ``count`` is the number of such points.
    """

    def __init__(self, message: str, count: int = 0) -> None:
        super().__init__(message)
        self.count = count


class OneWayLinkWarning(UserWarning):
    """A group names a connected row whose own group does not name the group's main row back.

    Then only one side of that overlap is cut: the other keeps the whole
    overlap. ``count`` is the number of such links, ``group`` the first
    group that has one.
    """

    def __init__(self, message: str, count: int = 0, group: int | None = None) -> None:
        super().__init__(message)
        self.count = count
        self.group = group


def crop_row_text(crop_row: tuple[float, float] | None) -> str:
    """'(1, 4)' for identifiers (1.0, 4.0)."""
    if crop_row is None:
        return "(unknown)"
    return "(" + ", ".join(f"{value:.17g}" for value in crop_row) + ")"


_ANCHOR_NAMES = {5: "start x", 6: "start y", 7: "end x", 8: "end y", 9: "middle x", 10: "middle y"}
_RECORD_COLUMNS = 11


def _invalid_value(failure: Mapping[str, Any], records: Any) -> InvalidValueError:
    table = str(failure["table"])
    row = int(failure["row"])
    column = int(failure["column"])
    value = float(failure["value"])
    place = f"{table}[{row}, {column}] is {value!r}"
    if failure["reason"] == "identifier":
        why = "crop-row identifiers must be whole numbers in [0, 2**32)"
    else:
        crop_row = None if records is None else (float(records[row, 0]), float(records[row, 4]))
        why = (
            f"the anchors of a record the merge reads must be finite numbers (the {_ANCHOR_NAMES[column]} of "
            f"crop row {crop_row_text(crop_row)})"
        )
    return InvalidValueError(f"{place}: {why}", table=table, row=row, column=column, value=value)


def error_from_failure(failure: Mapping[str, Any], groups: Any = None, records: Any = None) -> MergeError:
    """The exception for a failure reported by ``rowmerge._engine.merge``.

    ``groups`` and ``records`` (the tables merged, when given) let the
    message name the crop row concerned.
    """
    kind = failure["kind"]
    if kind == "invalid_value":
        return _invalid_value(failure, records)
    group = int(failure["group"])
    table = str(failure["table"])
    where = f"group {group} (row {group} of connected_crop_rows)"
    if kind == "list_not_ended":
        column = int(failure["column"])
        return TableShapeError(
            f"connected_crop_rows has {column} columns, so the list of connected rows of group {group} does not "
            f"end: a NaN in column {column} would end it",
            table="connected_crop_rows",
            column=column,
            group=group,
        )
    if kind == "pair_incomplete":
        column = int(failure["column"])
        return TableShapeError(
            f"connected_crop_rows has {column} columns, so the connected row that group {group} names in column "
            f"{column - 1} lacks its second identifier (column {column})",
            table="connected_crop_rows",
            column=column,
            group=group,
        )
    if kind == "anchor_count" and failure.get("column") is not None:
        columns = int(failure["column"])
        return AnchorCountError(
            f"row_information has {columns} column{'' if columns == 1 else 's'}; groups with connected rows (the "
            f"first is group {group}) need exactly {_RECORD_COLUMNS}: identifiers in columns 0 and 4, three "
            f"anchors (x, y) in columns 5 to 10",
            group=group,
        )
    if kind == "record_missing":
        crop_row = failure["crop_row"]
        connected = failure["connected"]
        row = "its main row" if connected is None else f"its connected row {connected}"
        return MissingRecordError(
            f"{where}: row_information has no record for {row}, crop row {crop_row_text(crop_row)}",
            group=group,
            crop_row=None if crop_row is None else (float(crop_row[0]), float(crop_row[1])),
            connected=connected,
        )
    if kind == "column_missing":
        column = failure["column"]
        return TableShapeError(
            f"{where}: {table} has no column {column}, which the merge reads", table=table, column=column, group=group
        )
    if kind == "anchor_count":
        return AnchorCountError(
            f"{where}: row_information needs exactly 11 columns (identifiers in columns 0 and 4, "
            f"three anchors (x, y) in columns 5 to 10) for a group with connected rows",
            table=table,
            group=group,
        )
    raise KeyError(f"unknown failure kind {kind!r}")

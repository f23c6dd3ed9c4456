"""Saying what the merge found in the user's terms: the frame, the index label, the column name.

``merge_frame`` and ``rowmerge.dask.merge`` build the module's three tables
from frames and merge them with the checked merge of ``rowmerge.merge``.
When that merge names a cell of its tables (``connected_crop_rows[3, 5]``,
as :class:`~rowmerge.InvalidValueError` does),
:class:`FrameCells` says which cell of which frame it came from, and
:func:`in_frame_terms` raises the same exception class naming that cell
instead; warnings are re-issued the same way.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .errors import (
    InvalidValueError,
    MissingRecordError,
    OneWayLinkWarning,
    OrphanPointsWarning,
    UnplacedPointsWarning,
    crop_row_text,
)

__all__ = ["Cell", "FrameCells", "label_text", "invalid_value", "in_frame_terms", "restate_warnings", "restated"]

#: Why a value is refused, by what the cell holds.
IDENTIFIER_REASON = "crop-row identifiers must be whole numbers in [0, 2**32)"
ANCHOR_REASON = "a segment's anchors must be finite numbers"
POSITION_REASON = "x and y must be finite numbers"
MISSING_REASON = "a missing value is never read as a number"


def label_text(label: object) -> str:
    """An index label as a message shows it: 1, not np.int64(1); 'a' with its quotes."""
    return repr(label.item() if isinstance(label, np.generic) else label)


@dataclass(frozen=True)
class Cell:
    """One cell of a user's frame: the frame's name, the row's index label, the column's label."""

    table: str
    row: Any
    column: Any
    reason: str

    def text(self) -> str:
        return f"{self.table} row {label_text(self.row)} column {label_text(self.column)}"


@dataclass
class FrameCells:
    """Where each cell of the module's three tables came from in the user's frames.

    ``points_index`` and ``segments_index`` are the frames' index labels by
    position; ``link_rows[g, k]`` the position in ``links_index`` of the link
    that fills the ``k``-th connected row of group ``g`` (group ``g`` is
    segment ``g``); the ``*_columns`` give the user's column label of each of
    our columns (for points: crop_row, segment, x, y; for segments:
    crop_row, segment and the six anchors; for links: crop_row, segment,
    linked_crop_row, linked_segment).
    """

    points_index: Sequence[Any] = ()
    points_columns: Sequence[Any] = ("crop_row", "segment", "x", "y")
    segments_index: Sequence[Any] = ()
    segments_columns: Sequence[Any] = ()
    links_index: Sequence[Any] = ()
    links_columns: Sequence[Any] = ()
    link_rows: np.ndarray = field(default_factory=lambda: np.empty((0, 4), dtype=np.int64))
    #: (crop_row, segment) of every segment, for warnings.
    segment_keys: np.ndarray = field(default_factory=lambda: np.empty((0, 2)))

    def cell(self, table: str, row: int, column: int) -> Cell | None:
        """The user's cell behind ``table[row, column]`` (array terms), or None when there is none."""
        if table == "points_in_rows" and 0 <= column < 4 and row < len(self.points_index):
            reason = IDENTIFIER_REASON if column < 2 else POSITION_REASON
            return Cell("points", self.points_index[row], self.points_columns[column], reason)
        if table == "row_information" and row < len(self.segments_index):
            ours = {0: 0, 4: 1, **{5 + k: 2 + k for k in range(6)}}.get(column)
            if ours is None:
                return None
            reason = IDENTIFIER_REASON if ours < 2 else ANCHOR_REASON
            return Cell("segments", self.segments_index[row], self.segments_columns[ours], reason)
        if table == "connected_crop_rows" and row < len(self.segments_index):
            if column in (1, 2):
                return Cell("segments", self.segments_index[row], self.segments_columns[column - 1], IDENTIFIER_REASON)
            if 3 <= column <= 10:
                link = int(self.link_rows[row, (column - 3) // 2])
                if link >= 0:
                    return Cell(
                        "links", self.links_index[link], self.links_columns[2 + (column - 3) % 2], IDENTIFIER_REASON
                    )
        return None


def _array_cell(error: Exception) -> tuple[str, int, int, Any] | None:
    """(table, row, column, value) of an error about one cell of the module's tables."""
    if (
        isinstance(error, InvalidValueError)
        and isinstance(error.row, (int, np.integer))
        and isinstance(error.column, (int, np.integer))
    ):
        return str(error.table), int(error.row), int(error.column), error.value
    return None


def _value_text(value: Any) -> str:
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return "missing"
    if isinstance(value, np.generic):
        value = value.item()
    return repr(value)


def invalid_value(cell: Cell, value: Any) -> InvalidValueError:
    """The error for a value the merge cannot use, in the user's terms."""
    text = _value_text(value)
    reason = MISSING_REASON if text == "missing" else cell.reason
    return InvalidValueError(
        f"{cell.text()} is {text}: {reason}", table=cell.table, row=cell.row, column=cell.column, value=value
    )


def in_frame_terms(error: Exception, cells: FrameCells) -> Exception:
    """``error`` restated for the user's frames, or ``error`` itself when it names none of their cells."""
    found = _array_cell(error)
    if found is not None:
        table, row, column, value = found
        cell = cells.cell(table, row, column)
        if cell is not None:
            return invalid_value(cell, value)
        return error
    if isinstance(error, MissingRecordError) and error.group is not None and error.connected is not None:
        group, connected = int(error.group), int(error.connected)
        if group < len(cells.link_rows) and cells.link_rows[group, connected] >= 0:
            link = cells.links_index[int(cells.link_rows[group, connected])]
            translated = MissingRecordError(
                f"links row {label_text(link)} names segment {crop_row_text(error.crop_row)}, which segments "
                f"does not list",
                crop_row=error.crop_row,
            )
            translated.table = "links"  # type: ignore[attr-defined]
            translated.row = link  # type: ignore[attr-defined]
            return translated
    return error


def _segment_text(cells: FrameCells, group: int) -> str:
    if group < len(cells.segment_keys):
        return f"segment {crop_row_text(tuple(cells.segment_keys[group]))}"
    return "a segment"


def restated(message: Warning, cells: FrameCells) -> Warning:
    """The merge's warning ``message`` in the terms of the frames ``cells`` describes."""
    return _restated(message, cells)[0]


def _restated(message: Warning, cells: FrameCells) -> tuple[Warning, type[Warning]]:
    if isinstance(message, OrphanPointsWarning):
        count = message.count
        points = "point belongs" if count == 1 else "points belong"
        return OrphanPointsWarning(
            f"{count} {points} to no segment that segments lists; they are not in the result", count=count
        ), OrphanPointsWarning
    if isinstance(message, UnplacedPointsWarning):
        count = message.count
        points = "point of points has" if count == 1 else "points of points have"
        return UnplacedPointsWarning(
            f"{count} {points} a NaN or infinite x or y, which says nothing of where the plant stood against a "
            f"cut: a NaN fails every overlap test (a segment with links drops it), an infinity lies beyond every "
            f"cut",
            count=count,
        ), UnplacedPointsWarning
    if isinstance(message, OneWayLinkWarning) and message.group is not None:
        group = int(message.group)
        label = cells.segments_index[group] if group < len(cells.segments_index) else group
        others = "" if message.count <= 1 else f" ({message.count} such links in all)"
        warning = OneWayLinkWarning(
            f"{_segment_text(cells, group)} (segments row {label_text(label)}) links to a segment that does not "
            f"link back: only its own side of that overlap is cut{others}",
            count=message.count,
            group=label,
        )
        return warning, OneWayLinkWarning
    return message, type(message)


# warnings.catch_warnings swaps process-wide state: two threads inside it at
# once would each restore the other's, and warnings would go to a list nobody
# reads any more. So one merge at a time collects its warnings.


def restate_warnings(
    notes: list[Warning],
    cells: Callable[[], FrameCells],
    stacklevel: int,
    dropped: tuple[type[Warning], ...] = (),
    into: list[Warning] | None = None,
) -> None:
    """Give the merge's warnings (handed back as ``notes``) again, in the user's terms.

    ``cells`` is called only when there is a warning to restate;
    ``stacklevel`` counts from the caller of this function's caller;
    warnings of the ``dropped`` categories are not given. With ``into``,
    the restated warnings are appended there instead of given (a caller
    that collects them, from many threads or processes, needs no
    process-wide catch_warnings).
    """
    kept = [note for note in notes if not isinstance(note, dropped)]
    if kept:
        where = cells()
        for note in kept:
            warning, category = _restated(note, where)
            if into is not None:
                into.append(warning)
            else:
                warnings.warn(warning, category, stacklevel=stacklevel + 2)

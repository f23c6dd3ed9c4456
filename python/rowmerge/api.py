"""``rowmerge.merge``: merging overlapping crop-row segments held in arrays."""

from __future__ import annotations

import warnings
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from . import _engine
from ._checks import check_shapes, checked_threads, checked_tolerance
from ._conversion import float64_table
from .errors import (
    AxisParallelWarning,
    MergeError,
    OneWayLinkWarning,
    OrphanPointsWarning,
    UnplacedPointsWarning,
    crop_row_text,
    error_from_failure,
)

__all__ = ["merge"]

Table = npt.NDArray[np.float64]
Index = npt.NDArray[np.int64]


@overload
def merge(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    *,
    tolerance: float,
    threads: int | None = ...,
    progress: bool = ...,
    return_index: Literal[False] = ...,
) -> Table: ...


@overload
def merge(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    *,
    tolerance: float,
    threads: int | None = ...,
    progress: bool = ...,
    return_index: Literal[True],
) -> tuple[Table, Index]: ...


def merge(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    *,
    tolerance: float,
    threads: int | None = None,
    progress: bool = False,
    return_index: bool = False,
) -> Table | tuple[Table, Index]:
    """Merge overlapping crop-row segments: keep each overlap's points once.

    Every group (a row of ``connected_crop_rows``) takes the points of its
    main crop row and lets each connected crop row cut away the points that
    lie in their overlap. A crop row is named by two identifiers, whole
    numbers in [0, 2**32). Columns are counted from 0.

    Parameters
    ----------
    connected_crop_rows
        One row per group. Column 0 is free (not read); columns 1 and 2 name
        the group's main row; columns 3 and 4, 5 and 6, 7 and 8, 9 and 10
        name up to four connected rows. NaN in the first column of a pair
        ends the list (the columns after it are not read).
    points_in_rows
        One row per point: columns 0 and 1 name its crop row, 2 and 3 are
        its x and y; further columns (confidence, time, ...) are carried
        along unchanged.
    row_information
        One record per crop row: columns 0 and 4 name it, columns 1 to 3
        are free, columns 5 to 10 are its three anchors (x, y): start, end
        and middle. Exactly 11 columns when any group has a connected row.
    tolerance
        Margin of the overlap test, per axis, in the units of x and y:
        a finite number of at least 0.
    threads
        Number of worker threads; None takes the default (the processors
        available to the process, or ``RAYON_NUM_THREADS``).
    progress
        Draw a progress line on standard error while merging, when it is a
        colour-capable terminal (not when ``NO_COLOR`` is set or ``TERM`` is
        unset or ``dumb``).
    return_index
        Also return the row number in ``points_in_rows`` of every result row.

    Each table may be any array-like (ndarray, nested lists, ...) whose
    values float64 holds exactly: floats, booleans and integers up to 2**53
    are converted; complex numbers, strings, objects, dates and integers that
    would be rounded are refused.

    Returns
    -------
    numpy.ndarray or (numpy.ndarray, numpy.ndarray)
        The surviving points: a new float64 array of whole rows of
        ``points_in_rows``, groups in order, each group's points in table
        order. With ``return_index``, also an int64 array ``index`` such that
        ``points_in_rows[index]`` equals the result: use it to carry along
        columns that are not numbers.

    Raises
    ------
    TypeError
        A table whose values have no exact float64 form, or an argument of
        the wrong type.
    ValueError
        A tolerance that is NaN, infinite or negative, a thread count below
        1, or a table that is not two-dimensional. Raised before any work.
    InvalidValueError
        (a ``ValueError`` and a ``MergeError``) a crop-row identifier that is
        not a whole number in [0, 2**32), or a NaN or infinite anchor of a
        record the merge reads. Attributes ``table``, ``row``, ``column`` and
        ``value`` name the first such cell; found by the engine in its own
        pass over the tables, before any result is made.
    TableShapeError
        A table lacks a column that the merge reads.
    MissingRecordError
        A group's main or connected crop row has no record in
        ``row_information``.
    AnchorCountError
        ``row_information`` does not have 11 columns although a group has
        connected rows.
    MergeError
        The base of the three above; anything unexpected from the engine is
        raised as a MergeError too, with the original as its ``__cause__``.
    MemoryError
        Tables too large to merge in memory.
    KeyboardInterrupt
        Ctrl-C during the merge, which stops within about 0.1 s.

    Warns
    -----
    AxisParallelWarning
        (a ``UserWarning``) when a junction runs exactly parallel to the x
        or the y axis: there the overlap test uses one fixed per-axis rule
        whatever the row's direction, and may remove points on the wrong side
        of the cut. One warning per call.
    OrphanPointsWarning
        when points belong to no group (their crop row is the main row of no
        group): they are not in the result. ``count`` says how many.
    UnplacedPointsWarning
        when points have a NaN or infinite x or y (a detector's "seen but
        not placed"): a NaN fails every overlap test. ``count`` says how many.
    OneWayLinkWarning
        when a group names a connected row whose own group does not name it
        back: only one side of that overlap is cut.

    Examples
    --------
    >>> merged = rowmerge.merge(groups, points, records, tolerance=0.02)
    >>> merged, index = rowmerge.merge(groups, points, records, tolerance=0.02,
    ...                                return_index=True)
    """
    rows, index = run_merge(
        connected_crop_rows, points_in_rows, row_information, tolerance, threads, progress, True, return_index, 3
    )
    if return_index:
        return rows, index  # type: ignore[return-value]
    return rows  # type: ignore[return-value]


_FLOAT64 = np.dtype(np.float64)
_INFINITY = float("inf")


def run_merge(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    tolerance: object,
    threads: object,
    progress: object,
    rows: bool,
    index: bool,
    stacklevel: int,
) -> tuple[Table | None, Index | None]:
    """Converts the arguments, merges in the engine's checked pass, and raises or warns as :func:`merge` documents.

    ``rows`` and ``index`` say which outputs to make; ``stacklevel`` is that
    of the warnings, counted from this function. Every value check runs in
    the engine, while it reads the tables anyway; only the shapes are
    checked here. Called once per merge, by every door: kept lean, with
    whatever is unusual in functions of its own.
    """
    groups = connected_crop_rows
    if not (type(groups) is np.ndarray and groups.ndim == 2 and groups.dtype is _FLOAT64):
        groups = float64_table(groups, "connected_crop_rows")
    points = points_in_rows
    if not (type(points) is np.ndarray and points.ndim == 2 and points.dtype is _FLOAT64):
        points = float64_table(points, "points_in_rows")
    records = row_information
    if not (type(records) is np.ndarray and records.ndim == 2 and records.dtype is _FLOAT64):
        records = float64_table(records, "row_information")
    if not (type(tolerance) is float and 0.0 <= tolerance < _INFINITY):
        tolerance = checked_tolerance(tolerance)
    thread_count = 0 if threads is None else checked_threads(threads)
    check_shapes(groups, points, records)

    try:
        outcome = _engine.merge(
            groups,
            points,
            records,
            tolerance=tolerance,
            threads=thread_count,
            progress=bool(progress),
            rows=rows,
            index=index,
            checked=True,
        )
        merged, row_index, failure, axis_parallel, orphans, unplaced, one_way = outcome
    except MemoryError:
        raise
    except Exception as error:
        raise MergeError(f"the merge failed unexpectedly: {error}") from error
    if failure is not None or orphans or unplaced or one_way is not None or len(axis_parallel):
        _raise_or_warn(groups, records, failure, axis_parallel, orphans, unplaced, one_way, stacklevel + 1)
    return merged, row_index


def _raise_or_warn(
    groups: Table,
    records: Table,
    failure: Any,
    axis_parallel: Index,
    orphans: int,
    unplaced: int,
    one_way: tuple[int, int] | None,
    stacklevel: int,
) -> None:
    """Raises the merge's failure, or gives its warnings (``stacklevel`` counted from here)."""
    if failure is not None:
        try:
            failure_error = error_from_failure(failure, groups, records)
        except Exception as unreadable:
            raise MergeError(f"the merge failed, and its failure could not be read: {failure!r}") from unreadable
        raise failure_error
    if len(axis_parallel):
        _warn_axis_parallel(groups, axis_parallel, stacklevel + 1)
    if orphans:
        warn_orphans(orphans, stacklevel + 1)
    if unplaced:
        warn_unplaced(unplaced, stacklevel + 1)
    if one_way is not None:
        warn_one_way_links(groups, *one_way, stacklevel=stacklevel + 1)


def warn_orphans(count: int, stacklevel: int) -> None:
    """Warns that ``count`` points belong to no group."""
    warnings.warn(
        OrphanPointsWarning(
            f"{count} point{'' if count == 1 else 's'} of points_in_rows belong{'s' if count == 1 else ''} to no group "
            f"(the crop row is the main row of no row of connected_crop_rows): not in the result",
            count,
        ),
        stacklevel=stacklevel,
    )


def warn_unplaced(count: int, stacklevel: int) -> None:
    """Warns that ``count`` points have no finite x or y."""
    warnings.warn(
        UnplacedPointsWarning(
            f"{count} point{'' if count == 1 else 's'} of points_in_rows {'has' if count == 1 else 'have'} a NaN or "
            f"infinite x or y, which says nothing of where the plant stood against a cut: a NaN fails every overlap "
            f"test (a segment with connected rows drops it), an infinity lies beyond every cut",
            count,
        ),
        stacklevel=stacklevel,
    )


def warn_one_way_links(groups: Table, count: int, first: int, *, stacklevel: int) -> None:
    """Warns that ``count`` links, the first in group ``first``, are not linked back."""
    crop_row = (float(groups[first, 1]), float(groups[first, 2]))
    others = "" if count == 1 else f" ({count} such links in all)"
    warnings.warn(
        OneWayLinkWarning(
            f"group {first} (crop row {crop_row_text(crop_row)}) links to a crop row whose own group does not link "
            f"back{others}: only one side of that overlap is cut, the other keeps the whole overlap",
            count,
            first,
        ),
        stacklevel=stacklevel,
    )


def _warn_axis_parallel(groups: Table, axis_parallel: Index, stacklevel: int) -> None:
    first = int(axis_parallel[0])
    count = len(axis_parallel)
    crop_row = (float(groups[first, 1]), float(groups[first, 2]))
    others = "" if count == 1 else f" and {count - 1} other group{'' if count == 2 else 's'}"
    verb = "meets" if count == 1 else "meet"
    warnings.warn(
        f"group {first} (crop row {crop_row_text(crop_row)}){others} {verb} a connected row exactly parallel to "
        f"the x or the y axis: there the overlap test uses one fixed per-axis rule whatever the row's "
        f"direction, and may remove points on the wrong side of the cut",
        AxisParallelWarning,
        stacklevel=stacklevel,
    )

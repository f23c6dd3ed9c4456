"""The merge for points in a Dask DataFrame, on one machine's cores or on a cluster.

``pip install 'rowmerge[dask]'`` installs Dask, distributed and pyarrow (``'rowmerge[geo-dask]'``
adds dask-geopandas and GeoPandas)::

    import rowmerge.dask

    kept = rowmerge.dask.merge(points, segments, links, tolerance=0.02)
    kept.to_parquet("merged/")          # or kept.compute() when it fits in memory

Points may also be a dask-geopandas GeoDataFrame with Point geometry, as
:func:`rowmerge.merge_frame` takes a GeoDataFrame: the result is then a
dask-geopandas GeoDataFrame with the same geometry column and CRS.

Why it can be split: a point's fate depends only on its own crop row's
group (its segment's anchors and the anchors of the segments linked to it),
never on other points.  So every partition of the points is merged on its
own, with the small tables of segments and links sent once to every worker,
and the surviving rows of all partitions together are the surviving rows of
the whole table.  Partitions may split the points any way at all, also in
the middle of a segment.

Order: within a partition the surviving rows come group by group, each
group's rows in table order, as :func:`rowmerge.merge` orders them.  When the
partitions are in table order, the rows of every group therefore stay in
table order in the result too; the groups of different partitions are not
sorted against each other.  Where two groups share a main crop row (possible
in the module's own layout only), each would collect that row's points once
per group, and the copies of different partitions would interleave: such
tables are refused.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import replace
from typing import Any

import numpy as np

from ._conversion import float64_table
from ._frame_terms import FrameCells
from ._optional import import_optional
from ._table_layout import POINT_COLUMNS
from .errors import AxisParallelWarning, OneWayLinkWarning
from .formats.columns import parse_columns
from .frame import (
    FROM_GEOMETRY,
    SmallTables,
    check_dtype,
    merge_tables,
    point_labels,
    point_table,
    refuse_geographic,
    small_tables,
    user_column,
)

__all__ = ["merge", "POINT_COLUMNS"]

#: How the refusal of a geographic CRS suggests projecting a Dask frame (it has no estimate_utm_crs).
_PROJECT_POINTS = "points.to_crs(points.partitions[0].compute().estimate_utm_crs())"


def _require_dask() -> Any:
    return import_optional(
        "dask.dataframe", lambda _: ImportError("rowmerge.dask needs Dask: pip install 'rowmerge[dask]'")
    )


def _as_tables(segments: Any, links: Any, mapping: Mapping[str, str]) -> SmallTables:
    """The groups and records every partition is merged with, from either layout; refuse a mix."""
    import pandas as pd

    if isinstance(segments, pd.DataFrame) and (links is None or isinstance(links, pd.DataFrame)):
        refuse_geographic(segments, "segments")
        refuse_geographic(links, "links")
        return small_tables(segments, links, mapping)
    if isinstance(segments, np.ndarray) and isinstance(links, np.ndarray):
        row_information = float64_table(segments, "row_information")
        connected_crop_rows = float64_table(links, "connected_crop_rows")
        _refuse_shared_main_rows(connected_crop_rows)
        return SmallTables(connected_crop_rows, row_information, FrameCells())
    raise TypeError(
        "segments and links must both be pandas DataFrames (one row per segment; one row per "
        "link) or both NumPy arrays (row_information and connected_crop_rows), not "
        f"{type(segments).__name__} and {type(links).__name__}"
    )


def _refuse_shared_main_rows(connected_crop_rows: np.ndarray) -> None:
    if connected_crop_rows.ndim != 2 or connected_crop_rows.shape[1] < 3 or not len(connected_crop_rows):
        return  # the merge on the client says what is wrong with the table
    main = connected_crop_rows[:, 1:3]
    _, first, counts = np.unique(main, axis=0, return_index=True, return_counts=True)
    if (counts > 1).any():
        row = main[first[np.argmax(counts > 1)]]
        groups = np.flatnonzero((main == row).all(axis=1))
        raise ValueError(
            f"groups {int(groups[0])} and {int(groups[1])} of connected_crop_rows share the main crop row "
            f"({row[0]:g}, {row[1]:g}): each would keep that row's points once, and merged partition by "
            "partition their copies would interleave; give every group its own main crop row"
        )


def _point_cells(tables: SmallTables, part: Any, labels: dict[str, Any]) -> FrameCells:
    return replace(
        tables.cells,
        points_index=part.index,
        points_columns=[user_column(part, labels[name]) for name in POINT_COLUMNS],
    )


def checked_point_labels(meta: Any, mapping: Mapping[str, str]) -> dict[str, Any]:
    """The label of the points' column for each of ours, as :func:`rowmerge.merge_frame` finds them
    (x and y from Point geometry when a GeoDataFrame has no such columns); refuses a geographic
    CRS and columns whose dtype holds no numbers. ``meta`` is an empty frame of the points' columns."""
    refuse_geographic(meta, "points", _PROJECT_POINTS)
    labels = point_labels(meta, mapping)
    for name in POINT_COLUMNS:
        if labels[name] is not FROM_GEOMETRY:
            check_dtype(meta[labels[name]].dtype, "points", labels[name])
    return labels


def checked_tables(
    meta: Any,
    labels: dict[str, Any],
    segments: Any,
    links: Any,
    mapping: Mapping[str, str],
    *,
    tolerance: float,
    threads: int | None,
    stacklevel: int,
) -> SmallTables:
    """The small tables every partition is merged with, with every check of them and of the
    tolerance run once, by a merge without points; their warnings are given here (``stacklevel``
    counted from the caller)."""
    tables = _as_tables(segments, links, mapping)
    merge_tables(
        tables,
        np.empty((0, 4)),
        _point_cells(tables, meta, labels),
        tolerance=tolerance,
        threads=threads,
        progress=False,
        stacklevel=stacklevel + 1,
    )
    return tables


def merge_partition(
    part: Any,
    tables: SmallTables,
    labels: dict[str, Any],
    tolerance: float,
    threads: int | None,
    collected: list[Warning] | None = None,
) -> Any:
    """The surviving rows of one partition, every column kept.

    The warnings about points are given, or with ``collected`` appended
    there; those about segments and links were given once, on the client.
    """
    table = point_table(part, labels)
    index = merge_tables(
        tables,
        table,
        _point_cells(tables, part, labels),
        tolerance=tolerance,
        threads=threads,
        progress=False,
        stacklevel=3,
        dropped=(AxisParallelWarning, OneWayLinkWarning),
        collected=collected,
    )
    return part.iloc[index]


def _merge_partition(
    part: Any, tables: SmallTables, labels: dict[str, Any], tolerance: float, threads: int | None
) -> Any:
    """One partition's task."""
    try:
        return merge_partition(part, tables, labels, tolerance, threads)
    except Exception as error:
        # Raised in the user's terms already: the scheduler shows this line, not the merge's insides.
        raise error.with_traceback(None) from None


def merge(
    points: Any,
    segments: Any,
    links: Any,
    *,
    tolerance: float,
    columns: Mapping[str, str] | str | None = None,
    threads: int | None = 1,
) -> Any:
    """Merge the points of a Dask DataFrame; return the surviving points as a Dask DataFrame.

    Parameters
    ----------
    points
        A ``dask.dataframe.DataFrame``, partitioned any way you like, with
        columns ``crop_row``, ``segment``, ``x`` and ``y`` (as
        :func:`rowmerge.merge_frame` names them; ``columns`` maps them to
        yours). Columns are read by name; only a frame whose column labels
        are the integers 0, 1, 2, ... (made from an array) is read by
        position, its first four columns in that order. Every other column
        is carried along. Or a ``dask_geopandas.GeoDataFrame`` with Point
        geometry, whose coordinates are then x and y unless it has ``x`` and
        ``y`` columns too; a geographic CRS (longitude, latitude) is refused.
    segments, links
        Small tables, sent once to every worker: pandas DataFrames in the
        layout of :func:`rowmerge.merge_frame` (one row per segment; one row
        per link), or NumPy arrays in the module's own layout:
        ``segments`` = ``row_information`` and ``links`` =
        ``connected_crop_rows``, as :func:`rowmerge.merge` takes them.
    tolerance
        Margin of the overlap test, in the units of x and y.
    columns
        Your names for ours, as for :func:`rowmerge.merge_frame` and the
        command line: a mapping or text such as ``"x=easting,y=northing"``.
    threads
        Worker threads of each partition's merge (default 1: Dask runs
        partitions in parallel already); None for one per processor.

    Returns
    -------
    dask.dataframe.DataFrame or dask_geopandas.GeoDataFrame
        The surviving rows with every column, dtype and index label (and
        the geometry column and CRS of a GeoDataFrame), one
        output partition per input partition (divisions unknown). Rows of
        one group keep their table order when the partitions are in table
        order; see the module's documentation.

    Raises
    ------
    ValueError, TypeError, rowmerge.MergeError
        At once, before any partition is computed, for a bad tolerance, a
        missing column or one that holds no numbers, a geographic CRS, bad
        segments or links,
        and (module layout) groups that share a main crop row. The checks of
        the small tables run here, on a merge without points; the
        ``AxisParallelWarning`` and ``OneWayLinkWarning`` are given here once.
        A value that only a partition holds (an identifier that is no whole
        number, a missing value) raises
        :class:`rowmerge.InvalidValueError` when that partition is computed,
        naming the point's index label and your column name.

    Warns
    -----
    OrphanPointsWarning, UnplacedPointsWarning
        When a partition is computed, for its points whose segment is in no
        group (they are not in the result), or whose x or y is not finite.
        On a cluster they reach the worker's log, not the client.
    """
    dd = _require_dask()
    if not isinstance(points, dd.DataFrame):
        raise TypeError(f"points must be a dask DataFrame, not {type(points).__name__}")
    mapping = parse_columns(columns)
    meta = points._meta
    labels = checked_point_labels(meta, mapping)
    # Every check of the small tables and the tolerance, and their warnings, once, here.
    tables = checked_tables(meta, labels, segments, links, mapping, tolerance=tolerance, threads=threads, stacklevel=2)

    from dask.delayed import delayed

    shared = delayed(tables, pure=True)  # one key: sent to each worker once
    merged = points.map_partitions(
        _merge_partition, shared, labels, tolerance, threads, meta=meta, enforce_metadata=False, align_dataframes=False
    )
    return merged.clear_divisions()

"""The merge for points in a Dask DataFrame, on one machine's cores or on a cluster.

``pip install 'rowmerge[dask]'`` installs Dask, distributed and pyarrow::

    import rowmerge.dask

    kept = rowmerge.dask.merge(points, segments, links, tolerance=0.02)
    kept.to_parquet("merged/")          # or kept.compute() when it fits in memory

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

import warnings
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

from ._optional import import_optional
from ._table_layout import POINT_COLUMNS
from .errors import AxisParallelWarning

__all__ = ["merge", "POINT_COLUMNS"]


class _Tables(NamedTuple):
    """The small tables every partition is merged with, in one of two layouts."""

    layout: str  # "frames" (pandas segments and links) or "arrays" (row_information, connected_crop_rows)
    segments: Any
    links: Any
    columns: dict[str, str]


def _require_dask() -> Any:
    return import_optional(
        "dask.dataframe", lambda _: ImportError("rowmerge.dask needs Dask: pip install 'rowmerge[dask]'")
    )


def _point_names(points: Any, columns: Mapping[str, str]) -> list[str]:
    """The points' columns that hold crop row, segment, x and y: by name, else the first four."""
    wanted = [columns.get(name, name) for name in POINT_COLUMNS]
    present = list(points.columns)
    if all(name in present for name in wanted):
        return wanted
    if len(present) < 4:
        raise ValueError(
            f"points has {len(present)} columns; it needs {', '.join(wanted)} "
            "(or crop row, segment, x and y as its first four columns)"
        )
    return present[:4]


def _check_point_dtypes(meta: Any, names: list[str]) -> None:
    import pandas as pd

    for name in names:
        if not pd.api.types.is_numeric_dtype(meta[name].dtype):
            raise TypeError(f"points[{name!r}] has dtype {meta[name].dtype}; the merge needs numbers there")


def _as_tables(segments: Any, links: Any, columns: Mapping[str, str]) -> _Tables:
    """Recognise the layout of the small tables; refuse a mix."""
    import pandas as pd

    if isinstance(segments, pd.DataFrame) and (links is None or isinstance(links, pd.DataFrame)):
        return _Tables("frames", segments, links, dict(columns))
    if isinstance(segments, np.ndarray) and isinstance(links, np.ndarray):
        row_information = np.ascontiguousarray(segments, dtype=np.float64)
        connected_crop_rows = np.ascontiguousarray(links, dtype=np.float64)
        _refuse_shared_main_rows(connected_crop_rows)
        return _Tables("arrays", row_information, connected_crop_rows, dict(columns))
    raise TypeError(
        "segments and links must both be pandas DataFrames (the layout of "
        "rowmerge.merge_frame) or both NumPy arrays (row_information and "
        f"connected_crop_rows), not {type(segments).__name__} and {type(links).__name__}"
    )


def _refuse_shared_main_rows(connected_crop_rows: np.ndarray) -> None:
    if connected_crop_rows.ndim != 2 or connected_crop_rows.shape[1] < 3 or not len(connected_crop_rows):
        return  # rowmerge.merge says what is wrong with the table
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


def _merge_partition(part: Any, tables: _Tables, names: list[str], tolerance: float, threads: int | None) -> Any:
    """The surviving rows of one partition, every column kept."""
    import pandas as pd

    import rowmerge

    with warnings.catch_warnings():
        # Warned once, on the client, for the whole table (the warning depends on
        # segments and links only).
        warnings.simplefilter("ignore", AxisParallelWarning)
        if tables.layout == "arrays":
            table = (
                np.column_stack([part[name].to_numpy(dtype=np.float64) for name in names])
                if len(part)
                else np.empty((0, 4))
            )
            _, index = rowmerge.merge(
                tables.links, table, tables.segments, tolerance=tolerance, threads=threads, return_index=True
            )
        else:
            ours = [tables.columns.get(name, name) for name in POINT_COLUMNS]
            numbered = pd.DataFrame({our: part[name].to_numpy() for our, name in zip(ours, names, strict=True)})
            kept = rowmerge.merge_frame(
                numbered,
                tables.segments,
                tables.links,
                tolerance=tolerance,
                threads=threads,
                columns=tables.columns or None,
            )
            index = kept.index.to_numpy()
    return part.iloc[index]


def merge(
    points: Any,
    segments: Any,
    links: Any,
    *,
    tolerance: float,
    columns: Mapping[str, str] | None = None,
    threads: int | None = 1,
) -> Any:
    """Merge the points of a Dask DataFrame; return the surviving points as a Dask DataFrame.

    Parameters
    ----------
    points
        A ``dask.dataframe.DataFrame``, partitioned any way you like. Its
        columns ``crop_row``, ``segment``, ``x`` and ``y`` (as
        :func:`rowmerge.merge_frame` names them; ``columns`` maps them to
        yours) or, when it lacks one of them, its first four columns in that
        order. Every other column is carried along.
    segments, links
        Small tables, sent once to every worker: pandas DataFrames in the
        layout of :func:`rowmerge.merge_frame` (one row per segment; one row
        per link), or NumPy arrays in the module's own layout:
        ``segments`` = ``row_information`` and ``links`` =
        ``connected_crop_rows``, as :func:`rowmerge.merge` takes them.
    tolerance
        Margin of the overlap test, in the units of x and y.
    columns
        Your names for ours, as for :func:`rowmerge.merge_frame`.
    threads
        Worker threads of each partition's merge (default 1: Dask runs
        partitions in parallel already); None for one per processor.

    Returns
    -------
    dask.dataframe.DataFrame
        The surviving rows with every column, dtype and index label, one
        output partition per input partition (divisions unknown). Rows of
        one group keep their table order when the partitions are in table
        order; see the module's documentation.

    Raises
    ------
    ValueError, TypeError, rowmerge.MergeError
        At once, before any partition is computed, for a bad tolerance or
        column, bad segments or links, and (module layout) groups that share
        a main crop row. The checks of the small tables run here, on a
        merge without points; an ``AxisParallelWarning`` is given here once.
    """
    dd = _require_dask()
    if not isinstance(points, dd.DataFrame):
        raise TypeError(f"points must be a dask DataFrame, not {type(points).__name__}")
    mapping = dict(columns or {})
    tables = _as_tables(segments, links, mapping)
    names = _point_names(points, mapping)
    meta = points._meta
    _check_point_dtypes(meta, names)
    # Every check of the small tables and the tolerance, and the axis warning, once, here.
    _merge_on_client(meta, tables, names, tolerance, threads)

    from dask.delayed import delayed

    shared = delayed(tables, pure=True)  # one key: sent to each worker once
    merged = points.map_partitions(
        _merge_partition, shared, names, tolerance, threads, meta=meta, enforce_metadata=False, align_dataframes=False
    )
    return merged.clear_divisions()


def _merge_on_client(meta: Any, tables: _Tables, names: list[str], tolerance: float, threads: int | None) -> None:
    """Merge no points with the small tables: their problems, and the axis warning, show here."""
    import rowmerge

    empty = np.empty((0, 4))
    if tables.layout == "arrays":
        rowmerge.merge(tables.links, empty, tables.segments, tolerance=tolerance, threads=threads)
        return
    import pandas as pd

    ours = [tables.columns.get(name, name) for name in POINT_COLUMNS]
    frame = pd.DataFrame(
        {our: meta[name].iloc[:0].to_numpy(dtype=np.float64) for our, name in zip(ours, names, strict=True)}
    )
    rowmerge.merge_frame(
        frame, tables.segments, tables.links, tolerance=tolerance, threads=threads, columns=tables.columns or None
    )

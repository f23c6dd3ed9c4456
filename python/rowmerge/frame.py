"""``rowmerge.merge_frame``: the merge for pandas DataFrames and GeoPandas GeoDataFrames.

pandas is imported when the function is first called (``pip install
'rowmerge[pandas]'``, or ``'rowmerge[geo]'`` for GeoDataFrames).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ._checks import check_identifiers
from ._conversion import float64_values
from ._optional import import_optional, is_geo_frame
from ._table_layout import (
    ANCHOR_NAMES,
    CONNECTED_ROW_COLUMNS,
    FIRST_ANCHOR_COLUMN,
    LINK_COLUMNS,
    MAIN_ROW_COLUMNS,
    MAX_CONNECTED_ROWS,
    POINT_COLUMNS,
    RECORD_COLUMNS,
    RECORD_ID_COLUMNS,
    SEGMENT_COLUMNS,
)
from .api import run_merge
from .errors import TableShapeError

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["merge_frame", "frame_arrays", "MergeArrays", "DEFAULT_COLUMNS"]

#: The column names merge_frame reads, by default (``columns=`` maps them to others): the
#: points' (whose crop_row / segment pair the segments and links share), the segments'
#: anchors and the links'.
DEFAULT_COLUMNS: dict[str, str] = {name: name for name in (*POINT_COLUMNS, *SEGMENT_COLUMNS, *LINK_COLUMNS)}

Values = npt.NDArray[np.float64]


def _import_pandas() -> Any:
    return import_optional(
        "pandas",
        lambda _: ImportError(
            "rowmerge.merge_frame needs pandas: pip install 'rowmerge[pandas]' (or 'rowmerge[geo]' for GeoDataFrames)"
        ),
    )


def _label(label: object) -> str:
    """An index label as a message shows it: 1, not np.int64(1); 'a' with its quotes."""
    return repr(label.item() if isinstance(label, np.generic) else label)


def _column_names(columns: Mapping[str, str] | None) -> dict[str, str]:
    names = dict(DEFAULT_COLUMNS)
    if columns is None:
        return names
    unknown = sorted(set(columns) - set(names))
    if unknown:
        raise ValueError(
            f"columns names no column merge_frame reads: {', '.join(map(repr, unknown))} "
            f"(known: {', '.join(DEFAULT_COLUMNS)})"
        )
    names.update(columns)
    return names


def _refuse_geographic(frame: Any, name: str) -> None:
    crs = getattr(frame, "crs", None) if is_geo_frame(frame) else None
    if crs is not None and crs.is_geographic:
        raise ValueError(
            f"{name} has a geographic CRS ({crs.name}): its x and y are degrees, and a tolerance in degrees is "
            f"never what is meant. Project it to a CRS in metres first, e.g. "
            f"{name}.to_crs({name}.estimate_utm_crs())"
        )


def _values(pd: Any, frame: Any, frame_name: str, column: str) -> Values:
    """One column of a frame as float64, converted exactly."""
    if column not in frame.columns:
        raise TableShapeError(
            f"{frame_name} has no column {column!r} (merge_frame's columns= can name another)",
            table=frame_name,
            column=column,
        )
    series = frame[column]
    name = f"{frame_name}[{column!r}]"
    if isinstance(series, pd.DataFrame):
        raise ValueError(f"{frame_name} has more than one column named {column!r}")
    dtype = series.dtype
    if not pd.api.types.is_numeric_dtype(dtype):
        raise TypeError(f"{name} has dtype {dtype}; merge_frame needs numbers there")
    if isinstance(dtype, np.dtype):
        return float64_values(series.to_numpy(), name)
    # A nullable extension type (Int64, Float64, boolean): missing values become NaN.
    if pd.api.types.is_integer_dtype(dtype):
        float64_values(series.dropna().to_numpy(dtype=dtype.numpy_dtype), name)
    return np.asarray(series.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64)


def _identifiers(pd: Any, frame: Any, frame_name: str, column: str) -> Values:
    values = _values(pd, frame, frame_name, column)
    check_identifiers(values, lambda i: f"{frame_name}[{column!r}] at index {_label(frame.index[i])}")
    return values


def _point_coordinates(pd: Any, points: Any, names: dict[str, str]) -> tuple[Values, Values]:
    if not is_geo_frame(points):
        return _values(pd, points, "points", names["x"]), _values(pd, points, "points", names["y"])
    try:
        geometry = points.geometry
    except AttributeError as error:
        raise ValueError("points is a GeoDataFrame without an active geometry column") from error
    kinds = geometry.geom_type.to_numpy()
    not_points = np.flatnonzero(kinds != "Point")
    if len(not_points):
        at = int(not_points[0])
        kind = "no" if kinds[at] is None else f"a {kinds[at]}"
        raise ValueError(
            f"points has {kind} geometry at index {_label(points.index[at])}; merge_frame needs one Point per row"
        )
    return (np.asarray(geometry.x.to_numpy(), dtype=np.float64), np.asarray(geometry.y.to_numpy(), dtype=np.float64))


def _record_table(pd: Any, segments: Any, names: dict[str, str]) -> tuple[Values, Any]:
    """row_information for the segments, and the index of their (crop_row, segment) keys."""
    crop_row = _identifiers(pd, segments, "segments", names["crop_row"])
    segment = _identifiers(pd, segments, "segments", names["segment"])
    keys = pd.MultiIndex.from_arrays([crop_row, segment])
    duplicated = keys.duplicated()
    if duplicated.any():
        at = int(np.argmax(duplicated))
        first = int(np.argmax((crop_row == crop_row[at]) & (segment == segment[at])))
        raise ValueError(
            f"segments lists segment ({crop_row[at]:g}, {segment[at]:g}) twice, at index "
            f"{_label(segments.index[first])} and {_label(segments.index[at])}"
        )
    records = np.zeros((len(segments), RECORD_COLUMNS))
    records[:, RECORD_ID_COLUMNS[0]] = crop_row
    records[:, RECORD_ID_COLUMNS[1]] = segment
    for k, anchor in enumerate(ANCHOR_NAMES):
        records[:, FIRST_ANCHOR_COLUMN + k] = _values(pd, segments, "segments", names[anchor])
    return records, keys


def _group_table(pd: Any, links: Any, keys: Any, records: Values, names: dict[str, str]) -> Values:
    """connected_crop_rows: one group per segment, its links in table order."""
    count = len(records)
    groups = np.full((count, RECORD_COLUMNS), np.nan)
    groups[:, 0] = np.arange(count)
    for group_column, record_column in zip(MAIN_ROW_COLUMNS, RECORD_ID_COLUMNS, strict=True):
        groups[:, group_column] = records[:, record_column]
    if links is None or len(links) == 0:
        return groups

    ends = []
    for crop_row_name, segment_name in (LINK_COLUMNS[:2], LINK_COLUMNS[2:]):
        crop_row = _identifiers(pd, links, "links", names[crop_row_name])
        segment = _identifiers(pd, links, "links", names[segment_name])
        position = keys.get_indexer(pd.MultiIndex.from_arrays([crop_row, segment]))
        unknown = np.flatnonzero(position < 0)
        if len(unknown):
            at = int(unknown[0])
            raise ValueError(
                f"links at index {_label(links.index[at])} names segment ({crop_row[at]:g}, "
                f"{segment[at]:g}), which segments does not list"
            )
        ends.append(position)
    source, target = ends

    per_segment = np.bincount(source, minlength=count)
    crowded = np.flatnonzero(per_segment > MAX_CONNECTED_ROWS)
    if len(crowded):
        at = int(crowded[0])
        raise ValueError(
            f"segment ({records[at, 0]:g}, {records[at, 4]:g}) has {per_segment[at]} links; "
            f"the merge takes at most {MAX_CONNECTED_ROWS} per segment"
        )
    order = np.argsort(source, kind="stable")
    group = source[order]
    rank = np.arange(len(order)) - np.searchsorted(group, group, side="left")
    first, second = np.array(CONNECTED_ROW_COLUMNS).T
    groups[group, first[rank]] = records[target[order], RECORD_ID_COLUMNS[0]]
    groups[group, second[rank]] = records[target[order], RECORD_ID_COLUMNS[1]]
    return groups


class MergeArrays(NamedTuple):
    """The raw tables of :func:`rowmerge.merge` (points with four columns: crop row, segment, x, y)."""

    connected_crop_rows: Values
    points_in_rows: Values
    row_information: Values


def frame_arrays(
    points: pd.DataFrame,
    segments: pd.DataFrame,
    links: pd.DataFrame | None,
    *,
    columns: Mapping[str, str] | None = None,
) -> MergeArrays:
    """The raw tables that :func:`merge_frame` merges for these frames: one group per segment,
    its links in table order.

    Checks and raises as :func:`merge_frame` does (the merge's own checks aside).
    """
    pd = _import_pandas()
    names = _column_names(columns)
    for frame, frame_name in ((points, "points"), (segments, "segments"), (links, "links")):
        if not isinstance(frame, pd.DataFrame) and not (frame is None and frame_name == "links"):
            raise TypeError(f"{frame_name} must be a pandas DataFrame, not {type(frame).__name__}")
        _refuse_geographic(frame, frame_name)

    records, keys = _record_table(pd, segments, names)
    groups = _group_table(pd, links, keys, records, names)
    crop_row = _identifiers(pd, points, "points", names["crop_row"])
    segment = _identifiers(pd, points, "points", names["segment"])
    x, y = _point_coordinates(pd, points, names)
    return MergeArrays(groups, np.column_stack([crop_row, segment, x, y]), records)


def merge_frame(
    points: pd.DataFrame,
    segments: pd.DataFrame,
    links: pd.DataFrame | None,
    *,
    tolerance: float,
    threads: int | None = None,
    progress: bool = False,
    columns: Mapping[str, str] | None = None,
) -> pd.DataFrame:
    """Merge overlapping crop-row segments held in DataFrames: keep each overlap's points once.

    A crop row is detected piece by piece, as segments that overlap. Every
    segment loses the points that lie in its overlap with each segment it is
    linked to, so that every overlapping stretch survives once.

    Parameters
    ----------
    points
        One row per point, with columns ``crop_row`` and ``segment`` (the
        segment it belongs to: whole numbers in [0, 2**32)) and ``x``, ``y``;
        or a GeoDataFrame with Point geometry, whose coordinates are then x
        and y. Any other columns are carried along.
    segments
        One row per segment: ``crop_row``, ``segment`` and its three anchors
        ``start_x``, ``start_y``, ``end_x``, ``end_y``, ``mid_x``, ``mid_y``
        (start and end in the direction of travel, and a point in between).
    links
        One row per link between two segments: ``crop_row``, ``segment``,
        ``linked_crop_row``, ``linked_segment``; at most four per segment,
        used in table order. Any other columns (a ``group`` column, say) are
        ignored. A link cuts only the first segment's points: link both ways
        to trim both. None or an empty frame for no links.
    tolerance
        Margin of the overlap test, per axis, in the units of x and y (the
        CRS's units for a GeoDataFrame). A GeoDataFrame in a geographic CRS
        (longitude, latitude) is refused: a tolerance in degrees is never
        what is meant.
    threads, progress
        As for :func:`rowmerge.merge`.
    columns
        Other names for the columns above: ``{"x": "easting", "segment":
        "piece"}`` reads ``easting`` for x and ``piece`` for every
        ``segment`` column (the names of ``crop_row`` and ``segment`` are
        shared by the three frames).

    Returns
    -------
    pandas.DataFrame or geopandas.GeoDataFrame
        The surviving rows of ``points``, with every column, dtype, index
        label and the CRS kept: segments in the order of ``segments``, each
        segment's points in the order of ``points``. Points of a segment
        that ``segments`` does not list are not in it.

    Raises
    ------
    ImportError
        pandas is not installed.
    TypeError
        A frame that is not a DataFrame, or a column that does not hold
        numbers (or numbers float64 cannot hold exactly).
    ValueError
        A geographic CRS, geometry that is not a Point, an identifier that
        is not a whole number in [0, 2**32), a segment listed twice, a link
        to a segment that ``segments`` does not list, more than four links
        for a segment, and the bad tolerances and thread counts that
        :func:`rowmerge.merge` refuses.
    TableShapeError
        A frame lacks a column (``column`` is its name).

    Other exceptions and the ``AxisParallelWarning`` are those of
    :func:`rowmerge.merge`.

    Examples
    --------
    >>> kept = rowmerge.merge_frame(points, segments, links, tolerance=0.02)
    """
    arrays = frame_arrays(points, segments, links, columns=columns)
    _, index = run_merge(*arrays, tolerance, threads, progress, False, True, 3)
    assert index is not None
    return points.iloc[index]

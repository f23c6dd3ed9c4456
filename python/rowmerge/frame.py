"""``rowmerge.merge_frame``: the merge for pandas DataFrames and GeoPandas GeoDataFrames.

The frames become the module's three tables (one group per segment, its
links in table order) and go through the checked merge of
:func:`rowmerge.merge`; what it refuses or warns about is said again in the
frames' terms (:mod:`rowmerge._frame_terms`). ``rowmerge.dask`` builds its
tables with the same functions.

pandas is imported when the function is first called (``pip install
'rowmerge[pandas]'``, or ``'rowmerge[geo]'`` for GeoDataFrames).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from enum import Enum
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ._checks import RECORD_COLUMNS
from ._conversion import CellProblem, exact_float64
from ._frame_terms import Cell, FrameCells, in_frame_terms, invalid_value, label_text, restate_warnings
from ._optional import import_optional, is_geo_frame
from .api import run_merge
from .errors import MergeError, MissingRecordError, TableShapeError
from .formats.columns import REQUIRED_COLUMNS, parse_columns, positional_names

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["merge_frame", "frame_arrays", "MergeArrays", "DEFAULT_COLUMNS"]

#: The column names merge_frame reads, by default (``columns=`` maps them to others).
DEFAULT_COLUMNS: dict[str, str] = {
    # points (and the crop_row / segment pair of segments and links)
    "crop_row": "crop_row",
    "segment": "segment",
    "x": "x",
    "y": "y",
    # segments: the three anchors
    "start_x": "start_x",
    "start_y": "start_y",
    "end_x": "end_x",
    "end_y": "end_y",
    "mid_x": "mid_x",
    "mid_y": "mid_y",
    # links
    "linked_crop_row": "linked_crop_row",
    "linked_segment": "linked_segment",
}

_ANCHOR_NAMES = REQUIRED_COLUMNS["segments"][2:]
_MAX_LINKS = 4
_IDENTIFIERS = "crop-row identifiers must be whole numbers in [0, 2**32)"


class _StandIn(Enum):
    GEOMETRY = "the geometry"


#: Marks a column that the frame's geometry stands in for (an enum member: it keeps its identity when
#: pickled to a worker process, and Dask can name a task that holds it).
FROM_GEOMETRY = _StandIn.GEOMETRY

Values = npt.NDArray[np.float64]


def _import_pandas() -> Any:
    return import_optional(
        "pandas",
        lambda _: ImportError(
            "rowmerge.merge_frame needs pandas: pip install 'rowmerge[pandas]' (or 'rowmerge[geo]' for GeoDataFrames)"
        ),
    )


def refuse_geographic(frame: Any, name: str, example: str | None = None) -> None:
    """Refuses a GeoDataFrame in a geographic CRS; ``example`` shows how to project it (default:
    ``name.to_crs(name.estimate_utm_crs())``)."""
    crs = getattr(frame, "crs", None) if is_geo_frame(frame) else None
    if crs is not None and crs.is_geographic:
        example = example or f"{name}.to_crs({name}.estimate_utm_crs())"
        raise ValueError(
            f"{name} has a geographic CRS ({crs.name}): its x and y are degrees, and a tolerance in degrees is "
            f"never what is meant. Project it to a CRS in metres first, e.g. {example}"
        )


def has_default_labels(columns: Any) -> bool:
    """Whether a frame's column labels are the integers 0, 1, 2, ... (a frame made from an array)."""
    pd = _import_pandas()
    if not pd.api.types.is_integer_dtype(columns.dtype):
        return False
    return bool((columns.to_numpy() == np.arange(len(columns))).all())


def column_labels(
    frame: Any, table: str, mapping: Mapping[str, str], *, stand_ins: Sequence[str] = ()
) -> dict[str, Any]:
    """The label of the frame's column for each column of ours that ``table`` needs.

    Columns are found by name (ours, or the one ``mapping`` gives), or by
    position when the labels are the default integers. ``stand_ins`` are our
    columns that the frame's geometry provides when it lacks them: they map
    to :data:`FROM_GEOMETRY`. A frame that holds both our name and the
    name mapped to it, or one name twice, is refused.
    """
    if has_default_labels(frame.columns):
        width = len(frame.columns)
        try:
            names = positional_names(table, width, table)
        except ValueError as error:
            raise TableShapeError(str(error), table=table, column=width) from None
        return {ours: position for position, ours in enumerate(names) if ours in REQUIRED_COLUMNS[table]}
    present = list(frame.columns)
    labels: dict[str, Any] = {}
    for ours in REQUIRED_COLUMNS[table]:
        theirs = mapping.get(ours, ours)
        if theirs != ours and theirs in present and ours in present:
            raise ValueError(
                f"{table}: column {theirs!r} is mapped to {ours!r}, but a column {ours!r} exists "
                f"too; rename one of them"
            )
        if theirs in present:
            if present.count(theirs) > 1:
                raise ValueError(f"{table} has more than one column named {theirs!r}")
            labels[ours] = theirs
        elif ours in stand_ins:
            labels[ours] = FROM_GEOMETRY
        else:
            how = f" (for {ours!r})" if theirs != ours else ""
            raise TableShapeError(
                f"{table} has no column {theirs!r}{how}; columns= can map another column to {ours!r}",
                table=table,
                column=theirs,
            )
    return labels


def check_dtype(dtype: Any, table: str, label: Any) -> None:
    """Refuses a column whose type holds no numbers (objects are looked at value by value)."""
    pd = _import_pandas()
    if pd.api.types.is_object_dtype(dtype):
        return
    if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_string_dtype(dtype):
        raise TypeError(f"{table} column {label_text(label)} has dtype {dtype}; the merge needs numbers there")


def column_values(frame: Any, table: str, label: Any, reason: str) -> Values:
    """One column of a frame as float64, converted exactly; refusals name the user's cell."""
    series = frame[label]
    check_dtype(series.dtype, table, label)
    try:
        return exact_float64(series, f"{table} column {label_text(label)}")
    except CellProblem as problem:
        cell = Cell(table, frame.index[problem.position[0]], label, reason)
        if problem.kind == "missing":
            raise invalid_value(cell, problem.value) from None
        raise TypeError(f"{cell.text()} is {problem.describe()}") from None


def _geometry_name(frame: Any) -> Any:
    return frame.geometry.name


def point_table(points: Any, labels: Mapping[str, Any]) -> Values:
    """The four columns the merge reads of every point: crop row, segment, x, y."""
    crop_row = column_values(points, "points", labels["crop_row"], _IDENTIFIERS)
    segment = column_values(points, "points", labels["segment"], _IDENTIFIERS)
    if labels["x"] is FROM_GEOMETRY or labels["y"] is FROM_GEOMETRY:
        x, y = _point_coordinates(points)
    else:
        x = column_values(points, "points", labels["x"], "x and y must be finite numbers")
        y = column_values(points, "points", labels["y"], "x and y must be finite numbers")
    if not len(points):
        return np.empty((0, 4))
    return np.column_stack([crop_row, segment, x, y])


def _point_coordinates(points: Any) -> tuple[Values, Values]:
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
            f"points has {kind} geometry at index {label_text(points.index[at])}; it needs one Point per row"
        )
    return (np.asarray(geometry.x.to_numpy(), dtype=np.float64), np.asarray(geometry.y.to_numpy(), dtype=np.float64))


def point_labels(points: Any, mapping: Mapping[str, str]) -> dict[str, Any]:
    stand_ins = ("x", "y") if is_geo_frame(points) else ()
    labels = column_labels(points, "points", mapping, stand_ins=stand_ins)
    if labels["x"] is FROM_GEOMETRY or labels["y"] is FROM_GEOMETRY:
        labels["x"] = labels["y"] = FROM_GEOMETRY
    return labels


def user_column(frame: Any, label: Any) -> Any:
    """The column label a message names: the geometry column for values taken from the geometry."""
    return _geometry_name(frame) if label is FROM_GEOMETRY else label


@dataclass(frozen=True)
class SmallTables:
    """connected_crop_rows and row_information built from segments and links, and where their cells came from."""

    groups: Values
    records: Values
    cells: FrameCells


def _segment_records(segments: Any, mapping: Mapping[str, str]) -> tuple[Values, Any, list[Any]]:
    """row_information for the segments; the frame read (anchors added from lines); our columns' labels."""
    geo = is_geo_frame(segments)
    labels = column_labels(segments, "segments", mapping, stand_ins=_ANCHOR_NAMES if geo else ())
    if any(labels[name] is FROM_GEOMETRY for name in _ANCHOR_NAMES):
        # The same reading of three-point lines as from files.
        from .formats.reading import _anchors_from_lines

        geometry_name = _geometry_name(segments)
        segments = _anchors_from_lines(segments, "segments")
        read = {name: name if label is FROM_GEOMETRY else label for name, label in labels.items()}
        shown = [geometry_name if label is FROM_GEOMETRY else label for label in labels.values()]
    else:
        read, shown = labels, list(labels.values())
    records = np.zeros((len(segments), RECORD_COLUMNS))
    records[:, 0] = column_values(segments, "segments", read["crop_row"], _IDENTIFIERS)
    records[:, 4] = column_values(segments, "segments", read["segment"], _IDENTIFIERS)
    for k, name in enumerate(_ANCHOR_NAMES):
        records[:, 5 + k] = column_values(
            segments, "segments", read[name], "a segment's anchors must be finite numbers"
        )
    return records, segments, shown


def _is_identifier(value: float) -> bool:
    return value == value and 0 <= value < 2.0**32 and value == int(value)


def _segment_positions(records: Values, segments: Any) -> dict[tuple[float, float], int]:
    """Each segment's key -> its position; a segment listed twice is refused."""
    positions: dict[tuple[float, float], int] = {}
    for at, key in enumerate(zip(records[:, 0].tolist(), records[:, 4].tolist(), strict=True)):
        first = positions.setdefault(key, at)
        if first != at and _is_identifier(key[0]) and _is_identifier(key[1]):
            raise ValueError(
                f"segments lists segment ({key[0]:g}, {key[1]:g}) twice, at index "
                f"{label_text(segments.index[first])} and {label_text(segments.index[at])}"
            )
    return positions


def _refuse_segment_identifiers(records: Values, cells: FrameCells) -> None:
    """Raises for the first segment whose identifiers are no identifiers (a link cannot name it)."""
    for row, key in enumerate(zip(records[:, 0].tolist(), records[:, 4].tolist(), strict=True)):
        for column, value in zip((0, 4), key, strict=True):
            if not _is_identifier(value):
                cell = cells.cell("row_information", row, column)
                assert cell is not None
                raise invalid_value(cell, value)


def small_tables(segments: Any, links: Any, mapping: Mapping[str, str]) -> SmallTables:
    """connected_crop_rows (one group per segment, its links in table order) and row_information."""
    records, segments, segment_columns = _segment_records(segments, mapping)
    count = len(records)
    groups = np.full((count, RECORD_COLUMNS), np.nan)
    groups[:, 0] = np.arange(count)
    groups[:, 1] = records[:, 0]
    groups[:, 2] = records[:, 4]
    link_rows = np.full((count, _MAX_LINKS), -1, dtype=np.int64)
    cells = FrameCells(
        segments_index=segments.index,
        segments_columns=segment_columns,
        link_rows=link_rows,
        segment_keys=records[:, [0, 4]],
    )
    if links is None or len(links) == 0:
        return SmallTables(groups, records, cells)

    labels = column_labels(links, "links", mapping)
    ends = [column_values(links, "links", labels[name], _IDENTIFIERS) for name in REQUIRED_COLUMNS["links"]]
    cells = replace(cells, links_index=links.index, links_columns=[labels[name] for name in REQUIRED_COLUMNS["links"]])
    blank = np.flatnonzero(np.isnan(ends[2]))
    if len(blank):
        # NaN ends a group's list in connected_crop_rows: a link to NaN would vanish.
        at = int(blank[0])
        raise invalid_value(Cell("links", links.index[at], labels["linked_crop_row"], _IDENTIFIERS), ends[2][at])
    positions = _segment_positions(records, segments)
    source = np.array(
        [positions.get(key, -1) for key in zip(ends[0].tolist(), ends[1].tolist(), strict=True)], dtype=np.int64
    )
    unknown = np.flatnonzero(source < 0)
    if len(unknown):
        _refuse_segment_identifiers(records, cells)
        at = int(unknown[0])
        for column, name in ((0, "crop_row"), (1, "segment")):
            if not _is_identifier(float(ends[column][at])):
                raise invalid_value(Cell("links", links.index[at], labels[name], _IDENTIFIERS), ends[column][at])
        error = MissingRecordError(
            f"links row {label_text(links.index[at])} names segment ({ends[0][at]:g}, {ends[1][at]:g}), which "
            f"segments does not list",
            crop_row=(float(ends[0][at]), float(ends[1][at])),
        )
        error.table, error.row = "links", links.index[at]  # type: ignore[attr-defined]
        raise error

    per_segment = np.bincount(source, minlength=count)
    crowded = np.flatnonzero(per_segment > _MAX_LINKS)
    if len(crowded):
        at = int(crowded[0])
        raise ValueError(
            f"segment ({records[at, 0]:g}, {records[at, 4]:g}) has {per_segment[at]} links; "
            f"the merge takes at most {_MAX_LINKS} per segment"
        )
    order = np.argsort(source, kind="stable")
    group = source[order]
    rank = np.arange(len(order)) - np.searchsorted(group, group, side="left")
    groups[group, 3 + 2 * rank] = ends[2][order]
    groups[group, 4 + 2 * rank] = ends[3][order]
    link_rows[group, rank] = order
    return SmallTables(groups, records, cells)


def merge_tables(
    tables: SmallTables,
    points: Values,
    cells: FrameCells,
    *,
    tolerance: object,
    threads: object,
    progress: bool,
    stacklevel: int,
    dropped: tuple[type[Warning], ...] = (),
    collected: list[Warning] | None = None,
) -> npt.NDArray[np.int64]:
    """The positions of the surviving points; errors and warnings in the user's terms.

    ``stacklevel`` is that of the warnings, counted from the caller of this
    function; warnings of the ``dropped`` categories are not given; with
    ``collected``, the others are appended there instead of given.
    """
    notes: list[Warning] = []
    try:
        _, index = run_merge(tables.groups, points, tables.records, tolerance, threads, progress, False, True, 2, notes)
    except (ValueError, MergeError) as error:
        translated = in_frame_terms(error, cells)
        if translated is error:
            raise
        raise translated from None
    restate_warnings(notes, lambda: cells, stacklevel, dropped, collected)
    assert index is not None
    return index


def merge_frame(
    points: pd.DataFrame,
    segments: pd.DataFrame,
    links: pd.DataFrame | None,
    *,
    tolerance: float,
    threads: int | None = None,
    progress: bool = False,
    columns: Mapping[str, str] | str | None = None,
) -> pd.DataFrame:
    """Merge overlapping crop-row segments held in DataFrames: keep each overlap's points once.

    A crop row is detected piece by piece, as segments that overlap. Every
    segment loses the points that lie in its overlap with each segment it is
    linked to, so that every overlapping stretch survives once.

    Columns are read by name. Only a frame whose column labels are the
    integers 0, 1, 2, ... (one made from an array) is read by position, in
    the order listed below (links: four columns, or five with a group
    first). Values are converted exactly as :func:`rowmerge.merge` converts
    them: nullable columns (``Int64``, ``Float64``, ...) are numbers too, and
    a missing value is refused, never read as a number.

    Parameters
    ----------
    points
        One row per point, with columns ``crop_row`` and ``segment`` (the
        segment it belongs to: whole numbers in [0, 2**32)) and ``x``, ``y``;
        or a GeoDataFrame with Point geometry, whose
        coordinates are then x and y unless it has ``x`` and ``y`` columns
        too. Any other columns are carried along.
    segments
        One row per segment: ``crop_row``, ``segment`` and its three anchors
        ``start_x``, ``start_y``, ``end_x``, ``end_y``, ``mid_x``, ``mid_y``
        (start and end in the direction of travel, and a point in between;
        finite numbers); or a GeoDataFrame whose geometry is a line of three
        points, start, middle and end, standing in for the anchor columns.
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
        Other names for the columns above, as the command line takes them:
        ``{"x": "easting", "segment": "piece"}`` or the text
        ``"x=easting,segment=piece"`` reads ``easting`` for x and ``piece``
        for every ``segment`` column (the names of ``crop_row`` and
        ``segment`` are shared by the three frames). A frame that has both
        our name and the name mapped to it is refused.

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
    rowmerge.InvalidValueError
        A value the merge cannot use: an identifier that is not a whole
        number in [0, 2**32), a NaN or infinite anchor, a missing value.
        ``table`` is the frame ("points", "segments", "links"), ``row`` the
        index label, ``column`` your column's name, ``value`` the value.
    rowmerge.MissingRecordError
        A link names a segment that ``segments`` does not list (``table`` is
        "links", ``row`` the link's index label).
    TableShapeError
        A frame lacks a column (``table`` is the frame, ``column`` the name
        looked for).
    ValueError
        A geographic CRS, geometry that is not a Point (or, for segments, a
        line of three points), a segment listed twice, more than four links
        for a segment, a column that is there twice or under both our name
        and the name mapped to it, an unknown name in ``columns``, and the
        bad tolerances and thread counts that :func:`rowmerge.merge`
        refuses.

    Warns
    -----
    rowmerge.OrphanPointsWarning
        Points of segments that ``segments`` does not list (``count``).
    rowmerge.UnplacedPointsWarning
        Points whose x or y is NaN or infinite (``count``): a NaN fails
        every overlap test, so a segment with links drops such a point.
    rowmerge.OneWayLinkWarning
        A segment links to one that does not link back (``group`` is the
        first such segment's index label).
    rowmerge.AxisParallelWarning
        As for :func:`rowmerge.merge`.

    Examples
    --------
    >>> kept = rowmerge.merge_frame(points, segments, links, tolerance=0.02)
    >>> kept = rowmerge.merge_frame(points, segments, links, tolerance=0.02, columns="x=easting,y=northing")
    """
    tables, table, cells = _frame_tables(points, segments, links, columns)
    index = merge_tables(tables, table, cells, tolerance=tolerance, threads=threads, progress=progress, stacklevel=2)
    return points.iloc[index]


def _frame_tables(
    points: Any, segments: Any, links: Any, columns: Mapping[str, str] | str | None
) -> tuple[SmallTables, Values, FrameCells]:
    """The small tables, the table of points and where their cells came from, checked as merge_frame checks."""
    pd = _import_pandas()
    mapping = parse_columns(columns)
    for frame, frame_name in ((points, "points"), (segments, "segments"), (links, "links")):
        if not isinstance(frame, pd.DataFrame) and not (frame is None and frame_name == "links"):
            raise TypeError(f"{frame_name} must be a pandas DataFrame, not {type(frame).__name__}")
        refuse_geographic(frame, frame_name)

    tables = small_tables(segments, links, mapping)
    labels = point_labels(points, mapping)
    table = point_table(points, labels)
    cells = replace(
        tables.cells,
        points_index=points.index,
        points_columns=[user_column(points, labels[name]) for name in ("crop_row", "segment", "x", "y")],
    )
    return tables, table, cells


class MergeArrays(NamedTuple):
    """The raw tables of :func:`rowmerge.merge` (points with four columns: crop row, segment, x, y)."""

    connected_crop_rows: Values
    points_in_rows: Values
    row_information: Values


def frame_arrays(
    points: Any, segments: Any, links: Any, *, columns: Mapping[str, str] | str | None = None
) -> MergeArrays:
    """The raw tables that :func:`merge_frame` merges for these frames: one group per segment,
    its links in table order. Checks and raises as :func:`merge_frame` does (the merge's own
    checks aside)."""
    tables, table, _ = _frame_tables(points, segments, links, columns)
    return MergeArrays(tables.groups, table, tables.records)

"""Reading the merge's tables from files of any supported format.

:func:`read_table` reads one table (points, segments or links) from one file
or layer, applies the user's column mapping and checks the columns the
merge needs; :func:`read_tables` reads all three, from one GeoPackage with
three layers or from a file per table, or the module's raw tables from an
``.npz``.  The functions keep no state and take plain arguments, so worker
processes can call them per file.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from .._optional import is_geo_frame
from .columns import POINT_XY, SEGMENT_ANCHORS, TABLES, parse_columns, parse_layers, to_our_names
from .errors import FormatError
from .layers import ArrayTables, FrameTables, LayerSource, Table
from .raw_tables import is_array_archive, read_array_tables
from .registry import format_of, handler_of, require

__all__ = ["read_table", "read_tables"]

StrPath = str | os.PathLike[str]
ColumnSpec = str | Mapping[str, str] | None


def _existing_file(path: StrPath, what: str) -> Path:
    path = Path(path)
    if not path.exists():
        raise FormatError(f"{what}: no such file")
    if path.is_dir():
        raise FormatError(f"{what}: a directory, not a file")
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise FormatError(f"{what}: {error.strerror or error}") from None
    return path


def _geometry_name(frame: Any) -> str | None:
    """The active geometry column of a GeoDataFrame, or None."""
    if not is_geo_frame(frame):
        return None
    name = frame.active_geometry_name
    return name if name in frame.columns else None


def _check_point_geometry(frame: Any, what: str) -> None:
    kinds = frame.geometry.geom_type
    wrong = kinds.notna() & (kinds != "Point")
    if wrong.any():
        position = int(wrong.to_numpy().argmax())
        raise FormatError(f"{what}: points need Point geometry; row {position} is a {kinds.iloc[position]}")


def _anchors_from_lines(frame: Any, what: str) -> Any:
    """Add the missing anchor columns of segments from their lines (start, middle, end)."""
    shapely = require("shapely", "geo", f"reading {what}")
    geometry = frame.geometry.to_numpy()
    kinds = frame.geometry.geom_type
    counts = shapely.get_num_coordinates(geometry)
    wrong = (kinds != "LineString").to_numpy() | (counts != 3)
    if wrong.any():
        row = int(wrong.argmax())
        found = kinds.iloc[row] if kinds.iloc[row] != "LineString" else f"line of {int(counts[row])} points"
        raise FormatError(
            f"{what}: row {row} has no anchor columns and its geometry is a "
            f"{found}; give start_x ... mid_y, or lines of three points "
            "(start, middle, end)"
        )
    xy = shapely.get_coordinates(geometry).reshape(len(frame), 3, 2)
    anchors = {
        "start_x": xy[:, 0, 0],
        "start_y": xy[:, 0, 1],
        "mid_x": xy[:, 1, 0],
        "mid_y": xy[:, 1, 1],
        "end_x": xy[:, 2, 0],
        "end_y": xy[:, 2, 1],
    }
    frame = frame.copy()
    for name, values in anchors.items():
        if name not in frame.columns:
            frame[name] = values
    return frame


def _plain(frame: Any) -> Any:
    """A GeoDataFrame's attribute columns as a DataFrame (the geometry dropped)."""
    name = _geometry_name(frame)
    if not is_geo_frame(frame):
        return frame
    pd = require("pandas", "pandas", "converting a table")
    return pd.DataFrame(frame.drop(columns=name) if name is not None else frame)


def read_table(path: StrPath, table: str = "points", *, columns: ColumnSpec = None, layer: str | None = None) -> Table:
    """Read one table from a file; return it with our column names and where it came from.

    ``table`` is "points", "segments" or "links"; ``columns`` the mapping of
    our names to the file's (a dict, or text such as ``"x=easting,y=northing"``);
    ``layer`` the GeoPackage layer or ``.npz`` array to read (by default the
    layer named after the table, or the file's only one).

    Points keep every column, their index and, from a GeoPackage, GeoJSON or
    GeoParquet file, their Point geometry and CRS (x and y then come from the
    geometry unless the file also has x and y columns).  Segments come back
    as a DataFrame with the eight anchor columns, taken from a line through
    start, middle and end when the file has geometry instead; links as a
    DataFrame of four columns plus ``group`` when present.  Problems raise
    :class:`FormatError` with a one-line message naming the table and file.
    """
    if table not in TABLES:
        raise ValueError(f"table must be one of {', '.join(TABLES)}, got {table!r}")
    mapping = parse_columns(columns)
    what = f"{table} ({os.fspath(path)})"
    file_format = format_of(path, table)
    source = _existing_file(path, what)
    if file_format.name == "npz" and layer is None and is_array_archive(source):
        raise FormatError(
            f"{what}: holds the module's raw tables (connected_crop_rows, "
            "points_in_rows, row_information); read it as a whole"
        )
    found = handler_of(file_format).read(source, table, layer=layer, what=what)
    frame = found.frame
    geometry = _geometry_name(frame) is not None
    if table == "points" and geometry:
        _check_point_geometry(frame, what)
    stand_ins = {"points": POINT_XY, "segments": SEGMENT_ANCHORS}.get(table, ()) if geometry else ()
    if found.positional:
        renamed: tuple[tuple[str, str], ...] = ()
    else:
        frame, renamed = to_our_names(frame, table, mapping, what, from_geometry=stand_ins)
    if table == "segments" and geometry:
        if any(name not in frame.columns for name in SEGMENT_ANCHORS):
            frame = _anchors_from_lines(frame, what)
        frame = _plain(frame)
    elif table == "links":
        frame = _plain(frame)
    layer_source = LayerSource(
        path=os.fspath(path),
        format=file_format.name,
        table=table,
        layer=found.layer,
        renamed=renamed,
        columns=tuple(str(c) for c in found.frame.columns),
        details=found.details,
    )
    return Table(frame, layer_source)


def read_tables(
    points: StrPath,
    segments: StrPath | None = None,
    links: StrPath | None = None,
    *,
    columns: ColumnSpec = None,
    layers: Mapping[str, str] | None = None,
) -> FrameTables | ArrayTables:
    """Read everything one merge needs.

    * An ``.npz`` holding the raw tables (``connected_crop_rows``,
      ``points_in_rows``, ``row_information``) given alone: the arrays, as
      :class:`ArrayTables` for ``rowmerge.merge``.
    * A GeoPackage given alone: its layers ``points``, ``segments`` and
      ``links`` (other names through ``layers``, table -> layer name).
    * Otherwise one file per table; a table left out is looked for in the
      points file when that is a GeoPackage.

    Frames come back as :class:`FrameTables` for ``rowmerge.merge_frame``,
    with our column names (``columns`` maps ours to the files') and the
    points' :class:`LayerSource`, which :func:`~rowmerge.formats.write_points`
    takes to write the surviving points in the input's own form.
    """
    layers = parse_layers(layers)
    if segments is None and links is None and not layers and is_array_archive(points):
        return read_array_tables(points)
    mapping = parse_columns(columns)
    given = {"points": points, "segments": segments, "links": links}
    paths: dict[str, StrPath] = {}
    points_format = format_of(points, "points")
    for name, path in given.items():
        if path is None:
            if not points_format.multi_table:
                raise FormatError(
                    f"{name}: not given, and the points file {os.fspath(points)} "
                    f"holds one table; give the {name} table's file too"
                )
            path = points
            # In the points' own file only the layer of that name will do.
            layers.setdefault(name, name)
        paths[name] = path
    tables = {name: read_table(paths[name], name, columns=mapping, layer=layers.get(name)) for name in TABLES}
    return FrameTables(
        points=tables["points"].frame,
        segments=tables["segments"].frame,
        links=tables["links"].frame,
        points_source=tables["points"].source,
        sources={name: os.fspath(p) for name, p in paths.items()},
    )

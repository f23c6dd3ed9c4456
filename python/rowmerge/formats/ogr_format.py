"""GeoPackage and GeoJSON through pyogrio (GDAL) and geopandas.

A GeoPackage may hold the three tables as layers named ``points``,
``segments`` and ``links`` (layers without geometry are plain tables), or a
single layer; a GeoJSON file holds one.  A layer is read as a GeoDataFrame
with its CRS, or as a DataFrame when it has no geometry.  GeoPackage feature
ids become the frame's index (named after the file's FID column), and are
written back as the output's feature ids.

On writing, the layer gets the input layer's name, geometry type and CRS;
field types follow the frame's dtypes (int32 stays a 32-bit integer field,
float32 a Float32 field), which are the types the input was read with.
"""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Any

from .._optional import is_geo_frame
from .errors import FormatError
from .file_layer import FileLayer
from .registry import require

__all__ = ["read", "write", "layer_names"]

_DRIVERS = {".gpkg": "GPKG", ".geojson": "GeoJSON"}


def _libraries(purpose: str) -> Any:
    require("pandas", "geo", purpose)
    require("geopandas", "geo", purpose)
    return require("pyogrio", "geo", purpose)


def _error_text(error: Exception) -> str:
    """GDAL's first sentence, without its advice on driver prefixes or the SQL it ran."""
    text = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
    text = re.sub(r"sqlite3_exec\(.*\) failed: ", "SQLite: ", text)
    return text.split(".; ")[0].split("; It might help")[0]


def layer_names(path: str | os.PathLike[str], what: str) -> list[str]:
    """Names of the layers of a GeoPackage or GeoJSON file."""
    pyogrio = _libraries(f"reading {os.fspath(path)}")
    try:
        return [str(name) for name, _ in pyogrio.list_layers(path)]
    except (pyogrio.errors.DataSourceError, OSError) as error:
        raise FormatError(f"{what}: not readable ({_error_text(error)})") from None


def _choose_layer(path: Path, table: str, layer: str | None, what: str) -> str:
    names = layer_names(path, what)
    if layer is not None:
        if layer not in names:
            raise FormatError(f"{what}: no layer {layer!r} (it has {', '.join(names) or 'none'})")
        return layer
    if table in names:
        return table
    if len(names) == 1:
        return names[0]
    raise FormatError(
        f"{what}: none of its layers ({', '.join(names) or 'none'}) is named {table!r}; name the layer to read"
    )


def read(path: Path, table: str, *, layer: str | None, what: str) -> FileLayer:
    pyogrio = _libraries(f"reading {os.fspath(path)}")
    name = _choose_layer(path, table, layer, what)
    try:
        info = pyogrio.read_info(path, layer=name)
        fid_column = info.get("fid_column") or None
        frame = pyogrio.read_dataframe(path, layer=name, fid_as_index=fid_column is not None)
    except (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError, OSError) as error:
        raise FormatError(f"{what}: layer {name!r} is not readable ({_error_text(error)})") from None
    if fid_column is not None:
        frame.index.name = fid_column
    details = {
        "crs": frame.crs.to_wkt() if is_geo_frame(frame) and frame.crs is not None else None,
        "geometry_type": info.get("geometry_type"),
        "geometry_name": info.get("geometry_name") or None,
        "fid_column": fid_column,
    }
    return FileLayer(frame, layer=name, details=details)


def write(frame: Any, path: Path, *, details: dict[str, Any] | None, layer: str | None) -> None:
    pyogrio = _libraries(f"writing {path.name}")
    details = details or {}
    driver = _DRIVERS[path.suffix.lower()]
    options: dict[str, Any] = {}
    fid_column = details.get("fid_column")
    if fid_column and frame.index.name == fid_column and driver == "GPKG":
        # The feature ids go back into the file's FID column.
        frame = frame.reset_index()
        options["layer_options"] = {"FID": fid_column}
    if is_geo_frame(frame):
        if frame.crs is None and details.get("crs"):
            frame = frame.set_crs(details["crs"])
        geometry_type = details.get("geometry_type")
        if geometry_type:
            options["geometry_type"] = geometry_type
        if details.get("geometry_name") and driver == "GPKG":
            options.setdefault("layer_options", {})["GEOMETRY_NAME"] = details["geometry_name"]
    try:
        pyogrio.write_dataframe(frame, path, layer=layer or "points", driver=driver, **options)
    except (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError) as error:
        raise OSError(f"GDAL could not write the layer ({_error_text(error)})") from error
    # GDAL reports some write failures only as warnings: check what reached the file.
    try:
        written = pyogrio.read_info(path, layer=layer or "points")["features"]
    except (pyogrio.errors.DataSourceError, pyogrio.errors.DataLayerError) as error:
        raise OSError(f"the written layer is not readable ({_error_text(error)})") from error
    if written != len(frame):
        raise OSError(f"the written layer holds {written} features instead of {len(frame)}")

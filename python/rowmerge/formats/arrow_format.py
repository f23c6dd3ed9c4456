"""Parquet and Arrow IPC (Feather) files through pyarrow; GeoParquet through geopandas.

A file with GeoParquet metadata (the ``geo`` key) is read as a GeoDataFrame
and written back by geopandas, which keeps its geometry encoding and CRS.
Any other file is read with pyarrow and converted with pandas; on writing,
every column the file had gets the Arrow type it had (in a GeoParquet file
too) (``string`` stays
``string``, a dictionary keeps its index width, timestamps their unit and
zone), a stored pandas index is stored again, and the file's own metadata
and Parquet compression codec are kept.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

from .._optional import is_geo_frame
from .errors import FormatError
from .file_layer import FileLayer
from .registry import require

__all__ = ["read", "write"]


def _is_parquet(path: Path) -> bool:
    return path.suffix.lower() in (".parquet", ".geoparquet")


def _stored_index(schema: Any) -> list[Any]:
    """The pandas index columns recorded in a schema (names, or range descriptions)."""
    pandas_metadata = schema.pandas_metadata or {}
    return list(pandas_metadata.get("index_columns", []))


def _geo_encoding(schema: Any) -> str:
    """The geometry encoding of GeoParquet metadata, as geopandas names it."""
    try:
        geo = json.loads(schema.metadata[b"geo"])
        column = geo["columns"][geo["primary_column"]]
        return "WKB" if str(column.get("encoding", "WKB")).upper() == "WKB" else "geoarrow"
    except (KeyError, ValueError, TypeError):
        return "WKB"


def read(path: Path, table: str, *, layer: str | None, what: str) -> FileLayer:
    purpose = f"reading {os.fspath(path)}"
    require("pandas", "arrow", purpose)
    pa = require("pyarrow", "arrow", purpose)
    parquet = _is_parquet(path)
    kind = "a Parquet file" if parquet else "an Arrow IPC (Feather) file"
    if layer is not None:
        raise FormatError(f"{what}: {kind} holds one table; it has no layer {layer!r}")
    try:
        if parquet:
            pq = require("pyarrow.parquet", "arrow", purpose)
            metadata = pq.read_metadata(path)
            schema = metadata.schema.to_arrow_schema()
            compression = (
                metadata.row_group(0).column(0).compression
                if metadata.num_row_groups and metadata.num_columns
                else None
            )
        else:
            with pa.memory_map(os.fspath(path)) as source:
                schema = pa.ipc.open_file(source).schema
            compression = None
        geo = bool(schema.metadata and b"geo" in schema.metadata)
        if geo:
            gpd = require("geopandas", "geo", f"{purpose} (it holds geometry)")
            frame = gpd.read_parquet(path) if parquet else gpd.read_feather(path)
        elif parquet:
            frame = pq.read_table(path).to_pandas()
        else:
            feather = require("pyarrow.feather", "arrow", purpose)
            frame = feather.read_table(path).to_pandas()
    except FormatError:
        raise
    except OSError as error:
        message = error.strerror or str(error).splitlines()[0]
        raise FormatError(f"{what}: not readable as {kind} ({message})") from None
    except (pa.ArrowException, ValueError) as error:
        raise FormatError(f"{what}: not readable as {kind} ({str(error).splitlines()[0]})") from None
    details = {"schema": schema, "index": _stored_index(schema), "geo": geo, "compression": compression}
    return FileLayer(frame, details=details)


def _keeps_index(frame: Any, details: dict[str, Any] | None) -> bool:
    """Whether the frame's index is stored as columns: as the input did, or when it is named."""
    if details is not None:
        # Index columns are listed by name; a RangeIndex as a description, kept when named.
        return any(
            isinstance(entry, str) or (isinstance(entry, dict) and entry.get("name"))
            for entry in details.get("index", [])
        )
    return any(name is not None for name in frame.index.names)


def _as_source_types(table: Any, schema: Any) -> Any:
    """Give every column that the source schema has the source's type; keep other metadata."""
    pa = require("pyarrow", "arrow", "writing an Arrow table")
    fields = []
    for field in table.schema:
        index = schema.get_field_index(field.name)
        fields.append(schema.field(index) if index >= 0 else field)
    metadata = dict(schema.metadata or {})
    metadata.pop(b"ARROW:schema", None)
    metadata.update(table.schema.metadata or {})  # the new pandas metadata
    target = pa.schema(fields, metadata=metadata)
    try:
        return table.cast(target)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
        raise FormatError(f"a column cannot be stored with the input's type ({str(error).splitlines()[0]})") from None


def _restore_source_types(pa: Any, path: Path, schema: Any, codec: str) -> None:
    """Give the columns of a GeoParquet file just written by GeoPandas the input's Arrow types.

    GeoPandas builds the Arrow table itself, through pandas, which may store a
    column in another type than the input had (pandas 2 writes its ``string``
    dtype as ``large_string`` whatever the input held). The file is read back
    and written once more only when a type differs; the GeoParquet metadata
    GeoPandas wrote (this file's bounding box, geometry types) is kept.
    """
    pq = require("pyarrow.parquet", "arrow", f"writing {path.name}")
    table = pq.read_table(path)
    typed = _as_source_types(table, schema)
    if not typed.schema.remove_metadata().equals(table.schema.remove_metadata()):
        pq.write_table(typed, path, compression=codec)


def write(frame: Any, path: Path, *, details: dict[str, Any] | None, layer: str | None) -> None:
    pa = require("pyarrow", "arrow", f"writing {path.name}")
    try:
        _write(pa, frame, path, details)
    except pa.ArrowException as error:
        if isinstance(error, OSError):
            raise  # the file system's failure: the safe output reports it
        raise FormatError(
            f"output {path.name}: the points cannot be stored as Arrow ({str(error).splitlines()[0]})"
        ) from None


def _write(pa: Any, frame: Any, path: Path, details: dict[str, Any] | None) -> None:
    purpose = f"writing {path.name}"
    parquet = _is_parquet(path)
    index = _keeps_index(frame, details)
    compression = (details or {}).get("compression") if parquet else None
    if compression is not None and str(compression).upper() == "UNCOMPRESSED":
        compression = "none"
    if is_geo_frame(frame):
        schema = (details or {}).get("schema")
        encoding = _geo_encoding(schema) if schema is not None and (details or {}).get("geo") else "WKB"
        if parquet:
            codec = (compression or "snappy").lower()
            frame.to_parquet(path, index=index, compression=codec, geometry_encoding=encoding)
            if schema is not None:
                _restore_source_types(pa, path, schema, codec)
        else:
            frame.to_feather(path, index=index)
        return
    table = pa.Table.from_pandas(frame, preserve_index=index)
    schema = (details or {}).get("schema")
    if schema is not None:
        table = _as_source_types(table, schema)
    if parquet:
        pq = require("pyarrow.parquet", "arrow", purpose)
        pq.write_table(table, path, compression=(compression or "snappy").lower())
    else:
        feather = require("pyarrow.feather", "arrow", purpose)
        feather.write_feather(table, path)

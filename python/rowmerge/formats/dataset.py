"""Partitioned Parquet and GeoParquet datasets: a folder of part files that together hold one table.

A dataset is what ``dask.dataframe.to_parquet`` and
``dask_geopandas.GeoDataFrame.to_parquet`` write (``part.0.parquet``,
``part.1.parquet``, ...; sub-folders are allowed): every Parquet file below
the folder is one part, in the order of their paths (numbers in names
compared as numbers, so ``part.10`` comes after ``part.9``).  Names that
start with ``.`` or ``_`` are not parts (``_metadata``, ``_SUCCESS``, hidden
files), as Arrow reads datasets too.

:func:`dataset_parts` lists the parts from their footers alone: the row
counts, and a check that every part has the first one's columns, types and
CRS, so that a dataset is refused before any part is read.  Each part is
then read and written by the file format's own reader and writer
(:mod:`rowmerge.formats.arrow_format`), one part per task, so a merged
dataset has the input's schema, compression, geometry encoding and CRS.
Folders named ``key=value`` (Hive-style partitioning, whose column lives in
the folder names rather than in the files) are refused.
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .errors import FormatError
from .registry import FORMATS, require

__all__ = ["DatasetPart", "is_dataset", "dataset_parts"]

StrPath = str | os.PathLike[str]

_PARQUET_SUFFIXES = FORMATS["parquet"].suffixes


@dataclass(frozen=True)
class DatasetPart:
    """One file of a dataset: its path relative to the dataset's folder, and its row count."""

    name: str
    rows: int


def is_dataset(path: StrPath) -> bool:
    """Whether ``path`` names a folder (read as a partitioned dataset)."""
    return os.path.isdir(path)


def _natural_key(name: str) -> list[Any]:
    return [int(piece) if piece.isdigit() else piece for piece in re.split(r"(\d+)", name)]


def _part_names(folder: Path) -> list[str]:
    shown = os.fspath(folder)
    names = []
    for root, folders, files in os.walk(folder):
        folders[:] = [f for f in folders if not f.startswith((".", "_"))]
        hive = [f for f in folders if "=" in f]
        if hive:
            raise FormatError(
                f"points dataset {shown}: folder {os.path.join(root, hive[0])} is a Hive-style partition "
                "(key=value); its column is in folder names, which are not read: give a dataset of plain part files"
            )
        for name in files:
            if name.startswith((".", "_")):
                continue
            relative = os.path.relpath(os.path.join(root, name), folder)
            if Path(name).suffix.lower() not in _PARQUET_SUFFIXES:
                raise FormatError(
                    f"points dataset {shown}: {relative} is not a Parquet file; a dataset folder holds "
                    f"Parquet parts only ({', '.join(_PARQUET_SUFFIXES)})"
                )
            names.append(relative)
    if not names:
        raise FormatError(f"points dataset {shown}: the folder holds no Parquet file")
    return sorted(names, key=_natural_key)


def _geo_columns(schema: Any) -> tuple[Any, ...]:
    """What GeoParquet metadata says of the geometry (primary column, each column's CRS), or ()."""
    metadata = schema.metadata or {}
    if b"geo" not in metadata:
        return ()
    try:
        geo = json.loads(metadata[b"geo"])
        columns = geo.get("columns", {})
        return (
            geo.get("primary_column"),
            tuple(sorted((name, json.dumps(column.get("crs"), sort_keys=True)) for name, column in columns.items())),
        )
    except (ValueError, AttributeError):
        return ("unreadable",)


def _logical(pa: Any, schema: Any) -> list[tuple[str, Any]]:
    """Each column's name and type, the 32- and 64-bit offset variants of a type taken as one
    (``string`` and ``large_string`` read as the same pandas dtype; writers choose either)."""
    large = {pa.large_string(): pa.string(), pa.large_binary(): pa.binary()}
    columns = []
    for field in schema:
        kind = field.type
        if pa.types.is_large_list(kind):
            kind = pa.list_(kind.value_type)
        columns.append((field.name, large.get(kind, kind)))
    return columns


def dataset_parts(folder: StrPath) -> list[DatasetPart]:
    """The parts of the dataset in ``folder``, in order, checked to hold one table.

    Raises :class:`FormatError` (one line, naming the folder and the part)
    for a folder without parts, a file that is not Parquet, an unreadable
    footer, or a part whose columns, types or CRS differ from the first
    part's (``string`` and ``large_string``, and the like, are one type:
    pandas reads them alike, and each part is written back with its own).
    """
    pq = require("pyarrow.parquet", "arrow", f"reading the dataset {os.fspath(folder)}")
    pa = require("pyarrow", "arrow", f"reading the dataset {os.fspath(folder)}")
    root = Path(folder)
    shown = os.fspath(folder)
    parts = []
    first: tuple[str, Any, tuple[Any, ...]] | None = None
    for name in _part_names(root):
        try:
            metadata = pq.read_metadata(root / name)
        except (OSError, pa.ArrowException) as error:
            message = str(error).splitlines()[0] if str(error) else type(error).__name__
            raise FormatError(f"points dataset {shown}: part {name} is not readable as Parquet ({message})") from None
        schema = metadata.schema.to_arrow_schema()
        geo = _geo_columns(schema)
        if first is None:
            first = (name, schema, geo)
        elif _logical(pa, schema) != _logical(pa, first[1]):
            raise FormatError(
                f"points dataset {shown}: part {name} has other columns or types than part {first[0]}; "
                "the parts of a dataset hold one table"
            )
        elif geo != first[2]:
            raise FormatError(
                f"points dataset {shown}: part {name} has another geometry column or CRS than part {first[0]}"
            )
        parts.append(DatasetPart(name, int(metadata.num_rows)))
    return parts

"""What a reader found out about a file, so that a writer can give the output the same form.

A :class:`LayerSource` travels with every table that was read: the file, its
format, the layer, the renames made by the column mapping and what the
format needs to write the same columns back (the Arrow schema, the CRS, the
CSV header, the NumPy layout).  It holds plain values and library objects
that pickle, so it can be sent to a worker process with the table.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["LayerSource", "Table", "FrameTables", "ArrayTables"]


@dataclass(frozen=True)
class LayerSource:
    """Where a table came from, and how to write a table of the same form.

    ``format`` is a name of :data:`rowmerge.formats.registry.FORMATS`;
    ``layer`` the GeoPackage layer or the ``.npz`` array(s) read;
    ``renamed`` the ``(ours, theirs)`` column renames made on reading;
    ``columns`` the file's own column names, in order.  ``details`` holds
    what the format's writer uses:

    * csv: ``header`` (whether the file had a header line);
    * parquet, feather: ``schema`` (the ``pyarrow.Schema`` read), ``index``
      (the pandas index columns stored in the file), ``compression``
      (Parquet's codec), ``geo`` (whether it held GeoParquet metadata);
    * gpkg, geojson: ``crs`` (WKT or ``None``), ``geometry_type``,
      ``geometry_name`` and ``fid_column`` (as the file names them);
    * npy, npz: ``layout`` ("matrix": one two-dimensional array;
      "structured": one array of records; "columns": one array per column),
      ``dtype`` (of the matrix or the records) and ``key`` (of the matrix in
      an ``.npz``), ``compressed``.
    """

    path: str
    format: str
    table: str
    layer: str | None = None
    renamed: tuple[tuple[str, str], ...] = ()
    columns: tuple[str, ...] = ()
    details: dict[str, Any] = field(default_factory=dict, compare=False, hash=False)


@dataclass(frozen=True)
class Table:
    """One table read from a file: ``frame`` with our column names, and its ``source``."""

    frame: pd.DataFrame
    source: LayerSource


@dataclass(frozen=True)
class FrameTables:
    """The three tables of a merge as frames with our column names (``rowmerge.merge_frame``)."""

    points: pd.DataFrame
    segments: pd.DataFrame
    links: pd.DataFrame
    #: How to write surviving points in the form of the input points.
    points_source: LayerSource
    #: File of each table.
    sources: dict[str, str]


@dataclass(frozen=True)
class ArrayTables:
    """The three raw tables of the module's own layout (``rowmerge.merge``), from an ``.npz``.

    ``tolerance`` is the scalar stored in the archive, if any.
    """

    connected_crop_rows: np.ndarray
    points_in_rows: np.ndarray
    row_information: np.ndarray
    tolerance: float | None
    #: File of each table (by the module's table names).
    sources: dict[str, str]

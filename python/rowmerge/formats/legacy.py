"""The module's own layout: the three raw tables of ``rowmerge.merge``.

An ``.npz`` holding ``connected_crop_rows``, ``points_in_rows`` and
``row_information`` (and maybe a scalar ``tolerance``), as the demo's
``--save-tables`` writes it, or one ``.npy``/``.csv`` file per table, is read
by :mod:`rowmerge.tables_io` and handed on as arrays: those tables name their
groups apart from their records, which the frame layout (one group per
segment) cannot express.  Their result, a float64 array of points, is written
as ``.npy``, as ``.npz`` under the name ``merged_points``, or as ``.csv``
with the header ``row_id_1,row_id_2,x,y,value_4,...``.
"""

from __future__ import annotations

import math
import os
import zipfile
from collections.abc import Mapping
from pathlib import Path

import numpy as np

from .errors import FormatError
from .layers import ArrayTables
from .numpy_format import save_npy

__all__ = ["ARRAY_TABLE_NAMES", "ARRAY_SUFFIXES", "is_array_archive", "read_array_tables", "write_array"]

#: The raw tables, in the order ``rowmerge.merge`` takes them.
ARRAY_TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
#: Suffixes of an output of merged arrays.
ARRAY_SUFFIXES = (".npy", ".npz", ".csv")
#: Name of the merged points inside an ``.npz`` output.
RESULT_KEY = "merged_points"


def is_array_archive(path: str | os.PathLike[str]) -> bool:
    """Whether ``path`` is an ``.npz`` that holds one of the raw tables by name."""
    if Path(path).suffix.lower() != ".npz":
        return False
    try:
        with np.load(path, allow_pickle=False) as archive:
            return any(name in archive.files for name in ARRAY_TABLE_NAMES)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile):
        return False  # not an archive at all; the format reader says why


def _stored_tolerance(path: str | os.PathLike[str]) -> float | None:
    with np.load(path, allow_pickle=False) as archive:
        if "tolerance" not in archive.files:
            return None
        value = archive["tolerance"]
    if value.shape != () or value.dtype.kind not in "iuf":
        raise FormatError(f"input {os.fspath(path)}: 'tolerance' must be a single number")
    tolerance = float(value)
    if not math.isfinite(tolerance) or tolerance < 0:
        raise FormatError(f"input {os.fspath(path)}: stored tolerance {tolerance} is not a "
                          "finite number >= 0")
    return tolerance


def read_array_tables(archive: str | os.PathLike[str] | None = None,
                      files: Mapping[str, str | os.PathLike[str] | None] | None = None,
                      ) -> ArrayTables:
    """Read the raw tables from an ``.npz`` and/or one file per table, checked, as float64.

    ``files`` maps table names to ``.npy``/``.csv`` files, which take
    precedence over the archive's tables.  Problems raise :class:`FormatError`.
    """
    from ..tables_io import TableError, load_tables

    try:
        tables, sources = load_tables(archive, files)
        tolerance = _stored_tolerance(archive) if archive is not None else None
    except TableError as error:
        raise FormatError(str(error)) from None
    except (OSError, ValueError, EOFError) as error:
        raise FormatError(f"input {os.fspath(archive or '')}: not readable ({error})") from None
    return ArrayTables(tables["connected_crop_rows"], tables["points_in_rows"],
                       tables["row_information"], tolerance, dict(sources))


def _csv_number(value: float) -> str:
    """Shortest text that reads back as the same double ("1" rather than "1.0")."""
    text = repr(value)
    return text[:-2] if text.endswith(".0") else text


def write_array(points: np.ndarray, path: Path) -> None:
    """Write an array of merged points to ``path`` by its suffix (``.npy``, ``.npz``, ``.csv``)."""
    from ..tables_io import result_column_names

    points = np.asarray(points)
    if points.ndim != 2:
        raise FormatError(f"merged points: expected a two-dimensional array, got shape {points.shape}")
    suffix = path.suffix.lower()
    if suffix == ".npy":
        with open(path, "wb") as stream:
            save_npy(stream, points)
    elif suffix == ".npz":
        with open(path, "wb") as stream:
            np.savez(stream, **{RESULT_KEY: points})
    elif suffix == ".csv":
        with open(path, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(",".join(result_column_names(points.shape[1])) + "\n")
            for row in points.tolist():
                stream.write(",".join(map(_csv_number, row)) + "\n")
    else:
        raise FormatError(f"output {path.name}: merged arrays are written as "
                          f"{', '.join(ARRAY_SUFFIXES)}, not {suffix or '(none)'!r}")

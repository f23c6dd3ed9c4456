"""The raw tables of :func:`rowmerge.merge`, read from NumPy files or CSV, and their result written.

An ``.npz`` holding ``connected_crop_rows``, ``points_in_rows`` and
``row_information`` (and maybe a scalar ``tolerance``), as the demo's
``--save-tables`` writes it, or one ``.npy``/``.csv`` file per table, is read
as arrays: those tables name their groups apart from their records, which the
frame layout (one group per segment) cannot express.  NumPy files need
nothing but NumPy; a CSV file is read by the one CSV reader
(:mod:`rowmerge.formats.csv_format`, which needs pandas).

Every table is checked and turned into a two-dimensional float64 array before
the merge sees it: other numeric types are converted when the conversion is
exact (booleans, float16/float32, integers that float64 holds exactly: the
rule of :func:`rowmerge.merge`),
everything else is refused with a one-line :class:`FormatError` naming the
table and the file.

The result, a float64 array of points, is written as ``.npy``, as ``.npz``
under the name ``merged_points``, or as ``.csv`` with the header
``row_id_1,row_id_2,x,y,value_4,...``.
"""

from __future__ import annotations

import math
import os
import zipfile
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .._conversion import float64_table
from .._table_layout import (
    LIST_END_COLUMNS,
    RECORD_COLUMNS,
    RECORD_ID_COLUMNS,
    RESULT_COLUMN_NAMES,
    RESULT_KEY,
    TABLE_NAMES,
)
from .errors import FormatError
from .layers import ArrayTables
from .numpy_format import save_npy

__all__ = [
    "ARRAY_SUFFIXES",
    "as_float64_table",
    "check_layout",
    "is_array_archive",
    "read_array_tables",
    "result_column_names",
    "write_array",
]

StrPath = str | os.PathLike[str]
Table = npt.NDArray[np.float64]

#: Suffixes of an output of merged arrays.
ARRAY_SUFFIXES = (".npy", ".npz", ".csv")



def _describe(name: str, source: StrPath | None) -> str:
    return f"{name} ({os.fspath(source)})" if source is not None else name


def is_array_archive(path: StrPath) -> bool:
    """Whether ``path`` is an ``.npz`` that holds one of the raw tables by name."""
    if Path(path).suffix.lower() != ".npz":
        return False
    try:
        with np.load(path, allow_pickle=False) as archive:
            return any(name in archive.files for name in TABLE_NAMES)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile):
        return False  # not an archive at all; the format reader says why


def as_float64_table(value: object, name: str, source: StrPath | None = None) -> Table:
    """Return ``value`` as a two-dimensional float64 array, converting exactly.

    ``name`` and ``source`` (the file) appear in the message of the
    :class:`FormatError` raised for a table that is not two-dimensional or
    whose values have no exact float64 form.
    """
    what = _describe(name, source)
    if not isinstance(value, np.ndarray):
        raise FormatError(f"{what}: expected a NumPy array, got {type(value).__name__}")
    array = value
    if array.ndim != 2:
        raise FormatError(f"{what}: expected a two-dimensional table, got shape {array.shape}")
    dtype = array.dtype
    kind = dtype.kind
    if kind == "f":
        if dtype == np.float64 and dtype.isnative:
            return array
        converted = array.astype(np.float64)
        if dtype.itemsize > 8:
            # long double: exact only when every value survives the round trip.
            back = converted.astype(dtype)
            if not np.array_equal(back, array, equal_nan=True):
                raise FormatError(f"{what}: {dtype} values cannot be converted to float64 exactly")
        return converted
    if kind == "b":
        return array.astype(np.float64)
    if kind in "iu":
        # The rule of rowmerge.merge: every integer that float64 holds
        # exactly, also beyond 2**53; the first that it would round is named.
        try:
            return float64_table(array, what)
        except TypeError as error:
            raise FormatError(str(error)) from None
    reasons = {
        "c": f"complex values ({dtype}) cannot be converted to float64",
        "O": "Python objects (dtype object) cannot be converted to float64",
        "U": f"text ({dtype}) cannot be used as numbers",
        "S": f"bytes ({dtype}) cannot be used as numbers",
        "M": f"dates ({dtype}) cannot be used as numbers",
        "m": f"time spans ({dtype}) cannot be used as numbers",
        "V": f"structured records ({dtype}) cannot be used as a table of numbers",
    }
    raise FormatError(f"{what}: {reasons.get(kind, f'dtype {dtype} is not supported')}")


def check_layout(connected_crop_rows: Table, points_in_rows: Table, row_information: Table) -> None:
    """Raise :class:`FormatError` when the column counts cannot work.

    Only the shapes that make every merge fail are refused here (plus
    ``points_in_rows`` without x and y); identifiers that match no record are
    left to the merge, which reports them itself.
    """
    groups, conn_columns = connected_crop_rows.shape
    if not groups:
        return
    if conn_columns < LIST_END_COLUMNS[0] + 1:
        raise FormatError(
            f"connected_crop_rows: {conn_columns} columns; a group needs at least 4 "
            "(id, main row as two numbers, first connected row or NaN)"
        )
    if conn_columns < RECORD_COLUMNS:
        pair_columns = [c for c in LIST_END_COLUMNS if c < conn_columns]
        ended = np.isnan(connected_crop_rows[:, pair_columns]).any(axis=1)
        if not ended.all():
            row = int(np.argmin(ended))
            raise FormatError(
                f"connected_crop_rows row {row}: the list of connected rows has no NaN "
                f"end within the table's {conn_columns} columns "
                f"(end it with NaN or give the table {RECORD_COLUMNS} columns)"
            )
    points, point_columns = points_in_rows.shape
    if points and point_columns < 4:
        raise FormatError(
            f"points_in_rows: {point_columns} columns; a point needs at least 4 (crop row as two numbers, x, y)"
        )
    records, info_columns = row_information.shape
    has_connected = bool((~np.isnan(connected_crop_rows[:, LIST_END_COLUMNS[0]])).any())
    if has_connected and records and info_columns != RECORD_COLUMNS:
        raise FormatError(
            f"row_information: {info_columns} columns; it needs exactly "
            f"{RECORD_COLUMNS} (id, 3 free columns, id, three anchors as x, y)"
        )
    if records and info_columns < RECORD_ID_COLUMNS[1] + 1:
        raise FormatError(
            f"row_information: {info_columns} columns; a record needs at least 5 (id, 3 free columns, id)"
        )


def _read_csv(path: Path, name: str) -> object:
    """A CSV table of numbers (with or without a header line), through the one CSV reader."""
    from .csv_format import is_number, read_frame

    what = _describe(name, path)
    frame, _ = read_frame(path, what, lambda width: [f"column {k}" for k in range(width)])
    for column in frame.columns:
        values = frame[column]
        if values.dtype.kind not in "biuf":
            texts = values[~values.map(is_number)]
            problem = f"{texts.iloc[0]!r} is not a number" if len(texts) else f"{values.dtype} values are not numbers"
            raise FormatError(f"{what}: {column}: {problem}")
    return frame.to_numpy(dtype=np.float64) if len(frame.columns) else np.empty((len(frame), 0))


def _load_npy(path: Path, name: str) -> object:
    try:
        loaded = np.load(path, allow_pickle=False)
    except ValueError as error:
        if "Object arrays" in str(error):
            raise FormatError(
                f"{_describe(name, path)}: Python objects (dtype object) cannot be converted to float64"
            ) from None
        if "pickled" in str(error):
            raise FormatError(
                f"{_describe(name, path)}: not a NumPy .npy file (pickled data is never loaded)"
            ) from None
        raise FormatError(f"{_describe(name, path)}: not a NumPy .npy file ({error})") from None
    except (EOFError, OSError) as error:
        raise FormatError(f"{_describe(name, path)}: not a NumPy .npy file ({error})") from None
    if isinstance(loaded, np.lib.npyio.NpzFile):
        with loaded:
            keys = list(loaded.files)
            if name in keys:
                return _npz_member(loaded, name, path)
            if len(keys) == 1:
                return _npz_member(loaded, keys[0], path, name)
            raise FormatError(f"{_describe(name, path)}: an .npz archive without a table {name!r}")
    return loaded


def _npz_member(archive: np.lib.npyio.NpzFile, key: str, path: Path, name: str | None = None) -> object:
    try:
        return archive[key]
    except ValueError as error:
        if "Object arrays" in str(error):
            raise FormatError(
                f"{_describe(name or key, path)}: Python objects (dtype object) cannot be converted to float64"
            ) from None
        raise FormatError(f"{_describe(name or key, path)}: unreadable array ({error})") from None
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        raise FormatError(f"{_describe(name or key, path)}: unreadable array ({error})") from None


def _existing_file(path: StrPath, what: str) -> Path:
    path = Path(path)
    if not path.exists():
        raise FormatError(f"{what}: no such file: {os.fspath(path)}")
    if path.is_dir():
        raise FormatError(f"{what}: {os.fspath(path)} is a directory, not a file")
    if not os.access(path, os.R_OK):
        raise FormatError(f"{what}: {os.fspath(path)} is not readable")
    return path


def _read_table_file(path: StrPath, name: str) -> Table:
    """Read one table from an ``.npy`` or ``.csv`` file, as float64.

    A ``.csv`` file may start with a header line of column names; empty
    fields read as NaN.  An ``.npz`` file is accepted when it holds the
    table under ``name`` or holds a single array.
    """
    path = _existing_file(path, name)
    suffix = path.suffix.lower()
    value: object
    try:
        if suffix == ".csv":
            value = _read_csv(path, name)
        elif suffix in (".npy", ".npz"):
            value = _load_npy(path, name)
        else:
            raise FormatError(f"{_describe(name, path)}: unknown file type {suffix or '(none)'!r}; use .npy or .csv")
    except OSError as error:
        raise FormatError(f"{_describe(name, path)}: {error.strerror or error}") from None
    return as_float64_table(value, name, path)


def _stored_tolerance(path: StrPath) -> float | None:
    with np.load(path, allow_pickle=False) as archive:
        if "tolerance" not in archive.files:
            return None
        value = archive["tolerance"]
    if value.shape != () or value.dtype.kind not in "iuf":
        raise FormatError(f"input {os.fspath(path)}: 'tolerance' must be a single number")
    tolerance = float(value)
    if not math.isfinite(tolerance) or tolerance < 0:
        raise FormatError(f"input {os.fspath(path)}: stored tolerance {tolerance} is not a finite number >= 0")
    return tolerance


def _archive_tables(path: Path, wanted: list[str]) -> dict[str, Table]:
    """The ``wanted`` tables of the ``.npz`` archive at ``path``, as float64."""
    if path.suffix.lower() != ".npz":
        raise FormatError(
            f"input {os.fspath(path)}: expected an .npz archive holding "
            f"{', '.join(TABLE_NAMES)}; give single tables with "
            "--connected-crop-rows, --points-in-rows and --row-information"
        )
    try:
        archive = np.load(path, allow_pickle=False)
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as error:
        raise FormatError(f"input {os.fspath(path)}: not a NumPy .npz archive ({error})") from None
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise FormatError(f"input {os.fspath(path)}: not a NumPy .npz archive")
    with archive:
        missing = [n for n in wanted if n not in archive.files]
        if missing:
            found = ", ".join(archive.files) or "nothing"
            raise FormatError(f"input {os.fspath(path)}: no table {missing[0]!r} (it holds {found})")
        return {name: as_float64_table(_npz_member(archive, name, path), name, path) for name in wanted}


def read_array_tables(archive: StrPath | None = None, files: Mapping[str, StrPath | None] | None = None) -> ArrayTables:
    """Read the raw tables from an ``.npz`` and/or one file per table, checked, as float64.

    ``archive`` is an ``.npz`` file with the tables under their parameter
    names; ``files`` maps table names to ``.npy``/``.csv`` files, which take
    precedence over the archive's tables.  Problems raise :class:`FormatError`.
    """
    given = {k: v for k, v in (files or {}).items() if v is not None}
    unknown = set(given) - set(TABLE_NAMES)
    if unknown:
        raise FormatError(f"unknown table name(s): {', '.join(sorted(unknown))}")
    try:
        tables = {name: _read_table_file(file, name) for name, file in given.items()}
        sources = {name: os.fspath(file) for name, file in given.items()}
        wanted = [n for n in TABLE_NAMES if n not in tables]
        tolerance = None
        if archive is not None:
            path = _existing_file(archive, "input")
            if wanted:
                tables.update(_archive_tables(path, wanted))
                sources.update((name, os.fspath(path)) for name in wanted)
            tolerance = _stored_tolerance(archive)
    except FormatError:
        raise
    except (OSError, ValueError, EOFError) as error:
        raise FormatError(f"input {os.fspath(archive or '')}: not readable ({error})") from None
    missing = [n for n in TABLE_NAMES if n not in tables]
    if missing:
        option = "--" + missing[0].replace("_", "-")
        raise FormatError(f"no {missing[0]} table: give an .npz INPUT or {option} FILE")
    groups, points, records = (tables[name] for name in TABLE_NAMES)
    check_layout(groups, points, records)
    return ArrayTables(groups, points, records, tolerance, sources)


def result_column_names(columns: int) -> list[str]:
    """Header of a result table: row_id_1, row_id_2, x, y, value_4, ..."""
    known = list(RESULT_COLUMN_NAMES)
    return known[:columns] + [f"value_{k}" for k in range(len(known), columns)]


def _csv_number(value: float) -> str:
    """Shortest text that reads back as the same double ("1" rather than "1.0")."""
    text = repr(value)
    return text[:-2] if text.endswith(".0") else text


def write_array(points: npt.ArrayLike, path: Path) -> None:
    """Write an array of merged points to ``path`` by its suffix (``.npy``, ``.npz``, ``.csv``)."""
    points = np.asarray(points)
    if points.ndim != 2:
        raise FormatError(f"merged points: expected a two-dimensional array, got shape {points.shape}")
    suffix = path.suffix.lower()
    if suffix == ".npy":
        with open(path, "wb") as stream:
            save_npy(stream, points)
    elif suffix == ".npz":
        named: dict[str, Any] = {RESULT_KEY: points}
        with open(path, "wb") as stream:
            np.savez(stream, **named)
    elif suffix == ".csv":
        with open(path, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(",".join(result_column_names(points.shape[1])) + "\n")
            for row in points.tolist():
                stream.write(",".join(map(_csv_number, row)) + "\n")
    else:
        raise FormatError(
            f"output {path.name}: merged arrays are written as {', '.join(ARRAY_SUFFIXES)}, not {suffix or '(none)'!r}"
        )

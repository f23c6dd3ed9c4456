"""Reading the three merge tables from files and writing the merged points.

Tables come from an ``.npz`` archive that holds them under their parameter
names, or one file per table (``.npy`` or ``.csv``).  Every table is checked
and turned into a two-dimensional float64 array before the merge sees it:
other numeric types are converted when the conversion is exact (booleans,
float16/float32, integers of magnitude at most 2**53), everything else is
refused.  Problems are raised as :class:`TableError` with a one-line message
that names the table and the file.
"""

from __future__ import annotations

import io
import math
import os
import warnings
import zipfile
from collections.abc import Mapping
from pathlib import Path

import numpy as np

__all__ = [
    "TABLE_NAMES", "INPUT_SUFFIXES", "OUTPUT_SUFFIXES", "RESULT_KEY", "TableError",
    "as_float64_table", "check_layout", "load_tables", "read_table_file",
    "result_column_names", "save_points", "check_output_path",
]

#: The three tables, in the order ``merge_points_removing_overlap`` takes them.
TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
#: Accepted suffixes of a file that holds one table.
INPUT_SUFFIXES = (".npy", ".csv")
#: Accepted suffixes of the output file.
OUTPUT_SUFFIXES = (".npy", ".npz", ".csv")
#: Name of the merged points inside an ``.npz`` output.
RESULT_KEY = "merged_points"

# Largest integer magnitude below which every integer is a float64.
_EXACT_INT = 2 ** 53
# Pair columns of connected_crop_rows whose NaN ends the list of connected rows.
_PAIR_FIRST_COLUMNS = (3, 5, 7, 9)


class TableError(ValueError):
    """A table file that cannot be read, or a table that cannot be merged."""


def _describe(name: str, source: str | os.PathLike[str] | None) -> str:
    return f"{name} ({os.fspath(source)})" if source is not None else name


def as_float64_table(value: object, name: str, source: str | os.PathLike[str] | None = None) -> np.ndarray:
    """Return ``value`` as a two-dimensional float64 array, converting exactly.

    ``name`` and ``source`` (the file) appear in the message of the
    :class:`TableError` raised for a table that is not two-dimensional or
    whose values have no exact float64 form.
    """
    what = _describe(name, source)
    if not isinstance(value, np.ndarray):
        raise TableError(f"{what}: expected a NumPy array, got {type(value).__name__}")
    array = value
    if array.ndim != 2:
        raise TableError(f"{what}: expected a two-dimensional table, got shape {array.shape}")
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
                raise TableError(f"{what}: {dtype} values cannot be converted to float64 exactly")
        return converted
    if kind == "b":
        return array.astype(np.float64)
    if kind in "iu":
        if array.size:
            low, high = int(array.min()), int(array.max())
            if low < -_EXACT_INT or high > _EXACT_INT:
                worst = low if -low > high else high
                raise TableError(f"{what}: {dtype} value {worst} is beyond ±2**53 "
                                 "and cannot be converted to float64 exactly")
        return array.astype(np.float64)
    reasons = {
        "c": f"complex values ({dtype}) cannot be converted to float64",
        "O": "Python objects (dtype object) cannot be converted to float64",
        "U": f"text ({dtype}) cannot be used as numbers",
        "S": f"bytes ({dtype}) cannot be used as numbers",
        "M": f"dates ({dtype}) cannot be used as numbers",
        "m": f"time spans ({dtype}) cannot be used as numbers",
        "V": f"structured records ({dtype}) cannot be used as a table of numbers",
    }
    raise TableError(f"{what}: {reasons.get(kind, f'dtype {dtype} is not supported')}")


def check_layout(connected_crop_rows: np.ndarray, points_in_rows: np.ndarray,
                 row_information: np.ndarray) -> None:
    """Raise :class:`TableError` when the column counts cannot work.

    Only the shapes that make every merge fail are refused here (plus
    ``points_in_rows`` without x and y); identifiers that match no record are
    left to the merge, which reports them itself.
    """
    groups, conn_columns = connected_crop_rows.shape
    if not groups:
        return
    if conn_columns < 4:
        raise TableError(f"connected_crop_rows: {conn_columns} columns; a group needs at least 4 "
                         "(id, main row as two numbers, first connected row or NaN)")
    if conn_columns < 11:
        pair_columns = [c for c in _PAIR_FIRST_COLUMNS if c < conn_columns]
        ended = np.isnan(connected_crop_rows[:, pair_columns]).any(axis=1)
        if not ended.all():
            row = int(np.argmin(ended))
            raise TableError(f"connected_crop_rows row {row}: the list of connected rows has no NaN "
                             f"end within the table's {conn_columns} columns "
                             "(end it with NaN or give the table 11 columns)")
    points, point_columns = points_in_rows.shape
    if points and point_columns < 4:
        raise TableError(f"points_in_rows: {point_columns} columns; a point needs at least 4 "
                         "(crop row as two numbers, x, y)")
    records, info_columns = row_information.shape
    has_connected = bool((~np.isnan(connected_crop_rows[:, 3])).any())
    if has_connected and records and info_columns != 11:
        raise TableError(f"row_information: {info_columns} columns; it needs exactly 11 "
                         "(id, 3 free columns, id, three anchors as x, y)")
    if records and info_columns < 5:
        raise TableError(f"row_information: {info_columns} columns; a record needs at least 5 "
                         "(id, 3 free columns, id)")


def _parse_csv_text(text: str, source: Path, name: str) -> np.ndarray:
    """Slow path of :func:`_read_csv`: empty fields are NaN, errors name the line."""
    rows: list[list[float]] = []
    width: int | None = None
    header_seen = False
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        fields = [f.strip() for f in stripped.split(",")]
        values: list[float] = []
        is_header = False
        for column, field in enumerate(fields):
            if not field:
                values.append(math.nan)
                continue
            try:
                values.append(float(field))
            except ValueError:
                if not rows and not header_seen:
                    is_header = True  # column names on the first line
                    break
                raise TableError(f"{_describe(name, source)}: line {number}, column {column}: "
                                 f"{field!r} is not a number") from None
        if is_header:
            header_seen = True
            width = len(fields)
            continue
        if width is None:
            width = len(values)
        elif len(values) != width:
            raise TableError(f"{_describe(name, source)}: line {number} has {len(values)} values, "
                             f"expected {width}")
        rows.append(values)
    if not rows:
        return np.empty((0, width or 0))
    return np.array(rows, dtype=np.float64)


def _read_csv(path: Path, name: str) -> np.ndarray:
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise TableError(f"{_describe(name, path)}: not a text file") from None
    lines = text.splitlines()
    first = next((i for i, ln in enumerate(lines)
                  if ln.strip() and not ln.lstrip().startswith("#")), None)
    if first is None:
        return np.empty((0, 0))
    skip = 0
    try:
        [float(f) for f in lines[first].split(",") if f.strip()]
    except ValueError:
        skip = first + 1  # a header line of column names
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # "input contained no data"
            table = np.loadtxt(io.StringIO(text), delimiter=",", comments="#", ndmin=2,
                               skiprows=skip, dtype=np.float64)
    except ValueError:
        table = None
    if table is None or table.size == 0:
        # Empty fields, ragged lines, a stray word or no data lines: parse by
        # hand for a precise message (and NaN for empty fields).
        return _parse_csv_text(text, path, name)
    return table


def _load_npy(path: Path, name: str) -> object:
    try:
        loaded = np.load(path, allow_pickle=False)
    except ValueError as error:
        if "Object arrays" in str(error):
            raise TableError(f"{_describe(name, path)}: Python objects (dtype object) "
                             "cannot be converted to float64") from None
        if "pickled" in str(error):
            raise TableError(f"{_describe(name, path)}: not a NumPy .npy file "
                             "(pickled data is never loaded)") from None
        raise TableError(f"{_describe(name, path)}: not a NumPy .npy file ({error})") from None
    except (EOFError, OSError) as error:
        raise TableError(f"{_describe(name, path)}: not a NumPy .npy file ({error})") from None
    if isinstance(loaded, np.lib.npyio.NpzFile):
        with loaded:
            keys = list(loaded.files)
            if name in keys:
                return _npz_member(loaded, name, path)
            if len(keys) == 1:
                return _npz_member(loaded, keys[0], path, name)
            raise TableError(f"{_describe(name, path)}: an .npz archive without a table {name!r}")
    return loaded


def _npz_member(archive: np.lib.npyio.NpzFile, key: str, path: Path, name: str | None = None) -> object:
    try:
        return archive[key]
    except ValueError as error:
        if "Object arrays" in str(error):
            raise TableError(f"{_describe(name or key, path)}: Python objects (dtype object) "
                             "cannot be converted to float64") from None
        raise TableError(f"{_describe(name or key, path)}: unreadable array ({error})") from None
    except (zipfile.BadZipFile, OSError, EOFError) as error:
        raise TableError(f"{_describe(name or key, path)}: unreadable array ({error})") from None


def _existing_file(path: str | os.PathLike[str], what: str) -> Path:
    path = Path(path)
    if not path.exists():
        raise TableError(f"{what}: no such file: {os.fspath(path)}")
    if path.is_dir():
        raise TableError(f"{what}: {os.fspath(path)} is a directory, not a file")
    if not os.access(path, os.R_OK):
        raise TableError(f"{what}: {os.fspath(path)} is not readable")
    return path


def read_table_file(path: str | os.PathLike[str], name: str) -> np.ndarray:
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
            raise TableError(f"{_describe(name, path)}: unknown file type {suffix or '(none)'!r}; "
                             "use .npy or .csv")
    except OSError as error:
        raise TableError(f"{_describe(name, path)}: {error.strerror or error}") from None
    return as_float64_table(value, name, path)


def load_tables(archive: str | os.PathLike[str] | None = None,
                files: Mapping[str, str | os.PathLike[str] | None] | None = None,
                ) -> tuple[dict[str, np.ndarray], dict[str, str]]:
    """Load the three tables, checked and as float64.

    ``archive`` is an ``.npz`` file with the tables under their parameter
    names; ``files`` maps table names to single-table files, which take
    precedence over the archive.  Returns the tables and, for each, the file
    it came from.
    """
    given = {k: v for k, v in (files or {}).items() if v is not None}
    unknown = set(given) - set(TABLE_NAMES)
    if unknown:
        raise TableError(f"unknown table name(s): {', '.join(sorted(unknown))}")
    tables: dict[str, np.ndarray] = {}
    sources: dict[str, str] = {}
    for name, file in given.items():
        tables[name] = read_table_file(file, name)
        sources[name] = os.fspath(file)
    wanted = [n for n in TABLE_NAMES if n not in tables]
    if wanted and archive is not None:
        path = _existing_file(archive, "input")
        if path.suffix.lower() != ".npz":
            raise TableError(f"input {os.fspath(path)}: expected an .npz archive holding "
                             f"{', '.join(TABLE_NAMES)}; give single tables with "
                             "--connected-crop-rows, --points-in-rows and --row-information")
        try:
            archive_file = np.load(path, allow_pickle=False)
        except (ValueError, OSError, EOFError, zipfile.BadZipFile) as error:
            raise TableError(f"input {os.fspath(path)}: not a NumPy .npz archive ({error})") from None
        if not isinstance(archive_file, np.lib.npyio.NpzFile):
            raise TableError(f"input {os.fspath(path)}: not a NumPy .npz archive")
        with archive_file:
            missing = [n for n in wanted if n not in archive_file.files]
            if missing:
                found = ", ".join(archive_file.files) or "nothing"
                raise TableError(f"input {os.fspath(path)}: no table {missing[0]!r} (it holds {found})")
            for name in wanted:
                tables[name] = as_float64_table(_npz_member(archive_file, name, path), name, path)
                sources[name] = os.fspath(path)
    missing = [n for n in TABLE_NAMES if n not in tables]
    if missing:
        option = "--" + missing[0].replace("_", "-")
        raise TableError(f"no {missing[0]} table: give an .npz INPUT or {option} FILE")
    check_layout(tables["connected_crop_rows"], tables["points_in_rows"], tables["row_information"])
    return tables, sources


def result_column_names(columns: int) -> list[str]:
    """Header of a result table: row_id_1, row_id_2, x, y, value_4, ..."""
    known = ["row_id_1", "row_id_2", "x", "y"]
    return known[:columns] + [f"value_{k}" for k in range(len(known), columns)]


def check_output_path(path: str | os.PathLike[str], suffixes: tuple[str, ...] = OUTPUT_SUFFIXES,
                      what: str = "output") -> Path:
    """Refuse, before any work is done, an output path that cannot be written."""
    path = Path(path)
    if path.suffix.lower() not in suffixes:
        raise TableError(f"{what} {os.fspath(path)}: unknown file type "
                         f"{path.suffix or '(none)'!r}; use {', '.join(suffixes)}")
    parent = path.parent if os.fspath(path.parent) else Path(".")
    if not parent.is_dir():
        raise TableError(f"{what} {os.fspath(path)}: no such directory: {os.fspath(parent)}")
    if path.is_dir():
        raise TableError(f"{what} {os.fspath(path)} is a directory")
    return path


def _csv_number(value: float) -> str:
    """Shortest text that reads back as the same double ("1" rather than "1.0")."""
    text = repr(value)
    return text[:-2] if text.endswith(".0") else text


def save_points(path: str | os.PathLike[str], points: np.ndarray) -> Path:
    """Write merged points as ``.npy``, ``.npz`` (key ``merged_points``) or ``.csv``.

    CSV values are written in their shortest exact form, so reading them
    back gives the same doubles; NaN is written as ``nan``.
    """
    path = check_output_path(path)
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            with open(path, "wb") as stream:
                np.save(stream, points, allow_pickle=False)
        elif suffix == ".npz":
            with open(path, "wb") as stream:
                np.savez(stream, merged_points=points)  # RESULT_KEY
        else:
            with open(path, "w", encoding="utf-8", newline="\n") as stream:
                stream.write(",".join(result_column_names(points.shape[1])) + "\n")
                for row in points.tolist():
                    stream.write(",".join(map(_csv_number, row)) + "\n")
    except OSError as error:
        raise TableError(f"output {os.fspath(path)}: {error.strerror or error}") from None
    return path

"""NumPy files as tables: ``.npz`` archives of named columns, ``.npy`` arrays.

Three layouts are read, and written back as they were read:

* "columns": an ``.npz`` holding one one-dimensional array per column, the
  array's name being the column's name (``numpy.savez(path, crop_row=...,
  x=...)``); text (``<U``) and date (``datetime64``) columns are kept;
* "structured": an ``.npy`` holding one array of records, the fields naming
  the columns;
* "matrix": an ``.npy`` holding a two-dimensional array of numbers, or an
  ``.npz`` holding one (such as a result's ``merged_points``): the columns
  are named by position (``crop_row, segment, x, y, value_4, ...`` for points).

Pickled objects are never loaded.  An ``.npz`` holding the module's three raw
tables is read by :mod:`rowmerge.formats.raw_tables` instead.
"""

from __future__ import annotations

import os
import zipfile
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np

from .columns import positional_names
from .errors import FormatError
from .file_layer import FileLayer
from .registry import require

__all__ = ["read", "write", "load_arrays", "save_npy"]

_NUMBER_KINDS = "biuf"


def load_arrays(path: Path, what: str) -> tuple[dict[str, np.ndarray], bool]:
    """Every array of an ``.npz`` (without unpickling), and whether it is compressed."""
    try:
        with np.load(path, allow_pickle=False) as archive:
            if not isinstance(archive, np.lib.npyio.NpzFile):
                raise FormatError(f"{what}: not an .npz archive")
            arrays = {key: archive[key] for key in archive.files}
        with zipfile.ZipFile(path) as members:
            compressed = any(info.compress_type != zipfile.ZIP_STORED for info in members.infolist())
    except FormatError:
        raise
    except (ValueError, OSError, EOFError, zipfile.BadZipFile) as error:
        raise FormatError(
            f"{what}: not a readable .npz archive ({getattr(error, 'strerror', None) or error})"
        ) from None
    return arrays, compressed


_NPY_MAGIC = b"\x93NUMPY"


def _load_npy(path: Path, what: str) -> np.ndarray:
    try:
        with open(path, "rb") as stream:
            if stream.read(len(_NPY_MAGIC)) != _NPY_MAGIC:
                raise FormatError(f"{what}: not a NumPy .npy file")
        array = np.load(path, allow_pickle=False)
    except FormatError:
        raise
    except ValueError as error:
        if "pickle" in str(error):
            raise FormatError(f"{what}: holds Python objects, which are never unpickled") from None
        raise FormatError(f"{what}: not a readable .npy array ({error})") from None
    except (OSError, EOFError) as error:
        raise FormatError(f"{what}: not a readable .npy array ({getattr(error, 'strerror', None) or error})") from None
    if not isinstance(array, np.ndarray):
        raise FormatError(f"{what}: not an .npy array")
    return array


def _matrix_frame(array: np.ndarray, table: str, what: str) -> Any:
    pd = require("pandas", "pandas", f"reading {what}")
    names = positional_names(table, array.shape[1], what)
    return pd.DataFrame(array, columns=names)


def read(path: Path, table: str, *, layer: str | None, what: str) -> FileLayer:
    pd = require("pandas", "pandas", f"reading {os.fspath(path)}")
    if path.suffix.lower() == ".npy":
        if layer is not None:
            raise FormatError(f"{what}: an .npy file holds one array; it has no layer {layer!r}")
        array = _load_npy(path, what)
        if array.dtype.names is not None and array.ndim == 1:
            frame = pd.DataFrame({name: array[name] for name in array.dtype.names})
            return FileLayer(frame, details={"layout": "structured", "dtype": array.dtype})
        if array.ndim == 2 and array.dtype.kind in _NUMBER_KINDS:
            return FileLayer(
                _matrix_frame(array, table, what), positional=True, details={"layout": "matrix", "dtype": array.dtype}
            )
        raise FormatError(
            f"{what}: expected a two-dimensional array of numbers or an array of "
            f"records, got shape {array.shape} of {array.dtype}"
        )

    arrays, compressed = load_arrays(path, what)
    if layer is not None:
        if layer not in arrays:
            raise FormatError(f"{what}: no array {layer!r} (it holds {', '.join(arrays) or 'nothing'})")
        arrays = {layer: arrays[layer]}
    tables = {k: a for k, a in arrays.items() if a.ndim == 2 and a.dtype.kind in _NUMBER_KINDS}
    columns = {k: a for k, a in arrays.items() if a.ndim == 1}
    if len(tables) == 1 and not columns:
        key, array = next(iter(tables.items()))
        return FileLayer(
            _matrix_frame(array, table, what),
            layer=key,
            positional=True,
            details={"layout": "matrix", "dtype": array.dtype, "key": key, "compressed": compressed},
        )
    if columns and not tables:
        lengths = {len(a) for a in columns.values()}
        if len(lengths) > 1:
            raise FormatError(
                f"{what}: its column arrays differ in length "
                f"({', '.join(f'{k}: {len(a)}' for k, a in columns.items())})"
            )
        frame = pd.DataFrame(columns)
        dtypes = {k: a.dtype for k, a in columns.items()}
        return FileLayer(frame, details={"layout": "columns", "dtypes": dtypes, "compressed": compressed})
    shapes = ", ".join(f"{k} {a.shape}" for k, a in arrays.items()) or "nothing"
    raise FormatError(
        f"{what}: expected one array per column (all one-dimensional, of one "
        f"length) or a single two-dimensional table; it holds {shapes}"
    )


def save_npy(stream: BinaryIO, array: np.ndarray) -> None:
    """``numpy.save`` to an open file, with a readable error for a short write.

    NumPy writes arrays with C stdio, which reports a write that the disk or a
    file-size limit cut short only as "N requested and M written", without
    the reason.
    """
    try:
        np.save(stream, array, allow_pickle=False)
    except OSError as error:
        if error.errno is not None:
            raise
        raise OSError(
            f"the array was cut short ({error}): the disk is full or a file-size limit was reached"
        ) from error


def _column_array(series: Any, dtype: np.dtype[Any] | None = None) -> np.ndarray:
    """A column as a NumPy array that saves without pickling."""
    if dtype is not None:
        return (
            np.asarray(series.to_numpy(), dtype=dtype)
            if dtype.kind != "U"
            else series.astype(str).to_numpy(dtype=dtype)
        )
    kind = series.dtype.kind
    if kind == "M" and getattr(series.dtype, "tz", None) is not None:
        # NumPy has no zoned times: store UTC.
        return np.asarray(series.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy())
    values = np.asarray(series.to_numpy())
    if values.dtype.kind == "O":
        values = np.asarray(series.astype(str).to_numpy(dtype=str))
    return values


def _records(frame: Any, dtype: np.dtype[Any] | None) -> np.ndarray:
    names = [str(c) for c in frame.columns]
    if dtype is not None and list(dtype.names or ()) == names:
        fields = [_column_array(frame[name], dtype[name]) for name in names]
        target = dtype
    else:
        fields = [_column_array(frame[c]) for c in frame.columns]
        target = np.dtype([(name, field.dtype) for name, field in zip(names, fields, strict=True)])
    records = np.empty(len(frame), dtype=target)
    for name, values in zip(names, fields, strict=True):
        records[name] = values
    return records


def _matrix(frame: Any, dtype: np.dtype[Any] | None, name: str) -> np.ndarray:
    kinds = {c: frame[c].dtype.kind for c in frame.columns}
    text = [c for c, k in kinds.items() if k not in _NUMBER_KINDS]
    if text:
        raise FormatError(
            f"output {name}: column {text[0]!r} ({frame[text[0]].dtype}) cannot "
            "be stored in a two-dimensional array of numbers; write an .npz of "
            "columns instead"
        )
    if frame.shape[1] == 0:
        return np.empty((len(frame), 0), dtype=dtype or np.float64)
    matrix = np.column_stack([frame[c].to_numpy() for c in frame.columns])
    return matrix.astype(dtype, copy=False) if dtype is not None else matrix


def write(frame: Any, path: Path, *, details: dict[str, Any] | None, layer: str | None) -> None:
    details = details or {}
    layout = details.get("layout")
    dtype = details.get("dtype")
    save = np.savez_compressed if details.get("compressed") else np.savez
    # Everything is converted before the file is opened, so that a refusal writes nothing.
    if path.suffix.lower() == ".npy":
        array = (
            _matrix(frame, dtype, path.name)
            if layout == "matrix"
            else _records(frame, dtype if layout == "structured" else None)
        )
        with open(path, "wb") as stream:
            save_npy(stream, array)
        return
    arrays: dict[str, Any]
    if layout == "matrix":
        arrays = {details.get("key") or layer or "points": _matrix(frame, dtype, path.name)}
    else:
        dtypes = details.get("dtypes") or {}
        arrays = {str(c): _column_array(frame[c], dtypes.get(str(c))) for c in frame.columns}
    with open(path, "wb") as stream:
        save(stream, **arrays)

"""Turning array-likes into the float64 arrays the engine reads, exactly or not at all.

A value is converted when float64 holds it exactly: every float of at most 64
bits, every boolean, every integer of at most 32 bits, and 64-bit integers up
to 2**53 in magnitude (and beyond, where the integer happens to be a float64
value too); a long double only when each of its values survives the round
trip. The same rule holds whatever holds the values: NumPy arrays, nested
lists (where NumPy would round a large Python integer silently), arrays of
Python objects, and pandas frames and series, nullable columns (``Int64``,
``Float64``, ``boolean``) included. An empty table of objects (a header-only
CSV read by pandas) is an empty float64 table.

Refused: complex numbers, strings, dates and times, integers that float64
would round (``TypeError`` naming where it came from), and missing values
(``None``, ``pd.NA``, masked values), which are never read as a number.
"""

from __future__ import annotations

import numbers
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import InvalidValueError

__all__ = ["CellProblem", "exact_float64", "float64_table", "float64_values"]

Values = npt.NDArray[np.float64]

# Magnitude from which a float64 may be a rounded integer: every integer below it is exact.
_EXACT_INTEGERS = 2.0**53


class CellProblem(Exception):
    """A value without an exact float64 form, found at ``position`` (a tuple of indices).

    ``kind`` is "missing" (None, pd.NA, a masked value), "inexact" (an
    integer float64 would round) or "not a number" (text, a date, ...).
    Callers name the place in their own terms.
    """

    def __init__(self, kind: str, position: tuple[int, ...], value: object) -> None:
        super().__init__(kind, position, value)
        self.kind = kind
        self.position = position
        self.value = value

    def describe(self) -> str:
        if self.kind == "missing":
            return "missing"
        if self.kind == "inexact" and isinstance(self.value, numbers.Integral):
            return f"{self.value}, an integer that float64 cannot hold exactly"
        if self.kind == "inexact":
            return f"{self.value!r}, which float64 cannot hold exactly"
        return f"{self.value!r}, a {type(self.value).__name__} and not a number"


def _is_missing(value: object) -> bool:
    # pd.NA and pd.NaT without importing pandas; None from object columns.
    return value is None or type(value).__name__ in ("NAType", "NaTType")


def _object_value(value: object) -> float:
    """One Python object as float64, exactly; raises ValueError(kind) otherwise."""
    if _is_missing(value):
        raise ValueError("missing")
    if isinstance(value, (bool, np.bool_)):
        return float(value)
    if isinstance(value, numbers.Integral):
        try:
            converted = float(value)
        except OverflowError:
            raise ValueError("inexact") from None
        if int(converted) != int(value):
            raise ValueError("inexact")
        return converted
    if isinstance(value, np.floating) and value.dtype.itemsize > 8:
        converted = float(value)
        if np.longdouble(converted) != value and not (np.isnan(value) and np.isnan(converted)):
            raise ValueError("inexact")
        return converted
    if isinstance(value, (float, np.floating)):
        return float(value)
    raise ValueError("not a number")


def _from_objects(array: np.ndarray) -> Values:
    """An array of Python objects, element by element."""
    converted = np.empty(array.shape, dtype=np.float64)
    flat = converted.reshape(-1)
    for at, value in enumerate(array.reshape(-1).tolist()):
        try:
            flat[at] = _object_value(value)
        except ValueError as problem:
            position = tuple(int(i) for i in np.unravel_index(at, array.shape))
            raise CellProblem(str(problem), position, value) from None
    return converted


def _exact_integers(array: np.ndarray) -> Values:
    converted = array.astype(np.float64)
    if array.dtype.itemsize <= 4 or not array.size:
        return converted
    # Compared as Python integers: NumPy would compare them as (rounded) floats.
    if -(2**53) <= int(array.min()) and int(array.max()) <= 2**53:
        return converted  # the common case, in two quick passes
    # Converting back is exact where the float64 value lies inside the
    # integer type's range; there the round trip shows whether it was exact.
    upper = 2.0**63 if array.dtype.kind == "i" else 2.0**64
    inside = converted < upper
    back = np.where(inside, converted, 0.0).astype(array.dtype)
    inexact = ~(inside & (back == array))
    if inexact.any():
        at = int(np.argmax(inexact))
        position = tuple(int(i) for i in np.unravel_index(at, array.shape))
        raise CellProblem("inexact", position, array.flat[at].item())
    return converted


def _exact_long_doubles(array: np.ndarray) -> Values:
    with np.errstate(over="ignore"):
        converted = array.astype(np.float64)
    same = (converted.astype(array.dtype) == array) | (np.isnan(array) & np.isnan(converted))
    if not same.all():
        at = int(np.argmax(~same))
        position = tuple(int(i) for i in np.unravel_index(at, array.shape))
        raise CellProblem("inexact", position, array.flat[at])
    return converted


def _exact_array(array: np.ndarray, name: str) -> Values:
    kind = array.dtype.kind
    if kind == "f" and array.dtype.itemsize <= 8:
        return array.astype(np.float64, copy=False)
    if kind == "f":
        return _exact_long_doubles(array)
    if kind in "iu":
        return _exact_integers(array)
    if kind == "b":
        return array.astype(np.float64)
    if kind == "O":
        return _from_objects(array)
    raise TypeError(f"{name} has dtype {array.dtype}, which has no exact float64 form")


def _pandas_values(value: object) -> Any:
    """``value`` when it is a pandas DataFrame or Series, else None (pandas is not imported here)."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(value, (pd.DataFrame, pd.Series)):
        return value
    return None


def _series_values(series: Any, name: str) -> Values:
    """A pandas Series, its nullable and extension types included."""
    dtype = series.dtype
    if not isinstance(dtype, np.dtype):
        missing = series.isna().to_numpy()
        if missing.any():
            at = int(np.argmax(missing))
            raise CellProblem("missing", (at,), series.iloc[at])
        numpy_dtype = getattr(dtype, "numpy_dtype", None)
        if isinstance(numpy_dtype, np.dtype) and numpy_dtype.kind in "biuf":
            return _exact_array(series.to_numpy(dtype=numpy_dtype), name)
        values = series.to_numpy()
        if values.dtype.kind in "biufO":
            return _exact_array(values, name)
        raise TypeError(f"{name} has dtype {dtype}, which has no exact float64 form")
    return _exact_array(series.to_numpy(), name)


def _pandas_table(frame: Any, name: str) -> Values:
    if frame.ndim == 1:
        return _series_values(frame, name)
    columns = []
    for column in range(frame.shape[1]):
        try:
            columns.append(_series_values(frame.iloc[:, column], name))
        except CellProblem as problem:
            raise CellProblem(problem.kind, (problem.position[0], column), problem.value) from None
    if not columns:
        return np.empty((len(frame), 0))
    return np.column_stack(columns)


def _read_array(value: object, name: str) -> np.ndarray:
    # numpy.ma is imported on first use, which costs a first call some 15 ms;
    # where nobody has imported it, no value can be a masked array.
    ma = sys.modules.get("numpy.ma")
    if ma is not None and ma.isMaskedArray(value):
        mask = ma.getmaskarray(value)
        if mask.any():
            at = int(np.argmax(mask))
            position = tuple(int(i) for i in np.unravel_index(at, mask.shape))
            raise CellProblem("missing", position, ma.masked)
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as error:
        # Ragged nested lists, objects NumPy cannot read.
        raise TypeError(f"{name} cannot be read as an array of numbers: {error}") from error


def exact_float64(value: object, name: str) -> Values:
    """``value`` as a float64 array of its own shape, converted exactly.

    Raises :class:`CellProblem` for a value that has no float64 form and
    ``TypeError`` (naming ``name``) for a whole array of a type that has none.
    """
    frame = _pandas_values(value)
    if frame is not None:
        return _pandas_table(frame, name)
    array = _read_array(value, name)
    if array.dtype.kind == "O" and array.size == 0:
        return np.empty(array.shape, dtype=np.float64)
    if array.dtype.kind == "f" and not isinstance(value, np.ndarray) and array.size:
        # NumPy reads a list that mixes floats with large Python integers as
        # floats, rounding those integers: read such lists value by value.
        with np.errstate(invalid="ignore"):
            large = np.abs(array) >= _EXACT_INTEGERS
        if large.any():
            return _from_objects(np.asarray(value, dtype=object))
    return _exact_array(array, name)


def _position_text(position: tuple[int, ...]) -> str:
    return "[" + ", ".join(map(str, position)) + "]"


def _refuse(problem: CellProblem, name: str) -> None:
    position = problem.position
    place = f"{name}{_position_text(position)}"
    if problem.kind == "missing":
        row = position[0] if position else None
        column = position[1] if len(position) > 1 else None
        raise InvalidValueError(
            f"{place} is missing: the merge reads numbers only, and a missing value is never read as one",
            table=name,
            row=row,
            column=column,
            value=problem.value,
        ) from None
    raise TypeError(f"{place} is {problem.describe()}") from None


def float64_table(value: object, name: str) -> Values:
    """``value`` as a two-dimensional C-contiguous float64 array.

    The array itself when it already is one; otherwise a converted copy.
    Raises ``TypeError`` naming ``name`` and the cell for values without an
    exact float64 form, :class:`~rowmerge.errors.InvalidValueError` for a
    missing value, and ``ValueError`` for anything but two dimensions.
    """
    try:
        array = exact_float64(value, name)
    except CellProblem as problem:
        _refuse(problem, name)
        raise  # not reached
    if array.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional table, not an array of shape {array.shape}")
    return np.ascontiguousarray(array)


def float64_values(values: object, name: str) -> Values:
    """One column of values as a one-dimensional float64 array, converted exactly."""
    try:
        array = exact_float64(values, name)
    except CellProblem as problem:
        _refuse(problem, name)
        raise  # not reached
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not of shape {array.shape}")
    return array

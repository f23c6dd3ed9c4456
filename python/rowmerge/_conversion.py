"""Turning array-likes into the float64 arrays the engine reads, exactly or not at all.

A value is converted when float64 holds it exactly: every float of at most 64
bits, every boolean, every integer of at most 32 bits, and 64-bit integers up
to 2**53 in magnitude (and beyond, where the integer happens to be a float64
value too); a long double only when each of its values survives the round
trip. Everything else (complex numbers, strings, objects, dates and times,
masked values, integers that float64 would round) is refused with a
``TypeError`` naming where it came from.
"""

from __future__ import annotations

import sys

import numpy as np
import numpy.typing as npt

__all__ = ["float64_table", "float64_values"]


def _read_array(value: object, name: str) -> np.ndarray:
    # numpy.ma is imported on first use, which costs a first call some 15 ms;
    # where nobody has imported it, no value can be a masked array.
    ma = sys.modules.get("numpy.ma")
    if ma is not None and ma.isMaskedArray(value) and ma.getmaskarray(value).any():
        raise TypeError(f"{name} has masked values, which have no float64 form")
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as error:
        # Ragged nested lists, objects NumPy cannot read.
        raise TypeError(f"{name} cannot be read as an array of numbers: {error}") from error


def _position(array: np.ndarray, flat_index: int) -> str:
    return "[" + ", ".join(str(int(i)) for i in np.unravel_index(flat_index, array.shape)) + "]"


def _exact_integers(array: np.ndarray, name: str) -> npt.NDArray[np.float64]:
    converted = array.astype(np.float64)
    if array.dtype.itemsize <= 4:
        return converted
    # Converting back is exact where the float64 value lies inside the
    # integer type's range; there the round trip shows whether it was exact.
    upper = 2.0**63 if array.dtype.kind == "i" else 2.0**64
    inside = converted < upper
    back = np.where(inside, converted, 0.0).astype(array.dtype)
    inexact = ~(inside & (back == array))
    if inexact.any():
        at = int(np.argmax(inexact))
        raise TypeError(f"{name}{_position(array, at)} is {array.flat[at]}, an integer that float64 cannot "
                        f"hold exactly")
    return converted


def _exact_long_doubles(array: np.ndarray, name: str) -> npt.NDArray[np.float64]:
    with np.errstate(over="ignore"):
        converted = array.astype(np.float64)
    same = (converted.astype(array.dtype) == array) | (np.isnan(array) & np.isnan(converted))
    if not same.all():
        at = int(np.argmax(~same))
        raise TypeError(f"{name}{_position(array, at)} is {array.flat[at]!r}, which float64 cannot hold exactly")
    return converted


def _exact_float64(array: np.ndarray, name: str) -> npt.NDArray[np.float64]:
    kind = array.dtype.kind
    if kind == "f" and array.dtype.itemsize <= 8:
        return array.astype(np.float64, copy=False)
    if kind == "f":
        return _exact_long_doubles(array, name)
    if kind in "iu":
        return _exact_integers(array, name)
    if kind == "b":
        return array.astype(np.float64)
    raise TypeError(f"{name} has dtype {array.dtype}, which has no exact float64 form")


def float64_table(value: object, name: str) -> npt.NDArray[np.float64]:
    """``value`` as a two-dimensional C-contiguous float64 array.

    The array itself when it already is one; otherwise a converted copy.
    Raises ``TypeError`` naming ``name`` for values without an exact float64
    form, and ``ValueError`` for anything but two dimensions.
    """
    array = _read_array(value, name)
    if array.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional table, not an array of shape {array.shape}")
    return np.ascontiguousarray(_exact_float64(array, name))


def float64_values(values: object, name: str) -> npt.NDArray[np.float64]:
    """One column of values as a one-dimensional float64 array, converted exactly."""
    array = _read_array(values, name)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not of shape {array.shape}")
    return _exact_float64(array, name)

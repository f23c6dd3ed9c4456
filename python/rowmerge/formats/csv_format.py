"""CSV tables through pandas: the header line names the columns, and is written back.

A file whose first line holds only numbers has no header; its columns are
named by position (see :func:`~rowmerge.formats.columns.positional_names`)
and its output has no header either.  Empty fields, ``nan`` and ``NaN`` read
as missing values; every other text is kept as it is (also ``NA`` or
``null`` in a text column).  Numbers are read exactly (round-trip float
parsing) and written in their shortest exact form, so a value read back from
an output is the same double.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .columns import positional_names
from .errors import FormatError
from .file_layer import FileLayer
from .registry import require

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["read", "read_frame", "write", "is_number", "MISSING_TEXT"]

#: Field texts read as missing values.
MISSING_TEXT = ("", "nan", "NaN")


def is_number(text: object) -> bool:
    """Whether ``text`` reads as a number (``float``'s reading: also ``inf`` and ``nan``)."""
    try:
        float(str(text))
    except ValueError:
        return False
    return True


def read_frame(path: Path, what: str, positional: Callable[[int], list[str]]) -> tuple[pd.DataFrame, bool]:
    """The file as a frame, and whether its columns are named by position (no header line).

    ``positional(width)`` names the columns of a file without a header.
    """
    pd = require("pandas", "pandas", f"reading {os.fspath(path)}")
    # index_col=False: no column is taken for an index, whatever the line lengths.
    options: dict[str, Any] = dict(
        keep_default_na=False, na_values=list(MISSING_TEXT), skip_blank_lines=True, index_col=False
    )
    if int(pd.__version__.split(".")[0]) < 3:
        options["float_precision"] = "round_trip"  # pandas 3 parses exactly by default
    # The file is read twice (its first lines, then all of it): a pipe or other
    # stream that is not a regular file is read once, into memory.
    data: bytes | None = None
    if not os.path.isfile(path):
        with open(path, "rb") as stream:
            data = stream.read()

    def source() -> Any:
        return path if data is None else io.BytesIO(data)

    try:
        # The first two lines as text: the header (or first row), and a check that the
        # next line is no longer (pandas would otherwise drop its extra fields quietly).
        first = pd.read_csv(source(), header=None, nrows=2, dtype=str, keep_default_na=False)
        if first.empty:
            raise FormatError(f"{what}: the file is empty")
        names = [str(n) for n in first.iloc[0].tolist()]
        # A first line of numbers (and missing values) is data: the file has no header.
        by_position = all(is_number(n) or n in MISSING_TEXT for n in names)
        if by_position:
            frame = pd.read_csv(source(), header=None, names=positional(len(names)), **options)
        else:
            duplicates = sorted({n for n in names if names.count(n) > 1})
            if duplicates:
                raise FormatError(f"{what}: the header names {duplicates[0]!r} twice")
            frame = pd.read_csv(source(), header=0, **options)
    except pd.errors.EmptyDataError:
        raise FormatError(f"{what}: the file is empty") from None
    except pd.errors.ParserError as error:
        detail = str(error).strip().splitlines()[-1].removeprefix("Error tokenizing data. ")
        raise FormatError(f"{what}: not readable as CSV ({detail.removeprefix('C error: ')})") from None
    except UnicodeDecodeError:
        raise FormatError(f"{what}: not a UTF-8 text file") from None
    except OSError as error:
        raise FormatError(f"{what}: {error.strerror or error}") from None
    return frame, by_position


def read(path: Path, table: str, *, layer: str | None, what: str) -> FileLayer:
    if layer is not None:
        raise FormatError(f"{what}: a CSV file holds one table; it has no layer {layer!r}")
    frame, by_position = read_frame(path, what, lambda width: positional_names(table, width, what))
    return FileLayer(frame, positional=by_position, details={"header": not by_position})


def write(frame: Any, path: Path, *, details: dict[str, Any] | None, layer: str | None) -> None:
    header = details.get("header", True) if details else True
    frame.to_csv(path, index=False, header=header, lineterminator="\n", na_rep="", encoding="utf-8")

"""Which format a file is, by its suffix, and the optional libraries each needs.

The core package depends on NumPy only.  The libraries of the other formats
are imported here, when a file of that format is read or written, and a
missing one is reported with the extra that installs it.  Each format names
the module of this package that reads and writes it (:func:`handler_of`),
imported when first used too.
"""

from __future__ import annotations

import importlib
import os
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

from .._optional import import_optional
from .errors import FormatError, MissingLibraryError

__all__ = ["FileFormat", "FORMATS", "SUFFIXES", "format_of", "handler_of", "require"]


@dataclass(frozen=True)
class FileFormat:
    """A file format: its name, suffixes, the libraries it needs and their extra."""

    name: str
    suffixes: tuple[str, ...]
    libraries: tuple[str, ...]
    extra: str
    description: str
    #: The module of this package that reads and writes the format.
    handler: str
    #: Whether the format stores geometry (and a CRS) natively.
    geographic: bool = False
    #: Whether one file can hold all three tables (as layers).
    multi_table: bool = False


FORMATS: dict[str, FileFormat] = {
    f.name: f
    for f in (
        FileFormat("csv", (".csv",), ("pandas",), "pandas", "CSV text with a header line", "csv_format"),
        FileFormat(
            "parquet",
            (".parquet", ".geoparquet"),
            ("pandas", "pyarrow"),
            "arrow",
            "Apache Parquet (GeoParquet when it holds geometry)",
            "arrow_format",
        ),
        FileFormat(
            "feather",
            (".feather", ".arrow", ".ipc"),
            ("pandas", "pyarrow"),
            "arrow",
            "Arrow IPC file (Feather v2)",
            "arrow_format",
        ),
        FileFormat(
            "gpkg",
            (".gpkg",),
            ("pandas", "geopandas", "pyogrio"),
            "geo",
            "GeoPackage",
            "ogr_format",
            geographic=True,
            multi_table=True,
        ),
        FileFormat(
            "geojson",
            (".geojson",),
            ("pandas", "geopandas", "pyogrio"),
            "geo",
            "GeoJSON",
            "ogr_format",
            geographic=True,
        ),
        FileFormat("npz", (".npz",), ("pandas",), "pandas", "NumPy archive of arrays", "numpy_format"),
        FileFormat("npy", (".npy",), ("pandas",), "pandas", "NumPy array", "numpy_format"),
    )
}

#: Suffix (lower case, with the dot) -> format name.
SUFFIXES: dict[str, str] = {s: f.name for f in FORMATS.values() for s in f.suffixes}


def format_of(path: str | os.PathLike[str], what: str = "file") -> FileFormat:
    """The format of ``path`` by its suffix; :class:`FormatError` for an unknown one."""
    suffix = Path(path).suffix.lower()
    try:
        return FORMATS[SUFFIXES[suffix]]
    except KeyError:
        known = ", ".join(sorted(SUFFIXES))
        raise FormatError(
            f"{what} {os.fspath(path)}: unknown file type {suffix or '(none)'!r}; use one of {known}"
        ) from None


def handler_of(file_format: FileFormat) -> ModuleType:
    """The module that reads (``read``) and writes (``write``) ``file_format``."""
    return importlib.import_module(f".{file_format.handler}", __package__)


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """Import an optional library, or raise :class:`MissingLibraryError` saying how to install it.

    ``purpose`` says what needed it ("reading points.gpkg").
    """
    package = module.split(".")[0]
    return import_optional(
        module,
        lambda state: MissingLibraryError(
            f"{purpose} needs {package}, {state}: pip install 'rowmerge[{extra}]'", extra
        ),
    )

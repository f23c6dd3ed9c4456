"""Writing surviving points in the form of the input points, through a safe output.

:func:`write_points` takes the frame ``rowmerge.merge_frame`` returns (our
column names) and the points' :class:`LayerSource`, gives the columns their
names from the file back, and writes them in the format the output's suffix
names: the input's format keeps the input's dtypes, Arrow types, layer name,
geometry type, CRS, CSV header and NumPy layout.  An array from
``rowmerge.merge`` is written in the module's own layout.  Every output goes
through :func:`rowmerge.formats.safe_output.atomic_output`: complete or absent, never
an input, never an existing file unless ``overwrite``.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import numpy as np

from .._optional import is_geo_frame
from .columns import to_their_names
from .errors import FormatError
from .layers import LayerSource
from .raw_tables import ARRAY_SUFFIXES, write_array
from .registry import format_of, handler_of, require
from .safe_output import atomic_output, check_output_target

__all__ = ["write_points", "check_output", "output_path"]

StrPath = str | os.PathLike[str]

# Formats whose writer-side details (the Arrow schema) serve each other.
_ARROW_FORMATS = {"parquet", "feather"}
_GEOMETRY_FORMATS = {"gpkg", "geojson", "parquet", "feather"}


def _all_inputs(like: LayerSource | None, inputs: Iterable[StrPath]) -> tuple[StrPath, ...]:
    return (*inputs, *((like.path,) if like is not None else ()))


def check_output(
    path: StrPath,
    *,
    like: LayerSource | None = None,
    inputs: Iterable[StrPath] = (),
    overwrite: bool = False,
    arrays: bool = False,
) -> Path:
    """Refuse, before any work, an output that :func:`write_points` would refuse.

    An unknown suffix, or a library the format needs that is missing,
    raises :class:`FormatError`; an output that is one of ``inputs`` (or
    ``like``'s file), exists without ``overwrite``, is a directory, lies in a
    missing directory or in one where nothing can be created raises
    :class:`~rowmerge.formats.safe_output.OutputError`.  ``arrays`` checks an output
    for the raw tables' result (``.npy``, ``.npz`` or ``.csv``, NumPy only).
    """
    if arrays:
        if Path(path).suffix.lower() not in ARRAY_SUFFIXES:
            raise FormatError(
                f"output {os.fspath(path)}: unknown file type "
                f"{Path(path).suffix or '(none)'!r} for merged arrays; use "
                f"{', '.join(ARRAY_SUFFIXES)}"
            )
    else:
        file_format = format_of(path, "output")
        for library in file_format.libraries:
            require(library, file_format.extra, f"writing {Path(path).name}")
    return check_output_target(path, inputs=_all_inputs(like, inputs), overwrite=overwrite, probe=True)


def output_path(input_path: StrPath, output_dir: StrPath, suffix: str | None = None) -> Path:
    """Where a batch writes the result of ``input_path``: same name in ``output_dir``.

    ``suffix`` (".gpkg") changes the format; by default the input's is kept.
    """
    name = Path(input_path).name
    if suffix is not None:
        name = Path(name).with_suffix(suffix if suffix.startswith(".") else f".{suffix}").name
    return Path(output_dir) / name


def write_points(
    points: Any,
    path: StrPath,
    *,
    like: LayerSource | None = None,
    inputs: Iterable[StrPath] = (),
    overwrite: bool = False,
) -> Path:
    """Write surviving points to ``path``, in the format its suffix names; return the path.

    ``points`` is a DataFrame or GeoDataFrame with our column names (as
    ``rowmerge.merge_frame`` returns it), or a float64 array of the module's
    own layout (as ``rowmerge.merge`` returns it: written as ``.npy``,
    ``.npz`` under ``merged_points``, or ``.csv``).  ``like`` is the input
    points' :class:`LayerSource`: its column names are restored, and when
    the output has the input's format, its form too.  ``like``'s file and
    every path of ``inputs`` are protected: an output naming one is refused.

    Raises :class:`FormatError` for an unknown suffix or points the format
    cannot hold (geometry in a CSV, text in a plain ``.npy`` matrix), and
    :class:`~rowmerge.formats.safe_output.OutputError` for a refused output or a
    failed write (nothing is then left behind).
    """
    target = Path(path)
    protected = _all_inputs(like, inputs)
    if isinstance(points, np.ndarray):
        check_output(target, inputs=protected, overwrite=overwrite, arrays=True)
        with atomic_output(target, inputs=protected, overwrite=overwrite) as temporary:
            write_array(points, temporary)
        return target
    if not hasattr(points, "columns"):
        raise TypeError(f"points must be a DataFrame or a NumPy array, got {type(points).__name__}")
    file_format = format_of(target, "output")
    frame = to_their_names(points, like.renamed if like is not None else ())
    if is_geo_frame(frame) and file_format.name not in _GEOMETRY_FORMATS:
        raise FormatError(
            f"output {os.fspath(path)}: points with geometry cannot be written as "
            f"{target.suffix}; use .gpkg, .geojson, .parquet or .feather"
        )
    details = None
    layer = like.layer if like is not None else None
    if like is not None and (like.format == file_format.name or {like.format, file_format.name} <= _ARROW_FORMATS):
        details = like.details
    writer = handler_of(file_format)
    check_output(target, inputs=protected, overwrite=overwrite)
    with atomic_output(target, inputs=protected, overwrite=overwrite) as temporary:
        writer.write(frame, temporary, details=details, layer=layer)
    return target

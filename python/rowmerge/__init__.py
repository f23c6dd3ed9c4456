"""Merging the detected points of overlapping crop rows.

Vision pipelines detect crop rows piece by piece, as segments that overlap;
the points of an overlap would otherwise be counted twice. ``rowmerge`` cuts
every overlap so that each stretch of a row survives once::

    import rowmerge

    merged = rowmerge.merge(connected_crop_rows, points_in_rows, row_information, tolerance=0.02)
    merged, index = rowmerge.merge(..., tolerance=0.02, return_index=True)   # + row numbers
    kept = rowmerge.merge_frame(points, segments, links, tolerance=0.02)     # (Geo)DataFrames

:func:`merge` takes three tables (any array-likes); :func:`merge_frame`
takes pandas DataFrames or GeoPandas GeoDataFrames with named columns and
keeps every column of the surviving points. Failures raise
:class:`MergeError` and its subclasses (:mod:`rowmerge.errors`).

Also here: reading and writing the tables in files (:mod:`rowmerge.formats`),
the merge of a Dask DataFrame (:mod:`rowmerge.dask`), a generator of realistic
synthetic fields (:mod:`rowmerge.field`, :func:`make_field`) and the command
line (``rowmerge`` or ``python -m rowmerge``; :mod:`rowmerge.cli`).

Importing the package is cheap: it loads neither NumPy, the extension
modules, pandas nor plotting libraries; they are imported when first used.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from .errors import (
    AnchorCountError,
    AxisParallelWarning,
    InvalidValueError,
    MergeError,
    MissingRecordError,
    OneWayLinkWarning,
    OrphanPointsWarning,
    TableShapeError,
    UnplacedPointsWarning,
)

if TYPE_CHECKING:
    from .api import merge
    from .field import PRESETS, Field, make_field
    from .frame import merge_frame

__all__ = [
    "merge",
    "merge_frame",
    "MergeError",
    "TableShapeError",
    "MissingRecordError",
    "AnchorCountError",
    "InvalidValueError",
    "AxisParallelWarning",
    "OrphanPointsWarning",
    "UnplacedPointsWarning",
    "OneWayLinkWarning",
    "formats",
    "dask",
    "field",
    "make_field",
    "Field",
    "PRESETS",
    "__version__",
]

__version__ = "0.1.0"

# Attributes imported on first use, so that ``import rowmerge`` stays light.
_LAZY_ATTRIBUTES = {
    "merge": "api",
    "merge_frame": "frame",
    "make_field": "field",
    "PRESETS": "field",
    "Field": "field",
}


# Submodules imported on first use too.
_LAZY_MODULES = ("field", "formats", "dask")


def __getattr__(name: str) -> Any:
    if name in _LAZY_ATTRIBUTES:
        value = getattr(importlib.import_module("." + _LAZY_ATTRIBUTES[name], __name__), name)
        # Kept, so that later lookups (every rowmerge.merge(...) call) find
        # it without coming here.
        globals()[name] = value
        return value
    if name in _LAZY_MODULES:
        return importlib.import_module("." + name, __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))

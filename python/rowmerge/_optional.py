"""Optional libraries: imported when first needed, or refused with how to install them.

The core depends on NumPy only; pandas, GeoPandas, pyarrow, pyogrio, Dask and
matplotlib come with the package's extras.  Each caller words its own refusal
(an ``ImportError``, a ``FormatError`` naming the file, a command-line error),
so :func:`import_optional` takes the exception to raise.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from types import ModuleType

__all__ = ["import_optional", "is_geo_frame"]


def import_optional(module: str, missing: Callable[[str], Exception]) -> ModuleType:
    """Import ``module``, or raise ``missing(state)``.

    ``state`` says why it failed: "which is not installed", or "which cannot
    be imported (...)" when it is installed but broken.
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        package = module.split(".")[0]
        if isinstance(error, ModuleNotFoundError) and error.name == package:
            state = "which is not installed"
        else:
            state = f"which cannot be imported ({error})"
        raise missing(state) from error


def is_geo_frame(frame: object) -> bool:
    """Whether ``frame`` is a GeoDataFrame, without importing geopandas when nobody has."""
    geopandas = sys.modules.get("geopandas")
    return geopandas is not None and isinstance(frame, geopandas.GeoDataFrame)

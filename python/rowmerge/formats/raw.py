"""What a format reader hands back before the column mapping is applied."""

from __future__ import annotations

import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["RawLayer", "is_geo_frame"]


@dataclass
class RawLayer:
    """A table as a format reader found it.

    ``frame`` carries the file's own column names, or ours when the file has
    none (``positional``: a CSV without a header, a plain array).  ``layer``
    is the layer or array name read, ``details`` what the writer needs to
    give an output the same form (see :class:`~rowmerge.formats.layers.LayerSource`).
    """

    frame: pd.DataFrame
    layer: str | None = None
    positional: bool = False
    details: dict[str, Any] = field(default_factory=dict)


def is_geo_frame(frame: object) -> bool:
    """Whether ``frame`` is a GeoDataFrame (without importing geopandas when it is not loaded)."""
    geopandas = sys.modules.get("geopandas")
    return geopandas is not None and isinstance(frame, geopandas.GeoDataFrame)

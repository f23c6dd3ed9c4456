"""What a format reader hands back: a table as the file holds it, before the column mapping."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["FileLayer"]


@dataclass
class FileLayer:
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

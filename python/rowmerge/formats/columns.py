"""Column names of the three tables, and the user's mapping onto them.

The merge reads its tables by name (``crop_row``, ``segment``, ``x``, ...).
A user whose files call them otherwise gives a mapping, our name to theirs,
as a ``dict`` or as the text the command line passes on::

    x=easting,y=northing,crop_row=row

One mapping serves all three tables: each table takes the entries that name
its own columns.  Reading renames the user's columns to ours; writing renames
them back, so an output carries the input's own names.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING

from .._table_layout import FRAME_NAMES, LINK_COLUMNS, LINK_GROUP_COLUMN, POINT_COLUMNS, SEGMENT_COLUMNS
from .errors import FormatError

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "TABLES",
    "REQUIRED_COLUMNS",
    "OPTIONAL_COLUMNS",
    "KNOWN_COLUMNS",
    "POINT_XY",
    "SEGMENT_ANCHORS",
    "parse_columns",
    "parse_layers",
    "positional_names",
    "to_our_names",
    "to_their_names",
]

#: The three tables, in the order the merge takes them.
TABLES = FRAME_NAMES

#: Columns each table must have (after the mapping).
REQUIRED_COLUMNS: dict[str, tuple[str, ...]] = {
    "points": POINT_COLUMNS,
    "segments": SEGMENT_COLUMNS,
    "links": LINK_COLUMNS,
}
#: Columns a table may have, read by name when present.
OPTIONAL_COLUMNS: dict[str, tuple[str, ...]] = {"points": (), "segments": (), "links": (LINK_GROUP_COLUMN,)}
#: Every name a mapping may give, in a stable order.
KNOWN_COLUMNS: tuple[str, ...] = tuple(
    dict.fromkeys(name for table in TABLES for name in (*REQUIRED_COLUMNS[table], *OPTIONAL_COLUMNS[table]))
)
#: The point columns that Point geometry may stand in for.
POINT_XY = POINT_COLUMNS[2:]
#: The segment columns that a line through start, middle and end may stand in for.
SEGMENT_ANCHORS = REQUIRED_COLUMNS["segments"][2:]


def _pairs(text: str, what: str, form: str) -> list[tuple[str, str]]:
    """``a=b,c=d`` as ``(a, b)`` pairs: spaces around names and empty items are ignored."""
    pairs: list[tuple[str, str]] = []
    for item in text.split(","):
        if not item.strip():
            continue
        key, sign, value = item.partition("=")
        if not sign:
            raise FormatError(f"{what} {item.strip()!r}: expected {form}")
        pairs.append((key.strip(), value.strip()))
    return pairs


def parse_columns(given: str | Mapping[str, str] | None) -> dict[str, str]:
    """Return the mapping ``{our name: your name}`` given as text or as a mapping.

    The text is a comma-separated list of ``ours=yours`` items (spaces around
    names are ignored; an empty text is no mapping).  Unknown names of ours,
    an item without ``=``, an empty name, a name of ours given twice and two
    names of ours mapped to the same column are refused with
    :class:`FormatError`.
    """
    if given is None:
        return {}
    if isinstance(given, str):
        pairs = _pairs(given, "column mapping", "OURS=YOURS, e.g. x=easting")
    elif isinstance(given, Mapping):
        pairs = [(str(ours), str(yours)) for ours, yours in given.items()]
    else:
        raise FormatError(f"column mapping: expected text or a mapping, got {type(given).__name__}")
    mapping: dict[str, str] = {}
    owner: dict[str, str] = {}
    for ours, yours in pairs:
        if ours not in KNOWN_COLUMNS:
            raise FormatError(f"column mapping: unknown column {ours!r} (known: {', '.join(KNOWN_COLUMNS)})")
        if not yours:
            raise FormatError(f"column mapping: no name given for {ours!r}")
        if ours in mapping:
            raise FormatError(f"column mapping: {ours!r} is mapped twice")
        if yours in owner:
            raise FormatError(f"column mapping: {yours!r} is given for both {owner[yours]!r} and {ours!r}")
        mapping[ours] = yours
        owner[yours] = ours
    return mapping


def parse_layers(given: str | Mapping[str, str] | None) -> dict[str, str]:
    """Return the GeoPackage layer of each table, ``{table: layer}``, given as text or a mapping.

    The text is ``points=plants,segments=rows``; unknown tables and empty
    names are refused with :class:`FormatError`.
    """
    if given is None:
        return {}
    if isinstance(given, str):
        pairs = _pairs(given, "layers", "TABLE=LAYER, e.g. points=plants")
    else:
        pairs = [(str(table), str(layer)) for table, layer in given.items()]
    layers: dict[str, str] = {}
    for table, layer in pairs:
        if table not in TABLES:
            raise FormatError(f"layers: unknown table {table!r} (tables: {', '.join(TABLES)})")
        if not layer:
            raise FormatError(f"layers: no layer name given for {table!r}")
        layers[table] = layer
    return layers


def positional_names(table: str, width: int, what: str) -> list[str]:
    """Our column names for a table stored without names (a headerless CSV, a plain array).

    Points are ``crop_row, segment, x, y`` followed by ``value_4``,
    ``value_5``, ...; segments are exactly the eight columns of
    :data:`REQUIRED_COLUMNS`; links are the four columns, or five with
    ``group`` first.  ``what`` names the table and file in the error.
    """
    required = list(REQUIRED_COLUMNS[table])
    if table == "points":
        if width < len(required):
            raise FormatError(f"{what}: {width} unnamed columns; points need at least 4 ({', '.join(required)})")
        return required + [f"value_{k}" for k in range(len(required), width)]
    if table == "links" and width == len(required) + 1:
        return ["group", *required]
    if width != len(required):
        expected = "4 or 5 (group first)" if table == "links" else str(len(required))
        raise FormatError(
            f"{what}: {width} unnamed columns; {table} without column names need "
            f"{expected} ({', '.join(required)}); or give the columns names"
        )
    return required


def _listing(names: Iterable[object], limit: int = 12) -> str:
    texts = [str(n) for n in names]
    shown = ", ".join(texts[:limit])
    return shown + (f", ... ({len(texts)} in all)" if len(texts) > limit else "") if texts else "none"


def to_our_names(
    frame: pd.DataFrame, table: str, mapping: Mapping[str, str], what: str, *, from_geometry: Iterable[str] = ()
) -> tuple[pd.DataFrame, tuple[tuple[str, str], ...]]:
    """Rename the user's columns of ``frame`` to ours and check the required ones.

    Returns the renamed frame and the renames made, as ``(ours, theirs)``
    pairs, which :func:`to_their_names` undoes.  ``from_geometry`` names the
    required columns that the frame's geometry stands in for when they are
    absent (``x`` and ``y`` of Point geometry, the anchors of a segment's
    line).
    A missing column, or a column that already bears one of our names while
    another column is mapped to it, is refused with :class:`FormatError`
    (``what`` names the table and file).
    """
    present = set(map(str, frame.columns))
    renames: dict[str, str] = {}
    for ours in (*REQUIRED_COLUMNS[table], *OPTIONAL_COLUMNS[table]):
        theirs = mapping.get(ours, ours)
        if theirs == ours or theirs not in present:
            continue
        if ours in present:
            raise FormatError(
                f"{what}: column {theirs!r} is mapped to {ours!r}, but a column {ours!r} exists too; rename one of them"
            )
        renames[theirs] = ours
    renamed = frame.rename(columns=renames) if renames else frame
    have = present - set(renames) | set(renames.values())
    from_geometry = set(from_geometry)
    for ours in REQUIRED_COLUMNS[table]:
        if ours in have or ours in from_geometry:
            continue
        theirs = mapping.get(ours, ours)
        how = f" (mapped to {ours!r})" if theirs != ours else ""
        hint = {"points": " or Point geometry", "segments": " or line geometry (start, middle, end)"}.get(table, "")
        if ours not in POINT_XY + SEGMENT_ANCHORS:
            hint = ""
        raise FormatError(f"{what}: no column {theirs!r}{how}{hint}; its columns: {_listing(frame.columns)}")
    return renamed, tuple((ours, theirs) for theirs, ours in renames.items())


def to_their_names(frame: pd.DataFrame, renamed: Iterable[tuple[str, str]]) -> pd.DataFrame:
    """Undo :func:`to_our_names`: give the renamed columns their original names back."""
    back = {ours: theirs for ours, theirs in renamed if ours in frame.columns}
    return frame.rename(columns=back) if back else frame

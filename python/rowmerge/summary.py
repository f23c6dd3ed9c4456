"""What a merge did, in numbers: counts, per-group removals, text and JSON forms."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field

import numpy as np

from .junctions import row_keys

__all__ = ["GroupCount", "MergeSummary", "count_per_group", "count_without_group", "kept_mask",
           "format_text", "to_json", "JSON_KEYS"]

#: Keys of the JSON summary, always all present (``null`` when not applicable).
JSON_KEYS = ("command", "input", "preset", "seed", "output", "plot", "tolerance", "threads",
             "groups", "point_columns", "points_in", "points_kept", "points_removed",
             "points_without_group", "seconds", "per_group")


@dataclass(frozen=True)
class GroupCount:
    """Points of one main row before and after the merge.

    ``groups`` lists the groups (rows of ``connected_crop_rows``) whose main
    row this is; usually one.  When several groups share a main row, each
    collects the row's points, so ``points_in`` counts them once per group,
    and the counts are those of all of them together.
    """

    groups: tuple[int, ...]
    row: tuple[int, int]
    connected_rows: tuple[int, ...]  # per group
    points_in: int
    points_kept: int

    @property
    def points_removed(self) -> int:
        return self.points_in - self.points_kept

    def as_dict(self) -> dict[str, object]:
        return {"groups": list(self.groups), "row": list(self.row),
                "connected_rows": list(self.connected_rows), "points_in": self.points_in,
                "points_kept": self.points_kept, "points_removed": self.points_removed}


@dataclass
class MergeSummary:
    groups: int
    points_in: int
    points_kept: int
    point_columns: int
    seconds: float
    tolerance: float
    threads: int
    # Points whose crop row is no group's main row: no group collects them.
    points_without_group: int = 0
    per_group: list[GroupCount] | None = None
    context: dict[str, object] = field(default_factory=dict)

    @property
    def points_removed(self) -> int:
        return self.points_in - self.points_kept


def _connected_counts(connected_crop_rows: np.ndarray) -> np.ndarray:
    """Number of connected rows of every group (pairs before the first NaN)."""
    groups, columns = connected_crop_rows.shape
    counts = np.zeros(groups, dtype=np.int64)
    open_ = np.ones(groups, dtype=bool)
    for column in (3, 5, 7, 9):
        if column >= columns:
            break
        open_ &= ~np.isnan(connected_crop_rows[:, column])
        counts += open_
    return counts


def _count_keys(keys: np.ndarray, table: np.ndarray) -> np.ndarray:
    """How many rows of ``table`` belong to each crop row in ``keys``."""
    if table.shape[0] == 0:
        return np.zeros(len(keys), dtype=np.int64)
    table_keys, counts = np.unique(row_keys(table[:, 0], table[:, 1]), return_counts=True)
    position = np.minimum(np.searchsorted(table_keys, keys), len(table_keys) - 1)
    return np.where(table_keys[position] == keys, counts[position], 0)


def count_per_group(connected_crop_rows: np.ndarray, points_in_rows: np.ndarray,
                    result: np.ndarray) -> list[GroupCount]:
    """Points in, kept and removed for every main row, in group order."""
    conn = connected_crop_rows
    if conn.shape[0] == 0:
        return []
    keys = row_keys(conn[:, 1], conn[:, 2])
    connected = _connected_counts(conn)
    unique, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
    points_in = _count_keys(unique, points_in_rows)
    kept = _count_keys(unique, result)
    members: list[list[int]] = [[] for _ in unique]
    for group, slot in enumerate(inverse.ravel()):
        members[slot].append(group)
    out = []
    for slot in np.argsort(first, kind="stable"):
        groups = members[slot]
        key = int(unique[slot])
        out.append(GroupCount(groups=tuple(groups), row=(key >> 32, key & 0xFFFFFFFF),
                              connected_rows=tuple(int(connected[g]) for g in groups),
                              points_in=int(points_in[slot]) * len(groups),
                              points_kept=int(kept[slot])))
    return out


def count_without_group(connected_crop_rows: np.ndarray, points_in_rows: np.ndarray) -> int:
    """How many points belong to a crop row that no group names as its main row."""
    if points_in_rows.shape[0] == 0 or points_in_rows.shape[1] < 2:
        return 0
    if connected_crop_rows.shape[0] == 0 or connected_crop_rows.shape[1] < 3:
        return int(points_in_rows.shape[0])
    main = row_keys(connected_crop_rows[:, 1], connected_crop_rows[:, 2])
    own = row_keys(points_in_rows[:, 0], points_in_rows[:, 1])
    return int(np.count_nonzero(~np.isin(own, main)))


def _row_view(table: np.ndarray) -> np.ndarray:
    table = np.ascontiguousarray(table, dtype=np.float64)
    return table.view(np.dtype((np.void, 8 * table.shape[1]))).ravel()


def kept_mask(points_in_rows: np.ndarray, result: np.ndarray) -> np.ndarray:
    """For every input point, whether the result holds a copy of it (bit for bit)."""
    if points_in_rows.shape[0] == 0 or result.shape[0] == 0 or points_in_rows.shape[1] == 0:
        return np.zeros(points_in_rows.shape[0], dtype=bool)
    return np.isin(_row_view(points_in_rows), _row_view(result))


def _duration(seconds: float) -> str:
    if seconds < 1.0:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def format_text(summary: MergeSummary) -> list[str]:
    """The summary as short aligned lines."""
    removed = summary.points_removed
    share = f"  ({100.0 * removed / summary.points_in:.1f} %)" if summary.points_in else ""
    threads = "default threads" if summary.threads == 0 else (
        "1 thread" if summary.threads == 1 else f"{summary.threads} threads")
    rows = [("groups", f"{summary.groups:,}", ""),
            ("points in", f"{summary.points_in:,}", ""),
            ("points kept", f"{summary.points_kept:,}", ""),
            ("points removed", f"{removed:,}", share),
            *([("  in no group", f"{summary.points_without_group:,}",
                "  (their crop row is no group's main row)")]
              if summary.points_without_group else []),
            ("merge time", _duration(summary.seconds), f"  ({threads})")]
    width = max(len(value) for _, value, _ in rows)
    lines = [f"  {label:<15}{value:>{width}}{extra}" for label, value, extra in rows]
    if summary.per_group is not None:
        lines.append("  removed per group:")
        for entry in summary.per_group:
            names = ", ".join(str(g) for g in entry.groups)
            label = f"group {names}" if len(entry.groups) == 1 else f"groups {names}"
            connected = "/".join(str(c) for c in entry.connected_rows)
            lines.append(f"    {label:<10} row ({entry.row[0]}, {entry.row[1]})"
                         f"  {connected} connected  {entry.points_removed:>6,} of {entry.points_in:,}")
    return lines


def to_json(summary: MergeSummary) -> str:
    """The summary as one JSON object with the keys of :data:`JSON_KEYS`.

    A tolerance that is not a finite number is written as ``null``, so the
    text is strict JSON.
    """
    data: dict[str, object] = {key: None for key in JSON_KEYS}
    data.update({key: value for key, value in summary.context.items() if key in data})
    data.update(groups=summary.groups, point_columns=summary.point_columns,
                points_in=summary.points_in, points_kept=summary.points_kept,
                points_removed=summary.points_removed,
                points_without_group=summary.points_without_group, seconds=summary.seconds,
                tolerance=summary.tolerance if math.isfinite(summary.tolerance) else None,
                threads=summary.threads)
    del data["per_group"]  # last key, written below
    text = json.dumps(data, indent=2, allow_nan=False)
    # One line per group keeps long lists readable.
    if summary.per_group is None:
        listed = "null"
    elif not summary.per_group:
        listed = "[]"
    else:
        listed = "[\n" + ",\n".join("    " + json.dumps(entry.as_dict(), allow_nan=False)
                                     for entry in summary.per_group) + "\n  ]"
    return text[:-2] + f',\n  "per_group": {listed}\n}}'


"""What a merge did, in numbers: counts, per-group removals, text and JSON forms.

For one merge: :class:`MergeSummary`, :func:`format_text` and :func:`to_json`.
For a batch of files: :func:`file_line` (one line per file),
:func:`batch_total_line` and :func:`batch_to_json`, which take the outcomes
of :mod:`rowmerge.cli.job` (anything with the same attributes).
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .._table_layout import LIST_END_COLUMNS, MAIN_ROW_COLUMNS, POINT_ROW_COLUMNS
from .junctions import main_row_keys, point_row_keys

__all__ = [
    "GroupCount",
    "MergeSummary",
    "count_per_group",
    "count_without_group",
    "kept_mask",
    "format_text",
    "per_group_lines",
    "to_json",
    "JSON_KEYS",
    "file_line",
    "batch_total_line",
    "batch_to_json",
    "BATCH_JSON_KEYS",
    "FILE_JSON_KEYS",
]

#: Keys of the JSON summary, always all present (``null`` when not applicable).
JSON_KEYS = (
    "command",
    "input",
    "preset",
    "seed",
    "output",
    "plot",
    "tolerance",
    "threads",
    "groups",
    "point_columns",
    "points_in",
    "points_kept",
    "points_removed",
    "points_without_group",
    "seconds",
    "per_group",
)
#: Keys of a batch's JSON summary, and of each of its ``files`` entries.
BATCH_JSON_KEYS = (
    "command",
    "output_dir",
    "jobs",
    "threads",
    "tolerance",
    "files_total",
    "files_merged",
    "files_failed",
    "exit_status",
    "points_in",
    "points_kept",
    "points_removed",
    "seconds",
    "files",
)
FILE_JSON_KEYS = (
    "input",
    "output",
    "tables",
    "status",
    "exit_status",
    "error",
    "tolerance",
    "groups",
    "point_columns",
    "points_in",
    "points_kept",
    "points_removed",
    "points_without_group",
    "seconds",
    "merge_seconds",
    "warnings",
    "per_group",
)


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
        return {
            "groups": list(self.groups),
            "row": list(self.row),
            "connected_rows": list(self.connected_rows),
            "points_in": self.points_in,
            "points_kept": self.points_kept,
            "points_removed": self.points_removed,
        }


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
    for column in LIST_END_COLUMNS:
        if column >= columns:
            break
        open_ &= ~np.isnan(connected_crop_rows[:, column])
        counts += open_
    return counts


def _count_keys(keys: np.ndarray, table: np.ndarray) -> np.ndarray:
    """How many rows of ``table`` belong to each crop row in ``keys``."""
    if table.shape[0] == 0:
        return np.zeros(len(keys), dtype=np.int64)
    table_keys, counts = np.unique(point_row_keys(table), return_counts=True)
    position = np.minimum(np.searchsorted(table_keys, keys), len(table_keys) - 1)
    return np.where(table_keys[position] == keys, counts[position], 0)


def count_per_group(
    connected_crop_rows: np.ndarray, points_in_rows: np.ndarray, result: np.ndarray
) -> list[GroupCount]:
    """Points in, kept and removed for every main row, in group order."""
    conn = connected_crop_rows
    if conn.shape[0] == 0:
        return []
    keys = main_row_keys(conn)
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
        out.append(
            GroupCount(
                groups=tuple(groups),
                row=(key >> 32, key & 0xFFFFFFFF),
                connected_rows=tuple(int(connected[g]) for g in groups),
                points_in=int(points_in[slot]) * len(groups),
                points_kept=int(kept[slot]),
            )
        )
    return out


def count_without_group(connected_crop_rows: np.ndarray, points_in_rows: np.ndarray) -> int:
    """How many points belong to a crop row that no group names as its main row."""
    if points_in_rows.shape[0] == 0 or points_in_rows.shape[1] <= max(POINT_ROW_COLUMNS):
        return 0
    if connected_crop_rows.shape[0] == 0 or connected_crop_rows.shape[1] <= max(MAIN_ROW_COLUMNS):
        return int(points_in_rows.shape[0])
    main = main_row_keys(connected_crop_rows)
    own = point_row_keys(points_in_rows)
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
    threads = (
        "default threads"
        if summary.threads == 0
        else ("1 thread" if summary.threads == 1 else f"{summary.threads} threads")
    )
    rows = [
        ("groups", f"{summary.groups:,}", ""),
        ("points in", f"{summary.points_in:,}", ""),
        ("points kept", f"{summary.points_kept:,}", ""),
        ("points removed", f"{removed:,}", share),
        *(
            [("  in no group", f"{summary.points_without_group:,}", "  (their crop row is no group's main row)")]
            if summary.points_without_group
            else []
        ),
        ("merge time", _duration(summary.seconds), f"  ({threads})"),
    ]
    width = max(len(value) for _, value, _ in rows)
    lines = [f"  {label:<15}{value:>{width}}{extra}" for label, value, extra in rows]
    if summary.per_group is not None:
        lines.append("  removed per group:")
        lines.extend(per_group_lines(summary.per_group))
    return lines


def per_group_lines(per_group: Sequence[GroupCount], indent: str = "    ") -> list[str]:
    """One line per main row: its groups, connected rows and the points it lost."""
    lines = []
    for entry in per_group:
        names = ", ".join(str(g) for g in entry.groups)
        label = f"group {names}" if len(entry.groups) == 1 else f"groups {names}"
        connected = "/".join(str(c) for c in entry.connected_rows)
        lines.append(
            f"{indent}{label:<10} row ({entry.row[0]}, {entry.row[1]})"
            f"  {connected} connected  {entry.points_removed:>6,} of {entry.points_in:,}"
        )
    return lines


def to_json(summary: MergeSummary) -> str:
    """The summary as one JSON object with the keys of :data:`JSON_KEYS`.

    A tolerance that is not a finite number is written as ``null``, so the
    text is strict JSON.
    """
    data: dict[str, object] = {key: None for key in JSON_KEYS}
    data.update({key: value for key, value in summary.context.items() if key in data})
    data.update(
        groups=summary.groups,
        point_columns=summary.point_columns,
        points_in=summary.points_in,
        points_kept=summary.points_kept,
        points_removed=summary.points_removed,
        points_without_group=summary.points_without_group,
        seconds=summary.seconds,
        tolerance=summary.tolerance if math.isfinite(summary.tolerance) else None,
        threads=summary.threads,
    )
    del data["per_group"]  # last key, written below
    text = json.dumps(data, indent=2, allow_nan=False)
    # One line per group keeps long lists readable.
    if summary.per_group is None:
        listed = "null"
    elif not summary.per_group:
        listed = "[]"
    else:
        listed = (
            "[\n"
            + ",\n".join("    " + json.dumps(entry.as_dict(), allow_nan=False) for entry in summary.per_group)
            + "\n  ]"
        )
    return text[:-2] + f',\n  "per_group": {listed}\n}}'


# --- batches -------------------------------------------------------------------------


def file_line(outcome: Any) -> str:
    """One line for one file of a batch: counts and time, or why it failed.

    ``ok`` lines hold points in, kept and removed and the file's time
    (reading, merging and writing), then the input's name; ``failed`` lines
    the input's name and the one-line error.
    """
    if not outcome.ok:
        return f"failed  {outcome.input}: {outcome.error}"
    return (
        f"ok      {outcome.points_in:>11,} in {outcome.points_kept:>11,} kept "
        f"{outcome.points_removed:>11,} removed {_duration(outcome.seconds):>10}  {outcome.input}"
    )


def _sum(outcomes: Sequence[Any], name: str) -> int:
    return sum(getattr(o, name) for o in outcomes if o.ok)


def batch_total_line(outcomes: Sequence[Any], seconds: float) -> str:
    """The closing line of a batch: files merged and failed, points in all, the wall time."""
    merged = sum(1 for o in outcomes if o.ok)
    failed = len(outcomes) - merged
    points_in, kept = _sum(outcomes, "points_in"), _sum(outcomes, "points_kept")
    files = "file" if len(outcomes) == 1 else "files"
    return (
        f"{len(outcomes):,} {files}: {merged:,} merged, {failed:,} failed; {points_in:,} points in, "
        f"{kept:,} kept, {points_in - kept:,} removed; {_duration(seconds)}"
    )


def _finite(value: float | None) -> float | None:
    return value if value is not None and math.isfinite(value) else None


def _file_entry(outcome: Any) -> dict[str, object]:
    ok = outcome.ok
    return {
        "input": outcome.input,
        "output": outcome.output if ok else None,
        "tables": dict(outcome.sources) or None,
        "status": "ok" if ok else "failed",
        "exit_status": outcome.status,
        "error": outcome.error,
        "tolerance": _finite(outcome.tolerance) if ok else None,
        "groups": outcome.groups if ok else None,
        "point_columns": outcome.point_columns if ok else None,
        "points_in": outcome.points_in if ok else None,
        "points_kept": outcome.points_kept if ok else None,
        "points_removed": outcome.points_removed if ok else None,
        "points_without_group": outcome.points_without_group if ok else None,
        "seconds": outcome.seconds,
        "merge_seconds": outcome.merge_seconds if ok else None,
        "warnings": list(outcome.warnings),
        "per_group": [g.as_dict() for g in outcome.per_group] if outcome.per_group is not None else None,
    }


def batch_to_json(outcomes: Sequence[Any], seconds: float, context: Mapping[str, object]) -> str:
    """A batch as one JSON object with the keys of :data:`BATCH_JSON_KEYS`.

    ``files`` lists one object per input (keys :data:`FILE_JSON_KEYS`), in the
    order of the inputs, each on its own line; ``context`` gives
    ``output_dir``, ``jobs``, ``threads`` and ``tolerance``.
    """
    merged = sum(1 for o in outcomes if o.ok)
    data: dict[str, object] = {key: None for key in BATCH_JSON_KEYS}
    data.update({key: value for key, value in context.items() if key in data})
    points_in, kept = _sum(outcomes, "points_in"), _sum(outcomes, "points_kept")
    data.update(
        command="merge",
        files_total=len(outcomes),
        files_merged=merged,
        files_failed=len(outcomes) - merged,
        exit_status=max((o.status for o in outcomes), default=0),
        points_in=points_in,
        points_kept=kept,
        points_removed=points_in - kept,
        seconds=seconds,
    )
    del data["files"]  # last key, written below
    text = json.dumps(data, indent=2, allow_nan=False)
    entries = [json.dumps(_file_entry(o), allow_nan=False) for o in outcomes]
    listed = "[\n" + ",\n".join("    " + e for e in entries) + "\n  ]" if entries else "[]"
    return text[:-2] + f',\n  "files": {listed}\n}}'

"""Where the merge cuts: the junction of every group with each connected row.

For a group's main row and one connected row, the merge takes the pair of
anchors (one of each row) that lie farthest apart: the far anchors.  Each row's
near anchor is its anchor 1 when its far anchor is anchor 0, else its anchor 0.
The midpoint of the two near anchors, projected onto the line through the main
row's far and near anchors, is the cut point.  The main row loses its points
between the cut point and its near anchor (tested per axis, with the
tolerance as margin), unless the cut point lies within the tolerance of the
near anchor, in which case nothing is cut.

This module recomputes those points in Python for pictures and summaries;
the merge itself never calls it.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .._table_layout import (
    ANCHOR_COLUMNS,
    ANCHOR_COUNT,
    CONNECTED_ROW_COLUMNS,
    MAIN_ROW_COLUMNS,
    MAX_ROW_IDENTIFIER,
    POINT_ROW_COLUMNS,
    RECORD_COLUMNS,
    RECORD_ID_COLUMNS,
)

__all__ = [
    "Junction",
    "find_junctions",
    "to_row_identifier",
    "row_keys",
    "main_row_keys",
    "point_row_keys",
    "record_keys",
]


def to_row_identifier(values: np.ndarray) -> np.ndarray:
    """Identifiers as the merge compares them: truncated to uint32, saturating, NaN as 0."""
    values = np.asarray(values, dtype=np.float64)
    identifiers: np.ndarray = np.minimum(np.fmax(values, 0.0), float(MAX_ROW_IDENTIFIER)).astype(np.uint32)
    return identifiers


def row_keys(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """One uint64 per crop row from its two identifiers (after conversion)."""
    keys: np.ndarray = (to_row_identifier(first).astype(np.uint64) << np.uint64(32)) | to_row_identifier(second)
    return keys


def _keys_of(table: np.ndarray, columns: tuple[int, int]) -> np.ndarray:
    return row_keys(table[:, columns[0]], table[:, columns[1]])


def main_row_keys(connected_crop_rows: np.ndarray) -> np.ndarray:
    """The key of every group's main row."""
    return _keys_of(connected_crop_rows, MAIN_ROW_COLUMNS)


def point_row_keys(points_in_rows: np.ndarray) -> np.ndarray:
    """The key of every point's crop row."""
    return _keys_of(points_in_rows, POINT_ROW_COLUMNS)


def record_keys(row_information: np.ndarray) -> np.ndarray:
    """The key of every record's crop row."""
    return _keys_of(row_information, RECORD_ID_COLUMNS)


@dataclass(frozen=True)
class Junction:
    """One trimming pass: group ``group`` against its connected row number ``slot``."""

    group: int  # row index in connected_crop_rows
    slot: int  # 0 to 3: which connected row of the group
    main_record: int  # row index in row_information
    partner_record: int
    far: tuple[float, float]  # main row's far anchor F
    near: tuple[float, float]  # main row's near anchor N
    partner_near: tuple[float, float]  # connected row's near anchor P
    cut: tuple[float, float]  # cut point C
    cuts: bool  # False when C lies within the tolerance of N

    @property
    def cut_length(self) -> float:
        """Distance from the cut point to the near anchor."""
        return math.hypot(self.cut[0] - self.near[0], self.cut[1] - self.near[1])


def _first_record(match: np.ndarray) -> int:
    hits = np.flatnonzero(match)
    return int(hits[0]) if hits.size else -1


Point = tuple[float, float]


def _cut_point(main: np.ndarray, partner: np.ndarray) -> tuple[Point, Point, Point, Point]:
    """Far anchor F, near anchor N, partner near anchor P and cut point C of one pass."""
    best, far_i, far_j = 0.0, 0, 0
    for i in range(3):
        for j in range(3):
            dy = main[i, 1] - partner[j, 1]
            dx = main[i, 0] - partner[j, 0]
            d = math.sqrt(dy * dy + dx * dx)
            if d > best:
                best, far_i, far_j = d, i, j
    f = main[far_i]
    n = main[1] if far_i == 0 else main[0]
    p = partner[1] if far_j == 0 else partner[0]
    m = (n + p) * 0.5
    v = f - n
    w = m - n
    vv = 0.0 + v[0] * v[0] + v[1] * v[1]
    with np.errstate(all="ignore"):
        t = (0.0 + w[0] * v[0] + w[1] * v[1]) / vv if vv else math.nan
    c = (float(n[0] + v[0] * t), float(n[1] + v[1] * t))
    return (float(f[0]), float(f[1])), (float(n[0]), float(n[1])), (float(p[0]), float(p[1])), c


def find_junctions(connected_crop_rows: np.ndarray, row_information: np.ndarray, tolerance: float) -> list[Junction]:
    """Every trimming pass of a merge of these tables, in group order.

    Groups whose records cannot be found (the merge would fail on them) are
    skipped, as are tables without the 11 columns of anchors.
    """
    conn, info = connected_crop_rows, row_information
    if (
        conn.shape[0] == 0
        or conn.shape[1] <= CONNECTED_ROW_COLUMNS[0][0]
        or info.shape[0] == 0
        or info.shape[1] != RECORD_COLUMNS
    ):
        return []
    info_keys = record_keys(info)
    main_keys = main_row_keys(conn)
    anchors = info[:, ANCHOR_COLUMNS].reshape(-1, ANCHOR_COUNT, 2)
    first_id, second_id = RECORD_ID_COLUMNS
    junctions: list[Junction] = []
    for group in range(conn.shape[0]):
        main_record = _first_record(info_keys == main_keys[group])
        if main_record < 0:
            continue
        for slot, (first, second) in enumerate(CONNECTED_ROW_COLUMNS):
            if second >= conn.shape[1] or math.isnan(conn[group, first]):
                break
            partner_record = _first_record(
                (info[:, first_id] == conn[group, first]) & (info[:, second_id] == conn[group, second])
            )
            if partner_record < 0:
                break
            far, near, partner_near, cut = _cut_point(anchors[main_record], anchors[partner_record])
            reach = math.hypot(cut[1] - near[1], cut[0] - near[0])
            junctions.append(
                Junction(
                    group, slot, main_record, partner_record, far, near, partner_near, cut, cuts=not tolerance > reach
                )
            )
    return junctions

"""Plain Python model of ``merge_points_removing_overlap``.

This is the oracle of the differential tests.  It is written for reading, not
for speed: the tables are turned into lists of Python floats and every group
is walked step by step, reading one cell at a time and failing with the same
text as the engine at the first cell that does not exist.

The model describes a run with a single worker: groups are processed in
ascending order and the first failing group ends the call.  With more workers
the engine still reports the failure of the lowest failing group, so the
failure text is the same for every worker count; only the order of the
per-group batches in a successful result may change.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

OUT_OF_BOUNDS = "ndarray: index out of bounds"
INDEX_BEYOND_ROWS = "assertion failed: index < dim"
RECORD_NOT_FOUND = "called `Option::unwrap()` on a `None` value"
BAD_ANCHOR_COUNT = (
    "called `Result::unwrap()` on an `Err` value: "
    "ShapeError/IncompatibleShape: incompatible shapes"
)

PARAMETERS = ("connected_crop_rows", "points_in_rows", "row_information")

U32_MAX = 4294967295


@dataclass(frozen=True)
class Failure:
    """What the caller sees when the call does not return an array.

    ``kind`` is the exception class name: "PanicException" for failures of
    the engine, "TypeError" for a refused table argument (which also carries
    the note naming the argument).
    """

    text: str
    kind: str = "PanicException"
    note: str | None = None


class _GroupFailed(Exception):
    def __init__(self, text: str):
        super().__init__(text)
        self.text = text


# ---------------------------------------------------------------------------
# Arguments


def _refusal_text(obj) -> str | None:
    """The TypeError text for a table argument, or None when it is accepted."""
    if obj is None:
        return "'None' is not an instance of 'ndarray'"
    if not isinstance(obj, np.ndarray):
        return f"'{type(obj).__qualname__}' object is not an instance of 'ndarray'"
    accepted = (
        obj.ndim == 2
        and obj.dtype.kind == "f"
        and obj.dtype.itemsize == 8
        and obj.dtype.isnative
    )
    if not accepted:
        return f"'{type(obj).__qualname__}' object is not an instance of 'ndarray'"
    return None


def check_arguments(connected_crop_rows, points_in_rows, row_information):
    """The first refused table argument as a Failure, or None."""
    for name, obj in zip(
        PARAMETERS, (connected_crop_rows, points_in_rows, row_information)
    ):
        text = _refusal_text(obj)
        if text is not None:
            return Failure(text, kind="TypeError", note=f"while processing '{name}'")
    return None


# ---------------------------------------------------------------------------
# Small helpers


def cell(row: list[float], column: int) -> float:
    """One value of a table row; a missing column fails like the engine."""
    if column >= len(row):
        raise _GroupFailed(OUT_OF_BOUNDS)
    return row[column]


def to_row_identifier(value: float) -> int:
    """Saturating truncation of a float identifier to an unsigned 32-bit value."""
    if math.isnan(value) or value <= 0.0:
        return 0
    if value >= U32_MAX:
        return U32_MAX
    return int(value)  # truncates toward zero


def divide(numerator: float, denominator: float) -> float:
    """IEEE division: Python raises on a zero divisor, the engine does not."""
    if denominator != 0.0 or math.isnan(denominator):
        return numerator / denominator
    if numerator == 0.0 or math.isnan(numerator):
        return math.nan
    negative = (math.copysign(1.0, numerator) < 0) != (
        math.copysign(1.0, denominator) < 0
    )
    return -math.inf if negative else math.inf


def distance(ax: float, ay: float, bx: float, by: float) -> float:
    dy = ay - by
    dx = ax - bx
    return math.sqrt(dy * dy + dx * dx)


# ---------------------------------------------------------------------------
# One trimming pass


def anchor_set(tail: list[float]) -> list[tuple[float, float]]:
    """The three anchors of a record tail (its values after the first one)."""
    values = tail[1:]
    if len(values) != 6:
        raise _GroupFailed(BAD_ANCHOR_COUNT)
    return [(values[0], values[1]), (values[2], values[3]), (values[4], values[5])]


def cut_point(main, partner):
    """Cut point C and near anchor N of a main row against a partner row."""
    best = 0.0
    far_main = 0
    far_partner = 0
    for i in range(3):
        for j in range(3):
            d = distance(main[i][0], main[i][1], partner[j][0], partner[j][1])
            if d > best:
                best = d
                far_main = i
                far_partner = j

    fx, fy = main[far_main]
    nx, ny = main[1] if far_main == 0 else main[0]
    px, py = partner[1] if far_partner == 0 else partner[0]

    mx = (nx + px) * 0.5
    my = (ny + py) * 0.5

    vx = fx - nx
    vy = fy - ny
    wx = mx - nx
    wy = my - ny
    wv = (0.0 + wx * vx) + wy * vy
    vv = (0.0 + vx * vx) + vy * vy
    t = divide(wv, vv)
    cx = nx + vx * t
    cy = ny + vy * t
    return (cx, cy), (nx, ny)


def keep_point(point: list[float], cut, near, tolerance: float) -> bool:
    ax, ay = cut
    bx, by = near
    r = tolerance
    x = cell(point, 2)
    y = cell(point, 3)

    if r > distance(ax, ay, bx, by):
        return not math.isnan(x) and not math.isnan(y)

    if ax < bx and ay < by:
        return (x <= ax + r and y <= ay + r) or (x >= bx + r and y >= by + r)
    if ax < bx and ay > by:
        return (x <= ax + r and y >= ay - r) or (x >= bx + r and y <= by - r)
    if ax > bx and ay > by:
        return (x >= ax - r and y >= ay - r) or (x <= bx - r and y <= by - r)
    return (x >= ax - r and y <= ay + r) or (x <= bx - r and y >= by + r)


def trim_against_connected_row(points, main_tail, connected_tail, tolerance):
    main = anchor_set(main_tail)
    partner = anchor_set(connected_tail)
    cut, near = cut_point(main, partner)
    return [list(p) for p in points if keep_point(p, cut, near, tolerance)]


# ---------------------------------------------------------------------------
# One group


def collect_row_points(points_in_rows, first_id: int, second_id: int):
    collected = []
    for row in points_in_rows:
        if to_row_identifier(cell(row, 0)) != first_id:
            continue
        if to_row_identifier(cell(row, 1)) != second_id:
            continue
        collected.append(list(row))
    return collected


def find_main_record(row_information, first_id: int, second_id: int):
    for record in row_information:
        if to_row_identifier(cell(record, 0)) != first_id:
            continue
        if to_row_identifier(cell(record, 4)) == second_id:
            return record
    raise _GroupFailed(RECORD_NOT_FOUND)


def find_connected_record(row_information, first: float, second: float):
    for record in row_information:
        if cell(record, 0) != first:
            continue
        if cell(record, 4) == second:
            return record
    raise _GroupFailed(RECORD_NOT_FOUND)


def merge_connected_group(
    connected_crop_rows, points_in_rows, row_information, tolerance, group
):
    if group >= len(connected_crop_rows):
        raise _GroupFailed(INDEX_BEYOND_ROWS)
    group_row = connected_crop_rows[group]

    first_id = to_row_identifier(cell(group_row, 1))
    second_id = to_row_identifier(cell(group_row, 2))

    points = collect_row_points(points_in_rows, first_id, second_id)

    main_record = find_main_record(row_information, first_id, second_id)
    main_tail = list(main_record[4:])

    for k in range(4):
        column = 3 + 2 * k
        first = cell(group_row, column)
        if math.isnan(first):
            break
        second = cell(group_row, column + 1)
        connected_record = find_connected_record(row_information, first, second)
        connected_tail = list(connected_record[4:])
        points = trim_against_connected_row(
            points, main_tail, connected_tail, tolerance
        )

    return points


# ---------------------------------------------------------------------------
# The whole call


def reference_batches(connected_crop_rows, points_in_rows, row_information, tolerance):
    """The per-group batches of surviving rows, in group order, or a Failure."""
    refused = check_arguments(connected_crop_rows, points_in_rows, row_information)
    if refused is not None:
        return refused

    groups = connected_crop_rows.tolist()
    points = points_in_rows.tolist()
    records = row_information.tolist()
    tolerance = float(tolerance)

    batches = []
    for group in range(len(groups)):
        try:
            batches.append(
                merge_connected_group(groups, points, records, tolerance, group)
            )
        except _GroupFailed as failed:
            return Failure(failed.text)
    return batches


def reference_merge(connected_crop_rows, points_in_rows, row_information, tolerance):
    """The rows of the result as lists of floats, or a Failure.

    An empty list stands for a result of shape (0, column count of
    ``points_in_rows``).
    """
    batches = reference_batches(
        connected_crop_rows, points_in_rows, row_information, tolerance
    )
    if isinstance(batches, Failure):
        return batches
    return [row for batch in batches for row in batch]

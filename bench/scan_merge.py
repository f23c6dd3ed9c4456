"""Point-by-point merge in plain Python: the slow yardstick.

It walks the tables exactly the way the kernel is described: for every group,
scan ``points_in_rows`` for the main row's points, scan ``row_information`` for
the main record and for each connected record, and trim once per connected
row.  Python floats are IEEE doubles and ``math.sqrt`` is correctly rounded,
so with the arithmetic written in the same order the surviving points are the
same bit for bit.  Far too slow for a field; use it on a few groups to check
the vectorised version.
"""

from __future__ import annotations

import math

import numpy as np

_MAX_ID = 4294967295


def to_row_identifier(value: float) -> int:
    """Saturating truncation to an unsigned 32-bit identifier (NaN -> 0)."""
    if value != value or value <= 0.0:
        return 0
    if value >= 4294967295.0:
        return _MAX_ID
    return int(value)


def _anchors(tail):
    if len(tail) != 7:
        raise ValueError("a record needs exactly six anchor values after its second identifier")
    return [(tail[1], tail[2]), (tail[3], tail[4]), (tail[5], tail[6])]


def keep_point(point, a, b, r) -> bool:
    if len(point) < 4:
        raise ValueError("a point needs x and y in columns 2 and 3")
    ax, ay = a
    bx, by = b
    x, y = point[2], point[3]
    if r > math.sqrt((ay - by) * (ay - by) + (ax - bx) * (ax - bx)):
        return not (math.isnan(x) or math.isnan(y))
    if ax < bx and ay < by:
        return (x <= ax + r and y <= ay + r) or (x >= bx + r and y >= by + r)
    if ax < bx and ay > by:
        return (x <= ax + r and y >= ay - r) or (x >= bx + r and y <= by - r)
    if ax > bx and ay > by:
        return (x >= ax - r and y >= ay - r) or (x <= bx - r and y <= by - r)
    return (x >= ax - r and y <= ay + r) or (x <= bx - r and y >= by + r)


def cut_and_near(main_tail, connected_tail):
    """Cut point C and near anchor N of one trimming pass."""
    main = _anchors(main_tail)
    partner = _anchors(connected_tail)
    best, bi, bj = 0.0, 0, 0
    for i in range(3):
        for j in range(3):
            dy = main[i][1] - partner[j][1]
            dx = main[i][0] - partner[j][0]
            d = math.sqrt(dy * dy + dx * dx)
            if d > best:
                best, bi, bj = d, i, j
    f = main[bi]
    n = main[1] if bi == 0 else main[0]
    p = partner[1] if bj == 0 else partner[0]
    m = ((n[0] + p[0]) * 0.5, (n[1] + p[1]) * 0.5)
    v = (f[0] - n[0], f[1] - n[1])
    w = (m[0] - n[0], m[1] - n[1])
    wv = 0.0 + w[0] * v[0]
    wv = wv + w[1] * v[1]
    vv = 0.0 + v[0] * v[0]
    vv = vv + v[1] * v[1]
    t = wv / vv if vv != 0.0 else (math.nan if wv == 0.0 or wv != wv
                                   else math.copysign(math.inf, wv) * math.copysign(1.0, vv))
    c = (n[0] + v[0] * t, n[1] + v[1] * t)
    return c, n


def merge_group(conn_row, points, info, tolerance):
    """Surviving points (lists of floats) of one group."""
    if len(conn_row) < 3:
        raise ValueError("connected_crop_rows needs at least 3 columns")
    id1 = to_row_identifier(conn_row[1])
    id2 = to_row_identifier(conn_row[2])
    group_points = [row for row in points
                    if to_row_identifier(row[0]) == id1 and to_row_identifier(row[1]) == id2]
    main = next((rec for rec in info
                 if to_row_identifier(rec[0]) == id1 and to_row_identifier(rec[4]) == id2), None)
    if main is None:
        raise ValueError(f"no record for main row ({conn_row[1]!r}, {conn_row[2]!r})")
    main_tail = main[4:]
    for k in range(4):
        c = 3 + 2 * k
        if c >= len(conn_row):
            raise ValueError("connected_crop_rows ends inside the list of connected rows")
        if math.isnan(conn_row[c]):
            break
        if c + 1 >= len(conn_row):
            raise ValueError("connected_crop_rows ends inside the list of connected rows")
        record = next((rec for rec in info if rec[0] == conn_row[c] and rec[4] == conn_row[c + 1]), None)
        if record is None:
            raise ValueError(f"no record for connected row ({conn_row[c]!r}, {conn_row[c + 1]!r})")
        cut, near = cut_and_near(main_tail, record[4:])
        group_points = [pt for pt in group_points if keep_point(pt, cut, near, tolerance)]
    return group_points


def merge_scan(connected_crop_rows, points_in_rows, row_information, tolerance):
    """All groups in table order, stacked like a one-worker native call."""
    points = np.asarray(points_in_rows, dtype=np.float64).tolist()
    info = np.asarray(row_information, dtype=np.float64).tolist()
    rows = []
    for conn_row in np.asarray(connected_crop_rows, dtype=np.float64).tolist():
        rows.extend(merge_group(conn_row, points, info, float(tolerance)))
    width = np.shape(points_in_rows)[1]
    return np.array(rows, dtype=np.float64).reshape(len(rows), width)

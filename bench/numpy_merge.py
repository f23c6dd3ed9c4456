"""The merge written with NumPy alone: what a user would do without ``_native``.

Same surviving points as the extension, bit for bit, with the groups in
ascending order and each group's points in table order (the order of a
one-worker native call).  It is vectorised over all points of all groups:

1. the point rows are grouped once by their converted identifier pair
   (a stable argsort of a 64-bit key), so every group finds its slice with a
   binary search;
2. records are found through sorted keys: converted identifiers for the main
   record, exact float values for connected records, first record in table
   order winning;
3. each trimming pass reduces to a cut point, a near anchor and a rule per
   (group, pass); those are computed for all groups at once and the per-point
   test runs over one flat array of all group points.

Passes only remove points and each point's fate depends on nothing but the
point and the pass, so a point survives the group exactly when it survives
every one of its group's passes; the passes can be applied in any order.

Malformed tables raise ``ValueError`` (the wording differs from the
extension's messages).
"""

from __future__ import annotations

import numpy as np

__all__ = ["merge_points_removing_overlap", "to_row_identifier"]

_MAX_ID = 4294967295


def to_row_identifier(values: np.ndarray) -> np.ndarray:
    """Saturating truncation to uint32: NaN and values <= 0 give 0."""
    values = np.asarray(values, dtype=np.float64)
    # fmax drops NaN in favour of 0.0; astype then truncates toward zero.
    clipped = np.minimum(np.fmax(values, 0.0), 4294967295.0)
    return clipped.astype(np.uint32)


def _pair_key(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    return (to_row_identifier(first).astype(np.uint64) << np.uint64(32)) | to_row_identifier(second)


def _table(value, name: str) -> np.ndarray:
    if not isinstance(value, np.ndarray) or value.dtype != np.float64 or value.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional float64 array")
    return value


def _first_index_of(keys: np.ndarray, queries: np.ndarray) -> np.ndarray:
    """Index of the first occurrence of each query in ``keys``, -1 if absent."""
    unique, first = np.unique(keys, return_index=True)
    pos = np.searchsorted(unique, queries)
    pos_clipped = np.minimum(pos, max(len(unique) - 1, 0))
    found = (pos < len(unique)) & (unique[pos_clipped] == queries) if len(unique) else \
        np.zeros(queries.shape, bool)
    return np.where(found, first[pos_clipped] if len(unique) else -1, -1)


def _float_pair_key(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Exact float-equality key of two columns (-0.0 and 0.0 coincide)."""
    key = np.empty((len(first), 2), dtype=np.float64)
    key[:, 0] = first + 0.0
    key[:, 1] = second + 0.0
    return key.view(np.uint64).view(np.dtype((np.void, 16))).ravel()


def _connected_records(info: np.ndarray, first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Record index for each (first, second) pair by float equality, -1 if none."""
    usable = ~(np.isnan(info[:, 0]) | np.isnan(info[:, 4]))
    rec_idx = np.nonzero(usable)[0]
    if len(rec_idx) == 0 or len(first) == 0:
        return np.full(len(first), -1, dtype=np.int64)
    keys = _float_pair_key(info[rec_idx, 0], info[rec_idx, 4])
    queries = _float_pair_key(first, second)
    hit = _first_index_of(keys, queries)
    hit = np.where(hit >= 0, rec_idx[np.maximum(hit, 0)], -1)
    hit[np.isnan(first) | np.isnan(second)] = -1
    return hit


def _cut_points(main_anchors: np.ndarray, partner_anchors: np.ndarray):
    """Cut point C and near anchor N for arrays of (3, 2) anchor sets."""
    mx, my = main_anchors[:, :, 0], main_anchors[:, :, 1]
    px, py = partner_anchors[:, :, 0], partner_anchors[:, :, 1]
    dy = my[:, :, None] - py[:, None, :]
    dx = mx[:, :, None] - px[:, None, :]
    dist = np.sqrt(dy * dy + dx * dx).reshape(-1, 9)
    # First strict maximum in (main, partner) order; NaN never wins and
    # nothing above 0 leaves the pair (0, 0).
    dist = np.where(np.isnan(dist), -1.0, dist)
    best = np.argmax(dist, axis=1)
    best[dist[np.arange(len(best)), best] <= 0.0] = 0
    i_far, j_far = best // 3, best % 3
    rows = np.arange(len(best))
    f = main_anchors[rows, i_far]
    n = main_anchors[rows, np.where(i_far == 0, 1, 0)]
    p = partner_anchors[rows, np.where(j_far == 0, 1, 0)]
    m = (n + p) * 0.5
    v = f - n
    w = m - n
    wv = (0.0 + w[:, 0] * v[:, 0]) + w[:, 1] * v[:, 1]
    vv = (0.0 + v[:, 0] * v[:, 0]) + v[:, 1] * v[:, 1]
    t = wv / vv
    c = np.empty_like(n)
    c[:, 0] = n[:, 0] + v[:, 0] * t
    c[:, 1] = n[:, 1] + v[:, 1] * t
    return c, n


def _pass_rules(c: np.ndarray, n: np.ndarray, r: float):
    """Per-pass comparison constants.

    A point (x, y) survives the pass when
    ``(sx*x <= u1 and sy*y <= v1) or (sx*x >= u2 and sy*y >= v2)``.
    Multiplying by -1 is exact, so ``sx*x <= sx*T`` is ``x >= T`` for
    ``sx == -1`` with the same NaN behaviour.  The thresholds are formed as
    ``a + r`` / ``a - r`` per axis, exactly as the per-point test forms them.
    """
    ax, ay, bx, by = c[:, 0], c[:, 1], n[:, 0], n[:, 1]
    dist = np.sqrt((ay - by) * (ay - by) + (ax - bx) * (ax - bx))
    near = r > dist
    rule1 = (ax < bx) & (ay < by)
    rule2 = (ax < bx) & (ay > by)
    rule3 = (ax > bx) & (ay > by)
    sx = np.where(rule1 | rule2, 1.0, -1.0)
    sy = np.where(rule2 | rule3, -1.0, 1.0)
    # ax + (-r) is ax - r bit for bit (IEEE subtraction adds the negation).
    rx, ry = sx * r, sy * r
    u1, v1 = sx * (ax + rx), sy * (ay + ry)
    u2, v2 = sx * (bx + rx), sy * (by + ry)
    # Cut point within tolerance of the near anchor: keep whatever has
    # numeric coordinates (x <= inf and y <= inf; the second clause never
    # holds against NaN).
    sx, sy = np.where(near, 1.0, sx), np.where(near, 1.0, sy)
    u1, v1 = np.where(near, np.inf, u1), np.where(near, np.inf, v1)
    u2, v2 = np.where(near, np.nan, u2), np.where(near, np.nan, v2)
    return sx, sy, u1, v1, u2, v2


def merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information,
                                  tolerance, num_threads=None):
    """Vectorised merge; ``num_threads`` is accepted and ignored."""
    conn = _table(connected_crop_rows, "connected_crop_rows")
    pts = _table(points_in_rows, "points_in_rows")
    info = _table(row_information, "row_information")
    r = float(tolerance)
    n_groups = conn.shape[0]
    width = pts.shape[1]
    if n_groups == 0:
        return np.empty((0, width), dtype=np.float64)
    if conn.shape[1] < 3:
        raise ValueError("connected_crop_rows needs at least 3 columns")
    if pts.shape[0] and width < 2:
        raise ValueError("points_in_rows needs the two identifier columns")

    # 1. Every group's slice of the point rows, grouped once.
    group_key = _pair_key(conn[:, 1], conn[:, 2])
    if pts.shape[0]:
        point_key = _pair_key(pts[:, 0], pts[:, 1])
        order = np.argsort(point_key, kind="stable")
        sorted_key = point_key[order]
        lo = np.searchsorted(sorted_key, group_key, "left")
        hi = np.searchsorted(sorted_key, group_key, "right")
    else:
        order = np.zeros(0, dtype=np.intp)
        lo = hi = np.zeros(n_groups, dtype=np.intp)
    counts = hi - lo
    total = int(counts.sum())
    group_start = np.cumsum(counts) - counts
    # Position in ``order`` of every expanded point, groups one after another.
    flat = np.arange(total, dtype=np.intp) + np.repeat(lo - group_start, counts)
    point_rows = order[flat]

    # 2. Main records, by converted identifiers.
    if info.shape[0] == 0:
        raise ValueError("row_information has no records")
    if info.shape[1] < 5:
        raise ValueError("row_information needs at least 5 columns")
    main_rec = _first_index_of(_pair_key(info[:, 0], info[:, 4]), group_key)
    if (main_rec < 0).any():
        g = int(np.argmax(main_rec < 0))
        raise ValueError(f"group {g}: no record for main row ({conn[g, 1]!r}, {conn[g, 2]!r})")

    # Which passes run: pair k runs while no NaN has ended the list.  All
    # (group, pass) pairs are handled together from here on.
    active = np.ones(n_groups, dtype=bool)
    pass_groups, pass_first, pass_second = [], [], []
    for k in range(4):
        c = 3 + 2 * k
        if not active.any():
            break
        if conn.shape[1] <= c:
            raise ValueError("connected_crop_rows ends inside the list of connected rows")
        active = active & ~np.isnan(conn[:, c])
        if not active.any():
            break
        if conn.shape[1] <= c + 1:
            raise ValueError("connected_crop_rows ends inside the list of connected rows")
        groups = np.nonzero(active)[0]
        pass_groups.append(groups)
        pass_first.append(conn[groups, c])
        pass_second.append(conn[groups, c + 1])
    if not pass_groups:
        return pts[point_rows]
    pass_group = np.concatenate(pass_groups)
    rec = _connected_records(info, np.concatenate(pass_first), np.concatenate(pass_second))
    if (rec < 0).any():
        # Report the lowest group index among the failures.
        bad = np.nonzero(rec < 0)[0]
        g = int(pass_group[bad].min())
        raise ValueError(f"group {g}: no record for a connected row")
    if info.shape[1] != 11:
        raise ValueError("row_information needs exactly 11 columns when rows are connected")
    if width < 4 and counts[pass_group].any():
        raise ValueError("points_in_rows needs x and y in columns 2 and 3")

    # 3. One set of rule constants per (group, pass), tested on every point
    # of that group: the (point, pass) pairs form one flat array.
    anchors = info[:, 5:11].reshape(-1, 3, 2)
    with np.errstate(all="ignore"):
        c_pt, n_pt = _cut_points(anchors[main_rec[pass_group]], anchors[rec])
        constants = _pass_rules(c_pt, n_pt, r)
    reps = counts[pass_group]
    pair_start = np.cumsum(reps) - reps
    pos = (np.arange(int(reps.sum()), dtype=np.intp)
           + np.repeat(group_start[pass_group] - pair_start, reps))
    x = pts[point_rows, 2]
    y = pts[point_rows, 3]
    sx, sy, u1, v1, u2, v2 = constants
    which = np.repeat(np.arange(len(pass_group), dtype=np.int32), reps)
    xs = sx[which] * x[pos]
    ys = sy[which] * y[pos]
    passed = (xs <= u1[which]) & (ys <= v1[which])
    passed |= (xs >= u2[which]) & (ys >= v2[which])
    keep = np.ones(total, dtype=bool)
    keep[pos[~passed]] = False
    return pts[point_rows[keep]]

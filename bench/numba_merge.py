"""The merge written with Numba: the parallel peer a performance-minded user
would write in an afternoon.

Same surviving points as the extension, bit for bit, groups in ascending
order and each group's points in table order.  The cost does not depend on
the order of ``points_in_rows``:

1. Groups first (serial, from ``connected_crop_rows`` and ``row_information``
   alone): every group's main record and connected records are found through
   an open-addressing hash table of the records' converted identifier pairs
   (with a chain through the records of one pair, in table order, for the
   exact float match of connected rows), and every trimming pass is reduced
   to six constants of a branch-free per-axis test.  A second hash table maps
   a main row's identifier pair to its slot: the groups that share that main
   row, in ascending order.
2. Tagging pass over ``points_in_rows`` in table order, in parallel over
   slices: each point's identifier pair leads to its slot (the lookup is
   skipped while a row repeats the previous row's identifiers), the point is
   tested against its group's passes, and the survivors are counted per slice
   and group.  A point whose main row is shared by several groups is tested
   again in the scatter.
3. Prefix sums give every (slice, group) its place in the result.
4. Scatter pass, in parallel over the same slices: every surviving row is
   copied from the caller's array straight to its place.

The arithmetic of the cut point and of the per-axis rules is that of
``scan_merge`` operation for operation (no fast-math: Numba's default, and
LLVM does not contract a multiply and an add into a fused multiply-add
without it), so the surviving rows are the same bit for bit.

Malformed tables raise ``ValueError`` (the wording differs from the
extension's messages).  ``num_threads`` 0 or None uses Numba's current thread
count (``numba.set_num_threads``); small tables run on the calling thread.
"""

from __future__ import annotations

import math

import numba
import numpy as np
from numba import njit, prange

__all__ = ["merge_points_removing_overlap", "warm_up"]

# error_model="numpy": float division by zero gives inf or NaN as IEEE says
# instead of raising.  fastmath stays off (the default), spelled out here.
_JIT = dict(cache=True, nogil=True, error_model="numpy", fastmath=False)

#: Tables with fewer point rows than this are merged on the calling thread:
#: below it, starting the parallel loops costs more than they save.
PARALLEL_MIN_ROWS = 1 << 15
#: Slices per thread in the parallel passes (some slack for an uneven machine).
SLICES_PER_THREAD = 4
#: Fewest rows in a slice.
MIN_SLICE_ROWS = 1024

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_U32 = np.uint64(32)

# Failure kinds reported by the group preparation.
_OK, _NO_MAIN_RECORD, _NO_PAIR_COLUMN, _NO_CONNECTED_RECORD, _NOT_11_COLUMNS, _NO_XY = range(6)
_FAILURES = {
    _NO_MAIN_RECORD: "no record for its main row in row_information",
    _NO_PAIR_COLUMN: "connected_crop_rows ends inside its list of connected rows",
    _NO_CONNECTED_RECORD: "no record for a connected row in row_information",
    _NOT_11_COLUMNS: "row_information needs exactly 11 columns when rows are connected",
    _NO_XY: "points_in_rows needs x and y in columns 2 and 3",
}


# --------------------------------------------------------------------------
# Identifiers and hash tables


@njit(inline="always", **_JIT)
def _row_id(value):
    """Saturating truncation to an unsigned 32-bit identifier (NaN -> 0)."""
    if value != value or value <= 0.0:
        return np.uint64(0)
    if value >= 4294967295.0:
        return np.uint64(4294967295)
    return np.uint64(value)


@njit(inline="always", **_JIT)
def _pair_key(first, second):
    return (_row_id(first) << _U32) | _row_id(second)


@njit(**_JIT)
def _table_shift(entries):
    """Shift of a multiplicative hash into a table of at least 2 x entries."""
    bits = 4
    while (1 << bits) < 2 * entries:
        bits += 1
    return 64 - bits, 1 << bits


@njit(inline="always", **_JIT)
def _probe(keys, values, shift, key):
    """Position of ``key`` in the table, or of the empty place it would take."""
    mask = len(keys) - 1
    h = np.int64((key * _GOLDEN) >> np.uint64(shift))
    while values[h] >= 0 and keys[h] != key:
        h = (h + 1) & mask
    return h


# --------------------------------------------------------------------------
# Groups: records, cut points, per-axis rules


@njit(**_JIT)
def _cut_and_near(info, main, partner):
    """Cut point C and near anchor N of the pass of record ``partner`` against
    record ``main`` (anchors in columns 5 to 10), as the reference forms them."""
    best = 0.0
    bi = 0
    bj = 0
    for i in range(3):
        for j in range(3):
            dy = info[main, 6 + 2 * i] - info[partner, 6 + 2 * j]
            dx = info[main, 5 + 2 * i] - info[partner, 5 + 2 * j]
            d = math.sqrt(dy * dy + dx * dx)
            if d > best:
                best = d
                bi = i
                bj = j
    fx = info[main, 5 + 2 * bi]
    fy = info[main, 6 + 2 * bi]
    ni = 1 if bi == 0 else 0
    nx = info[main, 5 + 2 * ni]
    ny = info[main, 6 + 2 * ni]
    pj = 1 if bj == 0 else 0
    px = info[partner, 5 + 2 * pj]
    py = info[partner, 6 + 2 * pj]
    mx = (nx + px) * 0.5
    my = (ny + py) * 0.5
    vx = fx - nx
    vy = fy - ny
    wx = mx - nx
    wy = my - ny
    wv = 0.0 + wx * vx
    wv = wv + wy * vy
    vv = 0.0 + vx * vx
    vv = vv + vy * vy
    t = wv / vv
    return nx + vx * t, ny + vy * t, nx, ny


@njit(**_JIT)
def _pass_constants(ax, ay, bx, by, r, out):
    """The per-axis test of one pass as ``(sx*x <= u1 and sy*y <= v1) or
    (sx*x >= u2 and sy*y >= v2)``: out = (sx, sy, u1, v1, u2, v2).

    Multiplying by -1 is exact, so ``-x <= -(a - r)`` is ``x >= a - r`` with
    the same NaN behaviour; each threshold is the reference's ``a + r`` or
    ``a - r``."""
    if r > math.sqrt((ay - by) * (ay - by) + (ax - bx) * (ax - bx)):
        # Keep whatever has numeric coordinates.
        out[0] = 1.0
        out[1] = 1.0
        out[2] = np.inf
        out[3] = np.inf
        out[4] = np.nan
        out[5] = np.nan
    elif ax < bx and ay < by:
        out[0] = 1.0
        out[1] = 1.0
        out[2] = ax + r
        out[3] = ay + r
        out[4] = bx + r
        out[5] = by + r
    elif ax < bx and ay > by:
        out[0] = 1.0
        out[1] = -1.0
        out[2] = ax + r
        out[3] = -(ay - r)
        out[4] = bx + r
        out[5] = -(by - r)
    elif ax > bx and ay > by:
        out[0] = -1.0
        out[1] = -1.0
        out[2] = -(ax - r)
        out[3] = -(ay - r)
        out[4] = -(bx - r)
        out[5] = -(by - r)
    else:
        out[0] = -1.0
        out[1] = 1.0
        out[2] = -(ax - r)
        out[3] = ay + r
        out[4] = -(bx - r)
        out[5] = by + r


@njit(**_JIT)
def _prepare(conn, info, tolerance):
    """Every group's passes and the slot table of the main rows.

    Returns (failure kind, failing group, pass_start, pass_constants,
    slot_keys, slot_values, slot_shift, slot_start, slot_groups)."""
    n_groups, conn_cols = conn.shape
    n_rec, info_cols = info.shape

    # Records by converted identifier pair; first record of a pair in the
    # table, then the next one of the same pair through rec_next.
    rec_shift, rec_size = _table_shift(n_rec)
    rec_keys = np.zeros(rec_size, dtype=np.uint64)
    rec_first = np.full(rec_size, -1, dtype=np.int64)
    rec_last = np.empty(rec_size, dtype=np.int64)
    rec_next = np.full(n_rec, -1, dtype=np.int64)
    for r in range(n_rec):
        key = _pair_key(info[r, 0], info[r, 4])
        h = _probe(rec_keys, rec_first, rec_shift, key)
        if rec_first[h] < 0:
            rec_keys[h] = key
            rec_first[h] = r
        else:
            rec_next[rec_last[h]] = r
        rec_last[h] = r

    pass_start = np.zeros(n_groups + 1, dtype=np.int64)
    pass_constants = np.empty((4 * n_groups, 6))
    group_key = np.empty(n_groups, dtype=np.uint64)
    n_passes = 0
    for g in range(n_groups):
        key = _pair_key(conn[g, 1], conn[g, 2])
        group_key[g] = key
        main = rec_first[_probe(rec_keys, rec_first, rec_shift, key)]
        if main < 0:
            return _NO_MAIN_RECORD, g, pass_start, pass_constants, rec_keys, rec_first, \
                rec_shift, pass_start, pass_start
        for k in range(4):
            c = 3 + 2 * k
            if c >= conn_cols:
                return _NO_PAIR_COLUMN, g, pass_start, pass_constants, rec_keys, rec_first, \
                    rec_shift, pass_start, pass_start
            first = conn[g, c]
            if first != first:
                break
            if c + 1 >= conn_cols:
                return _NO_PAIR_COLUMN, g, pass_start, pass_constants, rec_keys, rec_first, \
                    rec_shift, pass_start, pass_start
            second = conn[g, c + 1]
            # Float equality implies equal converted identifiers, so the
            # record is on the chain of its converted pair (NaN matches none).
            partner = -1
            if second == second:
                partner = rec_first[_probe(rec_keys, rec_first, rec_shift,
                                           _pair_key(first, second))]
                while partner >= 0 and not (info[partner, 0] == first
                                            and info[partner, 4] == second):
                    partner = rec_next[partner]
            if partner < 0:
                return _NO_CONNECTED_RECORD, g, pass_start, pass_constants, rec_keys, \
                    rec_first, rec_shift, pass_start, pass_start
            if info_cols != 11:
                return _NOT_11_COLUMNS, g, pass_start, pass_constants, rec_keys, rec_first, \
                    rec_shift, pass_start, pass_start
            cx, cy, nx, ny = _cut_and_near(info, main, partner)
            _pass_constants(cx, cy, nx, ny, tolerance, pass_constants[n_passes])
            n_passes += 1
        pass_start[g + 1] = n_passes

    # Slots: one per distinct main row, holding its groups in ascending order.
    slot_shift, slot_size = _table_shift(n_groups)
    slot_keys = np.zeros(slot_size, dtype=np.uint64)
    slot_values = np.full(slot_size, -1, dtype=np.int64)
    slot_of_group = np.empty(n_groups, dtype=np.int64)
    n_slots = 0
    for g in range(n_groups):
        h = _probe(slot_keys, slot_values, slot_shift, group_key[g])
        if slot_values[h] < 0:
            slot_keys[h] = group_key[g]
            slot_values[h] = n_slots
            n_slots += 1
        slot_of_group[g] = slot_values[h]
    slot_start = np.zeros(n_slots + 1, dtype=np.int64)
    for g in range(n_groups):
        slot_start[slot_of_group[g] + 1] += 1
    for s in range(n_slots):
        slot_start[s + 1] += slot_start[s]
    fill = slot_start[:-1].copy()
    slot_groups = np.empty(n_groups, dtype=np.int64)
    for g in range(n_groups):
        s = slot_of_group[g]
        slot_groups[fill[s]] = g
        fill[s] += 1
    return _OK, -1, pass_start, pass_constants, slot_keys, slot_values, slot_shift, \
        slot_start, slot_groups


# --------------------------------------------------------------------------
# The two passes over the points, one slice at a time


@njit(inline="always", **_JIT)
def _survives(pass_start, pass_constants, g, x, y):
    for p in range(pass_start[g], pass_start[g + 1]):
        sx, sy, u1, v1, u2, v2 = (pass_constants[p, 0], pass_constants[p, 1],
                                  pass_constants[p, 2], pass_constants[p, 3],
                                  pass_constants[p, 4], pass_constants[p, 5])
        xs = sx * x
        ys = sy * y
        if not ((xs <= u1 and ys <= v1) or (xs >= u2 and ys >= v2)):
            return False
    return True


@njit(**_JIT)
def _tag_slice(pts, lo, hi, prep, codes, counts):
    """Tag rows lo..hi-1: codes[i] is the group of a surviving row of a
    main row with one group, -1 for a row that goes nowhere, and -2 - slot
    for a row of a shared main row.  Counts the survivors per group.
    Returns the lowest group that needed x and y from a table without them
    (or -1)."""
    _, _, pass_start, pass_constants, slot_keys, slot_values, slot_shift, \
        slot_start, slot_groups = prep
    width = pts.shape[1]
    no_xy = -1
    prev_first = np.nan
    prev_second = np.nan
    slot = -1
    x = 0.0
    y = 0.0
    for i in range(lo, hi):
        first = pts[i, 0]
        second = pts[i, 1]
        if not (first == prev_first and second == prev_second):
            slot = slot_values[_probe(slot_keys, slot_values, slot_shift,
                                      _pair_key(first, second))]
            prev_first = first
            prev_second = second
        if slot < 0:
            codes[i] = -1
            continue
        if width >= 4:
            x = pts[i, 2]
            y = pts[i, 3]
        q0 = slot_start[slot]
        q1 = slot_start[slot + 1]
        if q1 - q0 == 1:
            g = slot_groups[q0]
            if width < 4 and pass_start[g + 1] > pass_start[g]:
                if no_xy < 0 or g < no_xy:
                    no_xy = g
            elif _survives(pass_start, pass_constants, g, x, y):
                codes[i] = g
                counts[g] += 1
                continue
            codes[i] = -1
        else:
            codes[i] = -2 - slot
            for q in range(q0, q1):
                g = slot_groups[q]
                if width < 4 and pass_start[g + 1] > pass_start[g]:
                    if no_xy < 0 or g < no_xy:
                        no_xy = g
                elif _survives(pass_start, pass_constants, g, x, y):
                    counts[g] += 1
    return no_xy


@njit(**_JIT)
def _scatter_slice(pts, lo, hi, prep, codes, place, out):
    """Copy the surviving rows of lo..hi-1 to their places; ``place[g]`` is
    where group g's next row from this slice goes."""
    _, _, pass_start, pass_constants, _, _, _, slot_start, slot_groups = prep
    width = pts.shape[1]
    for i in range(lo, hi):
        code = codes[i]
        if code == -1:
            continue
        if code >= 0:
            d = place[code]
            place[code] = d + 1
            for j in range(width):
                out[d, j] = pts[i, j]
            continue
        slot = -2 - code
        x = pts[i, 2] if width >= 4 else 0.0
        y = pts[i, 3] if width >= 4 else 0.0
        for q in range(slot_start[slot], slot_start[slot + 1]):
            g = slot_groups[q]
            if _survives(pass_start, pass_constants, g, x, y):
                d = place[g]
                place[g] = d + 1
                for j in range(width):
                    out[d, j] = pts[i, j]


@njit(**_JIT)
def _places(counts):
    """Prefix sums: the first result row of every (slice, group), and the
    total.  Groups follow each other in ascending order, slices in table
    order within a group."""
    n_slices, n_groups = counts.shape
    place = np.empty_like(counts)
    total = 0
    for g in range(n_groups):
        for s in range(n_slices):
            place[s, g] = total
            total += counts[s, g]
    return place, total


# --------------------------------------------------------------------------
# Drivers: one thread, or slices on Numba's threads


@njit(**_JIT)
def _merge_serial(conn, pts, info, tolerance):
    prep = _prepare(conn, info, tolerance)
    if prep[0] != _OK:
        return prep[0], prep[1], np.empty((0, pts.shape[1]))
    n = pts.shape[0]
    codes = np.empty(n, dtype=np.int32)
    counts = np.zeros((1, conn.shape[0]), dtype=np.int64)
    no_xy = _tag_slice(pts, 0, n, prep, codes, counts[0])
    if no_xy >= 0:
        return _NO_XY, no_xy, np.empty((0, pts.shape[1]))
    place, total = _places(counts)
    out = np.empty((total, pts.shape[1]))
    _scatter_slice(pts, 0, n, prep, codes, place[0], out)
    return _OK, -1, out


@njit(parallel=True, **_JIT)
def _tag_parallel(pts, prep, codes, counts):
    n_slices = counts.shape[0]
    n = pts.shape[0]
    no_xy = np.full(n_slices, -1, dtype=np.int64)
    for s in prange(n_slices):
        no_xy[s] = _tag_slice(pts, n * s // n_slices, n * (s + 1) // n_slices, prep,
                              codes, counts[s])
    for s in range(n_slices):
        if no_xy[s] >= 0:
            return no_xy[s]
    return -1


@njit(parallel=True, **_JIT)
def _scatter_parallel(pts, prep, codes, place, out):
    n_slices = place.shape[0]
    n = pts.shape[0]
    for s in prange(n_slices):
        _scatter_slice(pts, n * s // n_slices, n * (s + 1) // n_slices, prep, codes,
                       place[s], out)


# --------------------------------------------------------------------------
# Entry point


def _table(value, name: str) -> np.ndarray:
    if not isinstance(value, np.ndarray) or value.dtype != np.float64 or value.ndim != 2:
        raise ValueError(f"{name} must be a two-dimensional float64 array")
    return value


def _threads(num_threads) -> int:
    if not num_threads:
        return numba.get_num_threads()
    return max(1, min(int(num_threads), numba.config.NUMBA_NUM_THREADS))


def merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information,
                                  tolerance, num_threads=None):
    """Parallel Numba merge of the caller's arrays (no copies of the inputs)."""
    conn = _table(connected_crop_rows, "connected_crop_rows")
    pts = _table(points_in_rows, "points_in_rows")
    info = _table(row_information, "row_information")
    r = float(tolerance)
    width = pts.shape[1]
    if conn.shape[0] == 0:
        return np.empty((0, width))
    if conn.shape[1] < 3:
        raise ValueError("connected_crop_rows needs at least 3 columns")
    if info.shape[1] < 5 and info.shape[0]:
        raise ValueError("row_information needs at least 5 columns")
    if pts.shape[0] and width < 2:
        # Only the first identifier can be read: fine as long as no row could
        # belong to a group (the rows then never reach the result).
        first_ids = {int(_row_id(v)) for v in conn[:, 1]}
        if any(int(_row_id(v)) in first_ids for v in pts[:, 0]):
            raise ValueError("points_in_rows needs the two identifier columns")
        pts = pts[:0]
    if pts.shape[0] < PARALLEL_MIN_ROWS:
        failure, group, out = _merge_serial(conn, pts, info, r)
    else:
        threads = _threads(num_threads)
        previous = numba.get_num_threads()
        if threads == 1 or threads == previous:
            failure, group, out = _merge_large(conn, pts, info, r, threads)
        else:
            numba.set_num_threads(threads)
            try:
                failure, group, out = _merge_large(conn, pts, info, r, threads)
            finally:
                numba.set_num_threads(previous)
    if failure != _OK:
        raise ValueError(f"group {group}: {_FAILURES[failure]}")
    return out


def _merge_large(conn, pts, info, r, threads):
    """The merge in steps, with the large arrays allocated by NumPy: it asks
    for transparent huge pages, where Numba's allocator would take a page
    fault per 4 KiB of fresh memory."""
    prep = _prepare(conn, info, r)
    if prep[0] != _OK:
        return prep[0], prep[1], None
    codes = np.empty(pts.shape[0], dtype=np.int32)
    if threads == 1:
        counts = np.zeros((1, conn.shape[0]), dtype=np.int64)
        no_xy = _tag_slice(pts, 0, pts.shape[0], prep, codes, counts[0])
    else:
        slices = max(1, min(threads * SLICES_PER_THREAD, pts.shape[0] // MIN_SLICE_ROWS))
        counts = np.zeros((slices, conn.shape[0]), dtype=np.int64)
        no_xy = _tag_parallel(pts, prep, codes, counts)
    if no_xy >= 0:
        return _NO_XY, no_xy, None
    place, total = _places(counts)
    out = np.empty((total, pts.shape[1]))
    if threads == 1:
        _scatter_slice(pts, 0, pts.shape[0], prep, codes, place[0], out)
    else:
        _scatter_parallel(pts, prep, codes, place, out)
    return _OK, -1, out


def warm_up() -> None:
    """Compile (or load from the cache) every kernel for C-contiguous tables,
    so that no later call pays for compilation."""
    info = np.array([[1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5],
                     [1, 0, 0, 0, 2, 8, 9, 20, 21, 14, 15]], dtype=np.float64)
    conn = np.array([[0, 1, 1, 1, 2, np.nan, np.nan, np.nan, np.nan, np.nan, np.nan]])
    pts = np.zeros((PARALLEL_MIN_ROWS, 5))
    pts[:, :2] = 1.0
    _merge_serial(conn, pts, info, 0.25)
    _merge_large(conn, pts, info, 0.25, 1)
    _merge_large(conn, pts, info, 0.25, 2)

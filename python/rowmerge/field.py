"""Synthetic crop-row fields in the layout ``merge_points_removing_overlap`` takes.

A field is a block of parallel crop rows, 0.75 m apart, straight or gently
curved, laid at an angle to the map axes as real fields are.  A vehicle drives
the rows in a serpentine pattern and the detector reports every crop row as a
chain of overlapping segments, one segment per stretch it saw at once.  Every
segment is one crop row in the tables, named by two integral numbers
(crop-row number, segment number, both from 1), and one group whose connected
rows are the previous and the next segment of the same crop row.

Tables (float64, one row per item)::

    connected_crop_rows  group id, row, segment, then (row, segment) of the
                         previous and the next segment; NaN after the last
                         pair; 11 columns
    row_information      row, length, heading, quality, segment, then the
                         anchors start (x, y), end (x, y), midpoint (x, y);
                         11 columns
    points_in_rows       row, segment, x, y, then confidence, timestamp, z
                         and further value columns up to the requested width

Start and end are taken in the direction of travel.  For two consecutive
segments the farthest anchor pair is the first segment's start and the
second's end, so each segment's near anchor is the end it shares with the
overlap, and the merge removes, on each side, the points between the middle
of the overlap and the segment's end: every overlapping stretch survives
once.

Row orders of ``points_in_rows`` (the same rows, groups and records in each):

    segment   every segment's points together, segments in group order, each
              in driving order;
    tile      as a detection pipeline writes them: the map is cut into square
              image tiles of ``TILE_SIZE`` metres (a few crop rows and parts
              of several segments each), tiles in scan order (tile row by tile
              row from the north, west to east in each), and inside a tile the
              points by pixel row (north first), then by pixel column.  The
              points of the segments of one tile are interleaved, mostly one
              point per crop row per pixel row;
    shuffled  a random permutation.

Everything is drawn from one ``numpy.random.Generator`` seeded by ``seed``, so
the same arguments always give the same tables.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from ._table_layout import DEFAULT_TOLERANCE, RECORD_COLUMNS

__all__ = ["Field", "Preset", "PRESETS", "PRESET_ALIASES", "ORDERS", "make_field"]

#: Distance between neighbouring crop rows, metres.
ROW_SPACING = 0.75
#: Standard deviation of the detected plant positions across the row, metres.
LATERAL_NOISE = 0.015
#: Overlap between consecutive segments, as a fraction of the segment length.
OVERLAP_RANGE = (0.10, 0.20)
#: Driving speed used for the timestamps, metres per second.
SPEED = 1.5

#: Side of a detector image tile on the ground, metres (1,000 x 1,000 pixels
#: of 4 mm: about five crop rows across).
TILE_SIZE = 4.0
#: Ground size of one image pixel, metres.
PIXEL_SIZE = 0.004
#: Row orders of ``points_in_rows`` that :func:`make_field` can produce.
ORDERS = ("segment", "tile", "shuffled")

_NAMED_VALUE_COLUMNS = ("confidence", "timestamp", "z")


@dataclass(frozen=True)
class Preset:
    """Size of a generated field."""

    groups: int
    points_per_group: int
    point_columns: int
    segments_per_row: int
    segment_length: float  # metres


PRESETS: dict[str, Preset] = {
    # One detector call on a small map patch.
    "tiny": Preset(groups=3, points_per_group=10, point_columns=5, segments_per_row=3, segment_length=2.0),
    # One camera frame: a handful of short segments on four crop rows.
    "frame": Preset(groups=20, points_per_group=200, point_columns=5, segments_per_row=5, segment_length=2.0),
    # Part of a field: 20 crop rows of 10 segments.
    "field_medium": Preset(
        groups=200, points_per_group=1_000, point_columns=7, segments_per_row=10, segment_length=10.0
    ),
    # A whole field: 40 crop rows of 25 segments, about 220 m long.
    "field_large": Preset(
        groups=1_000, points_per_group=2_000, point_columns=6, segments_per_row=25, segment_length=10.0
    ),
    # Ten whole fields side by side: 400 crop rows of 25 segments.
    "field_xl": Preset(
        groups=10_000, points_per_group=2_000, point_columns=6, segments_per_row=25, segment_length=10.0
    ),
    # Many short segments: 1,000 crop rows of 100 segments of 2 m, 20 plants each.
    "many_small": Preset(
        groups=100_000, points_per_group=20, point_columns=6, segments_per_row=100, segment_length=2.0
    ),
}

#: Short names accepted by :func:`make_field` in addition to the presets.
PRESET_ALIASES: dict[str, str] = {"field": "field_medium"}


@dataclass(frozen=True)
class Field:
    """Three merge input tables and what they were made from."""

    connected_crop_rows: np.ndarray
    points_in_rows: np.ndarray
    row_information: np.ndarray
    tolerance: float
    point_column_names: tuple[str, ...]
    seed: int
    preset: str | None = None
    # Heading of the rows in the map frame, radians from the x axis.
    heading: float = 0.0
    # Row order of points_in_rows: one of ORDERS.
    order: str = "segment"

    @property
    def groups(self) -> int:
        return int(self.connected_crop_rows.shape[0])

    @property
    def points(self) -> int:
        return int(self.points_in_rows.shape[0])

    def arguments(self, num_threads: int = 0) -> tuple[np.ndarray, np.ndarray, np.ndarray, float, int]:
        """Positional arguments for ``merge_points_removing_overlap``."""
        return (self.connected_crop_rows, self.points_in_rows, self.row_information, self.tolerance, num_threads)

    def nbytes(self) -> int:
        return self.connected_crop_rows.nbytes + self.points_in_rows.nbytes + self.row_information.nbytes


def point_column_names(columns: int) -> tuple[str, ...]:
    """Column names of a ``points_in_rows`` table with ``columns`` columns."""
    if columns < 4:
        raise ValueError(f"points_in_rows needs at least 4 columns, got {columns}")
    names = ["row", "segment", "x", "y"]
    for k in range(4, columns):
        names.append(_NAMED_VALUE_COLUMNS[k - 4] if k - 4 < len(_NAMED_VALUE_COLUMNS) else f"value_{k}")
    return tuple(names)


def _resolve(
    preset: str | None,
    groups: int | None,
    points_per_group: int | None,
    point_columns: int | None,
    segments_per_row: int | None,
    segment_length: float | None,
) -> Preset:
    if preset is not None:
        name = PRESET_ALIASES.get(preset, preset)
        try:
            base = PRESETS[name]
        except KeyError:
            known = ", ".join(sorted([*PRESETS, *PRESET_ALIASES]))
            raise ValueError(f"unknown preset {preset!r} (known: {known})") from None
    else:
        base = Preset(groups=20, points_per_group=200, point_columns=5, segments_per_row=0, segment_length=0.0)
    groups = base.groups if groups is None else int(groups)
    points_per_group = base.points_per_group if points_per_group is None else int(points_per_group)
    point_columns = base.point_columns if point_columns is None else int(point_columns)
    if segments_per_row is None:
        segments_per_row = base.segments_per_row
        if not segments_per_row or groups != base.groups:
            # About square in segments: rows x segments per row ~ groups.
            segments_per_row = max(1, round(math.sqrt(groups)))
    if segment_length is None:
        segment_length = base.segment_length or 10.0
    if groups < 0 or points_per_group < 0:
        raise ValueError("groups and points_per_group must not be negative")
    if int(segments_per_row) < 1 or not float(segment_length) > 0:
        raise ValueError("segments_per_row must be at least 1 and segment_length positive")
    point_column_names(point_columns)  # validates the width
    return Preset(groups, points_per_group, point_columns, int(segments_per_row), float(segment_length))


def tile_scan_order(
    x: np.ndarray, y: np.ndarray, tile_size: float = TILE_SIZE, pixel_size: float = PIXEL_SIZE
) -> np.ndarray:
    """Permutation that puts points in the order an image detector writes them.

    The tile grid starts at the north-west corner of the points' bounding
    box.  Tiles follow each other row by row from the north, west to east;
    inside a tile the points follow pixel row by pixel row from the north,
    west to east within a pixel row.  Points in one pixel keep their order.
    """
    if len(x) == 0:
        return np.zeros(0, dtype=np.intp)
    west, north = float(x.min()), float(y.max())
    east_of, south_of = x - west, north - y
    per_tile = int(round(tile_size / pixel_size))
    tile_col = np.floor(east_of / tile_size).astype(np.int64)
    tile_row = np.floor(south_of / tile_size).astype(np.int64)
    pixel_col = np.clip(np.floor((east_of - tile_col * tile_size) / pixel_size).astype(np.int64), 0, per_tile - 1)
    pixel_row = np.clip(np.floor((south_of - tile_row * tile_size) / pixel_size).astype(np.int64), 0, per_tile - 1)
    tile = tile_row * (int(tile_col.max()) + 1) + tile_col
    key = (tile * per_tile + pixel_row) * per_tile + pixel_col
    return np.argsort(key, kind="stable")


def make_field(
    preset: str | None = None,
    *,
    groups: int | None = None,
    points_per_group: int | None = None,
    point_columns: int | None = None,
    seed: int = 0,
    shuffle: bool = False,
    segments_per_row: int | None = None,
    segment_length: float | None = None,
    nan_fraction: float = 0.0,
    order: str | None = None,
) -> Field:
    """Generate a field of overlapping crop-row segments.

    ``preset`` names one of :data:`PRESETS`; the keyword arguments override
    its sizes (without a preset they default to the ``frame`` sizes).  Crop
    rows hold ``segments_per_row`` segments each; the last crop row takes the
    remainder.  ``order`` is the row order of ``points_in_rows``, one of
    :data:`ORDERS` (see the module's description; default "segment": every
    segment's points contiguous, in driving order).  The field itself (its
    points, groups and records) is the same in every order.  ``shuffle=True``
    is the older spelling of ``order="shuffled"``.
    ``nan_fraction`` replaces that fraction of point coordinates with NaN, as
    a detector does for plants it saw but could not place.
    """
    if order is None:
        order = "shuffled" if shuffle else "segment"
    elif order not in ORDERS:
        raise ValueError(f"unknown order {order!r} (known: {', '.join(ORDERS)})")
    elif shuffle and order != "shuffled":
        raise ValueError(f"shuffle=True contradicts order={order!r}")
    size = _resolve(preset, groups, points_per_group, point_columns, segments_per_row, segment_length)
    rng = np.random.default_rng(seed)
    n_groups, per_group, spr = size.groups, size.points_per_group, size.segments_per_row
    seg_len = size.segment_length

    # Layout of the field: heading well away from the map axes, serpentine
    # driving, UTM-like origin.
    heading = math.radians(rng.uniform(25.0, 65.0) + 90.0 * rng.integers(0, 2))
    along = np.array([math.cos(heading), math.sin(heading)])
    across = np.array([-along[1], along[0]])
    origin = np.array([350_000.0, 5_810_000.0]) + rng.uniform(0.0, 1_000.0, 2)

    n_rows = -(-n_groups // spr) if n_groups else 0
    seg_count = np.full(n_rows, spr, dtype=np.int64)
    if n_rows:
        seg_count[-1] = n_groups - spr * (n_rows - 1)

    # Per segment, in travel coordinate tau (metres from the row's first
    # segment start): start, end.  Rows start staggered at the headland.
    row_of = np.repeat(np.arange(n_rows), seg_count)
    seg_of = np.concatenate([np.arange(c) for c in seg_count]) if n_rows else np.zeros(0, np.int64)
    lengths = seg_len * rng.uniform(0.95, 1.05, n_groups)
    overlaps = lengths * rng.uniform(*OVERLAP_RANGE, n_groups)
    tau_start = np.zeros(n_groups)
    first = 0
    row_length = np.zeros(n_rows)
    for r in range(n_rows):
        c = int(seg_count[r])
        steps = lengths[first : first + c - 1] - overlaps[first : first + c - 1]
        tau_start[first + 1 : first + c] = np.cumsum(steps)
        row_length[r] = tau_start[first + c - 1] + lengths[first + c - 1]
        first += c
    tau_end = tau_start + lengths

    # Geometry of each crop row: lateral offset, headland stagger, a gentle
    # sinusoidal bend shared by the whole field (rows stay parallel).
    lateral = np.arange(n_rows) * ROW_SPACING + rng.normal(0.0, 0.01, n_rows)
    stagger = rng.uniform(0.0, 0.5, n_rows)
    field_length = float(row_length.max()) if n_rows else seg_len
    bend_amp = field_length * rng.uniform(0.0, 0.02)
    bend_wave = field_length * rng.uniform(1.5, 3.0)
    bend_phase = rng.uniform(0.0, 2.0 * math.pi)
    reverse = (np.arange(n_rows) % 2) == 1

    def place(rows: np.ndarray, tau: np.ndarray, offset: np.ndarray | float = 0.0) -> tuple[np.ndarray, np.ndarray]:
        """Map (crop row, travel coordinate, extra lateral offset) to x, y."""
        s = np.where(reverse[rows], stagger[rows] + row_length[rows] - tau, stagger[rows] + tau)
        bend = bend_amp * np.sin(2.0 * math.pi * s / bend_wave + bend_phase)
        lat = lateral[rows] + bend + offset
        return (origin[0] + s * along[0] + lat * across[0], origin[1] + s * along[1] + lat * across[1])

    # row_information: anchors on the nominal centre line.
    sx, sy = place(row_of, tau_start)
    ex, ey = place(row_of, tau_end)
    mx, my = place(row_of, 0.5 * (tau_start + tau_end))
    info = np.empty((n_groups, RECORD_COLUMNS))
    info[:, 0] = row_of + 1
    info[:, 1] = lengths
    info[:, 2] = np.arctan2(ey - sy, ex - sx)
    info[:, 3] = rng.uniform(0.6, 1.0, n_groups)
    info[:, 4] = seg_of + 1
    info[:, 5], info[:, 6] = sx, sy
    info[:, 7], info[:, 8] = ex, ey
    info[:, 9], info[:, 10] = mx, my

    # connected_crop_rows: previous segment, then next segment, NaN after.
    conn = np.full((n_groups, RECORD_COLUMNS), np.nan)
    conn[:, 0] = np.arange(1, n_groups + 1)
    conn[:, 1] = row_of + 1
    conn[:, 2] = seg_of + 1
    last = seg_of == (seg_count[row_of] - 1) if n_groups else np.zeros(0, bool)
    col = np.full(n_groups, 3)
    has_prev = seg_of > 0
    idx = np.nonzero(has_prev)[0]
    conn[idx, col[idx]] = row_of[idx] + 1
    conn[idx, col[idx] + 1] = seg_of[idx]
    col[idx] += 2
    idx = np.nonzero(~last)[0]
    conn[idx, col[idx]] = row_of[idx] + 1
    conn[idx, col[idx] + 1] = seg_of[idx] + 2

    # points_in_rows: plants along each segment, jittered along and across.
    n_points = n_groups * per_group
    width = size.point_columns
    pts = np.empty((n_points, width))
    g_of = np.repeat(np.arange(n_groups), per_group)
    k = np.tile(np.arange(per_group), n_groups)
    pitch = (lengths / per_group)[g_of] if per_group else np.zeros(0)
    tau = tau_start[g_of] + (k + 0.5 + rng.uniform(-0.3, 0.3, n_points)) * pitch
    px, py = place(row_of[g_of], tau, rng.normal(0.0, LATERAL_NOISE, n_points))
    pts[:, 0] = row_of[g_of] + 1
    pts[:, 1] = seg_of[g_of] + 1
    pts[:, 2] = px
    pts[:, 3] = py
    names = point_column_names(width)
    if width > 4:
        pts[:, 4] = np.clip(rng.beta(8.0, 2.0, n_points), 0.0, 1.0)
    if width > 5:
        # Seconds since the start of the pass; rows are driven one after
        # another with a 20 s turn at the headland.
        row_start_time = np.concatenate([[0.0], np.cumsum(row_length / SPEED + 20.0)])[:n_rows]
        pts[:, 5] = 1.7e9 + row_start_time[row_of[g_of]] + tau / SPEED
    if width > 6:
        s_along = (px - origin[0]) * along[0] + (py - origin[1]) * along[1]
        pts[:, 6] = 0.002 * s_along + rng.normal(0.0, 0.01, n_points)
    if width > 7:
        pts[:, 7:] = rng.standard_normal((n_points, width - 7))
    if nan_fraction > 0.0 and n_points:
        hit = rng.random(n_points) < nan_fraction
        pts[hit, 2 + rng.integers(0, 2, int(hit.sum()))] = np.nan
    if order == "shuffled":
        pts = pts[rng.permutation(n_points)]
    elif order == "tile":
        # Where the detector saw the plant, also for the points whose
        # coordinates it could not report.
        pts = pts[tile_scan_order(px, py)]

    return Field(
        connected_crop_rows=conn,
        points_in_rows=np.ascontiguousarray(pts),
        row_information=info,
        tolerance=DEFAULT_TOLERANCE,
        point_column_names=names,
        seed=seed,
        preset=preset,
        heading=heading,
        order=order,
    )

"""A picture of a merge: kept and removed points, anchors and cut points.

The left panel shows the whole field, the right panel one junction of two
segments up close, so that the trimmed overlap is visible even on a large
field.  Needs matplotlib (``pip install 'rowmerge[plot]'``); it is drawn with
the Agg backend and never opens a window.
"""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Any

import numpy as np

from .. import _optional
from .._table_layout import ANCHOR_COLUMNS, ANCHOR_COUNT, POINT_XY_COLUMNS, RECORD_COLUMNS
from .junctions import Junction, find_junctions, main_row_keys, point_row_keys
from .summary import kept_mask

__all__ = ["PlotUnavailable", "require_matplotlib", "plot_merge", "FIGSIZE", "DPI", "PIXELS"]

#: Size of the picture in inches and its resolution; PNG pictures are PIXELS wide and high.
FIGSIZE = (11.0, 6.0)
DPI = 100
PIXELS = (int(FIGSIZE[0] * DPI), int(FIGSIZE[1] * DPI))
#: File types the picture can be written as.
PLOT_SUFFIXES = (".png", ".svg", ".pdf")

KEPT_COLOUR = "#3b7dd8"
REMOVED_COLOUR = "#e4572e"
SEGMENT_COLOUR = "#9aa5b1"
ANCHOR_COLOUR = "#1f2933"
CUT_COLOUR = "#7b2cbf"


class PlotUnavailable(RuntimeError):
    """matplotlib is not installed."""


def require_matplotlib() -> None:
    """Raise :class:`PlotUnavailable` with an installation hint when matplotlib is missing."""
    _optional.import_optional(
        "matplotlib",
        lambda _: PlotUnavailable("--plot needs matplotlib: pip install 'rowmerge[plot]' (or pip install matplotlib)"),
    )


def _origin(values: np.ndarray) -> float:
    """A round number at or below the smallest finite value, as the axes' zero."""
    finite = values[np.isfinite(values)]
    if not finite.size:
        return 0.0
    low, span = float(finite.min()), float(np.ptp(finite))
    if abs(low) < 100.0 or span == 0.0:
        return 0.0
    step = 10.0 ** math.floor(math.log10(max(span, 1e-9)))
    return math.floor(low / step) * step


def _zoom_junction(junctions: list[Junction]) -> Junction | None:
    """The cutting junction nearest the middle of all cutting junctions."""
    cutting = [j for j in junctions if j.cuts and all(map(math.isfinite, j.cut))]
    if not cutting:
        return None
    cuts = np.array([j.cut for j in cutting])
    centre = np.median(cuts, axis=0)
    return cutting[int(np.argmin(np.hypot(*(cuts - centre).T)))]


def _zoom_reach(
    zoom: Junction, connected_crop_rows: np.ndarray, points: np.ndarray, info: np.ndarray, tolerance: float
) -> float:
    """Half the width of the close-up: the whole cut, unless points would pile up.

    The window shows 2.5 times the cut length around the cut point, but no
    more than about 60 point spacings of the main row, so that single points
    of the two overlapping rows stay apart.
    """
    reach = 2.5 * zoom.cut_length
    anchors = info[zoom.main_record, ANCHOR_COLUMNS].reshape(ANCHOR_COUNT, 2)
    length = math.hypot(*(anchors[1] - anchors[0]))
    main = main_row_keys(connected_crop_rows[zoom.group : zoom.group + 1])[0]
    own = np.count_nonzero(point_row_keys(points) == main) if points.shape[0] else 0
    if own > 1 and math.isfinite(length) and length > 0:
        reach = min(reach, 30.0 * length / own)
    floor = 4.0 * abs(tolerance) if math.isfinite(tolerance) else 0.0
    return max(reach, floor, 1e-9)


def _draw(
    ax: Any,
    segments: list[tuple[np.ndarray, np.ndarray]],
    anchors: np.ndarray,
    kept: np.ndarray,
    removed: np.ndarray,
    cuts: np.ndarray,
    *,
    point_size: float,
    marker_scale: float,
    removed_scale: float,
) -> None:
    for (x0, y0), (x1, y1) in segments:
        ax.plot([x0, x1], [y0, y1], color=SEGMENT_COLOUR, lw=0.8 * marker_scale, zorder=1, solid_capstyle="round")
    ax.plot(kept[:, 0], kept[:, 1], ".", color=KEPT_COLOUR, ms=point_size, mew=0, zorder=2)
    ax.plot(removed[:, 0], removed[:, 1], ".", color=REMOVED_COLOUR, ms=point_size * removed_scale, mew=0, zorder=3)
    ax.plot(
        anchors[:, 0],
        anchors[:, 1],
        "o",
        mfc="none",
        mec=ANCHOR_COLOUR,
        ms=4.0 * marker_scale,
        mew=0.9 * min(marker_scale, 1.2),
        zorder=4,
    )
    if len(cuts):
        ax.plot(
            cuts[:, 0],
            cuts[:, 1],
            "x",
            color=CUT_COLOUR,
            ms=6.5 * marker_scale,
            mew=1.7 * min(marker_scale, 1.2),
            zorder=5,
        )


def plot_merge(
    path: str | os.PathLike[str],
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    result: np.ndarray,
    tolerance: float,
    *,
    title: str | None = None,
    units: str | None = None,
) -> Path:
    """Draw the merge of the three tables (``result`` is what it returned) into ``path``."""
    require_matplotlib()
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    path = Path(path)
    points = points_in_rows
    kept_rows = kept_mask(points, result)
    x, y = POINT_XY_COLUMNS
    xy = points[:, x : y + 1] if points.shape[1] > y else np.empty((0, 2))
    finite = np.isfinite(xy).all(axis=1) if len(xy) else np.zeros(0, bool)

    info = row_information
    if info.shape[1] >= RECORD_COLUMNS and info.shape[0]:
        anchor_xy = info[:, ANCHOR_COLUMNS].reshape(-1, ANCHOR_COUNT, 2)
    else:
        anchor_xy = np.empty((0, ANCHOR_COUNT, 2))
    junctions = find_junctions(connected_crop_rows, info, tolerance)
    cut_xy = np.array([j.cut for j in junctions]).reshape(-1, 2)

    everything = np.concatenate([xy[finite], anchor_xy.reshape(-1, 2)])
    ox, oy = (_origin(everything[:, 0]), _origin(everything[:, 1])) if len(everything) else (0.0, 0.0)
    shift = np.array([ox, oy])
    kept = xy[finite & kept_rows] - shift
    removed = xy[finite & ~kept_rows] - shift
    anchors = anchor_xy.reshape(-1, 2) - shift
    anchors = anchors[np.isfinite(anchors).all(axis=1)]
    segments = [(a[0] - shift, a[1] - shift) for a in anchor_xy if np.isfinite(a[:2]).all()]
    cuts = cut_xy - shift
    cuts = cuts[np.isfinite(cuts).all(axis=1)] if len(cuts) else cuts

    zoom = _zoom_junction(junctions)
    figure = Figure(figsize=FIGSIZE, dpi=DPI, layout="constrained")
    if zoom is not None:
        field_ax, zoom_ax = figure.subplots(1, 2, width_ratios=[3, 2])
    else:
        field_ax, zoom_ax = figure.subplots(1, 1), None

    count = len(kept) + len(removed)
    point_size = float(np.clip(9.0 / math.sqrt(max(count, 1)) * 12.0, 0.6, 4.0))
    # Markers shrink on fields of many segments so that the points stay visible.
    overview_scale = float(np.clip(math.sqrt(40.0 / max(len(segments), 1)), 0.4, 1.0))
    _draw(
        field_ax,
        segments,
        anchors,
        kept,
        removed,
        cuts,
        point_size=point_size,
        marker_scale=overview_scale,
        removed_scale=1.6,
    )
    unit = f" ({units})" if units else ""

    def axis_label(name: str, origin: float) -> str:
        return f"{name} − {origin:,.0f}{unit}".replace(",", " ") if origin else f"{name}{unit}"

    for ax in (field_ax, zoom_ax):
        if ax is None:
            continue
        ax.set_aspect("equal", adjustable="datalim" if ax is field_ax else "box")
        ax.grid(True, color="#e4e7eb", lw=0.6, zorder=0)
        ax.set_axisbelow(True)
        ax.tick_params(labelsize=8)
        for spine in ax.spines.values():
            spine.set_color("#cbd2d9")
        ax.set_xlabel(axis_label("x", ox), fontsize=9)
    field_ax.set_ylabel(axis_label("y", oy), fontsize=9)
    field_ax.set_title("whole field", fontsize=10, loc="left")

    if zoom is not None and zoom_ax is not None:
        centre = np.array(zoom.cut) - shift
        reach = _zoom_reach(zoom, connected_crop_rows, points, info, tolerance)
        _draw(
            zoom_ax,
            segments,
            anchors,
            kept,
            removed,
            cuts,
            point_size=float(np.clip(point_size * 3.0, 4.0, 6.0)),
            marker_scale=1.6,
            removed_scale=1.0,
        )
        zoom_ax.set_xlim(centre[0] - reach, centre[0] + reach)
        zoom_ax.set_ylim(centre[1] - reach, centre[1] + reach)
        zoom_ax.set_title(
            f"one junction up close (group {zoom.group} and its connected row {zoom.slot + 1})", fontsize=10, loc="left"
        )
        field_ax.indicate_inset(
            (centre[0] - reach, centre[1] - reach, 2 * reach, 2 * reach),
            inset_ax=zoom_ax,
            edgecolor="#323f4b",
            alpha=1.0,
            lw=1.2,
        )

    handles = [
        Line2D([], [], ls="", marker=".", ms=10, color=KEPT_COLOUR, label=f"kept points ({len(kept):,})"),
        Line2D([], [], ls="", marker=".", ms=10, color=REMOVED_COLOUR, label=f"removed points ({len(removed):,})"),
        Line2D([], [], color=SEGMENT_COLOUR, lw=1.2, label="segment (anchor 0 to anchor 1)"),
        Line2D([], [], ls="", marker="o", mfc="none", mec=ANCHOR_COLOUR, ms=6, label="anchors"),
        Line2D([], [], ls="", marker="x", color=CUT_COLOUR, ms=8, mew=1.8, label="cut points"),
    ]
    figure.legend(handles=handles, loc="outside lower center", ncols=5, frameon=False, fontsize=9)
    if title:
        figure.suptitle(title, fontsize=11)
    figure.savefig(path, dpi=DPI)
    return path

"""The module's own three tables, rebuilt from the frames ``merge_frame`` reads.

``rowmerge.merge_frame`` turns its points, segments and links into the
module's tables internally: one group per segment, its links in table order.
The command line needs the same tables again, after the merge, to count the
points each group lost (``--per-group``) and to draw the merge (``--plot``),
both of which work on arrays.  The frames here have already been checked by
``merge_frame``, so nothing is checked again.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from .formats.raw import is_geo_frame

__all__ = ["MergeArrays", "arrays_from_frames"]

# Columns of row_information: identifiers in 0 and 4, the anchors in 5 to 10.
_RECORD_COLUMNS = 11
_ANCHORS = ("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y")
_MAX_LINKS = 4


class MergeArrays(NamedTuple):
    """The three tables of ``rowmerge.merge`` (points with four columns: crop row, segment, x, y)."""

    connected_crop_rows: np.ndarray
    points_in_rows: np.ndarray
    row_information: np.ndarray


def _point_xy(points: Any) -> tuple[np.ndarray, np.ndarray]:
    """x and y of every point: from Point geometry, as merge_frame takes them, else the columns."""
    if is_geo_frame(points):
        return points.geometry.x.to_numpy(dtype=np.float64), points.geometry.y.to_numpy(dtype=np.float64)
    return points["x"].to_numpy(dtype=np.float64), points["y"].to_numpy(dtype=np.float64)


def arrays_from_frames(points: Any, segments: Any, links: Any) -> MergeArrays:
    """The tables ``merge_frame`` merges for frames with our column names (see ``rowmerge.formats``)."""
    count = len(segments)
    records = np.zeros((count, _RECORD_COLUMNS))
    records[:, 0] = segments["crop_row"].to_numpy(dtype=np.float64)
    records[:, 4] = segments["segment"].to_numpy(dtype=np.float64)
    for k, name in enumerate(_ANCHORS):
        records[:, 5 + k] = segments[name].to_numpy(dtype=np.float64)

    groups = np.full((count, _RECORD_COLUMNS), np.nan)
    groups[:, 0] = np.arange(count)
    groups[:, 1] = records[:, 0]
    groups[:, 2] = records[:, 4]
    if links is not None and len(links):
        position = {(a, b): i for i, (a, b) in enumerate(zip(records[:, 0].tolist(),
                                                              records[:, 4].tolist()))}
        filled = np.zeros(count, dtype=np.int64)
        for row in zip(*(links[name].to_numpy(dtype=np.float64).tolist() for name in
                         ("crop_row", "segment", "linked_crop_row", "linked_segment"))):
            group = position[(row[0], row[1])]
            slot = filled[group]
            if slot < _MAX_LINKS:
                groups[group, 3 + 2 * slot] = row[2]
                groups[group, 4 + 2 * slot] = row[3]
                filled[group] += 1

    x, y = _point_xy(points)
    table = np.column_stack([points["crop_row"].to_numpy(dtype=np.float64),
                             points["segment"].to_numpy(dtype=np.float64), x, y])
    return MergeArrays(groups, table, records)

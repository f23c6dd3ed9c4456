"""A generated field cut into partitions, loaded inside Dask's worker processes.

The Dask tests build their points with ``dask.dataframe.from_map(load, pieces)``:
each piece names a slice of the field's points (any bounds, also empty ones
and ones that cut a segment in two) and, for the tests of a worker killed in
the middle, marker files.  A load that can still create one of its marker
files kills its own worker process at once (the marker, created atomically,
makes that happen once per file, whichever worker runs the load).
"""

from __future__ import annotations

import functools
import os
import signal

import numpy as np

from rowmerge.field import make_field

#: Names of the points' columns: ours first, then values and a text label.
COLUMNS = ("crop_row", "segment", "x", "y", "confidence", "seen_at")


@functools.cache
def field():
    """Points in tile order: the points of several segments interleave."""
    return make_field(groups=24, points_per_group=60, point_columns=6, segments_per_row=4,
                      seed=5, order="tile")


def frame(start: int = 0, stop: int | None = None):
    """Rows ``start:stop`` of the points as a DataFrame; the index holds their row numbers."""
    import pandas as pd

    points = field().points_in_rows
    stop = len(points) if stop is None else stop
    table = pd.DataFrame(points[start:stop], columns=list(COLUMNS),
                         index=pd.RangeIndex(start, stop, name="row"))
    # Millisecond timestamps, and text in the string type Dask gives text columns.
    table["seen_at"] = pd.to_datetime(np.round(table["seen_at"] * 1000).astype("int64"), unit="ms")
    table["label"] = pd.Series([f"p{i}" for i in range(start, stop)], index=table.index,
                               dtype="string[pyarrow]")
    return table


def _kill_once(markers):
    for marker in markers:
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            continue
        os.kill(os.getpid(), signal.SIGKILL)


def load(piece):
    """One partition: ``piece`` is ``(start, stop, markers)``."""
    start, stop, markers = piece
    _kill_once(markers)
    return frame(start, stop)


def segments_and_links():
    """The field's segments and links in the layout of ``rowmerge.merge_frame``."""
    import pandas as pd

    info, groups = field().row_information, field().connected_crop_rows
    segments = pd.DataFrame({"crop_row": info[:, 0], "segment": info[:, 4],
                             "start_x": info[:, 5], "start_y": info[:, 6], "end_x": info[:, 7],
                             "end_y": info[:, 8], "mid_x": info[:, 9], "mid_y": info[:, 10]})
    links = [(g[1], g[2], g[k], g[k + 1]) for g in groups for k in (3, 5, 7, 9)
             if not np.isnan(g[k])]
    return segments, pd.DataFrame(links, columns=["crop_row", "segment", "linked_crop_row",
                                                  "linked_segment"])

"""Source data for the tests of rowmerge.formats and rowmerge.formats.safe_output.

A small generated field, turned into the tables a user would have: points
with their own column names (``row, seg, easting, northing``), 32-bit ids,
a float32 confidence, millisecond timestamps, text with a missing value and
awkward strings, and a projected CRS; segments with the eight anchor
columns; links in long form with a group column.  Which points survive comes
from ``_native`` on the field's own arrays, so the tests compare outputs
with the source data, never with what the code under test computed.
"""

from __future__ import annotations

import numpy as np

from rowmerge.field import make_field

#: Our names -> the sample's own names.
MAPPING_TEXT = "crop_row=row,segment=seg,x=easting,y=northing"
MAPPING = {"crop_row": "row", "segment": "seg", "x": "easting", "y": "northing"}
#: A projected CRS (ETRS89 / UTM zone 33N), where the generated fields lie.
CRS = "EPSG:25833"
#: Texts that a careless reader turns into missing values or splits.
NOTES = ("plant", "NA", "weed, small", None, "null", 'say "hi"')


def sample_field():
    return make_field(groups=4, points_per_group=9, point_columns=6, segments_per_row=2, seed=7)


def kept_rows() -> np.ndarray:
    """Positions of the points that the merge keeps, in result order (from _native)."""
    import _native

    field = sample_field()
    merged = _native.merge_points_removing_overlap(*field.arguments(1))
    position = {tuple(row): i for i, row in enumerate(field.points_in_rows.tolist())}
    return np.array([position[tuple(row)] for row in merged.tolist()], dtype=np.intp)


def point_columns() -> dict[str, np.ndarray]:
    """The sample's point columns by the user's names, as NumPy arrays."""
    points = sample_field().points_in_rows
    milliseconds = np.round(points[:, 5] * 1000).astype("int64")
    notes = np.array([NOTES[i % len(NOTES)] or "" for i in range(len(points))])
    return {
        "row": points[:, 0].astype(np.int32),
        "seg": points[:, 1].astype(np.int32),
        "easting": points[:, 2],
        "northing": points[:, 3],
        "confidence": points[:, 4].astype(np.float32),
        "plant_id": np.arange(10_000_000_000, 10_000_000_000 + len(points), dtype=np.int64),
        "seen_at": milliseconds.astype("datetime64[ms]"),
        "note": notes,
    }


def points_frame():
    """The points as a DataFrame: zoned timestamps and a text column with one missing value."""
    import pandas as pd

    columns = point_columns()
    frame = pd.DataFrame({name: values for name, values in columns.items()
                          if name not in ("seen_at", "note")})
    frame["seen_at"] = pd.Series(columns["seen_at"]).dt.tz_localize("UTC")
    frame["note"] = pd.Series([NOTES[i % len(NOTES)] for i in range(len(frame))], dtype="str")
    return frame


def points_geoframe():
    """The points with Point geometry instead of easting and northing, in :data:`CRS`."""
    import geopandas as gpd

    frame = points_frame()
    geometry = gpd.points_from_xy(frame["easting"], frame["northing"])
    return gpd.GeoDataFrame(frame.drop(columns=["easting", "northing"]), geometry=geometry, crs=CRS)


def segment_columns() -> dict[str, np.ndarray]:
    """One row per segment, from row_information: ids and the three anchors."""
    info = sample_field().row_information
    return {"crop_row": info[:, 0].astype(np.int64), "segment": info[:, 4].astype(np.int64),
            "start_x": info[:, 5], "start_y": info[:, 6], "end_x": info[:, 7],
            "end_y": info[:, 8], "mid_x": info[:, 9], "mid_y": info[:, 10]}


def link_rows() -> list[tuple[int, int, int, int, int]]:
    """Links in long form from connected_crop_rows: (group, crop_row, segment, linked ...)."""
    rows = []
    for group in sample_field().connected_crop_rows:
        for first in (3, 5, 7, 9):
            if np.isnan(group[first]):
                break
            rows.append((int(group[0]), int(group[1]), int(group[2]),
                         int(group[first]), int(group[first + 1])))
    return rows

"""rowmerge.merge_frame on pandas DataFrames and GeoPandas GeoDataFrames.

The frames are made from a generated field; the rows expected to survive come
from _native on the field's own arrays, with each point's row number carried
along as an extra value column.
"""

import numpy as np
import pytest

import _native
import rowmerge
from rowmerge import TableShapeError
from rowmerge.field import make_field

pd = pytest.importorskip("pandas")

IDENTIFIERS = "crop-row identifiers must be whole numbers in [0, 2**32)"
ANCHORS = ("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y")


def field_frames(seed=0):
    """(points, segments, links, tolerance) of one generated camera frame."""
    f = make_field("frame", seed=seed)  # NaN positions are refused: none here
    groups, points, records = f.connected_crop_rows, f.points_in_rows, f.row_information
    assert (groups[:, 1:3] == records[:, [0, 4]]).all()  # group i is segment i
    segments = pd.DataFrame({"crop_row": records[:, 0].astype(np.int64), "segment": records[:, 4].astype(np.int64),
                             **{name: records[:, 5 + k] for k, name in enumerate(ANCHORS)}})
    links = pd.DataFrame(
        [(row[1], row[2], row[c], row[c + 1], g) for g, row in enumerate(groups) for c in (3, 5, 7, 9)
         if not np.isnan(row[c])],
        columns=["crop_row", "segment", "linked_crop_row", "linked_segment", "group"]).astype(np.int64)
    count = len(points)
    frame = pd.DataFrame({
        "crop_row": points[:, 0].astype(np.int32),
        "segment": points[:, 1].astype(np.int64),
        "x": points[:, 2],
        "y": points[:, 3],
        "label": pd.array([f"plant {i}" for i in range(count)], dtype="string"),
        "seen_at": pd.Timestamp("2024-05-01 06:00") + pd.to_timedelta(np.arange(count) * 250, unit="ms"),
        "kind": pd.Categorical(np.where(np.arange(count) % 3 == 0, "maize", "weed")),
    }, index=pd.Index([f"p{i}" for i in range(count)], name="plant"))
    return frame, segments, links, f.tolerance


def expected_rows(points, segments, links, tolerance):
    """The surviving rows of `points` by _native, from arrays made here."""
    records = np.zeros((len(segments), 11))
    records[:, 0] = segments["crop_row"]
    records[:, 4] = segments["segment"]
    records[:, 5:] = segments[list(ANCHORS)].to_numpy()
    groups = np.full((len(segments), 11), np.nan)
    groups[:, 1:3] = records[:, [0, 4]]
    for _, group in (links.groupby("group", sort=False) if links is not None else []):
        for k, (_, link) in enumerate(group.iterrows()):
            groups[int(link["group"]), 3 + 2 * k:5 + 2 * k] = link[["linked_crop_row", "linked_segment"]]
    table = np.column_stack([points["crop_row"], points["segment"], points.geometry.x, points.geometry.y]
                            if hasattr(points, "geometry") else
                            [points["crop_row"], points["segment"], points["x"], points["y"]])
    numbered = np.column_stack([table, np.arange(len(points))])
    merged = _native.merge_points_removing_overlap(groups, numbered, records, tolerance, 1)
    return points.iloc[merged[:, 4].astype(np.int64)]


@pytest.mark.parametrize("shuffle", [False, True])
def test_dataframe_keeps_every_column(shuffle):
    points, segments, links, tolerance = field_frames()
    if shuffle:
        points = points.sample(frac=1.0, random_state=1)
    kept = rowmerge.merge_frame(points, segments, links, tolerance=tolerance, threads=2)
    expected = expected_rows(points, segments, links, tolerance)
    assert 0 < len(expected) < len(points)
    pd.testing.assert_frame_equal(kept, expected)
    assert list(kept.dtypes) == list(points.dtypes)


def test_column_names_of_ones_own():
    points, segments, links, tolerance = field_frames(seed=4)
    names = {"crop_row": "row", "segment": "piece", "x": "easting", "y": "northing", "start_x": "x0",
             "linked_segment": "other_piece"}
    renamed = [frame.rename(columns=lambda c: names.get(c, c)) for frame in (points, segments, links)]
    kept = rowmerge.merge_frame(*renamed, tolerance=tolerance, columns=names)
    pd.testing.assert_frame_equal(kept, expected_rows(points, segments, links, tolerance).rename(
        columns=lambda c: names.get(c, c)))


def test_without_links_every_segment_keeps_its_points():
    points, segments, _, tolerance = field_frames()
    for links in (None, pd.DataFrame(columns=["crop_row", "segment", "linked_crop_row", "linked_segment"])):
        pd.testing.assert_frame_equal(rowmerge.merge_frame(points, segments, links, tolerance=tolerance),
                                      expected_rows(points, segments, None, tolerance))


def changed(frame, column, at, value):
    frame = frame.copy()
    frame[column] = frame[column].astype(object if isinstance(value, str) else float)
    frame.loc[frame.index[at], column] = value
    return frame


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda p, s, l: (p.drop(columns="y"), s, l), TableShapeError,
         "points has no column 'y'; columns= can map another column to 'y'"),
        (lambda p, s, l: (changed(p, "segment", 3, -1.0), s, l), rowmerge.InvalidValueError,
         f"points row 'p3' column 'segment' is -1.0: {IDENTIFIERS}"),
        (lambda p, s, l: (p, changed(s, "crop_row", 2, 1.5), l), rowmerge.InvalidValueError,
         f"segments row 2 column 'crop_row' is 1.5: {IDENTIFIERS}"),
        (lambda p, s, l: (p, s.assign(crop_row=s["crop_row"].astype(str)), l), TypeError,
         "segments column 'crop_row' has dtype {dtype}; the merge needs numbers there"),
        # An int64 index, as read from a file: its labels are NumPy integers.
        (lambda p, s, l: (p, s, changed(l.set_axis(pd.Index(np.arange(len(l)))), "linked_segment", 5, 99)),
         rowmerge.MissingRecordError, "links row 5 names segment (1, 99), which segments does not list"),
        (lambda p, s, l: (p, pd.concat([s, s.iloc[[7]]], ignore_index=True), l), ValueError,
         "segments lists segment (2, 3) twice, at index 7 and 20"),
        (lambda p, s, l: (p.to_numpy(), s, l), TypeError, "points must be a pandas DataFrame, not ndarray"),
    ],
    ids=["no y", "negative segment", "fractional crop row", "text crop row", "unknown link", "segment twice",
         "array"],
)
def test_refusals(change, error, message):
    points, segments, links = change(*field_frames()[:3])
    dtype = segments["crop_row"].dtype
    with pytest.raises(error) as raised:
        rowmerge.merge_frame(points, segments, links, tolerance=0.02)
    if dtype == object and "has dtype" in message:
        # pandas before 3 holds text in object columns, whose values are read one
        # by one (object columns of exact numbers merge): the first is named.
        message = "segments row 0 column 'crop_row' is '1', a str and not a number"
    assert str(raised.value) == message.format(dtype=dtype)


def test_five_links_are_refused():
    points, segments, links, tolerance = field_frames()
    links = pd.concat([links] + [links.iloc[[1]]] * 4, ignore_index=True)  # segment (1, 2): 2 + 4 links
    with pytest.raises(ValueError, match=r"^segment \(1, 2\) has 6 links; the merge takes at most 4 per segment$"):
        rowmerge.merge_frame(points, segments, links, tolerance=tolerance)


def test_missing_column_names_the_frame():
    points, segments, links, _ = field_frames()
    with pytest.raises(TableShapeError) as raised:
        rowmerge.merge_frame(points, segments.drop(columns="mid_y"), links, tolerance=0.02)
    assert (raised.value.table, raised.value.column) == ("segments", "mid_y")


# --- GeoDataFrames ----------------------------------------------------------------------


@pytest.fixture
def geo_frames():
    gpd = pytest.importorskip("geopandas")
    points, segments, links, tolerance = field_frames(seed=2)
    geo = gpd.GeoDataFrame(points.drop(columns=["x", "y"]), geometry=gpd.points_from_xy(points["x"], points["y"]),
                           crs="EPSG:32633")
    return gpd, geo, segments, links, tolerance


def test_geodataframe_keeps_geometry_and_crs(geo_frames):
    from geopandas.testing import assert_geodataframe_equal

    gpd, points, segments, links, tolerance = geo_frames
    kept = rowmerge.merge_frame(points, segments, links, tolerance=tolerance)
    assert isinstance(kept, gpd.GeoDataFrame) and kept.crs == points.crs
    assert_geodataframe_equal(kept, expected_rows(points, segments, links, tolerance))


def test_geopackage_round_trip(geo_frames, tmp_path):
    gpd, points, segments, links, tolerance = geo_frames
    path = tmp_path / "points.gpkg"
    points.drop(columns="kind").to_file(path, driver="GPKG", engine="pyogrio")
    read = gpd.read_file(path, engine="pyogrio")
    kept = rowmerge.merge_frame(read, segments, links, tolerance=tolerance)
    expected = expected_rows(points, segments, links, tolerance)
    assert kept.crs == points.crs
    assert kept["label"].tolist() == expected["label"].tolist()
    assert kept["seen_at"].tolist() == expected["seen_at"].tolist()


def test_geographic_crs_is_refused(geo_frames):
    _, points, segments, links, tolerance = geo_frames
    with pytest.raises(ValueError) as raised:
        rowmerge.merge_frame(points.set_crs("EPSG:4326", allow_override=True), segments, links, tolerance=tolerance)
    assert str(raised.value) == (
        "points has a geographic CRS (WGS 84): its x and y are degrees, and a tolerance in degrees is never what is "
        "meant. Project it to a CRS in metres first, e.g. points.to_crs(points.estimate_utm_crs())")


def test_only_point_geometry(geo_frames):
    _, points, segments, links, tolerance = geo_frames
    lines = points.copy()
    lines.loc["p4", "geometry"] = lines.loc["p4", "geometry"].buffer(1.0)
    with pytest.raises(ValueError, match=r"^points has a Polygon geometry at index 'p4'; it needs one "
                                         r"Point per row$"):
        rowmerge.merge_frame(lines, segments, links, tolerance=tolerance)

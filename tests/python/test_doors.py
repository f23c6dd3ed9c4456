"""merge_frame and rowmerge.dask.merge read frames as their users name them, and say what they find in those terms.

Expected rows come from _native on arrays built here, each point's row number
carried along as an extra value column; expected messages are written out.
"""

import warnings

import numpy as np
import pytest

import _native
import rowmerge
from helpers import ONE_DASK_GRAPH_AT_A_TIME
from rowmerge.field import make_field

pd = pytest.importorskip("pandas")

ANCHORS = ("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y")
IDENTIFIERS = "crop-row identifiers must be whole numbers in [0, 2**32)"


def field_tables(seed=3):
    """(points, segments, links, tolerance, expected row numbers) of a field, one group per segment."""
    f = make_field("frame", seed=seed)
    groups, points, records = f.connected_crop_rows, f.points_in_rows, f.row_information
    segments = pd.DataFrame({"crop_row": records[:, 0].astype(np.int64), "segment": records[:, 4].astype(np.int64),
                             **{name: records[:, 5 + k] for k, name in enumerate(ANCHORS)}})
    links = pd.DataFrame([(row[1], row[2], row[c], row[c + 1]) for row in groups for c in (3, 5, 7, 9)
                          if not np.isnan(row[c])],
                         columns=["crop_row", "segment", "linked_crop_row", "linked_segment"]).astype(np.int64)
    numbered = np.column_stack([points[:, :4], np.arange(len(points))])
    kept = _native.merge_points_removing_overlap(groups, numbered, records, f.tolerance, 1)[:, 4].astype(np.int64)
    frame = pd.DataFrame({"plant_id": [f"p{i}" for i in range(len(points))],
                          "crop_row": points[:, 0].astype(np.int64), "segment": points[:, 1].astype(np.int64),
                          "easting": points[:, 2], "northing": points[:, 3]},
                         index=pd.Index([f"p{i}" for i in range(len(points))], name="plant"))
    return frame, segments, links, f.tolerance, kept


MAPPED = {"x": "easting", "y": "northing"}
ONE_GROUP = [[0, 0, 0, np.nan]]  # crop row (0, 0) with no connected rows


# --- 1, 2: columns by name, one mapping rule ----------------------------------------------

@pytest.mark.parametrize("columns", [MAPPED, "x=easting,y=northing", " x = easting , y=northing ,"])
def test_merge_frame_takes_the_command_line_mapping(columns):
    points, segments, links, tolerance, kept = field_tables()
    result = rowmerge.merge_frame(points, segments, links, tolerance=tolerance, columns=columns)
    pd.testing.assert_frame_equal(result, points.iloc[kept])


def test_a_frame_with_our_name_and_a_mapped_name_is_refused():
    points, segments, links, tolerance, _ = field_tables()
    both = points.assign(x=points["easting"])
    with pytest.raises(ValueError, match=r"^points: column 'easting' is mapped to 'x', but a column 'x' exists "
                                         r"too; rename one of them$"):
        rowmerge.merge_frame(both, segments, links, tolerance=tolerance, columns=MAPPED)


def test_columns_by_position_only_for_default_labels():
    points, segments, links, tolerance, kept = field_tables()
    ours = points[["crop_row", "segment", "easting", "northing", "plant_id"]]
    by_position = ours.set_axis(range(5), axis=1)
    pd.testing.assert_frame_equal(rowmerge.merge_frame(by_position, segments, links, tolerance=tolerance),
                                  by_position.iloc[kept])
    with pytest.raises(rowmerge.TableShapeError) as raised:
        rowmerge.merge_frame(ours, segments, links, tolerance=tolerance)  # named, and no 'x'
    assert (raised.value.table, raised.value.column) == ("points", "x")


dd = pytest.importorskip("dask.dataframe")
import rowmerge.dask  # noqa: E402


@ONE_DASK_GRAPH_AT_A_TIME
def test_dask_reads_columns_by_name():
    points, segments, links, tolerance, kept = field_tables()
    assert list(points.columns) == ["plant_id", "crop_row", "segment", "easting", "northing"]
    for columns in (MAPPED, "x=easting,y=northing"):
        result = rowmerge.dask.merge(dd.from_pandas(points, npartitions=3), segments, links, tolerance=tolerance,
                                     columns=columns).compute(scheduler="synchronous")
        assert 0 < len(kept) < len(points)
        assert sorted(result.index) == sorted(points.index[kept])


@ONE_DASK_GRAPH_AT_A_TIME
@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda p: p.drop(columns="northing"), rowmerge.TableShapeError,
         "points has no column 'northing' (for 'y'); columns= can map another column to 'y'"),
        (lambda p: p.assign(easting=p["plant_id"]), TypeError,
         "points column 'easting' has dtype {dtype}; the merge needs numbers there"),
        (lambda p: p.assign(x=p["easting"]), ValueError,
         "points: column 'easting' is mapped to 'x', but a column 'x' exists too; rename one of them"),
    ],
    ids=["missing", "text", "both names"],
)
def test_dask_refuses_before_the_graph_runs(change, error, message):
    points, segments, links, tolerance, _ = field_tables()
    changed = change(points)
    computed = []

    def load(part):
        computed.append(part)
        return changed

    lazy = dd.from_map(load, [0, 1], meta=changed.iloc[:0])
    with pytest.raises(error) as raised:
        rowmerge.dask.merge(lazy, segments, links, tolerance=tolerance, columns=MAPPED)
    assert str(raised.value) == message.format(dtype=lazy._meta["plant_id"].dtype)
    assert computed == []


@ONE_DASK_GRAPH_AT_A_TIME
def test_dask_names_a_partitions_bad_value_in_the_users_terms():
    points, segments, links, tolerance, _ = field_tables()
    points["crop_row"] = points["crop_row"].astype(float)
    points.loc["p17", "crop_row"] = 2.5
    lazy = rowmerge.dask.merge(dd.from_pandas(points, npartitions=4), segments, links, tolerance=tolerance,
                               columns=MAPPED)
    with pytest.raises(rowmerge.InvalidValueError) as raised:
        lazy.compute(scheduler="synchronous")
    assert str(raised.value) == f"points row 'p17' column 'crop_row' is 2.5: {IDENTIFIERS}"
    assert (raised.value.table, raised.value.row, raised.value.column, raised.value.value) == \
        ("points", "p17", "crop_row", 2.5)


# --- 3: segments as lines ------------------------------------------------------------------

def test_segments_as_three_point_lines():
    gpd = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    points, segments, links, tolerance, kept = field_tables()
    lines = [shapely.LineString([(r.start_x, r.start_y), (r.mid_x, r.mid_y), (r.end_x, r.end_y)])
             for r in segments.itertuples()]
    as_lines = gpd.GeoDataFrame(segments[["crop_row", "segment"]], geometry=lines, crs="EPSG:32633")
    result = rowmerge.merge_frame(points, as_lines, links, tolerance=tolerance, columns=MAPPED)
    pd.testing.assert_frame_equal(result, points.iloc[kept])


def test_segments_as_lines_of_other_than_three_points_are_refused():
    gpd = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    points, segments, links, tolerance, _ = field_tables()
    lines = [shapely.LineString([(r.start_x, r.start_y), (r.end_x, r.end_y)]) for r in segments.itertuples()]
    as_lines = gpd.GeoDataFrame(segments[["crop_row", "segment"]], geometry=lines, crs="EPSG:32633")
    with pytest.raises(ValueError, match=r"^segments: row 0 has no anchor columns and its geometry is a line of 2 "
                                         r"points; give start_x \.\.\. mid_y, or lines of three points"):
        rowmerge.merge_frame(points, as_lines, links, tolerance=tolerance, columns=MAPPED)


# --- 4: one conversion rule ----------------------------------------------------------------

def test_nullable_columns_are_numbers_everywhere():
    points, segments, links, tolerance, kept = field_tables()
    nullable = points.astype({"crop_row": "Int64", "segment": "UInt32", "easting": "Float64"})
    result = rowmerge.merge_frame(nullable, segments.astype({"segment": "Int64"}), links.astype("Int64"),
                                  tolerance=tolerance, columns=MAPPED)
    pd.testing.assert_frame_equal(result, nullable.iloc[kept])
    table = nullable[["crop_row", "segment", "easting", "northing"]].reset_index(drop=True)
    f = make_field("frame", seed=3)
    _, index = rowmerge.merge(f.connected_crop_rows, table, f.row_information, tolerance=tolerance,
                              return_index=True)
    assert index.tolist() == kept.tolist()


@pytest.mark.parametrize("missing", [pd.NA, None])
def test_a_missing_value_is_named_never_read_as_zero(missing):
    points, segments, links, tolerance, _ = field_tables()
    nullable = points.astype({"crop_row": "Int64"})
    nullable.loc["p5", "crop_row"] = missing
    with pytest.raises(rowmerge.InvalidValueError) as raised:
        rowmerge.merge_frame(nullable, segments, links, tolerance=tolerance, columns=MAPPED)
    assert str(raised.value) == ("points row 'p5' column 'crop_row' is missing: a missing value is never read "
                                 "as a number")
    table = nullable[["crop_row", "segment", "easting", "northing"]].reset_index(drop=True)
    f = make_field("frame", seed=3)
    with pytest.raises(rowmerge.InvalidValueError) as raised:
        rowmerge.merge(f.connected_crop_rows, table, f.row_information, tolerance=tolerance)
    assert (raised.value.table, raised.value.row, raised.value.column) == ("points_in_rows", 5, 0)


@pytest.mark.parametrize("container", [list, tuple, lambda rows: pd.DataFrame(rows, dtype=object)])
def test_an_integer_float64_would_round_is_refused_in_any_container(container):
    big = 2**53 + 1
    points = container([[0.0, 0.0, 1.5, 2.5], [0, 0, big, 2.5]])
    with pytest.raises(TypeError, match=r"^points_in_rows\[1, 2\] is 9007199254740993, an integer that float64 "
                                        r"cannot hold exactly$"):
        rowmerge.merge(ONE_GROUP, points, np.zeros((1, 11)), tolerance=0.1)


@pytest.mark.parametrize(
    "points, error, message",
    [
        ([[0, 0, 1.5, None]], rowmerge.InvalidValueError, r"^points_in_rows\[0, 3\] is missing: "),
        (np.array([[0, 0, 1.5, np.int64(2**53 + 1)]], dtype=object), TypeError,
         r"^points_in_rows\[0, 3\] is 9007199254740993, an integer that float64 cannot hold exactly$"),
        ([[0, 0, 1.5, 2**70 + 1]], TypeError, r"^points_in_rows\[0, 3\] is 1180591620717411303425, an integer "),
    ],
    ids=["None in a list", "NumPy integer among objects", "beyond int64"],
)
def test_object_values_are_refused_at_their_cell(points, error, message):
    with pytest.raises(error, match=message):
        rowmerge.merge(ONE_GROUP, points, np.zeros((1, 11)), tolerance=0.1)


def test_integers_that_float64_holds_are_taken_from_any_container():
    exact = [[0, 0, 1.5, 2**60], [0, 0, 2.5, 2**53]]  # beyond 2**53, but float64 values
    merged = rowmerge.merge(ONE_GROUP, exact, np.zeros((1, 11)), tolerance=0.1)
    assert merged[:, 3].tolist() == [2.0**60, 2.0**53]


@ONE_DASK_GRAPH_AT_A_TIME
def test_dask_takes_nullable_columns_and_names_a_missing_value():
    points, segments, links, tolerance, kept = field_tables()
    nullable = points.astype({"crop_row": "Int64", "easting": "Float64"})
    result = rowmerge.dask.merge(dd.from_pandas(nullable, npartitions=2), segments, links, tolerance=tolerance,
                                 columns=MAPPED).compute(scheduler="synchronous")
    assert sorted(result.index) == sorted(points.index[kept])
    nullable.loc["p40", "easting"] = pd.NA
    lazy = rowmerge.dask.merge(dd.from_pandas(nullable, npartitions=2), segments, links, tolerance=tolerance,
                               columns=MAPPED)
    with pytest.raises(rowmerge.InvalidValueError, match=r"^points row 'p40' column 'easting' is missing: a missing "
                                                         r"value is never read as a number$"):
        lazy.compute(scheduler="synchronous")


def test_a_header_only_csv_is_an_empty_table(tmp_path):
    path = tmp_path / "points.csv"
    path.write_text("crop_row,segment,x,y\n")
    empty = pd.read_csv(path)
    assert all(dtype == np.dtype(object) for dtype in empty.dtypes)
    f = make_field("tiny", seed=0)
    merged = rowmerge.merge(f.connected_crop_rows, empty, f.row_information, tolerance=f.tolerance)
    assert merged.shape == (0, 4)
    segments = pd.DataFrame({"crop_row": [0], "segment": [0], **{name: [float(k)] for k, name in enumerate(ANCHORS)}})
    assert len(rowmerge.merge_frame(empty, segments, None, tolerance=0.1)) == 0


# --- 5: the merge's findings in the frames' terms ------------------------------------------

def test_a_nan_anchor_is_named():
    points, segments, links, tolerance, _ = field_tables()
    segments.loc[4, "mid_y"] = np.nan
    with pytest.raises(rowmerge.InvalidValueError) as raised:
        rowmerge.merge_frame(points, segments, links, tolerance=tolerance, columns=MAPPED)
    assert str(raised.value) == "segments row 4 column 'mid_y' is nan: a segment's anchors must be finite numbers"
    assert (raised.value.table, raised.value.row, raised.value.column) == ("segments", 4, "mid_y")


def test_points_without_a_position_are_warned_of_in_frame_terms():
    points, segments, links, tolerance, kept = field_tables()
    points.loc[["p17", "p30"], "easting"] = [np.nan, np.inf]
    with pytest.warns(rowmerge.UnplacedPointsWarning) as caught:
        rowmerge.merge_frame(points, segments, links, tolerance=tolerance, columns=MAPPED)
    [warning] = [w.message for w in caught if isinstance(w.message, rowmerge.UnplacedPointsWarning)]
    assert warning.count == 2
    assert str(warning).startswith("2 points of points have a NaN or infinite x or y")


def test_orphan_points_and_one_way_links_are_warned_in_frame_terms():
    points, segments, links, tolerance, _ = field_tables()
    orphans = int(((points["crop_row"] == segments["crop_row"][0]) &
                   (points["segment"] == segments["segment"][0])).sum())
    assert orphans > 0
    first = (segments["crop_row"][0], segments["segment"][0])
    touching = ((links["crop_row"] == first[0]) & (links["segment"] == first[1])) | \
        ((links["linked_crop_row"] == first[0]) & (links["linked_segment"] == first[1]))
    remaining = links[~touching]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        # Without its first link, the segment that link names links back to nothing.
        rowmerge.merge_frame(points, segments.iloc[1:], remaining.iloc[1:], tolerance=tolerance, columns=MAPPED)
    kinds = {type(w.message): w.message for w in caught}
    assert kinds[rowmerge.OrphanPointsWarning].count == orphans
    assert str(kinds[rowmerge.OrphanPointsWarning]) == \
        f"{orphans} points belong to no segment that segments lists; they are not in the result"
    assert rowmerge.OneWayLinkWarning in kinds

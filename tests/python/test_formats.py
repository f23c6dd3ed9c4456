"""rowmerge.formats with frames: every format read with a column mapping and written back.

Each source file is written by the format's own library from the sample data
(format_samples.py); the output of ``write_points`` is read back by that
library too and compared with the source rows that ``_native`` keeps.
"""

from __future__ import annotations

import pickle
import re
from pathlib import Path

import numpy as np
import pytest

from helpers import checkout_docs
from format_samples import (
    CRS, MAPPING, MAPPING_TEXT, kept_rows, link_rows, point_columns, points_frame,
    points_geoframe, segment_columns,
)

pd = pytest.importorskip("pandas")

from rowmerge.formats import FormatError, read_table, read_tables, write_points  # noqa: E402

pytestmark = pytest.mark.thread_unsafe(reason="writes files under fixed names in tmp_path")

# Format case -> (file suffix, libraries it needs).
CASES = {
    "csv": (".csv", ("pandas",)),
    "parquet": (".parquet", ("pyarrow",)),
    "feather": (".feather", ("pyarrow",)),
    "npz columns": (".npz", ()),
    "npy records": (".npy", ()),
    "gpkg": (".gpkg", ("geopandas", "pyogrio")),
    "geojson": (".geojson", ("geopandas", "pyogrio")),
    "geoparquet": (".parquet", ("geopandas", "pyarrow")),
    "geoarrow ipc": (".arrow", ("geopandas", "pyarrow")),
}
GEO_CASES = {"gpkg", "geojson", "geoparquet", "geoarrow ipc"}


def need(case: str) -> None:
    for module in CASES[case][1]:
        pytest.importorskip(module)


def write_source(case: str, path: Path) -> None:
    """Write the sample points in the format of ``case`` with that format's own library."""
    if case == "csv":
        points_frame().to_csv(path, index=False)
    elif case == "parquet":
        points_frame().to_parquet(path)
    elif case == "feather":
        points_frame().to_feather(path)
    elif case == "npz columns":
        np.savez(path, **point_columns())
    elif case == "npy records":
        columns = point_columns()
        records = np.empty(len(columns["row"]), dtype=[(k, v.dtype) for k, v in columns.items()])
        for name, values in columns.items():
            records[name] = values
        np.save(path, records)
    elif case == "gpkg":
        points_geoframe().to_file(path, layer="plants", driver="GPKG")
    elif case == "geojson":
        points_geoframe().to_file(path, driver="GeoJSON")
    elif case == "geoparquet":
        points_geoframe().to_parquet(path)
    elif case == "geoarrow ipc":
        points_geoframe().to_feather(path)


def read_back(case: str, path: Path):
    """The file as its own library reads it: a frame, or NumPy arrays by name."""
    if case == "csv":
        return pd.read_csv(path, keep_default_na=False, na_values=[""])
    if case in ("parquet", "feather"):
        import pyarrow.feather
        import pyarrow.parquet
        reader = pyarrow.parquet.read_table if case == "parquet" else pyarrow.feather.read_table
        return reader(path)
    if case == "npz columns":
        with np.load(path) as archive:
            return {key: archive[key] for key in archive.files}
    if case == "npy records":
        return np.load(path)
    import geopandas as gpd
    if case in ("gpkg", "geojson"):
        import pyogrio
        return pyogrio.read_dataframe(path, fid_as_index=(case == "gpkg"))
    return gpd.read_parquet(path) if case == "geoparquet" else gpd.read_feather(path)


@pytest.fixture(scope="module")
def kept():
    return kept_rows()


@pytest.mark.parametrize("case", list(CASES))
def test_round_trip_keeps_names_dtypes_and_crs(case, tmp_path, kept):
    need(case)
    source = tmp_path / f"points{CASES[case][0]}"
    output = tmp_path / "out" / f"merged{CASES[case][0]}"
    output.parent.mkdir()
    write_source(case, source)
    before = source.read_bytes()
    table = read_table(source, "points", columns=MAPPING_TEXT)

    # Read: our names, the source's values, x and y from the geometry where there is one.
    columns, frame = point_columns(), table.frame
    assert list(frame.columns[:2]) == ["crop_row", "segment"]
    for ours, theirs in (("crop_row", "row"), ("segment", "seg"), ("plant_id", "plant_id")):
        np.testing.assert_array_equal(frame[ours].to_numpy(), columns[theirs])
    xy = (frame.geometry.x, frame.geometry.y) if case in GEO_CASES else (frame["x"], frame["y"])
    np.testing.assert_array_equal(xy[0].to_numpy(), columns["easting"])
    np.testing.assert_array_equal(xy[1].to_numpy(), columns["northing"])
    if case in GEO_CASES:
        assert "x" not in frame.columns and frame.crs == CRS

    # Written: the kept source rows, as the format's own library reads the source.
    write_points(frame.iloc[kept], output, like=table.source)
    assert source.read_bytes() == before
    expected, written = read_back(case, source), read_back(case, output)
    if case == "csv":
        lines = source.read_text().splitlines()
        assert output.read_text().splitlines() == [lines[0]] + [lines[1 + i] for i in kept]
        assert lines[0] == "row,seg,easting,northing,confidence,plant_id,seen_at,note"
    elif case in ("parquet", "feather"):
        assert written.schema.remove_metadata() == expected.schema.remove_metadata()
        pd.testing.assert_frame_equal(written.to_pandas(),
                                      expected.to_pandas().iloc[kept].reset_index(drop=True))
    elif case == "npz columns":
        assert list(written) == list(expected)
        for name in expected:
            assert written[name].dtype == expected[name].dtype
            np.testing.assert_array_equal(written[name], expected[name][kept])
    elif case == "npy records":
        assert written.dtype == expected.dtype
        np.testing.assert_array_equal(written, expected[kept])
    else:
        want = expected.iloc[kept]
        if case != "gpkg":  # a GeoPackage keeps its feature ids; the others number anew
            want = want.reset_index(drop=True)
        assert written.crs == expected.crs == CRS
        assert dict(written.dtypes) == dict(expected.dtypes)
        pd.testing.assert_frame_equal(written, want, check_index_type=False)


def names_of(content) -> list[str]:
    """Column names of what read_back returns."""
    if hasattr(content, "schema"):
        return list(content.schema.names)
    if isinstance(content, np.ndarray):
        return list(content.dtype.names)
    return [str(name) for name in (content.columns if hasattr(content, "columns") else content)]


@pytest.mark.parametrize("case", list(CASES))
def test_empty_result_keeps_the_columns(case, tmp_path):
    need(case)
    source = tmp_path / f"points{CASES[case][0]}"
    write_source(case, source)
    table = read_table(source, columns=MAPPING_TEXT)
    output = write_points(table.frame.iloc[[]], tmp_path / f"none{CASES[case][0]}",
                          like=table.source)
    written = read_back(case, output)
    if case == "csv":
        assert output.read_text().splitlines() == source.read_text().splitlines()[:1]
    elif case == "geojson":  # without features, GeoJSON has nothing to name the columns
        assert len(written) == 0
    else:
        assert names_of(written) == names_of(read_back(case, source))
        assert len(written[names_of(written)[0]]) == 0


def test_geopackage_output_keeps_the_layer_name(tmp_path, kept):
    need("gpkg")
    import pyogrio
    write_source("gpkg", tmp_path / "in.gpkg")
    table = read_table(tmp_path / "in.gpkg", columns=MAPPING)
    write_points(table.frame.iloc[kept], tmp_path / "out.gpkg", like=table.source)
    assert [str(name) for name, _ in pyogrio.list_layers(tmp_path / "out.gpkg")] == ["plants"]
    assert pyogrio.read_info(tmp_path / "out.gpkg", layer="plants")["geometry_type"] == "Point"


def test_arrow_types_and_stored_index_are_kept(tmp_path):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    source = pa.table({
        "crop_row": pa.array([1, 1, 2, 2], pa.uint8()),
        "segment": pa.array([1, 2, 1, 2], pa.int16()),
        "x": pa.array([0.5, 1.5, 2.5, 3.5]), "y": pa.array([4.5, 5.5, 6.5, 7.5]),
        "camera": pa.array(["left", "right", "left", None], pa.string()),
        "kind": pa.array(["a", "b", "a", "b"]).dictionary_encode()
                  .cast(pa.dictionary(pa.int32(), pa.string())),
        "seen": pa.array([1, 2, 3, 4], pa.timestamp("ms", tz="Europe/Berlin")),
        "day": pa.array([19000, 19001, 19002, 19003], pa.date32()),
        "pid": pa.array([10, 30, 20, 40], pa.int64()),
    })
    frame = source.to_pandas().set_index("pid")
    pq.write_table(pa.Table.from_pandas(frame), tmp_path / "in.parquet", compression="zstd")
    table = read_table(tmp_path / "in.parquet")
    assert list(table.frame.index) == [10, 30, 20, 40]
    write_points(table.frame.iloc[[3, 0]], tmp_path / "out.parquet", like=table.source)
    written = pq.read_table(tmp_path / "out.parquet")
    stored = pq.read_table(tmp_path / "in.parquet")
    assert written.schema.remove_metadata() == stored.schema.remove_metadata()
    assert written.to_pandas().index.tolist() == [40, 10]
    assert written.column("camera").to_pylist() == [None, "left"]
    assert pq.read_metadata(tmp_path / "out.parquet").row_group(0).column(0).compression == "ZSTD"


LINKS = ["group", "crop_row", "segment", "linked_crop_row", "linked_segment"]


@pytest.mark.parametrize("header, width, mapping", [
    ("group,crop_row,segment,linked_crop_row,linked_segment", 5, None),   # the natural CSV
    (None, 5, None),
    (None, 4, None),
    ("row,seg,next_row,next_seg", 4,
     "crop_row=row,segment=seg,linked_crop_row=next_row,linked_segment=next_seg"),
])
def test_links_csv(header, width, mapping, tmp_path):
    rows = [row[5 - width:] for row in link_rows()]
    path = tmp_path / "links.csv"
    path.write_text("".join(f"{line}\n" for line in [header] if line)
                    + "".join(",".join(map(str, row)) + "\n" for row in rows))
    frame = read_table(path, "links", columns=mapping).frame
    assert list(frame.columns) == LINKS[5 - width:]
    assert [tuple(map(int, row)) for row in frame.itertuples(index=False)] == rows


def test_headerless_csv_stays_headerless(tmp_path, kept):
    points = np.column_stack([point_columns()[k] for k in ("row", "seg", "easting", "northing",
                                                          "confidence")])
    source = tmp_path / "points.csv"
    source.write_text("".join(",".join(map(repr, row)) + "\n" for row in points.tolist()))
    table = read_table(source, "points", columns=MAPPING_TEXT)
    assert list(table.frame.columns) == ["crop_row", "segment", "x", "y", "value_4"]
    write_points(table.frame.iloc[kept], tmp_path / "out.csv", like=table.source)
    written = np.loadtxt(tmp_path / "out.csv", delimiter=",", ndmin=2)
    np.testing.assert_array_equal(written, points[kept])


def test_geopackage_with_three_layers(tmp_path):
    pytest.importorskip("geopandas")
    pyogrio = pytest.importorskip("pyogrio")
    path = tmp_path / "field.gpkg"
    points_geoframe().to_file(path, layer="points", driver="GPKG")
    pyogrio.write_dataframe(pd.DataFrame(segment_columns()), path, layer="segments", driver="GPKG")
    links = pd.DataFrame(link_rows(), columns=["group", "crop_row", "segment",
                                               "linked_crop_row", "linked_segment"])
    pyogrio.write_dataframe(links, path, layer="links", driver="GPKG")

    tables = read_tables(path, columns=MAPPING_TEXT)
    assert tables.points.crs == CRS and len(tables.points) == len(point_columns()["row"])
    assert tables.points_source.layer == "points"
    for name, values in segment_columns().items():
        np.testing.assert_array_equal(tables.segments[name].to_numpy(), values)
    assert [tuple(map(int, r)) for r in tables.links.itertuples(index=False)] == link_rows()
    assert tables.sources == {"points": str(path), "segments": str(path), "links": str(path)}

    only_points = tmp_path / "points.gpkg"
    points_geoframe().to_file(only_points, layer="plants", driver="GPKG")
    with pytest.raises(FormatError) as caught:
        read_tables(only_points, columns=MAPPING_TEXT)
    assert str(caught.value) == f"segments ({only_points}): no layer 'segments' (it has plants)"


def test_segments_from_lines_through_start_middle_end(tmp_path):
    gpd = pytest.importorskip("geopandas")
    pytest.importorskip("pyogrio")
    import shapely
    anchors = segment_columns()
    lines = [shapely.LineString([(sx, sy), (mx, my), (ex, ey)]) for sx, sy, mx, my, ex, ey in zip(
        anchors["start_x"], anchors["start_y"], anchors["mid_x"], anchors["mid_y"],
        anchors["end_x"], anchors["end_y"])]
    frame = gpd.GeoDataFrame({"crop_row": anchors["crop_row"], "segment": anchors["segment"]},
                             geometry=lines, crs=CRS)
    frame.to_file(tmp_path / "segments.geojson", driver="GeoJSON")
    segments = read_table(tmp_path / "segments.geojson", "segments").frame
    assert type(segments) is pd.DataFrame
    for name, values in anchors.items():
        np.testing.assert_array_equal(segments[name].to_numpy(), values)

    frame.geometry = [shapely.LineString([(0, 0), (1, 1)])] + lines[1:]
    frame.to_file(tmp_path / "two.geojson", driver="GeoJSON")
    with pytest.raises(FormatError, match=r"row 0 has no anchor columns and its geometry is a "
                                          r"line of 2 points"):
        read_table(tmp_path / "two.geojson", "segments")


@pytest.mark.parametrize("case", list(CASES))
def test_table_and_source_survive_pickling(case, tmp_path):
    # Worker processes receive both.
    need(case)
    source = tmp_path / f"points{CASES[case][0]}"
    write_source(case, source)
    table = read_table(source, columns=MAPPING)
    copy = pickle.loads(pickle.dumps(table))
    pd.testing.assert_frame_equal(copy.frame, table.frame)
    assert copy.source == table.source and copy.source.details.keys() == table.source.details.keys()
    write_points(copy.frame, tmp_path / f"copy{CASES[case][0]}", like=copy.source)


def test_output_in_another_format_keeps_the_names(tmp_path, kept):
    pytest.importorskip("pyarrow")
    points_frame().to_csv(tmp_path / "p.csv", index=False)
    table = read_table(tmp_path / "p.csv", columns=MAPPING_TEXT)
    write_points(table.frame.iloc[kept], tmp_path / "out.parquet", like=table.source)
    written = pd.read_parquet(tmp_path / "out.parquet")
    assert list(written.columns) == list(points_frame().columns)
    np.testing.assert_array_equal(written["easting"].to_numpy(), point_columns()["easting"][kept])


EXAMPLES = checkout_docs() / "examples"
# Example directory -> (points, segments, links files, --columns, libraries needed).
EXAMPLE_CASES = {
    "csv": ("points.csv", "segments.csv", "links.csv", "x=easting,y=northing", ()),
    "parquet": ("points.parquet", "segments.parquet", "links.parquet", None, ("pyarrow",)),
    "arrow": ("points.arrow", "segments.arrow", "links.arrow", None, ("pyarrow",)),
    "geoparquet": ("points.parquet", "segments.parquet", "links.parquet", None,
                   ("pyarrow", "geopandas")),
    "geopackage": ("field.gpkg", None, None, None, ("geopandas", "pyogrio")),
    "geojson": ("points.geojson", "segments.geojson", "links.csv", None, ("geopandas", "pyogrio")),
    "numpy": ("points.npz", "segments.npz", "links.npz", None, ()),
}


@pytest.mark.parametrize("directory", list(EXAMPLE_CASES))
def test_documented_examples_hold_the_raw_tables_field(directory, tmp_path):
    """Every example holds the field of raw-tables/field.npz; its merge's survivors write back."""
    *names, columns, libraries = EXAMPLE_CASES[directory]
    for module in libraries:
        pytest.importorskip(module)
    import _native
    with np.load(EXAMPLES / "raw-tables" / "field.npz") as raw:
        tables = {key: raw[key] for key in raw.files}
    paths = [EXAMPLES / directory / name if name else None for name in names]
    frames = read_tables(*paths, columns=columns)
    points = tables["points_in_rows"]
    geo = hasattr(frames.points, "geometry")
    xy = (np.column_stack([frames.points.geometry.x, frames.points.geometry.y]) if geo
          else frames.points[["x", "y"]].to_numpy())
    np.testing.assert_array_equal(xy, points[:, 2:4])
    np.testing.assert_array_equal(frames.segments[["start_x", "start_y", "end_x", "end_y",
                                                   "mid_x", "mid_y"]].to_numpy(),
                                  tables["row_information"][:, 5:11])
    assert len(frames.links) == int((~np.isnan(tables["connected_crop_rows"][:, 3::2])).sum())

    merged = _native.merge_points_removing_overlap(
        tables["connected_crop_rows"], points, tables["row_information"],
        float(tables["tolerance"]), 1)
    position = {tuple(row): i for i, row in enumerate(points[:, 2:4].tolist())}
    kept = [position[tuple(row)] for row in merged[:, 2:4].tolist()]
    output = tmp_path / Path(names[0]).name
    write_points(frames.points.iloc[kept], output, like=frames.points_source)
    again = read_tables(output, paths[1] or paths[0], paths[2] or paths[0], columns=columns)
    again_xy = (np.column_stack([again.points.geometry.x, again.points.geometry.y]) if geo
                else again.points[["x", "y"]].to_numpy())
    np.testing.assert_array_equal(again_xy, merged[:, 2:4])
    assert list(again.points.columns) == list(frames.points.columns)


@pytest.mark.parametrize("name, frame, message", [
    ("out.parquet", lambda: pd.DataFrame({"mixed": [1, "a"]}),
     "output out.parquet: the points cannot be stored as Arrow"),
    ("out.csv", points_geoframe, "output {dir}/out.csv: points with geometry cannot be written "
                                 "as .csv; use .gpkg, .geojson, .parquet or .feather"),
])
def test_points_the_format_cannot_hold_are_refused(name, frame, message, tmp_path):
    pytest.importorskip("pyarrow")
    pytest.importorskip("geopandas")
    with pytest.raises(FormatError) as caught:
        write_points(frame(), tmp_path / name)
    assert str(caught.value).startswith(message.format(dir=tmp_path))
    assert list(tmp_path.iterdir()) == []


def test_text_in_a_plain_npy_matrix_is_refused(tmp_path):
    np.save(tmp_path / "points.npy", np.zeros((2, 4)))
    table = read_table(tmp_path / "points.npy")
    frame = table.frame.assign(value_4=["a", "b"])
    # The column's dtype as pandas names it: "str" from pandas 3 on, "object" before.
    dtype = re.escape(str(frame["value_4"].dtype))
    with pytest.raises(FormatError, match=rf"^output out.npy: column 'value_4' \({dtype}\) cannot be stored in a "
                                          r"two-dimensional array of numbers; write an \.npz"):
        write_points(frame, tmp_path / "out.npy", like=table.source)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["points.npy"]

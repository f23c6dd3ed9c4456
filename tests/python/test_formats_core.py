"""rowmerge.formats without frames: column mappings, the raw-table layout, one-line errors."""

from __future__ import annotations

import sys

import numpy as np
import pytest

from format_samples import kept_rows, sample_field

from rowmerge.formats import (
    ArrayTables, FormatError, MissingLibraryError, format_of, output_path, parse_columns,
    parse_layers, read_table, read_tables, write_points,
)

pytestmark = pytest.mark.thread_unsafe(reason="writes files under fixed names in tmp_path")


@pytest.mark.parametrize("given, expected", [
    ("x=easting,y=northing", {"x": "easting", "y": "northing"}),
    (" crop_row = Row , segment=Seg ,", {"crop_row": "Row", "segment": "Seg"}),
    ("", {}),
    (None, {}),
    ({"linked_segment": "next"}, {"linked_segment": "next"}),
])
def test_parse_columns(given, expected):
    assert parse_columns(given) == expected


@pytest.mark.parametrize("given, message", [
    ("x", "column mapping 'x': expected OURS=YOURS, e.g. x=easting"),
    ("z=height", "column mapping: unknown column 'z' (known: crop_row, segment, x, y, start_x, "
                 "start_y, end_x, end_y, mid_x, mid_y, linked_crop_row, linked_segment, group)"),
    ("x=", "column mapping: no name given for 'x'"),
    ("x=a,x=b", "column mapping: 'x' is mapped twice"),
    ("x=e,y=e", "column mapping: 'e' is given for both 'x' and 'y'"),
])
def test_parse_columns_refuses(given, message):
    with pytest.raises(FormatError) as caught:
        parse_columns(given)
    assert str(caught.value) == message


@pytest.mark.parametrize("given, expected", [
    ("points=plants, links = joins", {"points": "plants", "links": "joins"}),
    ({"segments": "rows"}, {"segments": "rows"}),
    (",", {}),
    (None, {}),
])
def test_parse_layers(given, expected):
    assert parse_layers(given) == expected


@pytest.mark.parametrize("given, message", [
    ("plants", "layers 'plants': expected TABLE=LAYER, e.g. points=plants"),
    ("plants=x", "layers: unknown table 'plants' (tables: points, segments, links)"),
    ({"links": ""}, "layers: no layer name given for 'links'"),
])
def test_parse_layers_refuses(given, message):
    with pytest.raises(FormatError) as caught:
        parse_layers(given)
    assert str(caught.value) == message


@pytest.mark.parametrize("name, expected", [
    ("a.csv", "csv"), ("a.PARQUET", "parquet"), ("a.geoparquet", "parquet"), ("a.arrow", "feather"),
    ("a.feather", "feather"), ("a.gpkg", "gpkg"), ("a.geojson", "geojson"), ("a.npz", "npz"),
])
def test_format_by_suffix(name, expected):
    assert format_of(name).name == expected


def save_field(path, tolerance=None):
    field = sample_field()
    extra = {} if tolerance is None else {"tolerance": tolerance}
    np.savez(path, connected_crop_rows=field.connected_crop_rows,
             points_in_rows=field.points_in_rows, row_information=field.row_information, **extra)
    return field


def test_raw_tables_archive_is_read_as_arrays(tmp_path):
    field = save_field(tmp_path / "field.npz", tolerance=0.05)
    tables = read_tables(tmp_path / "field.npz")
    assert isinstance(tables, ArrayTables)
    np.testing.assert_array_equal(tables.connected_crop_rows, field.connected_crop_rows)
    np.testing.assert_array_equal(tables.points_in_rows, field.points_in_rows)
    np.testing.assert_array_equal(tables.row_information, field.row_information)
    assert tables.tolerance == 0.05
    assert set(tables.sources.values()) == {str(tmp_path / "field.npz")}
    with pytest.raises(FormatError, match="holds the module's raw tables"):
        read_table(tmp_path / "field.npz")


@pytest.mark.parametrize("suffix", [".npz", ".npy", ".csv"])
def test_merged_array_written_in_the_raw_layout(suffix, tmp_path):
    field = save_field(tmp_path / "field.npz")
    merged = field.points_in_rows[kept_rows()]
    output = write_points(merged, tmp_path / f"merged{suffix}", like=None,
                          inputs=[tmp_path / "field.npz"])
    if suffix == ".npz":
        with np.load(output) as archive:
            assert archive.files == ["merged_points"]
            np.testing.assert_array_equal(archive["merged_points"], merged)
    elif suffix == ".npy":
        np.testing.assert_array_equal(np.load(output), merged)
    else:
        lines = output.read_text().splitlines()
        assert lines[0] == "row_id_1,row_id_2,x,y,value_4,value_5"
        np.testing.assert_array_equal(np.loadtxt(output, delimiter=",", skiprows=1, ndmin=2), merged)


def test_plain_matrix_npy_reads_by_position(tmp_path):
    pytest.importorskip("pandas")
    field = sample_field()
    np.save(tmp_path / "points.npy", field.points_in_rows)
    table = read_table(tmp_path / "points.npy")
    assert list(table.frame.columns) == ["crop_row", "segment", "x", "y", "value_4", "value_5"]
    kept = kept_rows()
    write_points(table.frame.iloc[kept], tmp_path / "out.npy", like=table.source)
    written = np.load(tmp_path / "out.npy")
    assert written.dtype == np.float64
    np.testing.assert_array_equal(written, field.points_in_rows[kept])


def write_bytes(path, content):
    path.write_bytes(content)
    return path


@pytest.mark.parametrize("name, content, message", [
    ("points.txt", b"1,2", "points {path}: unknown file type '.txt'; use one of .arrow, .csv, "
                           ".feather, .geojson, .geoparquet, .gpkg, .ipc, .npy, .npz, .parquet"),
    ("missing.csv", None, "points ({path}): no such file"),
    ("empty.csv", b"", "points ({path}): the file is empty"),
    ("twice.csv", b"x,x,y\n1,2,3\n", "points ({path}): the header names 'x' twice"),
    ("short.csv", b"1,2,3\n", "points ({path}): 3 unnamed columns; points need at least 4 "
                              "(crop_row, segment, x, y)"),
    ("bad.npy", b"not numpy", "points ({path}): not a NumPy .npy file"),
    ("long.csv", b"crop_row,segment,x,y\n1,1,0.5,0.5,7\n",
     "points ({path}): not readable as CSV (Expected 4 fields in line 2, saw 5)"),
    ("bad.parquet", b"not parquet", "points ({path}): not readable as a Parquet file"),
    ("bad.gpkg", b"not sqlite", "points ({path}): not readable ('{path}' not recognized as being "
                                "in a supported file format)"),
    ("cols.csv", b"crop_row,segment,east,north\n1,1,0.5,0.5\n",
     "points ({path}): no column 'easting' (mapped to 'x') or Point geometry; its columns: "
     "crop_row, segment, east, north"),
    ("clash.csv", b"crop_row,segment,x,easting,northing\n1,1,0,0.5,0.5\n",
     "points ({path}): column 'easting' is mapped to 'x', but a column 'x' exists too; "
     "rename one of them"),
])
def test_reading_errors_are_one_line(name, content, message, tmp_path):
    pytest.importorskip("pandas")
    if name.endswith((".parquet",)):
        pytest.importorskip("pyarrow")
    if name.endswith(".gpkg"):
        pytest.importorskip("pyogrio")
        pytest.importorskip("geopandas")
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(FormatError) as caught:
        read_table(path, "points", columns="x=easting,y=northing")
    text = str(caught.value)
    assert "\n" not in text
    assert text.startswith(message.format(path=path))


@pytest.mark.parametrize("suffix, module, extra", [
    (".parquet", "pyarrow", "arrow"),
    (".feather", "pyarrow", "arrow"),
    (".gpkg", "pyogrio", "geo"),
    (".geojson", "geopandas", "geo"),
    (".csv", "pandas", "pandas"),
])
def test_missing_library_names_the_extra(suffix, module, extra, tmp_path, monkeypatch):
    for other in format_of(f"points{suffix}").libraries:  # those loaded before it must be there
        if other != module:
            pytest.importorskip(other)
    # None in sys.modules makes the library unimportable, as if it were not installed.
    monkeypatch.setitem(sys.modules, module, None)
    path = write_bytes(tmp_path / f"points{suffix}", b"crop_row,segment,x,y\n")
    with pytest.raises(MissingLibraryError) as caught:
        read_table(path)
    assert str(caught.value).endswith(f"needs {module}, which is not installed: "
                                      f"pip install 'rowmerge[{extra}]'")
    assert caught.value.extra == extra


def test_output_path_for_a_batch(tmp_path):
    assert output_path("in/a.gpkg", tmp_path) == tmp_path / "a.gpkg"
    assert output_path("in/a.csv", tmp_path, ".parquet") == tmp_path / "a.parquet"


@pytest.mark.parametrize("name, arrays, message", [
    ("out.txt", False, "output {path}: unknown file type '.txt'; use one of"),
    ("out.parquet", True, "output {path}: unknown file type '.parquet' for merged arrays; "
                          "use .npy, .npz, .csv"),
])
def test_check_output_refuses_unknown_types(name, arrays, message, tmp_path):
    from rowmerge.formats import check_output
    path = tmp_path / name
    with pytest.raises(FormatError) as caught:
        check_output(path, arrays=arrays)
    assert str(caught.value).startswith(message.format(path=path))
    assert list(tmp_path.iterdir()) == []

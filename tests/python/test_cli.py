"""The rowmerge command line: one merge at a time (batches are in test_cli_batch.py).

Most commands run in this process through ``rowmerge.cli.main``; those that
need a limit, a mount or a console run ``python -m rowmerge`` in a child
process.  Expected results come from ``rowmerge.merge`` on the source arrays
and from reading the files with their own libraries (pandas, GeoPandas,
NumPy), never from the code under test.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import resource
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import rowmerge
from rowmerge import make_field
from rowmerge.cli.junctions import find_junctions
from rowmerge.cli.summary import JSON_KEYS
from helpers import EXAMPLES, RAW, assert_one_line_error, checkout_docs, direct, needs, raw_tables, run


DOCS = checkout_docs()


def run_child(*argv, file_size=None, prefix=()):
    """``python -m rowmerge`` in a child process, maybe under a file-size limit."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))

    def limit():
        if file_size is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, resource.RLIM_INFINITY))

    return subprocess.run([*prefix, sys.executable, "-m", "rowmerge", *map(str, argv)], env=env,
                          capture_output=True, text=True, timeout=300, preexec_fn=limit)


def summary_counts(out):
    """The numbers of a text summary by label ("points kept" -> 219), read line by line."""
    found = re.findall(r"^ +(groups|points in|points kept|points removed|in no group) +([\d,]+)", out, re.M)
    return {label: int(value.replace(",", "")) for label, value in found}


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


@pytest.fixture()
def npz(tmp_path):
    field = make_field("frame", seed=3)
    path = tmp_path / "field.npz"
    np.savez(path, **dict(zip(RAW, (field.connected_crop_rows, field.points_in_rows,
                                    field.row_information))))
    return path


# --- arguments and input: exit 2, one line ----------------------------------------------

@pytest.mark.parametrize(("make_argv", "fragment"), [
    (lambda t, f: [], "choose a command"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--bogus"], "unrecognized arguments: --bogus"),
    (lambda t, f: ["merge", f], "give -o OUTPUT (one input) or --output-dir DIR"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--output-dir", t], "not allowed with argument"),
    (lambda t, f: ["merge", f, EXAMPLES / "raw-tables" / "*.npz", "-o", t / "o.npy"],
     "-o takes one input, got 2"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--threads", "-1"], "thread count must be at least 1"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--tolerance", "wide"], "invalid tolerance 'wide'"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--tolerance", "nan"], "invalid tolerance 'nan'"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--tolerance", "-1"], "invalid tolerance '-1'"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--columns", "z=height"], "unknown column 'z'"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--layers", "plants=x"], "unknown table 'plants'"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--output-format", "csv"], "--output-format is for"),
    (lambda t, f: ["demo", "--preset", "huge"], "invalid choice: 'huge'"),
    (lambda t, f: ["merge", t / "absent.npz", "-o", t / "o.npy"], "absent.npz): no such file"),
    (lambda t, f: ["merge", t / "*.gpkg", "-o", t / "o.gpkg"], "no file matches"),
    (lambda t, f: ["merge", f, "-o", t / "o.txt"], "unknown file type '.txt'"),
    (lambda t, f: ["merge", f, "-o", t / "no" / "o.csv"], "no such directory"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--plot", t / "p.gif"], "unknown file type '.gif'"),
    (lambda t, f: ["merge", "--points-in-rows", f, "-o", t / "o.npy"], "all three of --connected-crop-rows"),
    (lambda t, f: ["merge", f, "--row-information", t / "absent.csv", "-o", t / "o.npy"],
     "row_information: no such file"),
    pytest.param(lambda t, f: ["merge", EXAMPLES / "csv" / "points.csv", "-o", t / "o.csv"],
                 "no column 'x' or Point geometry; its columns: crop_row, segment, easting, northing",
                 marks=needs("pandas")),
])
def test_argument_and_input_errors(tmp_path, npz, make_argv, fragment):
    status, out, err = run(*make_argv(tmp_path, npz))
    assert_one_line_error(status, out, err, 2, fragment)
    assert [name for name in os.listdir(tmp_path) if name != "field.npz"] == []


@pytest.mark.parametrize(("tables", "fragment"), [
    ({"points_in_rows": np.zeros(5)}, "expected a two-dimensional table, got shape (5,)"),
    ({"connected_crop_rows": np.array([[0.0, 1, 1]])}, "connected_crop_rows: 3 columns"),
    ({"row_information": np.zeros((2, 10))}, "row_information: 10 columns; it needs exactly 11"),
    # Without connected rows no anchor is read, but a record still needs column 4.
    ({"connected_crop_rows": np.array([[0.0, 1, 1, np.nan]]), "row_information": np.ones((2, 4))},
     "row_information: 4 columns; a record needs at least 5"),
    ({"points_in_rows": np.array([[1, 1, 2, 2 + 1j]])}, "complex values (complex128)"),
    # The rule of rowmerge.merge: an integer that float64 would round is named.
    ({"points_in_rows": np.array([[1, 1, 0, 2 ** 53 + 1]])},
     "points_in_rows[0, 3] is 9007199254740993, an integer that float64 cannot hold exactly"),
    ({"points_in_rows": np.array([[-1.0, 1, 0, 0]])}, "points_in_rows[0, 0] is -1.0"),
    ({"points_in_rows": np.array([[np.nan, 1, 0, 0]])}, "points_in_rows[0, 0] is nan"),
])
def test_raw_tables_the_merge_refuses(tmp_path, npz, tables, fragment):
    options = []
    for table, value in tables.items():
        np.save(tmp_path / f"{table}.npy", value)
        options += [f"--{table.replace('_', '-')}", tmp_path / f"{table}.npy"]
    status, out, err = run("merge", npz, *options, "-o", tmp_path / "o.npy")
    assert_one_line_error(status, out, err, 2, fragment)
    assert not (tmp_path / "o.npy").exists()


@pytest.mark.parametrize("missing", ["main row", "connected row"])
def test_failed_merge_is_one_line_naming_group_and_crop_row(tmp_path, capfd, missing):
    tables = raw_tables()
    groups = tables["connected_crop_rows"]
    # The record of group 2's main row, or of its first connected row.
    row = tuple(groups[2, 1:3] if missing == "main row" else groups[2, 3:5])
    records = tables["row_information"]
    tables["row_information"] = records[~((records[:, 0] == row[0]) & (records[:, 4] == row[1]))]
    # The failure reported is that of the lowest group naming the row.
    named = [g for g, group in enumerate(groups) if row in set(zip(group[1::2], group[2::2]))]
    np.savez(tmp_path / "t.npz", **tables)
    status, out, err = run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.csv")
    assert_one_line_error(status, out, err, 1, f"rowmerge merge: merge failed: group {min(named)} ")
    assert f"crop row ({row[0]:g}, {row[1]:g})" in err
    assert not (tmp_path / "o.csv").exists()
    assert capfd.readouterr() == ("", "")  # nothing from the engine's threads on 1 or 2


# --- formats: outputs equal a direct merge -------------------------------------------------

def read_back(kind, path):
    """An output (or input) read with the format's own library."""
    import pandas as pd
    if kind in ("csv",):
        return pd.read_csv(path)
    if kind in ("parquet",):
        return pd.read_parquet(path)
    if kind in ("arrow",):
        return pd.read_feather(path)
    import geopandas as gpd
    if kind == "geoparquet":
        return gpd.read_parquet(path)
    return gpd.read_file(path, layer="points")


FORMAT_CASES = {
    # example directory -> (input and table options, output name)
    "csv": (["points.csv", "--columns", "x=easting,y=northing"], "merged.csv"),
    "parquet": (["points.parquet"], "merged.parquet"),
    "arrow": (["points.arrow"], "merged.arrow"),
    "geoparquet": (["points.parquet"], "merged.parquet"),
    "geopackage": (["field.gpkg"], "merged.gpkg"),
    "geojson": (["points.geojson"], "merged.geojson"),
}


@pytest.mark.parametrize("kind", list(FORMAT_CASES))
def test_each_format_round_trip_equals_a_direct_merge(tmp_path, kind):
    pytest.importorskip("geopandas" if kind.startswith("geo") else "pyarrow")
    source = EXAMPLES / kind
    argv, name = FORMAT_CASES[kind]
    # Segments and links: the GeoPackage's own layers, else the files beside the points.
    status, out, err = run("merge", source / argv[0], *argv[1:], "-o", tmp_path / name)
    assert status == 0 and err == "", err
    _, index = direct(raw_tables())
    given = read_back("gpkg" if kind == "geopackage" else kind, source / argv[0])
    merged = read_back("gpkg" if kind == "geopackage" else kind, tmp_path / name)
    expected = given.iloc[index].reset_index(drop=True)
    assert list(merged.columns) == list(given.columns)  # names (easting, ...) and order kept
    assert merged.dtypes.equals(given.dtypes)
    assert merged.equals(expected)
    assert getattr(merged, "crs", None) == getattr(given, "crs", None)
    assert summary_counts(out) == {"groups": 6, "points in": 240, "points kept": len(index),
                                   "points removed": 240 - len(index)}


def test_the_readme_command_geopackage_of_plants_and_two_small_tables(tmp_path):
    """A GeoPackage whose one layer holds the plants, segments and links as CSV: one command."""
    gpd = pytest.importorskip("geopandas")
    plants = gpd.read_file(EXAMPLES / "geopackage" / "field.gpkg", layer="points")
    plants.to_file(tmp_path / "plants.gpkg", layer="plants")
    status, out, err = run("merge", tmp_path / "plants.gpkg", "--segments", EXAMPLES / "csv" / "segments.csv",
                           "--links", EXAMPLES / "csv" / "links.csv", "-o", tmp_path / "plants-merged.gpkg")
    assert status == 0 and err == ""
    merged = gpd.read_file(tmp_path / "plants-merged.gpkg", layer="plants")
    expected = plants.iloc[direct(raw_tables())[1]].reset_index(drop=True)
    assert merged.crs == plants.crs and merged.equals(expected)


def test_numpy_columns_round_trip(tmp_path):
    pytest.importorskip("pandas")
    source = EXAMPLES / "numpy"
    assert run("merge", source / "points.npz", "-o", tmp_path / "merged.npz")[0] == 0
    _, index = direct(raw_tables())
    with np.load(source / "points.npz") as given, np.load(tmp_path / "merged.npz") as merged:
        assert merged.files == given.files
        for name in given.files:
            assert merged[name].dtype == given[name].dtype
            np.testing.assert_array_equal(merged[name], given[name][index])


@pytest.mark.parametrize("suffix", [".npy", ".npz", ".csv"])
def test_raw_tables_round_trip_bit_for_bit(tmp_path, npz, suffix):
    tables = raw_tables(npz)
    points = tables["points_in_rows"]
    points[:5, 4] = [np.nan, np.inf, -np.inf, -0.0, 5e-324]  # values text must carry exactly
    points[5:, 4] = np.random.default_rng(1).random(len(points) - 5) / 3
    np.savez(tmp_path / "t.npz", **tables)
    out = tmp_path / f"merged{suffix}"
    assert run("merge", tmp_path / "t.npz", "-o", out, "--threads", 1)[0] == 0
    if suffix == ".npz":
        with np.load(out) as archive:
            assert archive.files == ["merged_points"]
            merged = archive["merged_points"]
    elif suffix == ".csv":
        assert out.read_text().splitlines()[0] == "row_id_1,row_id_2,x,y,value_4"
        merged = np.loadtxt(out, delimiter=",", skiprows=1, ndmin=2)
    else:
        merged = np.load(out)
    assert merged.tobytes() == direct(tables)[0].tobytes()  # NaN and -0.0 included


def test_csv_keeps_header_names_and_reads_a_five_column_links_table(tmp_path):
    """Two rough edges: ``easting,northing,confidence`` came back as ``x,y,value_4``, and a
    links CSV with a leading group column was refused."""
    pytest.importorskip("pandas")
    source = EXAMPLES / "csv"
    assert (source / "links.csv").read_text().splitlines()[0] == \
        "group,crop_row,segment,linked_crop_row,linked_segment"
    plants = tmp_path / "plants.csv"
    plants.write_text((source / "points.csv").read_text())
    status, _, err = run("merge", plants, "--segments", source / "segments.csv", "--links",
                         source / "links.csv", "--columns", "x=easting,y=northing", "-o",
                         tmp_path / "merged.csv")
    assert status == 0, err
    header = (tmp_path / "merged.csv").read_text().splitlines()[0]
    assert header == (source / "points.csv").read_text().splitlines()[0]
    assert header.startswith("crop_row,segment,easting,northing,confidence")


def test_another_output_format_by_suffix(tmp_path):
    pytest.importorskip("geopandas")
    assert run("merge", EXAMPLES / "geopackage" / "field.gpkg", "-o", tmp_path / "m.parquet")[0] == 0
    _, index = direct(raw_tables())
    given, merged = read_back("gpkg", EXAMPLES / "geopackage" / "field.gpkg"), \
        read_back("geoparquet", tmp_path / "m.parquet")
    assert merged.crs == given.crs and len(merged) == len(index)
    assert merged.geometry.reset_index(drop=True).geom_equals(
        given.geometry.iloc[index].reset_index(drop=True)).all()


def test_per_group_json_for_a_geopackage_counts_from_the_source(tmp_path):
    pytest.importorskip("geopandas")
    status, out, _ = run("merge", EXAMPLES / "geopackage" / "field.gpkg", "-o", tmp_path / "m.gpkg",
                         "--json", "--per-group")
    summary = json.loads(out)
    assert status == 0 and tuple(summary) == JSON_KEYS
    tables = raw_tables()
    rows, _ = direct(tables)
    for entry in summary["per_group"]:
        own = (tables["points_in_rows"][:, :2] == entry["row"]).all(axis=1)
        assert entry["points_in"] == own.sum()
        assert entry["points_kept"] == (rows[:, :2] == entry["row"]).all(axis=1).sum()
    assert sum(e["points_removed"] for e in summary["per_group"]) == summary["points_removed"]


# --- outputs: never an input, never half a file ------------------------------------------

@pytest.mark.parametrize("naming", ["same path", "relative path", "symbolic link", "segments"])
def test_an_output_naming_an_input_is_refused(tmp_path, monkeypatch, naming):
    pytest.importorskip("pyarrow")
    source = tmp_path / "day"
    shutil.copytree(EXAMPLES / "parquet", source)
    before = {p.name: digest(p) for p in source.iterdir()}
    output = {"same path": source / "points.parquet", "segments": source / "segments.parquet",
              "relative path": Path("day") / ".." / "day" / "points.parquet",
              "symbolic link": tmp_path / "link.parquet"}[naming]
    (tmp_path / "link.parquet").symlink_to(source / "points.parquet")
    monkeypatch.chdir(tmp_path)
    status, out, err = run("merge", source / "points.parquet", "-o", output, "--overwrite")
    assert_one_line_error(status, out, err, 2, "is the input")
    assert {p.name: digest(p) for p in source.iterdir()} == before


def test_an_existing_output_is_refused_unless_overwrite(tmp_path, npz):
    output = tmp_path / "merged.npy"
    output.write_bytes(b"yesterday")
    assert_one_line_error(*run("merge", npz, "-o", output), 2, "exists; allow overwriting it (--overwrite)")
    assert output.read_bytes() == b"yesterday"
    assert run("merge", npz, "-o", output, "--overwrite")[0] == 0
    assert np.load(output).tobytes() == direct(raw_tables(npz))[0].tobytes()


@pytest.mark.thread_unsafe(reason="child processes under a file-size limit")
@pytest.mark.parametrize(("kind", "source", "output"), [
    ("raw csv", "raw-tables/field.npz", "merged.csv"),
    ("raw npy", "raw-tables/field.npz", "merged.npy"),
    ("csv", "csv/points.csv", "merged.csv"),
    ("gpkg", "geopackage/field.gpkg", "merged.gpkg"),
    ("parquet", "parquet/points.parquet", "merged.parquet"),
])
def test_file_size_limit_leaves_the_output_absent(tmp_path, kind, source, output):
    pytest.importorskip({"gpkg": "geopandas", "parquet": "pyarrow", "csv": "pandas"}.get(kind, "numpy"))
    columns = ["--columns", "x=easting,y=northing"] if kind == "csv" else []
    source = EXAMPLES / source
    inputs = {p: digest(p) for p in source.parent.iterdir()}
    (tmp_path / "out").mkdir()
    done = run_child("merge", source, *columns, "-o", tmp_path / "out" / output, file_size=2048)
    assert done.returncode == 1 and done.stdout == "", done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("rowmerge merge: error: output ")
    assert os.listdir(tmp_path / "out") == []  # no result, no temporary file
    assert {p: digest(p) for p in source.parent.iterdir()} == inputs
    # Without the limit the same command writes it: the failure was the limit's.
    assert run_child("merge", source, *columns, "-o", tmp_path / "out" / output).returncode == 0


def _private_mount():
    if shutil.which("unshare") is None or os.geteuid() != 0:
        return False
    return subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0


@pytest.mark.thread_unsafe(reason="child processes in a private mount namespace")
@pytest.mark.parametrize("trouble", ["read-only directory", "full disk"])
def test_read_only_directory_and_full_disk(tmp_path, npz, trouble):
    target = tmp_path / "target"
    target.mkdir()
    before = digest(npz)
    if trouble == "read-only directory" and os.geteuid() != 0:
        target.chmod(0o555)
        done = run_child("merge", npz, "-o", target / "merged.csv")
        target.chmod(0o755)
    elif _private_mount():
        mount = (f"mount --bind '{target}' '{target}' && mount -o remount,bind,ro '{target}'"
                 if trouble == "read-only directory" else f"mount -t tmpfs -o size=8k rm '{target}'")
        prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                  f"{mount} && exec \"$@\"", "sh"]
        done = run_child("merge", npz, "-o", target / "merged.csv", prefix=prefix)
    else:
        pytest.skip("as root, needs unshare --mount for a read-only or full file system")
    assert done.returncode in (1, 2) and done.stderr.count("\n") == 1, done.stderr
    assert os.listdir(target) == [] and digest(npz) == before


# --- pictures --------------------------------------------------------------------------------

def decoded_png(path):
    """The picture's pixels (height, width, RGB), decoded."""
    pytest.importorskip("matplotlib")
    import matplotlib.image
    return matplotlib.image.imread(path)[:, :, :3]


def has_colour(pixels, colour):
    rgb = np.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)]) / 255
    return bool((np.abs(pixels - rgb) < 0.02).all(axis=2).any())


@pytest.mark.parametrize("command", ["demo", "merge"])
def test_plot_is_a_picture_of_kept_and_removed_points(tmp_path, npz, command):
    pytest.importorskip("matplotlib")
    from rowmerge.cli.plot import KEPT_COLOUR, PIXELS, REMOVED_COLOUR
    picture = tmp_path / "p.png"
    argv = ["demo"] if command == "demo" else ["merge", npz, "-o", tmp_path / "o.npy"]
    status, out, err = run(*argv, "--plot", picture)
    assert status == 0 and err == "", err
    pixels = decoded_png(picture)
    assert pixels.shape[:2] == PIXELS[::-1]
    assert has_colour(pixels, KEPT_COLOUR) and has_colour(pixels, REMOVED_COLOUR)
    assert f"picture: {picture}" in out


def test_a_failed_plot_keeps_the_written_result_and_exits_3(tmp_path, npz, monkeypatch):
    pytest.importorskip("matplotlib")
    import rowmerge.cli.plot

    def broken(path, *args, **kwargs):
        Path(path).write_bytes(b"half a picture")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(rowmerge.cli.plot, "plot_merge", broken)
    status, out, err = run("merge", npz, "-o", tmp_path / "o.npy", "--plot", tmp_path / "p.png")
    assert status == 3
    assert err.count("\n") == 1 and err.startswith("rowmerge merge: warning: plot ")
    assert "No space left on device" in err and f"merged points are in {tmp_path / 'o.npy'}" in err
    assert sorted(os.listdir(tmp_path)) == ["field.npz", "o.npy"]  # no picture, no temporary file
    assert np.load(tmp_path / "o.npy").tobytes() == direct(raw_tables(npz))[0].tobytes()
    assert summary_counts(out)["points in"] == 4000 and "picture:" not in out


def test_plot_without_matplotlib_is_refused_before_any_work(tmp_path, npz, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, err = run("merge", npz, "-o", tmp_path / "o.npy", "--plot", tmp_path / "p.png")
    assert_one_line_error(status, out, err, 2, "pip install 'rowmerge[plot]'")
    assert not (tmp_path / "o.npy").exists()


# --- warnings, demo, summaries ---------------------------------------------------------------

@pytest.mark.thread_unsafe(reason="records warnings")
def test_axis_parallel_warning_is_one_line_and_the_merge_goes_on(tmp_path):
    nan = np.nan
    tables = {"connected_crop_rows": np.array([[0.0, 1, 1, 1, 2, nan], [1, 1, 2, 1, 1, nan]]),
              "points_in_rows": np.array([[1.0, 1, 1, 0], [1, 1, 9.5, 0], [1, 2, 8.5, 0], [1, 2, 16, 0]]),
              "row_information": np.array([[1.0, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0],
                                           [1.0, 0, 0, 0, 2, 8, 0, 18, 0, 13, 0]])}
    np.savez(tmp_path / "t.npz", **tables)
    status, _, err = run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.npy")
    assert status == 0
    assert err.count("\n") == 1 and err.startswith("rowmerge merge: warning: group 0 (crop row (1, 1))")
    with pytest.warns(rowmerge.AxisParallelWarning):
        expected = direct(tables)[0]
    assert np.load(tmp_path / "o.npy").tobytes() == expected.tobytes()


@pytest.mark.parametrize(("preset", "groups", "points"), [("frame", 20, 4000), ("tiny", 3, 30)])
def test_demo_summary(preset, groups, points):
    status, out, err = run("demo", "--preset", preset)
    assert status == 0 and err == ""
    field = make_field(preset)
    kept = len(direct(dict(zip(RAW, (field.connected_crop_rows, field.points_in_rows,
                                     field.row_information))), field.tolerance)[0])
    mains = {(group[1], group[2]) for group in field.connected_crop_rows.tolist()}
    without = sum((point[0], point[1]) not in mains for point in field.points_in_rows.tolist())
    assert summary_counts(out) == {"groups": groups, "points in": points, "points kept": kept,
                                   "points removed": points - kept,
                                   **({"in no group": without} if without else {})}


def test_demo_tables_merge_like_the_demo_and_are_not_overwritten(tmp_path):
    status, out, _ = run("demo", "--save-tables", tmp_path / "f.npz")
    assert status == 0 and f"merge {tmp_path / 'f.npz'}" in out
    assert_one_line_error(*run("demo", "--save-tables", tmp_path / "f.npz"), 2, "exists")
    demo = json.loads(run("demo", "--json")[1])
    merged = json.loads(run("merge", tmp_path / "f.npz", "-o", tmp_path / "o.npy", "--json")[1])
    assert tuple(merged) == tuple(demo) == JSON_KEYS
    assert (merged["tolerance"], merged["points_in"], merged["points_kept"]) == \
        (demo["tolerance"], demo["points_in"], demo["points_kept"])


@pytest.mark.parametrize(("main", "partner", "tolerance", "expected", "cuts"), [
    # far (0, 0) and (20, 21); near (10, 10) and (8, 9): the cut lies 1.06 from the near anchor
    ((0, 0, 10, 10, 5, 5), (8, 9, 20, 21, 14, 15), 0.25, [(0, 0), (10, 10), (8, 9), (9.25, 9.25)], True),
    ((0, 0, 10, 10, 5, 5), (8, 9, 20, 21, 14, 15), 2.0, [(0, 0), (10, 10), (8, 9), (9.25, 9.25)], False),
])
def test_cut_points_behind_the_picture(main, partner, tolerance, expected, cuts):
    conn = np.array([[0.0, 1, 1, 2, 2, np.nan]])
    info = np.array([[1.0, 0, 0, 0, 1, *main], [2.0, 0, 0, 0, 2, *partner]])
    (junction,) = find_junctions(conn, info, tolerance)
    assert [junction.far, junction.near, junction.partner_near] == expected[:3]
    assert junction.cut == pytest.approx(expected[3], abs=1e-12)
    assert junction.cuts is cuts


# --- as a program ------------------------------------------------------------------------------

@pytest.mark.thread_unsafe(reason="child processes")
def test_python_m_rowmerge_error_has_no_traceback(tmp_path):
    done = run_child("merge", tmp_path / "absent.npz", "-o", tmp_path / "o.csv")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == f"rowmerge merge: error: points ({tmp_path / 'absent.npz'}): no such file\n"


@pytest.mark.thread_unsafe(reason="child processes")
def test_the_rowmerge_console_script(tmp_path):
    script = Path(sys.executable).with_name("rowmerge")
    if not script.exists():
        pytest.skip("the package is not installed with its console script here")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([script, "merge", EXAMPLES / "raw-tables" / "field.npz", "-o",
                           tmp_path / "m.csv"], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0 and done.stderr == ""
    assert summary_counts(done.stdout)["points kept"] == len(direct(raw_tables())[0])


@pytest.mark.skipif(not (DOCS / "two_segments.py").exists(), reason="documentation not present")
def test_documented_example_prints_what_the_documentation_says(capsys):
    runpy.run_path(str(DOCS / "two_segments.py"), run_name="__main__")
    fates = [line.split()[-1] for line in capsys.readouterr().out.splitlines() if line.startswith("segment")]
    assert fates == ["kept", "kept", "kept", "removed", "removed", "removed", "kept", "kept", "kept"]

"""The rowmerge command line, its table files and its pictures.

Most commands run in this process through ``rowmerge.cli.main``; two run
``python -m rowmerge`` in a child process to cover the entry point.
"""

from __future__ import annotations

import io
import json
import os
import runpy
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _native
from rowmerge import cli, make_field
from rowmerge.junctions import find_junctions
from rowmerge.summary import JSON_KEYS, kept_mask
from rowmerge.tables_io import TABLE_NAMES, TableError, as_float64_table, read_table_file

DOCS = Path(__file__).resolve().parents[2] / "docs"


def run(*argv):
    """main(argv) in this process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    status = cli.main([str(a) for a in argv], stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def direct(tables, tolerance=0.02):
    """The merge called directly with one worker (groups in table order)."""
    return _native.merge_points_removing_overlap(*(tables[n] for n in TABLE_NAMES), tolerance, 1)


def assert_one_line_error(status, out, err, expected_status, fragment):
    assert status == expected_status
    assert out == ""
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert err.startswith("rowmerge") and fragment in err, err
    assert "Traceback" not in err


@pytest.fixture(scope="module")
def frame():
    field = make_field("frame", seed=3)
    return {"connected_crop_rows": field.connected_crop_rows,
            "points_in_rows": field.points_in_rows, "row_information": field.row_information}


@pytest.fixture()
def npz(tmp_path, frame):
    path = tmp_path / "field.npz"
    np.savez(path, **frame)
    return path


@pytest.fixture(scope="module")
def integral():
    """The two segments of docs/two_segments.py at ten times the scale: integers only."""
    nan = np.nan
    return {
        "connected_crop_rows": np.array([[0, 1, 1, 1, 2, nan], [1, 1, 2, 1, 1, nan]]),
        "points_in_rows": np.array([[1, 1, 10, 10, 9], [1, 1, 85, 85, 7], [1, 1, 95, 95, 9],
                                    [1, 2, 82, 82, 6], [1, 2, 93, 93, 7], [1, 2, 160, 160, 8]],
                                   dtype=np.float64),
        "row_information": np.array([[1, 0, 0, 0, 1, 0, 0, 100, 100, 50, 50],
                                     [1, 0, 0, 0, 2, 80, 80, 180, 180, 130, 130]], dtype=np.float64),
    }


# --- argument and input errors ------------------------------------------------------

def _garbage(tmp_path):
    path = tmp_path / "garbage.npz"
    path.write_bytes(b"not a zip archive")
    return ["merge", path, "-o", tmp_path / "o.npy"]


@pytest.mark.parametrize(("make_argv", "fragment"), [
    (lambda t, f: [], "choose a command"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--bogus"], "unrecognized arguments: --bogus"),
    (lambda t, f: ["merge", f], "required: -o/--output"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--threads", "-1"], "must not be negative"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--tolerance", "wide"], "invalid tolerance 'wide'"),
    (lambda t, f: ["demo", "--preset", "huge"], "invalid choice: 'huge'"),
    (lambda t, f: ["merge", t / "absent.npz", "-o", t / "o.npy"], "no such file"),
    (lambda t, f: ["merge", f, "-o", t / "o.txt"], "unknown file type '.txt'"),
    (lambda t, f: ["merge", f, "-o", t / "no" / "o.csv"], "no such directory"),
    (lambda t, f: ["merge", f, "-o", t / "o.npy", "--plot", t / "p.gif"], "unknown file type '.gif'"),
    (lambda t, f: ["merge", "--points-in-rows", f, "-o", t / "o.npy"], "give an .npz INPUT or all three"),
    (lambda t, f: ["merge", f, "--row-information", t / "absent.csv", "-o", t / "o.npy"],
     "row_information: no such file"),
    (lambda t, f: _garbage(t), "not a NumPy .npz archive"),
])
def test_argument_errors(tmp_path, npz, make_argv, fragment):
    status, out, err = run(*make_argv(tmp_path, npz))
    assert_one_line_error(status, out, err, 2, fragment)
    assert not (tmp_path / "o.npy").exists()


def test_archive_without_a_table(tmp_path, frame):
    path = tmp_path / "partial.npz"
    np.savez(path, connected_crop_rows=frame["connected_crop_rows"], points=frame["points_in_rows"])
    assert_one_line_error(*run("merge", path, "-o", tmp_path / "o.npy"), 2,
                          "no table 'points_in_rows' (it holds connected_crop_rows, points)")


@pytest.mark.parametrize(("table", "value", "fragment"), [
    ("points_in_rows", np.zeros(5), "expected a two-dimensional table, got shape (5,)"),
    ("points_in_rows", np.zeros((2, 3, 4)), "two-dimensional"),
    ("points_in_rows", np.zeros((2, 3)), "points_in_rows: 3 columns"),
    ("connected_crop_rows", np.array([[0.0, 1, 1]]), "connected_crop_rows: 3 columns"),
    ("connected_crop_rows", np.array([[0.0, 1, 1, np.nan, 0], [0, 1, 2, 1, 1]]),
     "connected_crop_rows row 1: the list of connected rows has no NaN end"),
    ("row_information", np.zeros((2, 10)), "row_information: 10 columns; it needs exactly 11"),
    ("points_in_rows", np.array([[1, 1, 2, 2 + 1j]]), "complex values (complex128)"),
    ("points_in_rows", np.array([["1", "1", "0", "0"]]), "text (<U1) cannot be used as numbers"),
    ("points_in_rows", np.array([[1, 1, 0, 2 ** 53 + 1]]), "beyond ±2**53"),
    ("points_in_rows", np.array([[1, 1, 0, 2 ** 64 - 1]], dtype=np.uint64), "beyond ±2**53"),
    ("points_in_rows", np.zeros((1, 4), dtype="datetime64[s]"), "dates"),
])
def test_refused_tables(tmp_path, npz, table, value, fragment):
    path = tmp_path / f"{table}.npy"
    np.save(path, value)
    status, out, err = run("merge", npz, f"--{table.replace('_', '-')}", path, "-o", tmp_path / "o.npy")
    assert_one_line_error(status, out, err, 2, fragment)
    assert f"{table}" in err


def test_object_arrays_are_refused_without_unpickling(tmp_path, frame):
    path = tmp_path / "objects.npz"
    np.savez(path, **{**frame, "row_information": frame["row_information"].astype(object)})
    assert_one_line_error(*run("merge", path, "-o", tmp_path / "o.npy"), 2,
                          "row_information (" + str(path) + "): Python objects")


@pytest.mark.parametrize("dtype", ["int16", "int64", "uint8", "float32", "float16", ">f8", "<i4"])
def test_exact_conversions_merge_like_float64(tmp_path, integral, dtype):
    archive = tmp_path / "t.npz"
    np.savez(archive, **integral)
    converted = tmp_path / "points.npy"
    np.save(converted, integral["points_in_rows"].astype(dtype))
    status, _, err = run("merge", archive, "--points-in-rows", converted, "-o", tmp_path / "o.npy",
                         "--threads", 1)
    assert status == 0, err
    np.testing.assert_array_equal(np.load(tmp_path / "o.npy"), direct(integral))


@pytest.mark.parametrize(("value", "expected"), [
    (np.array([[True, False]]), [[1.0, 0.0]]),
    (np.array([[-2 ** 53, 2 ** 53]]), [[-2.0 ** 53, 2.0 ** 53]]),
    (np.array([[0.5, np.nan]], dtype=np.longdouble), [[0.5, np.nan]]),
])
def test_lossless_values_are_kept(value, expected):
    result = as_float64_table(value, "t")
    assert result.dtype == np.float64
    np.testing.assert_array_equal(result, expected)


@pytest.mark.skipif(np.finfo(np.longdouble).nmant <= 52, reason="long double is double here")
def test_inexact_long_double_is_refused():
    with pytest.raises(TableError, match="cannot be converted to float64 exactly"):
        as_float64_table(np.array([[1, 1]], dtype=np.longdouble) / 3, "t")


def test_shapes_the_merge_accepts_are_accepted(tmp_path):
    # No connected rows: 4 columns of groups and 5 of records are enough.
    tables = {"connected_crop_rows": np.array([[0.0, 7, 1, np.nan]]),
              "points_in_rows": np.array([[7.0, 1, 0.5, 0.5], [7, 2, 1, 1]]),
              "row_information": np.array([[7.0, 0, 0, 0, 1]])}
    np.savez(tmp_path / "t.npz", **tables)
    assert run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.npy")[0] == 0
    np.testing.assert_array_equal(np.load(tmp_path / "o.npy"), direct(tables))


def test_merge_failure_shows_the_module_text(tmp_path, frame, capfd):
    broken = {**frame, "row_information": frame["row_information"][1:]}
    np.savez(tmp_path / "t.npz", **broken)
    status, out, err = run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.csv")
    assert_one_line_error(status, out, err, 1, "rowmerge merge: merge failed: called "
                          "`Option::unwrap()` on a `None` value (a group names a crop row")
    assert not (tmp_path / "o.csv").exists()
    capfd.readouterr()  # the module's own failure report on file descriptor 2


# --- input and output formats -----------------------------------------------------------

def _write_csv(path, table, header):
    lines = [",".join(f"c{k}" for k in range(table.shape[1]))] if header else []
    lines += [",".join("" if np.isnan(v) else repr(float(v)) for v in row) for row in table]
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("layout", ["npz", "npy", "csv", "csv-header", "npz+csv"])
def test_each_input_format(tmp_path, frame, layout):
    argv = []
    if layout.startswith("npz"):
        np.savez(tmp_path / "t.npz", **frame)
        argv.append(tmp_path / "t.npz")
    for name in TABLE_NAMES:
        if layout == "npz" or (layout == "npz+csv" and name != "points_in_rows"):
            continue
        path = tmp_path / f"{name}.{layout[:3] if layout != 'npz+csv' else 'csv'}"
        if path.suffix == ".npy":
            np.save(path, frame[name])
        else:
            _write_csv(path, frame[name], header=layout == "csv-header")
        argv += [f"--{name.replace('_', '-')}", path]
    status, out, err = run("merge", *argv, "-o", tmp_path / "o.npy", "--threads", 1)
    assert status == 0, err
    np.testing.assert_array_equal(np.load(tmp_path / "o.npy"), direct(frame))


def test_csv_reading_details(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("# groups\nid,a,b,c\n1,2,,4\n\n5,nan,-0,1e3\n")
    table = read_table_file(path, "connected_crop_rows")
    np.testing.assert_array_equal(table, [[1, 2, np.nan, 4], [5, np.nan, 0, 1000]])
    assert np.signbit(table[1, 2])
    path.write_text("1,2,3\n4,5\n")
    with pytest.raises(TableError, match=r"t\.csv\): line 2 has 2 values, expected 3"):
        read_table_file(path, "connected_crop_rows")
    path.write_text("1,2,3\n4,five,6\n")
    with pytest.raises(TableError, match="line 2, column 1: 'five' is not a number"):
        read_table_file(path, "connected_crop_rows")


@pytest.mark.parametrize("suffix", [".npy", ".npz", ".csv"])
def test_round_trip_through_files_equals_a_direct_call(tmp_path, frame, suffix):
    points = frame["points_in_rows"].copy()
    # Values that text must carry exactly: NaN, infinities, -0.0, tiny and long numbers.
    points[:5, 4] = [np.nan, np.inf, -np.inf, -0.0, 5e-324]
    points[5:, 4] = np.random.default_rng(1).random(len(points) - 5) / 3
    tables = {**frame, "points_in_rows": points}
    np.savez(tmp_path / "t.npz", **tables)
    out = tmp_path / f"merged{suffix}"
    assert run("merge", tmp_path / "t.npz", "-o", out, "--threads", 1)[0] == 0
    if suffix == ".npz":
        with np.load(out) as archive:
            assert archive.files == ["merged_points"]
            merged = archive["merged_points"]
    elif suffix == ".csv":
        assert out.read_text().splitlines()[0] == "row_id_1,row_id_2,x,y,value_4"
        merged = read_table_file(out, "points_in_rows")
    else:
        merged = np.load(out)
    expected = direct(tables)
    assert merged.dtype == np.float64 and merged.shape == expected.shape
    assert merged.tobytes() == expected.tobytes()  # bit for bit, NaN and -0.0 included


def test_csv_of_an_empty_result_keeps_its_width(tmp_path, frame):
    empty = {name: table[:0] for name, table in frame.items()}
    np.savez(tmp_path / "t.npz", **empty)
    assert run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.csv")[0] == 0
    assert read_table_file(tmp_path / "o.csv", "points_in_rows").shape == (0, 5)


@pytest.mark.parametrize(("stored", "option", "all_kept"), [(5.0, [], True), (5.0, ["--tolerance", 0.02], False),
                                                            (None, [], False)])
def test_tolerance_comes_from_the_option_then_the_archive(tmp_path, frame, stored, option, all_kept):
    extra = {} if stored is None else {"tolerance": stored}
    np.savez(tmp_path / "t.npz", **frame, **extra)
    status, out, _ = run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.npy", "--json", *option)
    summary = json.loads(out)
    assert summary["tolerance"] == (5.0 if all_kept else 0.02)
    # A tolerance beyond every cut's length keeps every point.
    assert (summary["points_kept"] == summary["points_in"]) is all_kept


# --- demo and summaries --------------------------------------------------------------------

@pytest.mark.parametrize(("preset", "groups", "points"), [("frame", 20, 4000), ("tiny", 3, 30),
                                                          ("field", 200, 200_000)])
def test_demo_summary(preset, groups, points):
    status, out, err = run("demo", "--preset", preset)
    assert status == 0 and err == ""
    kept = _native.merge_points_removing_overlap(*make_field(preset).arguments(1)).shape[0]
    lines = {line.split("  ")[1].strip(): line for line in out.splitlines()[1:5]}
    assert f"{groups:,}" in lines["groups"] and f"{points:,}" in lines["points in"]
    assert f"{kept:,}" in lines["points kept"] and f"{points - kept:,}" in lines["points removed"]
    assert len(out.splitlines()) <= 8


def test_demo_json_and_per_group_counts():
    status, out, _ = run("demo", "--json", "--per-group", "--threads", 2)
    summary = json.loads(out)
    assert status == 0 and tuple(summary) == JSON_KEYS
    assert summary["command"] == "demo" and summary["preset"] == "frame" and summary["threads"] == 2
    assert summary["points_kept"] + summary["points_removed"] == summary["points_in"] == 4000
    field = make_field("frame")
    result = _native.merge_points_removing_overlap(*field.arguments(1))
    for entry in summary["per_group"]:
        (group,) = entry["groups"]
        row = tuple(field.connected_crop_rows[group, 1:3])
        assert entry["row"] == list(row)
        assert entry["points_in"] == np.count_nonzero((field.points_in_rows[:, :2] == row).all(axis=1))
        assert entry["points_kept"] == np.count_nonzero((result[:, :2] == row).all(axis=1))
        # First and last segment of a crop row have one neighbour, the others two.
        assert entry["connected_rows"] == [1 if row[1] in (1, 5) else 2]
    assert sum(e["points_removed"] for e in summary["per_group"]) == summary["points_removed"]


def test_per_group_counts_shared_main_rows_and_points_of_no_group(tmp_path, integral):
    tables = {**integral,
              "connected_crop_rows": np.vstack([integral["connected_crop_rows"],
                                                [[2, 1, 2, np.nan, np.nan, np.nan]]]),
              "points_in_rows": np.vstack([integral["points_in_rows"], [[9, 9, 0, 0, 0]]])}
    np.savez(tmp_path / "t.npz", **tables)
    status, out, _ = run("merge", tmp_path / "t.npz", "-o", tmp_path / "o.npy", "--json", "--per-group")
    summary = json.loads(out)
    assert summary["points_without_group"] == 1
    shared = [e for e in summary["per_group"] if e["row"] == [1, 2]]
    # Group 1 trims its row against segment 1 (loses 82), group 2 has no connected row.
    assert shared == [{"groups": [1, 2], "row": [1, 2], "connected_rows": [1, 0],
                       "points_in": 6, "points_kept": 5, "points_removed": 1}]


def test_saved_demo_tables_merge_like_the_demo(tmp_path):
    status, out, _ = run("demo", "--save-tables", tmp_path / "f.npz")
    assert status == 0 and "merge " + str(tmp_path / "f.npz") in out
    demo = json.loads(run("demo", "--json")[1])
    merged = json.loads(run("merge", tmp_path / "f.npz", "-o", tmp_path / "o.npy", "--json")[1])
    assert merged["tolerance"] == demo["tolerance"]
    assert (merged["points_in"], merged["points_kept"]) == (demo["points_in"], demo["points_kept"])


# --- geometry behind the picture --------------------------------------------------------------

@pytest.mark.parametrize(("main", "partner", "tolerance", "expected", "cuts"), [
    # far (0, 0) and (20, 21); near (10, 10) and (8, 9): the cut lies 1.06 from the near anchor
    ((0, 0, 10, 10, 5, 5), (8, 9, 20, 21, 14, 15), 0.25, [(0, 0), (10, 10), (8, 9), (9.25, 9.25)], True),
    ((0, 0, 10, 10, 5, 5), (8, 9, 20, 21, 14, 15), 2.0, [(0, 0), (10, 10), (8, 9), (9.25, 9.25)], False),
    # main anchors 0 and 1 lie equally far from partner anchor 1: the first one is the far anchor
    ((0, 5, 0, -5, 0, 0), (10, 0, 12, 0, 11, 0), 0.1, [(0, 5), (0, -5), (10, 0), (0, -2.5)], True),
])
def test_cut_points_behind_the_picture(main, partner, tolerance, expected, cuts):
    conn = np.array([[0.0, 1, 1, 2, 2, np.nan]])
    info = np.array([[1.0, 0, 0, 0, 1, *main], [2.0, 0, 0, 0, 2, *partner]])
    (junction,) = find_junctions(conn, info, tolerance)
    assert [junction.far, junction.near, junction.partner_near] == expected[:3]
    assert junction.cut == pytest.approx(expected[3], abs=1e-12)
    assert junction.cuts is cuts


def test_kept_mask_marks_exactly_the_surviving_points(frame):
    result = direct(frame)
    mask = kept_mask(frame["points_in_rows"], result)
    assert sorted(map(tuple, frame["points_in_rows"][mask].tolist())) == \
        sorted(map(tuple, result.tolist()))


# --- pictures ------------------------------------------------------------------------

def _png_size(path):
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("command", ["demo", "merge"])
def test_plot_is_a_png_of_the_expected_size(tmp_path, npz, command):
    pytest.importorskip("matplotlib")
    from rowmerge.plot import PIXELS
    picture = tmp_path / "p.png"
    argv = ["demo"] if command == "demo" else ["merge", npz, "-o", tmp_path / "o.npy"]
    status, out, err = run(*argv, "--plot", picture)
    assert status == 0, err
    assert _png_size(picture) == PIXELS
    assert f"picture: {picture}" in out


def test_plot_without_matplotlib_is_a_one_line_error(tmp_path, npz, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, out, err = run("merge", npz, "-o", tmp_path / "o.npy", "--plot", tmp_path / "p.png")
    assert_one_line_error(status, out, err, 2, "pip install 'rowmerge[plot]'")
    assert not (tmp_path / "o.npy").exists()


# --- as a program -----------------------------------------------------------------------------

def _python_m(*argv):
    import rowmerge
    env = dict(os.environ)
    paths = [os.path.dirname(_native.__file__), os.path.dirname(os.path.dirname(rowmerge.__file__))]
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-m", "rowmerge", *map(str, argv)], env=env,
                          capture_output=True, text=True, timeout=120)


def test_python_m_rowmerge_demo_needs_no_input():
    done = _python_m("demo")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("rowmerge demo: the 'frame' field") and "points removed" in done.stdout


def test_python_m_rowmerge_error_has_no_traceback(tmp_path):
    done = _python_m("merge", tmp_path / "absent.npz", "-o", tmp_path / "o.csv")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == f"rowmerge merge: error: input: no such file: {tmp_path / 'absent.npz'}\n"


@pytest.mark.skipif(not (DOCS / "two_segments.py").exists(), reason="documentation not present")
def test_documented_example_prints_what_the_documentation_says(capsys):
    runpy.run_path(str(DOCS / "two_segments.py"), run_name="__main__")
    fates = [line.split()[-1] for line in capsys.readouterr().out.splitlines() if line.startswith("segment")]
    assert fates == ["kept", "kept", "kept", "removed", "removed", "removed", "kept", "kept", "kept"]

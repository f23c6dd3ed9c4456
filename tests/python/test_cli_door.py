"""The command line follows the rules of rowmerge.merge: outputs laid out one way, a report that is always
one JSON object, thread counts and numbers as the API takes them."""

import json

import numpy as np
import pytest

import rowmerge
from helpers import RAW, run
from rowmerge.field import make_field


def save_field(folder, seed=3):
    folder.mkdir(parents=True, exist_ok=True)
    field = make_field("frame", seed=seed)
    tables = dict(zip(RAW, (field.connected_crop_rows, field.points_in_rows, field.row_information), strict=True))
    np.savez(folder / "points.npz", **tables)
    return tables


@pytest.mark.thread_unsafe(reason="changes the current directory")
def test_an_input_has_one_output_path_alone_or_in_a_batch(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    save_field(tmp_path / "season" / "day1")
    save_field(tmp_path / "season" / "day2", seed=4)
    status, _, err = run("merge", "season/day1/points.npz", "--output-dir", "alone")
    assert status == 0, err
    status, _, err = run("merge", "season/day1/points.npz", "season/day2/points.npz", "--output-dir", "batch")
    assert status == 0, err
    for out in ("alone", "batch"):
        assert (tmp_path / out / "season" / "day1" / "points.npz").exists()
    assert (tmp_path / "batch" / "season" / "day2" / "points.npz").exists()
    assert not (tmp_path / "alone" / "points.npz").exists()


@pytest.mark.parametrize("argv", [
    ["merge", "missing.npz", "-o", "out.npz", "--json"],
    ["merge", "--json", "--threads", "0", "x.npz", "-o", "y.npz"],
    ["merge", "--json"],
])
def test_a_refused_run_still_reports_one_json_object(tmp_path, argv):
    status, out, err = run(*argv)
    assert status == 2
    report = json.loads(out)
    assert report["exit_status"] == 2
    assert report["error"] and report["error"] in err


@pytest.mark.parametrize("threads", ["0", "-1"])
def test_thread_counts_follow_the_api(tmp_path, threads):
    tables = save_field(tmp_path)
    with pytest.raises(ValueError):
        rowmerge.merge(*(tables[n] for n in RAW), tolerance=0.02, threads=int(threads))
    status, _, err = run("merge", tmp_path / "points.npz", "-o", tmp_path / "out.npz", "--threads", threads)
    assert status == 2 and "thread count must be at least 1" in err


def test_integers_float64_holds_exactly_merge_as_through_the_api(tmp_path):
    # An int64 table of points whose last column holds integers beyond 2**53
    # that float64 holds exactly (multiples of 2**11); one group keeps all.
    nan = np.nan
    tables = {"connected_crop_rows": np.array([[0, 1, 1, nan]]),
              "points_in_rows": np.array([[1, 1, 3, 4, 2**60], [1, 1, 5, 6, 2**60 + 2**11]], dtype=np.int64),
              "row_information": np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])}
    np.savez(tmp_path / "tables.npz", **tables)
    merged_api = rowmerge.merge(*(tables[n] for n in RAW), tolerance=0.02)
    status, _, err = run("merge", tmp_path / "tables.npz", "-o", tmp_path / "out.npy")
    assert status == 0, err
    merged_cli = np.load(tmp_path / "out.npy")
    assert merged_cli.tobytes() == merged_api.tobytes()
    assert merged_cli[:, 4].tolist() == [2.0**60, 2.0**60 + 2**11]


def test_a_refused_value_is_named_by_file_line_and_the_users_column(tmp_path):
    pd = pytest.importorskip("pandas")
    from helpers import EXAMPLES

    points = pd.read_csv(EXAMPLES / "csv" / "points.csv")
    points.loc[3, "crop_row"] = -1
    points = points.rename(columns={"crop_row": "row_id"})
    points.to_csv(tmp_path / "points.csv", index=False)
    for name in ("segments", "links"):
        frame = pd.read_csv(EXAMPLES / "csv" / f"{name}.csv").rename(columns={"crop_row": "row_id"})
        frame.to_csv(tmp_path / f"{name}.csv", index=False)
    status, out, err = run("merge", tmp_path / "points.csv", "-o", tmp_path / "out.csv", "--columns",
                           "crop_row=row_id,x=easting,y=northing")
    assert status == 2 and out == ""
    # Line 5: the header is line 1, the table's row 3 line 5.
    assert f"{tmp_path / 'points.csv'}, line 5, column 'row_id' is -1.0: " in err, err


def test_the_default_thread_count_is_reported_as_such():
    status, out, err = run("demo")
    assert status == 0, err
    assert "(default threads)" in out and "None" not in out
    status, out, _ = run("demo", "--json")
    assert json.loads(out)["threads"] == 0


@pytest.mark.parametrize("as_frames", [False, True])
def test_points_of_no_group_are_counted_in_the_report(tmp_path, as_frames):
    tables = save_field(tmp_path)
    points = np.vstack([tables["points_in_rows"], [[97, 98, 0, 0, 0], [97, 99, 1, 1, 0]]])
    if as_frames:
        pd = pytest.importorskip("pandas")
        from helpers import EXAMPLES

        frame = pd.read_csv(EXAMPLES / "csv" / "points.csv")
        extra = frame.iloc[:2].assign(crop_row=[97, 97], segment=[98, 99])
        pd.concat([frame, extra]).to_csv(tmp_path / "points.csv", index=False)
        for name in ("segments", "links"):
            pd.read_csv(EXAMPLES / "csv" / f"{name}.csv").to_csv(tmp_path / f"{name}.csv", index=False)
        argv = [tmp_path / "points.csv", "-o", tmp_path / "out.csv", "--columns", "x=easting,y=northing"]
    else:
        np.savez(tmp_path / "tables.npz", **{**tables, "points_in_rows": points})
        argv = [tmp_path / "tables.npz", "-o", tmp_path / "out.npy"]
    status, out, err = run("merge", *argv, "--json")
    assert status == 0, err
    assert json.loads(out)["points_without_group"] == 2
    assert "2 points" in err and ("no group" in err or "no segment" in err)

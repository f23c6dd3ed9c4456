"""Batches of the command line: many inputs, --output-dir, worker processes, reports.

A "season" holds one small field in every layout a user may have (the
examples of docs/formats.md), one input whose merge fails and one without
its segments and links.  Expected counts come from ``rowmerge.merge`` on the
field's raw arrays.
"""

from __future__ import annotations

import json
import os
import pty
import re
import shutil
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path

import numpy as np
import pytest

import batch_work
from helpers import EXAMPLES, assert_one_line_error, direct, raw_tables, run
from rowmerge.cli import batch
from rowmerge.cli.batch import run_jobs
from rowmerge.cli.job import Job
from rowmerge.cli.summary import BATCH_JSON_KEYS, FILE_JSON_KEYS

pytestmark = pytest.mark.thread_unsafe(reason="starts worker processes")

OK_LINE = re.compile(r"^ok +([\d,]+) in +([\d,]+) kept +([\d,]+) removed +[\d.]+ m?s  (.+)$")
FAILED_LINE = re.compile(r"^failed  (.+?): (.+)$")


def parse_report(out):
    """The per-file lines of a text report: {input: (points in, kept, removed)} and {input: error}."""
    merged, failed = {}, {}
    for line in out.splitlines():
        if match := OK_LINE.match(line):
            merged[match[4]] = tuple(int(match[k].replace(",", "")) for k in (1, 2, 3))
        elif match := FAILED_LINE.match(line):
            failed[match[1]] = match[2]
    return merged, failed


@pytest.fixture()
def season(tmp_path, monkeypatch):
    """season/<day>/...: every layout, a broken merge and a points file without companions."""
    pytest.importorskip("geopandas")
    days = {"csv": "csv", "gpkg": "geopackage", "parquet": "parquet", "geojson": "geojson",
            "raw": "raw-tables"}
    for day, example in days.items():
        shutil.copytree(EXAMPLES / example, tmp_path / "season" / day)
    tables = raw_tables()
    records = tables["row_information"]
    np.savez(tmp_path / "season" / "raw" / "broken.npz", **{**tables, "row_information": records[1:]})
    (tmp_path / "season" / "alone").mkdir()
    shutil.copy(EXAMPLES / "parquet" / "points.parquet", tmp_path / "season" / "alone")
    monkeypatch.chdir(tmp_path)
    return ["season/*/points.*", "season/gpkg/field.gpkg", "season/raw/*.npz"]


# Each output keeps its input's path below the current directory, as a lone input's does.
EXPECTED_OUTPUTS = ["season/csv/points.csv", "season/geojson/points.geojson", "season/gpkg/field.gpkg",
                    "season/parquet/points.parquet", "season/raw/field.npz"]


def listing(directory):
    return sorted(str(p.relative_to(directory)) for p in Path(directory).rglob("*"))


@pytest.mark.parametrize("jobs", [1, 2])
def test_every_file_is_reported_and_a_failed_one_stops_no_other(season, jobs):
    status, out, err = run("merge", *season, "--columns", "x=easting,y=northing", "--output-dir",
                           "out", "--jobs", jobs)
    kept = len(direct(raw_tables())[1])
    merged, failed = parse_report(out)
    assert merged == {f"season/{name}": (240, kept, 240 - kept) for name in
                      ("csv/points.csv", "gpkg/field.gpkg", "parquet/points.parquet",
                       "geojson/points.geojson", "raw/field.npz")}
    assert set(failed) == {"season/raw/broken.npz", "season/alone/points.parquet"}
    assert failed["season/raw/broken.npz"].startswith("merge failed: group 0 ")
    assert "crop row (1, 1)" in failed["season/raw/broken.npz"]
    assert "no segments table beside it" in failed["season/alone/points.parquet"]
    # Highest status: 2 (no segments) over 1 (failed merge); one line on standard error.
    assert status == 2 and err == "rowmerge merge: 2 of 7 files failed\n"
    assert out.splitlines()[0] == f"rowmerge merge: 7 files -> out ({min(jobs, 7)} process" + \
        ("es" if jobs > 1 else "") + f", {2 // jobs} thread" + ("s" if jobs == 1 else "") + " each)"
    assert out.splitlines()[-1].startswith(f"7 files: 5 merged, 2 failed; 1,200 points in, "
                                           f"{5 * kept:,} kept, {5 * (240 - kept):,} removed; ")
    # Outputs mirror the inputs' folders; the raw tables' result is bit for bit the merge's.
    assert [p for p in listing("out") if "." in p] == EXPECTED_OUTPUTS
    with np.load("out/season/raw/field.npz") as archive:
        assert archive["merged_points"].tobytes() == direct(raw_tables())[0].tobytes()


def test_batch_json(season):
    status, out, err = run("merge", *season, "--columns", "x=easting,y=northing", "--output-dir",
                           "out", "--json", "--per-group")
    report = json.loads(out)
    assert tuple(report) == BATCH_JSON_KEYS and status == report["exit_status"] == 2
    assert (report["files_total"], report["files_merged"], report["files_failed"]) == (7, 5, 2)
    files = {entry["input"]: entry for entry in report["files"]}
    assert [e["input"] for e in report["files"]] == sorted(files, key=[
        "season/alone/points.parquet", "season/csv/points.csv", "season/geojson/points.geojson",
        "season/parquet/points.parquet", "season/gpkg/field.gpkg", "season/raw/broken.npz",
        "season/raw/field.npz"].index)  # in the order of the inputs
    rows, _ = direct(raw_tables())
    for entry in files.values():
        assert tuple(entry) == FILE_JSON_KEYS
        if entry["status"] == "ok":
            assert (entry["points_in"], entry["points_kept"], entry["exit_status"]) == (240, len(rows), 0)
            assert entry["output"] == os.path.join("out", entry["input"])
            assert sum(g["points_kept"] for g in entry["per_group"]) == len(rows)
        else:
            assert entry["output"] is None and entry["points_in"] is None and entry["error"]
    assert files["season/raw/broken.npz"]["exit_status"] == 1
    assert files["season/alone/points.parquet"]["exit_status"] == 2
    assert files["season/csv/points.csv"]["tables"]["links"] == "season/csv/links.csv"
    assert err == "rowmerge merge: 2 of 7 files failed\n"


@pytest.mark.parametrize(("argv", "fragment"), [
    (["--output-dir", "."], "is an input of the batch"),
    (["--output-dir", "out", "--output-format", "csv"], "would both be written to"),
    (["--output-dir", "old"], "exists; allow overwriting it (--overwrite)"),
    (["--output-dir", "linked", "--overwrite"], "linked/season/a/field.npz is an input of the batch"),
    (["--output-dir", "out", "--output-format", "shp"], "--output-format 'shp': unknown format"),
    (["--output-dir", "out", "--plot", "p.png"], "--plot draws one merge"),
])
def test_refused_batches_write_nothing(tmp_path, monkeypatch, argv, fragment):
    monkeypatch.chdir(tmp_path)
    season = Path("season")
    for day in ("a", "b"):
        shutil.copytree(EXAMPLES / "raw-tables", season / day)
    np.save(season / "a" / "field.npy", raw_tables()["points_in_rows"])  # a second a/field.*
    shutil.copytree(season, Path("old") / season)
    # An output that is an input under another name (a hard link).
    os.makedirs("linked/season/a")
    os.link(season / "a" / "field.npz", "linked/season/a/field.npz")
    before = listing(".")
    status, out, err = run("merge", "season/*/field.*", *argv)
    assert_one_line_error(status, out, err, 2, fragment)
    assert listing(".") == before


def test_siblings_by_name_and_one_shared_pair(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow")
    monkeypatch.chdir(tmp_path)
    for frame in ("frame-01", "frame-02"):
        for table in ("points", "segments", "links"):
            shutil.copy(EXAMPLES / "parquet" / f"{table}.parquet", f"{frame}-{table}.parquet")
        shutil.copy(EXAMPLES / "parquet" / "points.parquet", f"plants-{frame}.parquet")
    kept = len(direct(raw_tables())[1])
    status, out, _ = run("merge", "frame-*-points.parquet", "--output-dir", "by-name")
    assert status == 0 and set(parse_report(out)[0]) == {"frame-01-points.parquet",
                                                         "frame-02-points.parquet"}
    status, out, _ = run("merge", "plants-*.parquet", "--segments", "frame-01-segments.parquet",
                         "--links", "frame-01-links.parquet", "--output-dir", "shared",
                         "--output-format", "csv")
    assert status == 0 and set(parse_report(out)[0].values()) == {(240, kept, 240 - kept)}
    assert listing("shared") == ["plants-frame-01.csv", "plants-frame-02.csv"]


@pytest.mark.parametrize("names, statuses", [
    (("a", "b", "crash", "c", "d", "e"), [0, 0, 1, 0, 0, 0]),
    # 'lost' dies once, after writing its output: run again, it replaces that output.
    (("lost", "a", "b", "c"), [0, 0, 0, 0]),
])
def test_a_worker_that_dies_fails_only_its_own_file(tmp_path, names, statuses):
    for name in names:
        shutil.copy(EXAMPLES / "raw-tables" / "field.npz", tmp_path / f"{name}.npz")
    jobs = [Job(points=str(tmp_path / f"{name}.npz"), output=str(tmp_path / f"{name}-merged.npy"),
                threads=1) for name in names]
    reported = []
    outcomes = run_jobs(jobs, processes=2, work=batch_work.run_or_die,
                        report=lambda index, outcome: reported.append(index))
    assert sorted(reported) == list(range(len(names)))
    assert [o.status for o in outcomes] == statuses
    assert all("worker process died" in o.error for o in outcomes if not o.ok)
    assert not (tmp_path / "crash-merged.npy").exists()
    expected = direct(raw_tables())[0].tobytes()
    assert all(np.load(o.output).tobytes() == expected for o in outcomes if o.ok)


class PoolBrokenAtTheThirdFile(ProcessPoolExecutor):
    """A pool whose worker died just before the third file is handed over: the
    pool refuses that file, as a broken pool does."""

    handed = 0

    def submit(self, fn, /, *args, **kwargs):
        type(self).handed += 1
        if type(self).handed == 3:
            raise BrokenProcessPool("a worker died")
        return super().submit(fn, *args, **kwargs)


def test_a_file_refused_by_a_broken_pool_runs_in_the_next(tmp_path, monkeypatch):
    monkeypatch.setattr(batch, "ProcessPoolExecutor", PoolBrokenAtTheThirdFile)
    names = ("a", "b", "c", "d", "e")
    for name in names:
        shutil.copy(EXAMPLES / "raw-tables" / "field.npz", tmp_path / f"{name}.npz")
    jobs = [Job(points=str(tmp_path / f"{name}.npz"), output=str(tmp_path / f"{name}-merged.npy"), threads=1)
            for name in names]
    reported = []
    outcomes = run_jobs(jobs, processes=2, report=lambda index, outcome: reported.append(index))
    assert PoolBrokenAtTheThirdFile.handed > 3
    assert sorted(reported) == list(range(len(names)))
    expected = direct(raw_tables())[0].tobytes()
    assert [np.load(o.output).tobytes() == expected for o in outcomes] == [True] * len(names)


def test_progress_bar_only_on_a_terminal(tmp_path):
    for number in range(12):
        shutil.copy(EXAMPLES / "raw-tables" / "field.npz", tmp_path / f"f{number:02}.npz")
    (tmp_path / "f12.npz").write_bytes(b"")  # fails
    leader, follower = pty.openpty()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), TERM="xterm")
    done = subprocess.run([sys.executable, "-m", "rowmerge", "merge", str(tmp_path / "*.npz"),
                           "--output-dir", str(tmp_path / "out"), "--jobs", "2"], env=env,
                          stdout=subprocess.PIPE, stderr=follower, text=True, timeout=300)
    os.close(follower)
    drawn = b""
    while chunk := _read(leader):
        drawn += chunk
    os.close(leader)
    merged, failed = parse_report(done.stdout)
    assert done.returncode == 2 and len(merged) == 12 and len(failed) == 1
    assert "\x1b" not in done.stdout  # the report itself is plain
    screen = drawn.decode()
    assert "\r\x1b[K[" in screen and "] 13/13 files, 1 failed" in screen
    # The bar is gone before the closing line.
    assert screen.endswith("\r\x1b[Krowmerge merge: 1 of 13 files failed\r\n")


def _read(descriptor):
    try:
        return os.read(descriptor, 65536)
    except OSError:  # the terminal is closed once the child has exited
        return b""


def test_many_small_files_in_one_command(tmp_path):
    for number in range(300):
        shutil.copy(EXAMPLES / "raw-tables" / "field.npz", tmp_path / f"frame-{number:03}.npz")
    status, out, err = run("merge", tmp_path / "frame-*.npz", "--output-dir", tmp_path / "out",
                           "--jobs", 2, "--json")
    report = json.loads(out)
    assert status == 0 and err == "" and report["files_merged"] == 300
    assert len(os.listdir(tmp_path / "out")) == 300
    assert report["points_kept"] == 300 * len(direct(raw_tables())[0])

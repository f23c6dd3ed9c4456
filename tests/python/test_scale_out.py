"""Scale-out as GIS teams do it, on a LocalCluster of two worker processes: dask-geopandas frames,
partitioned GeoParquet datasets on the command line, and batches of files on a cluster (--scheduler).

Expected values come from the single-machine doors: ``rowmerge.merge_frame`` on the whole
GeoDataFrame (read back from the dataset by GeoPandas itself), and the local batch
(``--jobs 2``) for the batch on the cluster.
"""

from __future__ import annotations

import json
import logging
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

dask_geopandas = pytest.importorskip("dask_geopandas")
distributed = pytest.importorskip("distributed")
geopandas = pytest.importorskip("geopandas")
pq = pytest.importorskip("pyarrow.parquet")

import dask  # noqa: E402
from geopandas.testing import assert_geodataframe_equal  # noqa: E402

import batch_work  # noqa: E402
import dask_partitions  # noqa: E402
import rowmerge  # noqa: E402
import rowmerge.dask  # noqa: E402
from helpers import EXAMPLES, raw_tables, run  # noqa: E402
from rowmerge.cli.cluster_batch import run_jobs_on_cluster  # noqa: E402
from rowmerge.cli.job import Job  # noqa: E402

pytestmark = pytest.mark.thread_unsafe(reason="starts a cluster of worker processes")

TOLERANCE = dask_partitions.field().tolerance


@pytest.fixture(scope="module")
def client():
    # One task per single-threaded worker (no second task waiting there, which a worker's death
    # would count against too), and a task whose worker dies twice fails (KilledWorker).
    settings = {"distributed.scheduler.allowed-failures": 1, "distributed.scheduler.worker-saturation": 1.0}
    with dask.config.set(settings):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=logging.CRITICAL)
    with cluster, distributed.Client(cluster) as connected:
        yield connected


def field_frame(crs=32633):
    """The generated field's points with Point geometry in a column named 'where' (no x and y)."""
    frame = dask_partitions.frame()
    return geopandas.GeoDataFrame(frame.drop(columns=["x", "y"]),
                                  geometry=geopandas.points_from_xy(frame["x"], frame["y"]),
                                  crs=crs).rename_geometry("where")


def per_segment(frame):
    rows: dict[tuple[float, float], list[object]] = {}
    for label, crop_row, segment in zip(frame.index, frame["crop_row"], frame["segment"]):
        rows.setdefault((crop_row, segment), []).append(label)
    return rows


# --- dask-geopandas frames -----------------------------------------------------------------


@pytest.mark.parametrize("partitions", [1, 2, 3, 4])
def test_a_dask_geopandas_frame_merges_as_merge_frame_merges_the_whole_frame(client, partitions):
    whole = field_frame()
    segments, links = dask_partitions.segments_and_links()
    expected = rowmerge.merge_frame(whole, segments, links, tolerance=TOLERANCE)
    points = dask_geopandas.from_geopandas(whole, npartitions=partitions)
    merged = rowmerge.dask.merge(points, segments, links, tolerance=TOLERANCE)
    assert isinstance(merged, dask_geopandas.GeoDataFrame)
    assert merged.crs == whole.crs and merged.npartitions == partitions
    result = merged.compute()
    assert result.geometry.name == "where" and list(result.columns) == list(whole.columns)
    assert_geodataframe_equal(result.sort_index(), expected.sort_index(), check_crs=True, check_dtype=True,
                              check_index_type=True)
    # Partitions in table order: every segment keeps its points' order.
    assert per_segment(result) == per_segment(expected)


def test_a_geographic_crs_is_refused_before_the_graph_runs_in_merge_frames_words():
    segments, links = dask_partitions.segments_and_links()
    geographic = dask_geopandas.from_geopandas(field_frame().to_crs(4326), npartitions=2)
    # No cluster here: a refusal that waited for a partition would not come.
    with pytest.raises(ValueError, match=r"^points has a geographic CRS \(WGS 84\)") as from_dask:
        rowmerge.dask.merge(geographic, segments, links, tolerance=TOLERANCE)
    with pytest.raises(ValueError) as from_merge_frame:
        rowmerge.merge_frame(field_frame().to_crs(4326), segments, links, tolerance=TOLERANCE)
    # The same reason in the same words; only the example of how to project differs.
    assert str(from_dask.value).split(" e.g. ")[0] == str(from_merge_frame.value).split(" e.g. ")[0]


def test_a_bad_value_in_a_partition_names_the_users_row_and_geometry_column(client):
    whole = field_frame()
    whole.loc[700, "where"] = geopandas.GeoSeries.from_wkt(["LINESTRING (0 0, 1 1)"]).iloc[0]
    segments, links = dask_partitions.segments_and_links()
    merged = rowmerge.dask.merge(dask_geopandas.from_geopandas(whole, npartitions=3), segments, links,
                                 tolerance=TOLERANCE)
    with pytest.raises(ValueError, match=r"^points has a LineString geometry at index 700; it needs one Point"):
        merged.compute()


# --- partitioned GeoParquet datasets ----------------------------------------------------------


@pytest.fixture()
def survey(tmp_path, monkeypatch):
    """survey/points/: a GeoParquet dataset of three parts, as dask-geopandas writes it; its
    segments and links beside it."""
    monkeypatch.chdir(tmp_path)
    dask_geopandas.from_geopandas(field_frame(), npartitions=3).to_parquet("survey/points")
    segments, links = dask_partitions.segments_and_links()
    segments.to_parquet("survey/segments.parquet")
    links.to_parquet("survey/links.parquet")
    return Path("survey/points")


@pytest.mark.parametrize("where", ["threads here", "cluster"])
def test_a_geoparquet_dataset_round_trip(client, survey, where):
    scheduler = ["--scheduler", client.scheduler.address] if where == "cluster" else []
    status, out, err = run("merge", "survey/points/", "--output-dir", "merged", "--json", "--per-group",
                           *scheduler)
    assert (status, err) == (0, "")
    report = json.loads(out)["files"][0]
    # The single-machine merge of the same dataset, as GeoPandas reads it.
    whole = geopandas.read_parquet(survey)
    segments, links = (geopandas.pd.read_parquet(f"survey/{t}.parquet") for t in ("segments", "links"))
    expected = rowmerge.merge_frame(whole, segments, links, tolerance=TOLERANCE)
    assert (report["points_in"], report["points_kept"]) == (len(whole), len(expected))
    # The counts per group are those of the whole dataset merged as one file.
    whole.to_parquet("survey/whole-points.parquet")
    status, out, _ = run("merge", "survey/whole-points.parquet", "--segments", "survey/segments.parquet",
                         "--links", "survey/links.parquet", "-o", "whole.parquet", "--json", "--per-group")
    assert status == 0 and report["per_group"] == json.loads(out)["per_group"]
    assert report["output"] == "merged/survey/points"
    result = geopandas.read_parquet("merged/survey/points")
    assert_geodataframe_equal(result.sort_index(), expected.sort_index(), check_crs=True, check_dtype=True)
    # The same parts, each with its input part's schema and GeoParquet metadata (CRS, encoding).
    parts = sorted(p.name for p in survey.iterdir())
    assert sorted(os.listdir("merged/survey/points")) == parts
    for name in parts:
        given, written = pq.read_schema(survey / name), pq.read_schema(f"merged/survey/points/{name}")
        assert written.remove_metadata().equals(given.remove_metadata())
        assert json.loads(written.metadata[b"geo"])["columns"] == json.loads(given.metadata[b"geo"])["columns"]
    assert os.listdir("merged/survey") == ["points"]  # no private folder left behind


def test_a_dataset_with_a_bad_part_is_written_not_at_all_and_named_by_part_row_and_column(survey):
    bad = geopandas.read_parquet(survey / "part.1.parquet")
    bad.loc[bad.index[5], "crop_row"] = -3
    bad.to_parquet(survey / "part.1.parquet")
    status, out, err = run("merge", "survey/points/", "--output-dir", "merged")
    assert status == 2
    assert (f"failed  survey/points/: survey/points/part.1.parquet, row {bad.index[5]}, column 'crop_row' is -3"
            in out)
    assert os.listdir("merged/survey") == []  # complete or absent: absent


def test_a_dataset_whose_parts_disagree_is_refused_before_any_part_is_read(survey):
    other = geopandas.read_parquet(survey / "part.2.parquet").to_crs(25833)
    other.to_parquet(survey / "part.2.parquet")
    status, out, _ = run("merge", "survey/points/", "--output-dir", "merged")
    assert status == 2 and "part part.2.parquet has another geometry column or CRS than part part.0.parquet" in out


# --- batches on a cluster ---------------------------------------------------------------------


@pytest.fixture()
def season(tmp_path, monkeypatch):
    """season/<day>/...: several layouts, a failing merge and a points file without companions."""
    for day, example in {"csv": "csv", "gpkg": "geopackage", "geoparquet": "geoparquet",
                         "raw": "raw-tables"}.items():
        shutil.copytree(EXAMPLES / example, tmp_path / "season" / day)
    tables = raw_tables()
    np.savez(tmp_path / "season" / "raw" / "broken.npz",
             **{**tables, "row_information": tables["row_information"][1:]})
    (tmp_path / "season" / "alone").mkdir()
    shutil.copy(EXAMPLES / "parquet" / "points.parquet", tmp_path / "season" / "alone")
    monkeypatch.chdir(tmp_path)
    return ["season/*/points.*", "season/gpkg/field.gpkg", "season/raw/*.npz"]


def comparable(report, output_dir):
    """A batch's JSON report without its times and its place."""
    files = [{key: value for key, value in entry.items() if key not in ("seconds", "merge_seconds")}
             for entry in report["files"]]
    for entry in files:
        if entry["output"]:
            entry["output"] = os.path.relpath(entry["output"], output_dir)
    kept = {key: value for key, value in report.items()
            if key not in ("seconds", "output_dir", "jobs", "threads", "files")}
    return kept, files


def read_back(path):
    if path.endswith(".npz"):
        with np.load(path) as archive:
            return archive["merged_points"].tobytes()
    return rowmerge.formats.read_table(path, "points", columns="x=easting,y=northing").frame


def test_a_batch_on_the_cluster_reports_and_writes_what_the_local_batch_does(client, season):
    # The workers started in another current directory: the relative paths reach them made absolute.
    assert client.run(os.getcwd) != {worker: os.getcwd() for worker in client.run(os.getcwd)}
    common = [*season, "--columns", "x=easting,y=northing", "--json"]
    local = run("merge", *common, "--output-dir", "local", "--jobs", "2")
    remote = run("merge", *common, "--output-dir", "remote", "--scheduler", client.scheduler.address)
    assert remote[0] == local[0] == 2 and remote[2] == local[2] == "rowmerge merge: 2 of 6 files failed\n"
    local_report, remote_report = json.loads(local[1]), json.loads(remote[1])
    assert comparable(remote_report, "remote") == comparable(local_report, "local")
    assert remote_report["jobs"] == 2  # the cluster's workers
    written = [entry["output"] for entry in local_report["files"] if entry["output"]]
    assert len(written) == 4
    for path in written:
        ours, theirs = read_back(path), read_back(os.path.join("remote", os.path.relpath(path, "local")))
        assert ours == theirs if isinstance(ours, bytes) else ours.equals(theirs)


@pytest.mark.parametrize("argv, fragment", [
    (["/dev/stdin"], "/dev/stdin is local to this machine; the cluster's workers cannot reach it"),
    (["season/csv/points.csv", "--jobs", "2"], "--jobs counts local worker processes"),
])
def test_a_batch_on_the_cluster_is_refused_before_any_work(client, season, argv, fragment):
    status, out, err = run("merge", *argv, "--output-dir", "out", "--scheduler", client.scheduler.address)
    assert (status, out) == (2, "") and fragment in err and err.count("\n") == 1
    assert not os.path.exists("out")


@pytest.mark.parametrize("names, statuses", [
    # 'crash' kills its worker every time: it fails alone, the others are merged.
    (("a", "crash", "b", "c"), [0, 1, 0, 0]),
    # 'lost' kills its worker once, after writing its output: run again, it replaces that output.
    (("lost", "a", "b"), [0, 0, 0]),
])
def test_a_worker_killed_during_a_batch_on_the_cluster(client, tmp_path, names, statuses):
    for name in names:
        shutil.copy(EXAMPLES / "raw-tables" / "field.npz", tmp_path / f"{name}.npz")
    jobs = [Job(points=str(tmp_path / f"{name}.npz"), output=str(tmp_path / f"{name}-merged.npy"), threads=1)
            for name in names]
    reported = []
    outcomes = run_jobs_on_cluster(jobs, client=client, address=client.scheduler.address,
                                   work=batch_work.run_or_die,
                                   report=lambda index, outcome: reported.append(index))
    assert sorted(reported) == list(range(len(names)))
    assert [o.status for o in outcomes] == statuses
    assert all("worker process died" in o.error for o in outcomes if not o.ok)
    if "lost" in names:
        assert (tmp_path / "lost.npz.ran").exists()  # its worker did die
    assert not (tmp_path / "crash-merged.npy").exists()
    expected = rowmerge.merge(*(raw_tables()[n] for n in ("connected_crop_rows", "points_in_rows",
                                                          "row_information")), tolerance=0.02)
    assert all(np.load(o.output).tobytes() == expected.tobytes() for o in outcomes if o.ok)

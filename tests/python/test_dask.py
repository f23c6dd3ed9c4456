"""rowmerge.dask.merge on a LocalCluster of two worker processes.

Expected values come from ``rowmerge.merge`` on the whole table: the
result must hold the same rows (every column) and, when the partitions are
in table order, each segment's rows in the same order.  The points are
loaded inside the workers (``dask_partitions.load``), so a load can kill its
own worker in the middle of a computation.
"""

from __future__ import annotations

import logging
import os
import subprocess
import sys

import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import dask  # noqa: E402

import dask_partitions  # noqa: E402
import rowmerge  # noqa: E402
import rowmerge.dask  # noqa: E402

pytestmark = pytest.mark.thread_unsafe(reason="starts a cluster of worker processes")

ROWS = len(dask_partitions.field().points_in_rows)
COLUMNS = [*dask_partitions.COLUMNS, "label"]


@pytest.fixture(scope="module")
def client():
    # A task whose worker dies twice fails the computation (KilledWorker).
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=logging.CRITICAL)
    with cluster, distributed.Client(cluster) as connected:
        yield connected


def expected_rows() -> np.ndarray:
    """Row numbers of the surviving points, in result order, from rowmerge.merge on the whole table."""
    field = dask_partitions.field()
    _, index = rowmerge.merge(field.connected_crop_rows, field.points_in_rows, field.row_information,
                              tolerance=field.tolerance, return_index=True)
    return index


def per_segment(frame) -> dict[tuple[float, float], list[int]]:
    """Each segment's row numbers, in the frame's order."""
    rows: dict[tuple[float, float], list[int]] = {}
    for number, crop_row, segment in zip(frame.index, frame["crop_row"], frame["segment"]):
        rows.setdefault((crop_row, segment), []).append(int(number))
    return rows


def assert_merged(result, *, in_table_order=True):
    expected = expected_rows()
    assert list(result.columns) == COLUMNS
    assert sorted(result.index) == sorted(expected.tolist())
    source = dask_partitions.frame()
    assert result.sort_index().equals(source.loc[np.sort(expected)])
    if in_table_order:
        assert per_segment(result) == per_segment(source.loc[expected])


def pieces(bounds, markers=()):
    """Pieces for dask_partitions.load; ``markers`` go to the piece numbered 5."""
    return [(start, stop, tuple(markers) if number == 5 else ())
            for number, (start, stop) in enumerate(bounds)]


def equal_bounds(parts):
    edges = np.linspace(0, ROWS, parts + 1).astype(int)
    return list(zip(edges[:-1], edges[1:]))


def small_tables(layout):
    if layout == "arrays":
        field = dask_partitions.field()
        return field.row_information, field.connected_crop_rows
    return dask_partitions.segments_and_links()


PARTITIONINGS = {
    "one": [(0, ROWS)],
    "eight equal": equal_bounds(8),
    # Uneven, one empty, and cuts that fall inside segments (tile order interleaves them).
    "uneven with an empty one": [(0, 1), (1, 700), (700, 700), (700, 701), (701, 1200),
                                 (1200, ROWS)],
}


@pytest.mark.parametrize("layout", ["arrays", "frames"])
@pytest.mark.parametrize("partitioning", list(PARTITIONINGS))
def test_result_equals_the_whole_table_merge(client, layout, partitioning):
    points = dd.from_map(dask_partitions.load, pieces(PARTITIONINGS[partitioning]))
    segments, links = small_tables(layout)
    merged = rowmerge.dask.merge(points, segments, links, tolerance=dask_partitions.field().tolerance)
    assert merged.npartitions == len(PARTITIONINGS[partitioning])
    assert_merged(merged.compute())


def test_partitions_out_of_table_order_give_the_same_rows(client):
    points = dd.from_map(dask_partitions.load, pieces(equal_bounds(5)[::-1]))
    merged = rowmerge.dask.merge(points, *small_tables("arrays"),
                                 tolerance=dask_partitions.field().tolerance)
    assert_merged(merged.compute(), in_table_order=False)


def test_columns_by_position_and_by_mapping(client):
    source = dask_partitions.frame()
    tolerance = dask_partitions.field().tolerance
    # A frame made from an array (columns 0, 1, 2, ...): its first four columns.
    unnamed = dd.from_pandas(source.set_axis(range(len(source.columns)), axis=1), npartitions=3)
    by_position = rowmerge.dask.merge(unnamed, *small_tables("arrays"), tolerance=tolerance).compute()
    # Named columns in another place and order, mapped to ours.
    moved = source[["label", "confidence", "y", "x", "segment", "crop_row", "seen_at"]].rename(
        columns={"x": "easting", "y": "northing"})
    by_name = rowmerge.dask.merge(dd.from_pandas(moved, npartitions=4), *small_tables("frames"),
                                  tolerance=tolerance,
                                  columns={"x": "easting", "y": "northing"}).compute()
    expected = np.sort(expected_rows())
    assert sorted(by_position.index) == sorted(by_name.index) == expected.tolist()
    assert list(by_name.columns) == list(moved.columns)


def test_a_worker_killed_in_the_middle_is_replaced_and_the_result_is_complete(client, tmp_path):
    points = dd.from_map(dask_partitions.load, pieces(equal_bounds(8), [tmp_path / "killed"]))
    merged = rowmerge.dask.merge(points, *small_tables("arrays"),
                                 tolerance=dask_partitions.field().tolerance)
    assert_merged(merged.compute())
    assert (tmp_path / "killed").exists()  # the worker did die


def test_a_partition_whose_workers_keep_dying_is_an_error_not_a_partial_result(client, tmp_path):
    markers = [tmp_path / "first", tmp_path / "second"]
    points = dd.from_map(dask_partitions.load, pieces(equal_bounds(8), markers))
    merged = rowmerge.dask.merge(points, *small_tables("frames"),
                                 tolerance=dask_partitions.field().tolerance)
    with pytest.raises(distributed.KilledWorker):
        merged.compute()
    assert all(marker.exists() for marker in markers)


def test_tables_are_checked_before_any_partition_runs():
    field = dask_partitions.field()
    points = dd.from_pandas(dask_partitions.frame(), npartitions=2)
    shared = field.connected_crop_rows.copy()
    shared[1, 1:3] = shared[0, 1:3]
    with pytest.raises(ValueError, match=r"groups 0 and 1 of connected_crop_rows share the main "
                                         r"crop row \(1, 1\)"):
        rowmerge.dask.merge(points, field.row_information, shared, tolerance=0.02)
    with pytest.raises(rowmerge.MissingRecordError, match="no record"):
        rowmerge.dask.merge(points, field.row_information[1:], field.connected_crop_rows, tolerance=0.02)
    with pytest.raises(ValueError, match="tolerance"):
        rowmerge.dask.merge(points, field.row_information, field.connected_crop_rows, tolerance=-1.0)
    with pytest.raises(TypeError, match="both be pandas DataFrames .* or both NumPy arrays"):
        rowmerge.dask.merge(points, field.row_information, None, tolerance=0.02)


def test_the_core_package_does_not_load_dask():
    code = ("import sys, rowmerge, rowmerge.dask; "
            "print(sorted(m for m in ('dask', 'distributed', 'pandas', 'pyarrow') if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def test_a_bad_value_in_a_partition_is_named_in_the_users_terms_on_the_client(client):
    import traceback

    source = dask_partitions.frame().rename(columns={"x": "easting"})
    source.loc[700, "crop_row"] = 2.5
    segments, links = small_tables("frames")
    merged = rowmerge.dask.merge(dd.from_pandas(source, npartitions=4), segments, links,
                                 tolerance=dask_partitions.field().tolerance, columns="x=easting")
    with pytest.raises(rowmerge.InvalidValueError) as raised:
        merged.compute()
    assert str(raised.value) == ("points row 700 column 'crop_row' is 2.5: crop-row identifiers must be whole "
                                 "numbers in [0, 2**32)")
    # The worker's side shows the one line that raised it, not the merge's insides.
    ours = [frame for frame in traceback.extract_tb(raised.value.__traceback__) if "rowmerge" in frame.filename]
    assert [frame.name for frame in ours] == ["_merge_partition"]

"""rowmerge.dask.merge keeps each partition's rows group by group.

Within a partition the surviving rows come as rowmerge.merge orders them:
groups in ascending order, each group's rows in table order.  The points
here are in tile order, so the rows of several groups interleave in the
table and table order is not group order.  Expected: rowmerge.merge's row
numbers on the whole table, restricted to the rows of each partition (a
restriction keeps both the group order and the table order within groups).
Run on Dask's synchronous scheduler: the order, not the cluster, is tested.
"""

import numpy as np
import pytest

import rowmerge
from helpers import ONE_DASK_GRAPH_AT_A_TIME
from rowmerge.field import make_field

dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")
pytest.importorskip("rowmerge.dask")
import rowmerge.dask  # noqa: E402

pytestmark = ONE_DASK_GRAPH_AT_A_TIME


@pytest.mark.parametrize("partitions", [1, 3, 7])
def test_each_partition_comes_group_by_group(partitions):
    field = make_field(groups=24, points_per_group=60, segments_per_row=4, seed=5, order="tile")
    table = field.points_in_rows
    points = pd.DataFrame(table[:, :4], columns=["crop_row", "segment", "x", "y"])
    points["n"] = np.arange(len(table), dtype=np.float64)
    _, whole = rowmerge.merge(field.connected_crop_rows, table, field.row_information,
                              tolerance=field.tolerance, return_index=True)
    assert not np.array_equal(whole, np.sort(whole))  # table order is not group order here

    parts = dd.from_pandas(points, npartitions=partitions, sort=True)
    merged = rowmerge.dask.merge(parts, field.row_information, field.connected_crop_rows,
                                 tolerance=field.tolerance)
    assert merged.npartitions == parts.npartitions
    for k in range(parts.npartitions):
        rows = set(parts.partitions[k].compute(scheduler="synchronous").index)
        got = merged.partitions[k].compute(scheduler="synchronous")
        assert got.index.tolist() == [int(i) for i in whole if i in rows]
        assert got["n"].tolist() == got.index.astype(float).tolist()

"""The result array: dtype, shape, strides, flags and its PySliceContainer owner."""

import gc

import numpy as np
import pytest

from helpers import assert_rows, call, expected_result, merge, tables
from reference import reference_batches


def owner_of(array):
    base = array.base
    while isinstance(base, np.ndarray):
        base = base.base
    return base


def test_result_with_points():
    result = call()
    assert type(result) is np.ndarray
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.shape == (3, 5)
    assert result.strides == (40, 8)
    assert result.flags.writeable
    assert not result.flags.owndata
    assert result.flags.c_contiguous
    assert result.flags.aligned
    assert type(result.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("columns", [5, 1])
def test_empty_result(columns):
    points = tables()[1][:, :columns] if columns >= 4 else np.zeros((0, columns))
    result = call(connected_crop_rows=np.zeros((0, 4)), points_in_rows=points)
    assert result.shape == (0, columns)
    assert result.strides == (0, 0)
    assert result.dtype == np.float64
    assert result.flags.writeable
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    assert result.ctypes.data != 0
    assert result.sum() == 0.0


def test_owner_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        type(call().base)()


def test_results_are_independent():
    first = call()
    second = call()
    first[...] = -1.0
    np.testing.assert_array_equal(second, expected_result(tables()[1]))
    assert first.ctypes.data != second.ctypes.data


def test_views_keep_buffer_alive():
    result = call()
    owner = result.base
    view = result[1:, ::2]
    column = result.T[0]
    del result
    gc.collect()
    # Churn the allocator so that a freed buffer would likely be reused.
    junk = [call() for _ in range(20)]
    del junk
    expected = expected_result(tables()[1])
    np.testing.assert_array_equal(view, expected[1:, ::2])
    np.testing.assert_array_equal(column, expected[:, 0])
    assert owner_of(view) is owner
    view[0, 0] = 123.0
    assert column[1] == 123.0


@pytest.mark.parametrize("group_order", ["as in the table", "reversed"])
def test_same_rows_in_group_order_for_every_worker_count(group_order):
    # Enough point rows for the pool to split the table into slices. With
    # the groups in the order of their points the surviving rows are moved
    # down inside the call's copy of points_in_rows; reversed, they are
    # copied out of it.  Either way the groups follow the table's order.
    from rowmerge.field import make_field

    field = make_field(groups=8, points_per_group=9000, point_columns=7, seed=3)
    groups, points = field.connected_crop_rows, field.points_in_rows
    batches = reference_batches(groups, points, field.row_information, field.tolerance)
    if group_order == "reversed":
        groups, batches = groups[::-1], batches[::-1]
    expected = np.array([row for batch in batches for row in batch]).reshape(-1, points.shape[1])
    assert len(points) > 2**16 and 0 < len(expected) < len(points)
    points_before = points.tobytes()
    for workers in (1, 2, 3, 8, 0):
        assert_rows(merge(groups, points, field.row_information, field.tolerance, workers), expected)
    assert points.tobytes() == points_before

"""The result array: dtype, shape, strides, flags and its PySliceContainer owner."""

import gc

import numpy as np
import pytest

from conftest import call, expected_result, merge, tables


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
def test_same_result_for_every_worker_count(group_order):
    # Large enough for the groups to run on the pool. With the groups in
    # table order the surviving rows are moved down inside the copy of
    # points_in_rows; reversed, they are copied out of it.
    from rowmerge.field import make_field

    field = make_field("field_medium", seed=3)
    groups = field.connected_crop_rows
    if group_order == "reversed":
        groups = groups[::-1]
    points_before = field.points_in_rows.tobytes()
    results = [
        merge(groups, field.points_in_rows, field.row_information, field.tolerance, workers)
        for workers in (1, 2, 3, 0)
    ]
    for result in results:
        assert result.shape == results[0].shape
        assert result.tobytes() == results[0].tobytes()
    assert field.points_in_rows.tobytes() == points_before
    assert 0 < results[0].shape[0] < field.points_in_rows.shape[0]
    if group_order == "reversed":
        in_order = merge(field.connected_crop_rows, field.points_in_rows, field.row_information,
                         field.tolerance, 2)
        assert sorted(map(bytes, in_order)) == sorted(map(bytes, results[0]))
        assert in_order.tobytes() != results[0].tobytes()

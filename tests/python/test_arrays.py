"""Acceptance of the three tables and their copies for every memory layout."""

import copy
import pickle
import sys

import numpy as np
import pytest

from helpers import call, expected_result, merge, tables

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")


class Table(np.ndarray):
    pass


def refused(value, index):
    args = list(tables())
    args[index] = value
    with pytest.raises(TypeError) as info:
        merge(*args, 0.1, 1)
    assert info.value.__notes__ == [f"while processing '{TABLES[index]}'"]
    return str(info.value)


NDARRAY_TEXT = "'ndarray' object is not an instance of 'ndarray'"


@pytest.mark.parametrize("index", range(3))
@pytest.mark.parametrize(
    "dtype", [np.float32, np.float16, np.longdouble, np.int64, np.bool_, np.complex128, object, ">f8"]
)
def test_wrong_dtype_refused(dtype, index):
    with np.errstate(invalid="ignore"):
        value = tables()[index].astype(dtype)
    assert refused(value, index) == NDARRAY_TEXT


def with_equivalent_dtype(array, kind):
    """`array` with a native float64 dtype that, but for the two spelt by
    hand, is not NumPy's own float64 descriptor object."""
    if kind == "pickled":
        return pickle.loads(pickle.dumps(array))
    if kind == "metadata":
        return array.view(np.dtype("float64", metadata={"unit": "m"}))
    if kind == "native_order":
        return array.view(np.dtype(np.float64).newbyteorder("="))
    if kind == "deep_copied":
        return array.view(copy.deepcopy(np.dtype(np.float64)))
    return array.view(np.dtype(kind))


@pytest.mark.parametrize("index", range(3))
@pytest.mark.parametrize("kind", ["pickled", "metadata", "native_order", "deep_copied", "<f8", "d"])
def test_equivalent_float64_dtype_accepted(kind, index):
    args = list(tables())
    args[index] = with_equivalent_dtype(args[index], kind)
    assert args[index].dtype == np.float64
    assert (args[index].dtype is np.dtype(np.float64)) == (kind in ("<f8", "d"))
    result = merge(*args, 0.1, 1)
    assert type(result) is np.ndarray and result.dtype == np.float64
    np.testing.assert_array_equal(result, expected_result(tables()[1]))


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (np.zeros(4), NDARRAY_TEXT),
        (np.zeros((1, 2, 4)), NDARRAY_TEXT),
        (np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
        ([[1.0, 2.0]], "'list' object is not an instance of 'ndarray'"),
        (((1.0,),), "'tuple' object is not an instance of 'ndarray'"),
        (None, "'None' is not an instance of 'ndarray'"),
        (memoryview(np.zeros((2, 2))), "'memoryview' object is not an instance of 'ndarray'"),
        (np.zeros((2, 2), np.float32).view(Table), "'Table' object is not an instance of 'ndarray'"),
        (np.ma.masked_array(np.zeros((2, 2), np.int32)), "'MaskedArray' object is not an instance of 'ndarray'"),
    ],
)
def test_refusal_texts(value, text):
    assert refused(value, 1) == text


class Wrapper:
    def __array__(self, dtype=None, copy=None):
        return tables()[0]


def test_object_with_array_interface_is_not_converted():
    assert refused(Wrapper(), 0) == "'Wrapper' object is not an instance of 'ndarray'"


def layouts(array):
    """Views with the values of `array` but other memory layouts."""
    rows, cols = array.shape
    unaligned_bytes = np.zeros(array.size * 8 + 1, np.uint8)
    unaligned = unaligned_bytes[1:].view(np.float64).reshape(array.shape)
    unaligned[...] = array
    packed = np.zeros(array.shape, dtype=np.dtype([("tag", "u1"), ("value", "<f8")]))
    packed["value"] = array
    stepped = np.zeros((rows * 3, cols * 2))
    stepped[::3, ::2] = array
    reversed_source = np.ascontiguousarray(array[::-1, ::-1])
    read_only = array.copy()
    read_only.setflags(write=False)
    return {
        "fortran": np.asfortranarray(array),
        "transposed": np.ascontiguousarray(array.T).T,
        "stepped": stepped[::3, ::2],
        "reversed": reversed_source[::-1, ::-1],
        "read_only": read_only,
        "subclass": array.copy().view(Table),
        "unaligned": unaligned,
        "packed_field": packed["value"],
    }


@pytest.mark.parametrize("index", range(3))
@pytest.mark.parametrize("layout", list(layouts(tables()[0])))
def test_layouts_read_in_logical_order(layout, index):
    args = list(tables())
    view = layouts(args[index])[layout]
    np.testing.assert_array_equal(view, args[index])
    args[index] = view
    result = merge(*args, 0.1, 1)
    np.testing.assert_array_equal(result, expected_result(tables()[1]))


def test_layout_cases_are_what_they_claim():
    views = layouts(tables()[1])
    assert not views["unaligned"].flags.aligned
    assert views["packed_field"].strides == (45, 9)
    assert views["reversed"].strides[0] < 0 and views["reversed"].strides[1] < 0
    assert not views["read_only"].flags.writeable


def test_odd_explicit_strides_read_true_offsets():
    # Byte strides 68 and 12 at an odd offset; the gaps hold NaN bytes, so
    # reading anything but the elements themselves would show.
    table = tables()[1]
    buffer = bytearray(b"\xff" * 320)
    odd = np.ndarray(table.shape, np.float64, buffer, offset=4, strides=(68, 12))
    odd[...] = table
    assert odd.strides == (68, 12)
    result = call(points_in_rows=odd)
    np.testing.assert_array_equal(result, expected_result(table))


def test_zero_stride_broadcast():
    row = np.array([1.0, 1, 0.5, 0.25, 7])
    points = np.broadcast_to(row, (3, 5))
    assert points.strides == (0, 8)
    result = call(connected_crop_rows=np.array([[0.0, 1, 1, np.nan]]), points_in_rows=points)
    np.testing.assert_array_equal(result, np.array(points))


def test_same_array_for_several_tables():
    # One table can serve as all three: group (1, 1), point of row (1, 1), record (1, 1).
    table = np.array([[1.0, 1, 1, 0, 1, 0, 0, 1, 1, 2, 2]])
    table[0, 3] = np.nan
    before = table.copy()
    result = merge(table, table, table, 0.1, 1)
    np.testing.assert_array_equal(result, before)
    np.testing.assert_array_equal(table, before)


@pytest.mark.parametrize("shape", [(0, 4), (0, 0)])
def test_empty_connected_crop_rows(shape):
    result = call(connected_crop_rows=np.zeros(shape))
    assert result.shape == (0, 5)


@pytest.mark.parametrize("columns", [5, 0])
def test_empty_points_table(columns):
    # No row is read, so none of its columns is missing.
    result = call(points_in_rows=np.zeros((0, columns)))
    assert result.shape == (0, columns)


def test_inputs_unchanged():
    args = tables()
    snapshots = [a.copy() for a in args]
    flags = [a.flags.writeable for a in args]
    merge(*args, 0.1, 1)
    for array, snapshot, writeable in zip(args, snapshots, flags):
        np.testing.assert_array_equal(array, snapshot)
        assert array.flags.writeable == writeable


def refcounts(arrays):
    return [sys.getrefcount(a) for a in arrays]


@pytest.mark.parametrize(
    "failure, outcome",
    [
        ("success", None),
        ("bad_points", (TypeError, NDARRAY_TEXT, "points_in_rows")),
        ("bad_info", (TypeError, "'list' object is not an instance of 'ndarray'", "row_information")),
        ("bad_tolerance", (TypeError, None, "tolerance")),
        ("bad_num_threads", (OverflowError, None, "num_threads")),
        ("native_failure", ("panic", "ndarray: index out of bounds", None)),
        ("memory", (MemoryError, None, None)),
    ],
)
def test_reference_counts_restored(failure, outcome, panic_exception):
    ccr, pir, ri = tables()
    arrays = [ccr, pir, ri]
    before = refcounts(arrays)
    args = [ccr, pir, ri, 0.1, 1]
    if failure == "bad_points":
        args[1] = pir.astype(np.float32)
    elif failure == "bad_info":
        args[2] = [[1.0]]
    elif failure == "bad_tolerance":
        args[3] = "x"
    elif failure == "bad_num_threads":
        args[4] = -1
    elif failure == "native_failure":
        args[2] = ri[:, :3]
    elif failure == "memory":
        args[2] = np.broadcast_to(np.zeros(11), (2**55, 11))
    if outcome is None:
        np.testing.assert_array_equal(merge(*args), expected_result(pir))
    else:
        kind, text, parameter = outcome
        kind = panic_exception if kind == "panic" else kind
        with pytest.raises(BaseException) as info:
            merge(*args)
        assert type(info.value) is kind
        if text is not None:
            assert str(info.value) == text
        assert getattr(info.value, "__notes__", None) == (
            None if parameter is None else [f"while processing '{parameter}'"]
        )
        del info
    del args
    assert refcounts(arrays) == before

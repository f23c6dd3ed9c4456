"""Module attributes, argument binding and the conversion of tolerance and num_threads."""

import inspect
import sys

import numpy as np
import pytest

import _native
from helpers import call, expected_result, merge, tables

PARAMS = ("connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads")


def test_module_attributes():
    assert _native.__all__ == ["merge_points_removing_overlap"]
    assert _native.__doc__ == ""
    assert type(merge).__name__ == "builtin_function_or_method"
    assert merge.__self__ is _native
    assert merge.__module__ == _native.__name__
    assert merge.__doc__ is None
    assert merge.__text_signature__ == "(" + ", ".join(PARAMS) + ")"
    signature = inspect.signature(merge)
    assert tuple(signature.parameters) == PARAMS
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in signature.parameters.values()
    )


@pytest.mark.parametrize(
    ("count", "message"),
    [
        (0, "missing 5 required positional arguments: 'connected_crop_rows', 'points_in_rows', "
            "'row_information', 'tolerance', and 'num_threads'"),
        (2, "missing 3 required positional arguments: 'row_information', 'tolerance', and 'num_threads'"),
        (3, "missing 2 required positional arguments: 'tolerance' and 'num_threads'"),
        (4, "missing 1 required positional argument: 'num_threads'"),
    ],
)
def test_missing_positional(count, message):
    args = (*tables(), 0.1, 1)[:count]
    with pytest.raises(TypeError) as info:
        merge(*args)
    assert str(info.value) == "merge_points_removing_overlap() " + message
    assert not hasattr(info.value, "__notes__")


def test_missing_lists_only_unfilled_parameters():
    ccr, _, _ = tables()
    with pytest.raises(TypeError, match=r"^merge_points_removing_overlap\(\) missing 3 required positional "
                       r"arguments: 'points_in_rows', 'row_information', and 'num_threads'$"):
        merge(ccr, tolerance=0.1)


def test_too_many_positional_ignores_keywords():
    with pytest.raises(TypeError) as info:
        merge(*tables(), 0.1, 1, None, bogus=1)
    assert str(info.value) == "merge_points_removing_overlap() takes 5 positional arguments but 6 were given"


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"tolerance": 0.2}, "got multiple values for argument 'tolerance'"),
        ({"connected_crop_rows": None}, "got multiple values for argument 'connected_crop_rows'"),
        ({"Tolerance": 0.2}, "got an unexpected keyword argument 'Tolerance'"),
        # The first bad keyword decides, in call order.
        ({"zzz": 1, "tolerance": 0.2}, "got an unexpected keyword argument 'zzz'"),
        ({"tolerance": 0.2, "zzz": 1}, "got multiple values for argument 'tolerance'"),
    ],
)
def test_keyword_errors_with_five_positional(kwargs, message):
    with pytest.raises(TypeError) as info:
        merge(*tables(), 0.1, 1, **kwargs)
    assert str(info.value) == "merge_points_removing_overlap() " + message


def test_misspelt_keyword_beats_missing_parameter():
    with pytest.raises(TypeError) as info:
        merge(*tables(), 0.1, num_thread=4)
    assert str(info.value) == "merge_points_removing_overlap() got an unexpected keyword argument 'num_thread'"


def test_keyword_that_cannot_be_encoded():
    name = "bad\udcffname"
    with pytest.raises(TypeError) as info:
        merge(*tables(), 0.1, 1, **{name: 1})
    assert str(info.value) == f"merge_points_removing_overlap() got an unexpected keyword argument '{name}'"


@pytest.mark.parametrize("order", [PARAMS, tuple(reversed(PARAMS)), PARAMS[2:] + PARAMS[:2]])
def test_all_keywords_in_any_order(order):
    values = dict(zip(PARAMS, (*tables(), 0.1, 1)))
    result = merge(**{name: values[name] for name in order})
    np.testing.assert_array_equal(result, expected_result(tables()[1]))


class WithFloat:
    def __float__(self):
        return 0.25


class WithIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatSubclass(float):
    pass


@pytest.mark.parametrize(
    "tolerance",
    [0.1, -1.0, float("nan"), 1, True, np.float64(0.5), np.float32(0.5), np.int64(3),
     FloatSubclass(0.1), WithFloat(), WithIndex(2)],
)
def test_tolerance_accepted(tolerance):
    np.testing.assert_array_equal(call(tolerance=tolerance), expected_result(tables()[1]))


@pytest.mark.parametrize("num_threads", [0, 1, 2, True, np.int64(2), np.uint8(3), WithIndex(2), 10**3])
def test_num_threads_accepted(num_threads):
    np.testing.assert_array_equal(call(num_threads=num_threads), expected_result(tables()[1]))


class RaisingFloat:
    def __float__(self):
        raise ValueError("no float here")


@pytest.mark.parametrize(
    ("parameter", "value", "error"),
    [
        ("tolerance", "0.1", TypeError),
        ("tolerance", None, TypeError),
        ("tolerance", RaisingFloat(), ValueError),
        ("tolerance", 10**400, OverflowError),
        ("num_threads", 2.0, TypeError),
        ("num_threads", np.float64(2), TypeError),
        ("num_threads", "2", TypeError),
        ("num_threads", -1, OverflowError),
        ("num_threads", WithIndex(-5), OverflowError),
        ("num_threads", 2**64, OverflowError),
    ],
)
def test_conversion_errors_keep_type_and_get_note(parameter, value, error):
    with pytest.raises(error) as info:
        call(**{parameter: value})
    assert type(info.value) is error
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.skipif(sys.maxsize >= 2**32, reason="narrowing only fails on 32-bit machines")
def test_num_threads_above_word_size():
    with pytest.raises(OverflowError) as info:
        call(num_threads=2**32)
    assert str(info.value) == "out of range integral type conversion attempted"
    assert info.value.__notes__ == ["while processing 'num_threads'"]


def test_only_first_failing_argument_is_reported():
    with pytest.raises(TypeError) as info:
        call(points_in_rows=[[1.0]], tolerance="bad")
    assert info.value.__notes__ == ["while processing 'points_in_rows'"]


def test_export_hook_slot_table():
    import ctypes
    import struct

    library = ctypes.PyDLL(_native.__file__)
    if not hasattr(library, "PyModExport__native"):
        assert sys.version_info < (3, 15)
        pytest.skip("the export hook exists from CPython 3.15 on")
    library.PyModExport__native.restype = ctypes.c_void_p
    table = library.PyModExport__native()
    records = [struct.unpack("<HHIQ", ctypes.string_at(table + 16 * i, 16)) for i in range(6)]
    assert [(r[0], r[1], r[2]) for r in records] == [
        (0x55, 0x0000, 0),  # exec
        (0x6D, 0x0002, 0),  # ABI record
        (0x57, 0x0004, 0),  # GIL not used
        (0x64, 0x0002, 0),  # name
        (0x65, 0x0002, 0),  # doc
        (0, 0, 0),
    ]
    assert records[2][3] == 1
    assert records[5][3] == 0
    assert ctypes.string_at(records[3][3]) == b"_native"
    assert ctypes.string_at(records[4][3]) == b""
    major, minor, flags, build_version, abi_version = struct.unpack("<BBHII", ctypes.string_at(records[1][3], 12))
    free_threaded = "t" in sys.abiflags
    assert (major, minor, build_version, abi_version) == (1, 0, 0, 0)
    assert flags == (0x0004 if free_threaded else 0x0002)

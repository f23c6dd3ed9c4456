"""Hostile input: huge and storage-less shapes, argument objects whose
conversions raise, mutate the tables or call the module again, keyword names
that are not valid UTF-8, and ndarray subclasses that override what they can.

Nothing may crash, leak or write to an input.  The call converts all five
arguments before it copies the tables, so what a conversion does to a table
is visible to the call; the copy reads each table's extents, strides and data
as they are at copy time.
"""

import contextlib
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from helpers import address_sanitizer_loaded, assert_rows, call, expected_result, merge, reference_array, run_python, tables

EXPECTED = expected_result(tables()[1])


def state(array):
    """Everything about an array that a call could change.  Of a huge
    zero-stride view only the description: its one value is checked through
    the array it views."""
    values = array.tobytes() if array.nbytes < 2**26 else array.__array_interface__["data"]
    return array.shape, array.strides, array.dtype, array.flags.writeable, values


@contextlib.contextmanager
def untouched(*objects):
    """Checks that the block leaves the arrays among `objects` bitwise
    unchanged and the reference counts of all `objects` as they were."""
    arrays = [o for o in objects if isinstance(o, np.ndarray)]
    before = [state(a) for a in arrays]
    counts = [sys.getrefcount(o) for o in objects]
    yield
    assert [state(a) for a in arrays] == before
    assert [sys.getrefcount(o) for o in objects] == counts


def zero_stride(shape, value=None):
    """A float64 array of any shape NumPy accepts, all its elements the one
    element of `value` (a new one-element array when not given)."""
    return as_strided(np.zeros(1) if value is None else value, shape=shape, strides=(0, 0))


# ---------------------------------------------------------------------------
# Shapes


@pytest.mark.parametrize("index", range(3))
@pytest.mark.parametrize(
    "shape",
    # Just below NumPy's own limit of 2**63 bytes per array, and far beyond
    # any address space, so no overcommit setting lets the copy succeed.
    [(2**60 - 1, 1), (1, 2**60 - 1), (2**30, 2**30 - 1), (2**59 - 1, 2), (2**52, 11)],
)
def test_zero_stride_tables_too_big_to_copy(index, shape):
    args = list(tables())
    value = np.array([1.5])
    args[index] = zero_stride(shape, value)
    with untouched(*args, value):
        with pytest.raises(MemoryError):
            merge(*args, 0.1, 1)
    np.testing.assert_array_equal(call(), EXPECTED)


@pytest.mark.parametrize(
    ("index", "shape", "outcome"),
    [
        # Tables without storage but with a huge extent: nothing to copy.
        (0, (0, 2**60 - 1), (0, 5)),
        (1, (0, 2**60 - 1), (0, 2**60 - 1)),
        (2, (0, 2**60 - 1), "called `Option::unwrap()` on a `None` value"),
        (1, (2**60 - 1, 0), "ndarray: index out of bounds"),
        (2, (2**60 - 1, 0), "ndarray: index out of bounds"),
    ],
)
def test_storage_less_tables_with_huge_extents(index, shape, outcome, panic_exception):
    args = list(tables())
    value = np.array([1.5])
    args[index] = zero_stride(shape, value)
    with untouched(*args, value):
        if isinstance(outcome, tuple):
            result = merge(*args, 0.1, 1)
            assert result.shape == outcome and result.dtype == np.float64
        else:
            with pytest.raises(panic_exception) as info:
                merge(*args, 0.1, 1)
            assert str(info.value) == outcome


@pytest.mark.parametrize(
    "rows",
    [
        2**40,
        2**60 - 1,
    ],
)
def test_many_groups_without_columns(rows):
    # Every group would fail on its missing columns, but so many groups
    # cannot even be planned: the caller gets MemoryError, as for a table
    # too big to copy, and the next call works.
    args = list(tables())
    args[0] = zero_stride((rows, 0))
    with pytest.raises(MemoryError):
        merge(*args, 0.1, 1)
    np.testing.assert_array_equal(call(), EXPECTED)


@pytest.mark.skipif(address_sanitizer_loaded(),
                    reason="AddressSanitizer's shadow memory leaves no room under an address-space limit")
def test_result_too_big_under_address_space_limit():
    # 4096 groups all naming the crop row of 2**16 broadcast points: the
    # result would hold 2**28 rows (8 GiB).  Under a 2 GiB address-space limit
    # the engine runs out of memory on a pool worker or while stacking; the
    # caller gets MemoryError and the process goes on working.
    result = run_python(textwrap.dedent("""
        import resource
        import numpy as np
        import _native
        merge = _native.merge_points_removing_overlap
        resource.setrlimit(resource.RLIMIT_AS, (2 * 2**30, 2 * 2**30))
        groups = np.broadcast_to(np.array([0.0, 1, 1, np.nan]), (4096, 4))
        points = np.broadcast_to(np.array([1.0, 1, 0.5, 0.5]), (2**16, 4))
        records = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])
        for num_threads in (1, 2):
            try:
                merge(groups, points, records, 0.1, num_threads)
                print("no error")
            except BaseException as error:
                print(type(error).__name__)
        print(merge(groups[:2], points[:3], records, 0.1, 2).shape)
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == ["MemoryError", "MemoryError", "(6, 4)", ""]


# ---------------------------------------------------------------------------
# Conversions that raise


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __index__(self):
        raise self.error


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("parameter", ["tolerance", "num_threads"])
@pytest.mark.parametrize(
    "error_type", [ValueError, KeyboardInterrupt, SystemExit, MemoryError, Interrupt, RecursionError]
)
def test_conversion_exception_passes_through_with_note(parameter, error_type):
    args = list(tables())
    error = error_type("raised by a conversion")
    hostile = Raising(error)
    with untouched(*args, hostile):
        with pytest.raises(error_type) as info:
            call(*args, **{parameter: hostile})
        assert info.value is error
        assert error.__notes__ == [f"while processing '{parameter}'"]
        # The traceback holds the frame of the raising conversion, and so
        # `hostile`; drop it before reference counts are compared.
        del info
        error.__traceback__ = None


class WrongReturn:
    def __float__(self):
        return "0.1"

    def __index__(self):
        return 2.0


@pytest.mark.parametrize("parameter", ["tolerance", "num_threads"])
def test_conversion_returning_wrong_type(parameter):
    # The interpreter's own TypeError (its wording changes between versions),
    # with the note.
    with pytest.raises(TypeError, match=r"__(float|index)__.*(float|int)") as info:
        call(**{parameter: WrongReturn()})
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


# ---------------------------------------------------------------------------
# Conversions that change the tables or drop references to them


class Hook:
    """Runs `action` when the module converts it, then gives `value`."""

    def __init__(self, action, value):
        self.action = action
        self.value = value
        self.runs = 0

    def __float__(self):
        self.runs += 1
        self.action()
        return float(self.value)

    def __index__(self):
        self.runs += 1
        self.action()
        return int(self.value)


def test_write_by_tolerance_conversion_is_seen():
    groups, points, records = tables()
    changed = points.copy()
    changed[:, 4] = [20, 21, 22, 23]
    changed[2, :2] = 2.0  # moves a point from crop row 1 to crop row 2

    def rewrite():
        points[...] = changed

    result = merge(groups, points, records, Hook(rewrite, 0.1), 1)
    np.testing.assert_array_equal(result, changed[[0, 1, 2]])
    np.testing.assert_array_equal(points, changed)  # the call itself wrote nothing


@pytest.mark.parametrize("rows", [0, 2, 4, 9])
def test_resize_by_num_threads_conversion_is_seen(rows):
    groups, points, records = tables()
    points = points.copy()  # owns its data, so it can be resized
    original = points.copy()

    def resize():
        points.resize((rows, 5), refcheck=False)

    result = merge(groups, points, records, 0.1, Hook(resize, 1))
    resized = np.zeros((rows, 5))
    resized[: min(rows, 4)] = original[: min(rows, 4)]
    np.testing.assert_array_equal(points, resized)
    assert_rows(result, reference_array(groups, resized, records, 0.1))


def test_reshape_by_conversion_is_seen():
    groups, _, records = tables()
    # Two points of crop row (1, 1); after the reshape, one point of 10 values.
    points = np.array([[1.0, 1, 0.5, 0.5, 10], [1.0, 1, 0.7, 0.1, 12]])

    def reshape():
        points.shape = (1, 10)

    result = merge(groups[:1], points, records, Hook(reshape, 0.1), 1)
    np.testing.assert_array_equal(result, points)
    assert result.shape == (1, 10)


def test_references_dropped_by_conversion():
    # The call holds its own reference to every table, so dropping all the
    # caller's other references mid-call changes nothing; afterwards the
    # tables are freed.
    holder = {"tables": list(tables())}
    refs = [weakref.ref(a) for a in holder["tables"]]

    def drop():
        holder.clear()

    result = merge(*holder["tables"], Hook(drop, 0.1), 1)
    np.testing.assert_array_equal(result, EXPECTED)
    assert holder == {}
    assert all(ref() is None for ref in refs)


def test_frozen_by_conversion():
    args = list(tables())

    def freeze():
        for array in args:
            array.setflags(write=False)

    np.testing.assert_array_equal(merge(*args, Hook(freeze, 0.1), 1), EXPECTED)


def test_converted_object_is_freed():
    hook = Hook(lambda: None, 0.1)
    refs = weakref.ref(hook)
    np.testing.assert_array_equal(call(tolerance=hook), EXPECTED)
    assert hook.runs == 1
    del hook
    assert refs() is None


# Changes that leave a table no longer a 2-D float64 table.  They run in a
# child process, since a crash must fail the test, not end the test run.
METADATA_CHANGES = {
    # 1-D: the table has no second extent and stride any more.
    "one_dimensional": "points.shape = (points.size,)",
    # 1-byte elements: the table now has 8 times as many, 8 times smaller.
    "uint8_dtype": "points.dtype = np.uint8",
    "float32_dtype": "points.dtype = np.float32",
    "three_dimensional": "points.shape = (1,) + points.shape",
}


@pytest.mark.parametrize(
    "change",
    [
        "one_dimensional",
        "uint8_dtype",
        "float32_dtype",
        "three_dimensional",
    ],
)
@pytest.mark.parametrize("parameter", ["tolerance", "num_threads"])
def test_table_metadata_changed_by_conversion(change, parameter):
    # The table ends exactly at an inaccessible page, so reading one byte past
    # it faults.  The table's bytes stay as they were.
    result = run_python(textwrap.dedent(f"""
        import ctypes, mmap
        import numpy as np
        import _native
        page = mmap.PAGESIZE
        memory = mmap.mmap(-1, 2 * page)
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        start = ctypes.addressof(ctypes.c_char.from_buffer(memory))
        assert libc.mprotect(start + page, page, 0) == 0
        points = np.frombuffer(memory, dtype=np.float64, count=page // 8).reshape(-1, 4)
        points[:, :2] = 1.0
        before = points.tobytes()
        groups = np.array([[0.0, 1, 1, np.nan]])
        records = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])

        class Hostile:
            def __float__(self):
                {METADATA_CHANGES[change]}
                return 0.1

            def __index__(self):
                {METADATA_CHANGES[change]}
                return 1

        arguments = [groups, points, records, 0.1, 1]
        arguments[{3 if parameter == "tolerance" else 4}] = Hostile()
        try:
            result = _native.merge_points_removing_overlap(*arguments)
            print("result", result.shape)
        except BaseException as error:
            print("raised", type(error).__name__, str(error), getattr(error, "__notes__", None))
        assert points.tobytes() == before
        print("done")
    """))
    assert result.returncode == 0, result.stderr[-2000:]
    # The tables are checked again after the conversions: one that is no
    # longer a 2-D float64 table is refused like a wrong table argument.
    assert result.stdout.splitlines() == [
        "raised TypeError 'ndarray' object is not an instance of 'ndarray' "
        "[\"while processing 'points_in_rows'\"]",
        "done",
    ]


# ---------------------------------------------------------------------------
# Conversions that call the module again


def test_reentrant_call_from_tolerance():
    args = list(tables())
    inner = []

    def again():
        inner.append(merge(*args, 0.1, 2))

    with untouched(*args):
        result = merge(*args, Hook(again, 0.1), Hook(again, 1))
    assert len(inner) == 2
    for array in [result, *inner]:
        np.testing.assert_array_equal(array, EXPECTED)


def test_reentrant_call_from_another_thread_while_converting():
    # The conversion waits for a second thread that calls the module: the
    # first call is converting its arguments meanwhile.
    args = list(tables())
    inner = []

    def in_thread():
        thread = threading.Thread(target=lambda: inner.append(merge(*args, 0.1, 2)))
        thread.start()
        thread.join(60)
        assert not thread.is_alive()

    result = merge(*args, 0.1, Hook(in_thread, 2))
    np.testing.assert_array_equal(result, EXPECTED)
    np.testing.assert_array_equal(inner[0], EXPECTED)


def test_reentrant_argument_error_passes_through():
    args = list(tables())

    def failing():
        merge(args[0], [[1.0]], args[2], 0.1, 1)

    with pytest.raises(TypeError) as info:
        merge(*args, Hook(failing, 0.1), 1)
    assert info.value.__notes__ == ["while processing 'points_in_rows'", "while processing 'tolerance'"]


def test_reentrant_native_failure_is_resumed(panic_exception):
    args = list(tables())

    def failing():
        merge(np.zeros((1, 1)), args[1], args[2], 0.1, 1)

    with pytest.raises(BaseException) as info:
        merge(*args, 0.1, Hook(failing, 1))
    assert type(info.value) is panic_exception
    assert str(info.value) == "ndarray: index out of bounds"
    assert not hasattr(info.value, "__notes__")


def test_reentrant_caught_failure_leaves_outer_call_intact(panic_exception):
    args = list(tables())
    caught = []

    def failing_quietly():
        for bad in ([[1.0]], np.zeros((1, 1))):
            try:
                merge(bad, args[1], args[2], 0.1, 1)
            except BaseException as error:  # noqa: BLE001 - both kinds are wanted
                caught.append(type(error))

    np.testing.assert_array_equal(merge(*args, Hook(failing_quietly, 0.1), 1), EXPECTED)
    assert caught == [TypeError, panic_exception]


# ---------------------------------------------------------------------------
# Keyword names


class Name(str):
    """A str subclass with an equality that matches everything."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return 0


@pytest.mark.parametrize("name", ["\udc80", "tolerance\udc80", "\ud800num_threads", "x\udfff\udc00y"])
@pytest.mark.parametrize("positional", [5, 3])
def test_keyword_names_that_are_not_utf8(name, positional):
    name = (name + "!")[:-1]  # a str of this test's own, for its reference count
    args = (*tables(), 0.1, 1)
    kwargs = {name: 1}
    if positional == 3:
        # Valid keywords before the bad one are bound first.
        kwargs = {"tolerance": 0.1, name: 1, "num_threads": 1}
    with untouched(*args[:3], name):
        with pytest.raises(TypeError) as info:
            merge(*args[:positional], **kwargs)
        assert str(info.value) == f"merge_points_removing_overlap() got an unexpected keyword argument '{name}'"
        assert not hasattr(info.value, "__notes__")
        del info


def test_keyword_names_match_by_text():
    # A str subclass matches the parameter its text spells, whatever its __eq__.
    result = merge(*tables(), **{Name("tolerance"): 0.1, "num_threads": 1})
    np.testing.assert_array_equal(result, EXPECTED)
    with pytest.raises(TypeError, match="unexpected keyword argument 'tolerancE'"):
        merge(*tables(), **{Name("tolerancE"): 0.1, "num_threads": 1})


# ---------------------------------------------------------------------------
# ndarray subclasses


def overriding_class():
    """A subclass that overrides every Python-level attribute describing the
    array; each override records that it ran, and lies.  One class per test,
    so that tests running at once keep separate records."""

    class Overriding(np.ndarray):
        log = []

        def __array_finalize__(self, obj):
            Overriding.log.append("__array_finalize__")

        def __array__(self, *args, **kwargs):
            Overriding.log.append("__array__")
            raise RuntimeError("__array__ called")

        def __array_function__(self, *args, **kwargs):
            Overriding.log.append("__array_function__")
            raise RuntimeError("__array_function__ called")

        def __array_ufunc__(self, *args, **kwargs):
            Overriding.log.append("__array_ufunc__")
            raise RuntimeError("__array_ufunc__ called")

        def __getitem__(self, key):
            Overriding.log.append("__getitem__")
            raise RuntimeError("__getitem__ called")

        def __len__(self):
            Overriding.log.append("__len__")
            return 0

        def __getattribute__(self, name):
            Overriding.log.append(name)
            if name in ("shape", "strides", "dtype", "ndim", "data", "flags", "base", "size"):
                raise RuntimeError(f"{name} read")
            return super().__getattribute__(name)

    return Overriding


class LyingDtype(np.ndarray):
    @property
    def dtype(self):
        return np.dtype(np.float64)


@pytest.mark.parametrize("index", range(3))
def test_subclass_overrides_are_not_used(index):
    args = list(tables())
    plain = args[index]
    Overriding = overriding_class()
    args[index] = plain.view(Overriding)
    Overriding.log.clear()
    result = merge(*args, 0.1, 1)
    assert Overriding.log == []
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, EXPECTED)
    assert args[index].__array_interface__["data"][0] == plain.ctypes.data
    assert plain.tobytes() == tables()[index].tobytes()


def test_subclass_lying_about_dtype_is_refused():
    args = list(tables())
    args[1] = args[1].astype(np.float32).view(LyingDtype)
    assert args[1].dtype == np.float64  # what Python code sees
    with pytest.raises(TypeError) as info:
        merge(*args, 0.1, 1)
    assert str(info.value) == "'LyingDtype' object is not an instance of 'ndarray'"
    assert info.value.__notes__ == ["while processing 'points_in_rows'"]


def test_library_subclasses_read_as_plain_arrays(tmp_path):
    groups, points, records = tables()
    mapped = np.memmap(tmp_path / "points.bin", dtype=np.float64, mode="w+", shape=points.shape)
    mapped[...] = points
    masked = np.ma.masked_array(points, mask=np.ones(points.shape, bool))  # the mask is not consulted
    with pytest.warns(PendingDeprecationWarning):
        matrix = np.matrix(points)
    for table in (matrix, mapped, masked, np.asarray(points).view(np.recarray)):
        with untouched(table):
            result = merge(groups, table, records, 0.1, 1)
        assert type(result) is np.ndarray
        np.testing.assert_array_equal(result, EXPECTED)

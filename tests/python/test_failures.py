"""PanicException, memory failures, NumPy access, import side effects and repeated calls."""

import sys
import textwrap

import numpy as np
import pytest

import reference
from helpers import call, expected_result, merge, run_python, tables


def test_panic_exception_class(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert "BaseException" in panic_exception.__doc__


def test_native_failure_is_panic_exception(panic_exception, capfd):
    with pytest.raises(BaseException) as info:
        try:
            call(connected_crop_rows=np.zeros((1, 1)))
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("except Exception caught a PanicException")
    assert type(info.value) is panic_exception
    assert info.value.args == ("ndarray: index out of bounds",)
    assert not hasattr(info.value, "__notes__")
    # The report goes straight to file descriptor 2.
    assert "ndarray: index out of bounds" in capfd.readouterr().err


@pytest.mark.parametrize("message", ["raised in __float__", "lone \ud800 surrogate"])
@pytest.mark.parametrize("parameter", ["tolerance", "num_threads"])
def test_panic_from_python_conversion_is_resumed(panic_exception, parameter, message, capfd):
    class Raising:
        def __float__(self):
            raise panic_exception(message)

        def __index__(self):
            raise panic_exception(message)

    with pytest.raises(BaseException) as info:
        call(**{parameter: Raising()})
    assert type(info.value) is panic_exception
    # A lone surrogate has no UTF-8 form: the text keeps it as an escape.
    assert str(info.value) == message.encode("utf-8", "backslashreplace").decode("utf-8")
    assert not hasattr(info.value, "__notes__")
    err = capfd.readouterr().err
    assert "resumed" in err
    assert "Traceback" in err


def test_panic_subclass_from_conversion_gets_note(panic_exception):
    class Sub(panic_exception):
        pass

    class Raising:
        def __float__(self):
            raise Sub("subclass")

    with pytest.raises(Sub) as info:
        call(tolerance=Raising())
    assert info.value.__notes__ == ["while processing 'tolerance'"]


@pytest.mark.parametrize(
    "shape",
    [
        (2**55, 11),
        pytest.param((2**40, 11), marks=pytest.mark.skipif(
            open("/proc/sys/vm/overcommit_memory").read().strip() == "1",
            reason="with unconditional overcommit 88 TB may be handed out")),
    ],
)
@pytest.mark.parametrize("index", range(3))
def test_huge_broadcast_table_raises_memory_error(shape, index):
    args = list(tables())
    args[index] = np.broadcast_to(np.zeros(shape[1]), shape)
    with pytest.raises(MemoryError):
        merge(*args, 0.1, 1)
    np.testing.assert_array_equal(call(), expected_result(tables()[1]))


def test_repeated_calls_reuse_the_pool():
    for num_threads in (1, 2, 0, 3, 1):
        np.testing.assert_array_equal(call(num_threads=num_threads), expected_result(tables()[1]))


# Groups of five columns: a group without connected rows, one that runs one
# pass and then lacks column 5, and one whose main row has no record.
FINE = [0.0, 1.0, 1.0, np.nan, np.nan]
FAILING = {
    "column": ([0.0, 1.0, 1.0, 2.0, 2.0], reference.OUT_OF_BOUNDS),
    "record": ([0.0, 7.0, 7.0, np.nan, np.nan], reference.RECORD_NOT_FOUND),
}


@pytest.mark.parametrize(
    "failing, lowest",
    [
        ({4: "column", 9: "record", 5000: "record", 9000: "column", 12297: "record"}, 4),
        ({4: "record", 9: "column", 5000: "column", 9000: "record"}, 4),
        ({5000: "column", 9000: "record", 12297: "record"}, 5000),
        ({4095: "record", 4096: "column", 12297: "column"}, 4095),
        ({8191: "column", 8192: "column", 9: "record"}, 9),
    ],
)
def test_lowest_failing_group_decides_for_every_worker_count(failing, lowest, panic_exception):
    # Enough groups for several stretches planned on different workers.
    groups = np.tile(FINE, (3 * 4096 + 10, 1))
    for group, kind in failing.items():
        groups[group] = FAILING[kind][0]
    points = np.array([[1.0, 1, 0.5, 0.5, 10], [2.0, 2, 3.0, 3.0, 11], [1.0, 1, 0.7, 0.1, 12]])
    records = np.array([[r, 0, 0, 0, r, 0, 0, 1, 1, 2, 2] for r in (1.0, 2.0)])
    text = FAILING[failing[lowest]][1]
    assert reference.reference_merge(groups, points, records, 0.1) == reference.Failure(text)
    for num_threads in (1, 2, 8) * 3:
        with pytest.raises(panic_exception) as info:
            merge(groups, points, records, 0.1, num_threads)
        assert str(info.value) == text, num_threads


def test_import_neither_imports_numpy_nor_starts_threads():
    result = run_python(textwrap.dedent("""
        import sys, threading
        import _native
        assert "numpy" not in sys.modules, "numpy imported"
        assert threading.active_count() == 1
        with open("/proc/self/status") as status:
            threads = [line for line in status if line.startswith("Threads:")]
        assert threads == ["Threads:\\t1\\n"], threads
        print("ok")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_numpy_not_importable_then_retry():
    result = run_python(textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None
        import _native
        for attempt in range(2):
            try:
                _native.merge_points_removing_overlap(None, None, None, 0.1, 1)
            except BaseException as error:
                print(type(error).__name__, str(error))
        del sys.modules["numpy"]
        import numpy as np
        points = np.array([[1.0, 1, 0.5, 0.5]])
        info = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])
        result = _native.merge_points_removing_overlap(np.array([[0.0, 1, 1, np.nan]]), points, info, 0.1, 1)
        print(result.tolist())
    """))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        assert line.startswith("PanicException Failed to access NumPy array API capsule: ")
        assert "ModuleNotFoundError" in line
    assert lines[2] == "[[1.0, 1.0, 0.5, 0.5]]"
    assert "Failed to access NumPy array API capsule" in result.stderr


@pytest.mark.skipif(not hasattr(sys, "_is_gil_enabled"), reason="needs an interpreter that can run without the GIL")
def test_import_keeps_gil_disabled():
    result = run_python("import sys, _native; print(sys._is_gil_enabled())")
    assert result.returncode == 0, result.stderr
    expected = "True" if "t" not in sys.abiflags else "False"
    assert result.stdout.strip() == expected

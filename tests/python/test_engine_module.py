"""rowmerge._engine: the engine's interface for the Python layer.

What it returns is checked against _native (the same engine behind the fixed
interface) and against the plain-Python reference; what it must not do
(write to standard error, draw without being asked, keep running after
Ctrl-C, deadlock a fork) in child processes.
"""

import gc
import inspect
import os
import re
import select
import signal
import subprocess
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import _native
from rowmerge import _engine
from rowmerge.field import ORDERS, make_field

import reference
from helpers import LINE, axis_table, bits, child_env, open_pty, progress_lines, read_until_eof, strip_escapes, tables, wait_for_child

nan = np.nan
UNWRAP_NONE = reference.RECORD_NOT_FOUND
OUT_OF_BOUNDS = reference.OUT_OF_BOUNDS
BAD_ANCHORS = reference.BAD_ANCHOR_COUNT
# Upper bound for a child process; only there so that a hanging child fails the
# test. No assertion depends on how long anything takes.
CHILD_TIMEOUT = 120.0


def native_merge(groups, points, records, tolerance, threads=1):
    return _native.merge_points_removing_overlap(groups, points, records, tolerance, threads)


# --- the module and its function ---------------------------------------------


def test_documented_signature():
    assert "merge" in _engine.__doc__ and "standard error" in _engine.__doc__
    assert "axis_parallel_groups" in _engine.merge.__doc__
    parameters = inspect.signature(_engine.merge).parameters
    assert [(name, p.kind.name, p.default) for name, p in parameters.items()] == [
        ("connected_crop_rows", "POSITIONAL_ONLY", inspect.Parameter.empty),
        ("points_in_rows", "POSITIONAL_ONLY", inspect.Parameter.empty),
        ("row_information", "POSITIONAL_ONLY", inspect.Parameter.empty),
        ("tolerance", "KEYWORD_ONLY", inspect.Parameter.empty),
        ("threads", "KEYWORD_ONLY", 0),
        ("progress", "KEYWORD_ONLY", False),
        ("rows", "KEYWORD_ONLY", True),
        ("index", "KEYWORD_ONLY", False),
        ("checked", "KEYWORD_ONLY", False),
    ]


def test_import_starts_nothing():
    code = "import sys, rowmerge._engine; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True,
                         timeout=CHILD_TIMEOUT)
    assert (out.returncode, out.stdout, out.stderr) == (0, "False\n", "")


GOOD = tables()


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        pytest.param(GOOD, {}, TypeError, "merge() missing required keyword-only argument: 'tolerance'",
                     id="no tolerance"),
        pytest.param((*GOOD, 0.1), {}, TypeError, "merge() takes at most 3 positional arguments (4 given)",
                     id="tolerance positional"),
        pytest.param(GOOD[:2], {"tolerance": 0.1}, TypeError,
                     "merge() takes exactly 3 positional arguments (2 given)", id="two tables"),
        pytest.param(GOOD, {"tolerance": "0.1"}, TypeError,
                     "merge() argument 'tolerance' must be a real number, not str", id="tolerance str"),
        pytest.param(GOOD, {"tolerance": 0.1, "threads": -1}, ValueError,
                     "merge() argument 'threads' must be at least 0, not -1", id="negative threads"),
        pytest.param(GOOD, {"tolerance": 0.1, "threads": 1.0}, TypeError,
                     "'float' object cannot be interpreted as an integer", id="float threads"),
        # The interpreter's own text, which CPython 3.13 changed.
        pytest.param(GOOD, {"tolerance": 0.1, "thread": 1}, TypeError,
                     "'thread' is an invalid keyword argument for merge()" if sys.version_info < (3, 13) else
                     "merge() got an unexpected keyword argument 'thread'. Did you mean 'threads'?",
                     id="misspelt keyword"),
        pytest.param((GOOD[0], GOOD[1].astype(np.float32), GOOD[2]), {"tolerance": 0.1}, TypeError,
                     "merge() argument 'points_in_rows' must be a two-dimensional float64 ndarray, "
                     "not a 2-dimensional float32 array", id="float32"),
        pytest.param((GOOD[0], GOOD[1], GOOD[2][0]), {"tolerance": 0.1}, TypeError,
                     "merge() argument 'row_information' must be a two-dimensional float64 ndarray, "
                     "not a 1-dimensional float64 array", id="one dimension"),
        pytest.param((GOOD[0].tolist(), GOOD[1], GOOD[2]), {"tolerance": 0.1}, TypeError,
                     "merge() argument 'connected_crop_rows' must be a two-dimensional float64 ndarray, "
                     "not list", id="list"),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        _engine.merge(*args, **kwargs)
    assert str(raised.value) == message


# Points of two columns take the merge of tables without x and y, which only
# groups without connected rows pass.
@pytest.mark.parametrize("columns", [5, 2])
@pytest.mark.parametrize("rows", [True, False])
@pytest.mark.parametrize("index", [True, False])
def test_outputs_asked_for(rows, index, columns):
    groups, points, records = GOOD
    points = np.ascontiguousarray(points[:, :columns])
    merged, row_index, failure, axis_parallel, *counts = _engine.merge(groups, points, records, tolerance=0.1,
                                                                       rows=rows, index=index)
    assert counts == [0, 0, None]  # counted by checked merges only
    assert failure is None
    assert axis_parallel.dtype == np.int64 and axis_parallel.shape == (0,)
    expected = native_merge(groups, points, records, 0.1)
    if rows:
        assert bits(merged).tolist() == bits(expected).tolist()
    else:
        assert merged is None
    if index:
        assert row_index.tolist() == [0, 2, 1]
    else:
        assert row_index is None


def test_index_array_owns_its_buffer_like_the_rows():
    groups, points, records = GOOD
    merged, row_index, *_ = _engine.merge(groups, points, records, tolerance=0.1, index=True)
    for array in (merged, row_index):
        assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
    assert row_index.dtype == np.int64 and row_index.strides == (8,)
    empty = _engine.merge(groups, points[:0], records, tolerance=0.1, index=True)
    assert empty[0].shape == (0, points.shape[1]) and empty[1].shape == (0,)


# --- the rows and their row numbers, against _native --------------------------


@pytest.fixture(scope="module", params=ORDERS)
def ordered_field(request):
    return make_field("field_medium", order=request.param, nan_fraction=0.01, seed=7)


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_index_picks_the_native_result_bit_for_bit(ordered_field, threads):
    f = ordered_field
    expected = native_merge(f.connected_crop_rows, f.points_in_rows, f.row_information, f.tolerance, threads)
    merged, row_index, failure, *_ = _engine.merge(f.connected_crop_rows, f.points_in_rows, f.row_information,
                                                  tolerance=f.tolerance, threads=threads, index=True)
    assert failure is None
    assert np.array_equal(bits(merged), bits(expected))
    assert np.array_equal(bits(f.points_in_rows[row_index]), bits(expected))
    # Every row at most once, each group's rows in table order.
    assert len(np.unique(row_index)) == len(row_index)
    groups_of_rows = merged[:, :2]
    for crop_row in np.unique(groups_of_rows, axis=0)[:20]:
        rows = row_index[(groups_of_rows == crop_row).all(axis=1)]
        assert np.all(np.diff(rows) > 0)


# --- failures as values ---------------------------------------------------------

RECORDS = [[float(r), 0, 0, 0, float(s), 0, 0, 10, 10, 5, 5] for r, s in ((1, 1), (1, 2), (3, 3))]
POINTS = [[1.0, 1, 1, 1], [1.0, 2, 9, 9], [3.0, 3, 4, 4]]


def failure_of(kind, group, table, column=None, crop_row=None, connected=None, message=None):
    return {"kind": kind, "group": group, "table": table, "column": column, "row": None, "value": None,
            "reason": None, "crop_row": crop_row, "connected": connected, "message": message}


FAILURES = [
    pytest.param([[0, 5, 5, nan]], POINTS, RECORDS,
                 failure_of("record_missing", 0, "row_information", crop_row=(5.0, 5.0), message=UNWRAP_NONE),
                 id="main record missing"),
    pytest.param([[0, 1, 1, 1, 2, nan], [0, 1, 2, 7, 7.5, nan]], POINTS, RECORDS,
                 failure_of("record_missing", 1, "row_information", crop_row=(7.0, 7.5), connected=0,
                            message=UNWRAP_NONE), id="connected record missing, as given"),
    pytest.param([[0, 3.7, 3.2, 1, 1, 1, 2, 4, 4, nan]], POINTS, RECORDS,
                 failure_of("record_missing", 0, "row_information", crop_row=(4.0, 4.0), connected=2,
                            message=UNWRAP_NONE), id="third connected row"),
    pytest.param([[0, 3.7, 3.2, nan], [0, 9, 9, nan], [0, 1, 1, nan], [0, 8, 8, nan]], POINTS, RECORDS,
                 failure_of("record_missing", 1, "row_information", crop_row=(9.0, 9.0), message=UNWRAP_NONE),
                 id="lowest failing group"),
    pytest.param([[0, 1, 1, 1, 2]], POINTS, RECORDS,
                 failure_of("column_missing", 0, "connected_crop_rows", column=5, message=OUT_OF_BOUNDS),
                 id="list of connected rows does not end"),
    pytest.param([[0, 1, 1, 1]], POINTS, RECORDS,
                 failure_of("column_missing", 0, "connected_crop_rows", column=4, message=OUT_OF_BOUNDS),
                 id="pair without its second identifier"),
    pytest.param([[0, 1]], POINTS, RECORDS,
                 failure_of("column_missing", 0, "connected_crop_rows", column=2, message=OUT_OF_BOUNDS),
                 id="no main row"),
    pytest.param([[0, 1, 1, nan]], [[1.0], [2.0]], RECORDS,
                 failure_of("column_missing", 0, "points_in_rows", column=1, message=OUT_OF_BOUNDS),
                 id="points without their second identifier"),
    pytest.param([[0, 1, 1, 1, 2, nan]], POINTS, [r[:9] for r in RECORDS],
                 failure_of("anchor_count", 0, "row_information", crop_row=(1.0, 1.0), message=BAD_ANCHORS),
                 id="records with two anchors"),
]


@pytest.mark.parametrize("groups, points, records, expected", FAILURES)
@pytest.mark.parametrize("threads", [1, 3])
def test_failure_values(groups, points, records, expected, threads, panic_exception):
    groups, points, records = (np.array(t, dtype=float) for t in (groups, points, records))
    outcome = _engine.merge(groups, points, records, tolerance=0.1, threads=threads, index=True)
    assert outcome[:3] == (None, None, expected)
    assert outcome[3].dtype == np.int64 and outcome[3].shape == (0,)
    assert outcome[4:] == (0, 0, None)
    # The message is the one _native raises for the same tables.
    with pytest.raises(panic_exception) as raised:
        native_merge(groups, points, records, 0.1, threads)
    assert str(raised.value) == expected["message"]
    # And the reference merge fails with it too.
    assert reference.reference_merge(groups, points, records, 0.1) == reference.Failure(expected["message"])


ENGINE_CALLS = r"""
import numpy as np
from rowmerge import _engine
nan = np.nan
good = (np.array([[0, 1, 1, nan]]), np.array([[1.0, 1, 0, 0]]), np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]]))
failed = _engine.merge(good[0], good[1], good[2][:, :3], tolerance=0.1)
assert failed[2]["kind"] == "column_missing", failed
failed = _engine.merge(np.array([[0, 2, 2, nan]]), *good[1:], tolerance=0.1)
assert failed[2]["kind"] == "record_missing", failed
for bad in ({"tolerance": "x"}, {"tolerance": 0.1, "threads": -1}):
    try:
        _engine.merge(*good, **bad)
    except (TypeError, ValueError):
        pass
assert len(_engine.merge(*good, tolerance=0.1, progress=True)[0]) == 1
print("done")
"""


def test_nothing_written_to_standard_error():
    # _native reports the same failures on file descriptor 2.
    out = subprocess.run([sys.executable, "-c", ENGINE_CALLS], env=child_env(), capture_output=True, text=True,
                         timeout=CHILD_TIMEOUT)
    assert (out.returncode, out.stdout, out.stderr) == (0, "done\n", "")


# --- groups with a junction parallel to an axis ----------------------------------


def reference_axis_parallel(groups, records, tolerance):
    """Groups whose junction's cut point and near anchor share a coordinate, by the reference geometry."""
    flagged = []
    tails = {(r[0], r[4]): list(r[4:]) for r in records.tolist()}
    for g, row in enumerate(groups.tolist()):
        main = reference.anchor_set(tails[(row[1], row[2])])
        partner = reference.anchor_set(tails[(row[3], row[4])])
        (cx, cy), (nx, ny) = reference.cut_point(main, partner)
        if (cx == nx or cy == ny) and not tolerance > reference.distance(cx, cy, nx, ny):
            flagged.append(g)
    return flagged


@pytest.mark.parametrize("tolerance", [0.0, 0.5, 5.0])
def test_axis_parallel_groups(tolerance):
    groups, points, records = axis_table()
    expected = reference_axis_parallel(groups, records, tolerance)
    if tolerance < 1:
        assert expected == [2, 3, 4, 5]
    else:
        assert expected == []  # the tolerance keeps every point there
    merged, _, failure, axis_parallel, *_ = _engine.merge(groups, points, records, tolerance=tolerance)
    assert failure is None
    assert axis_parallel.tolist() == expected
    assert np.array_equal(bits(merged), bits(native_merge(groups, points, records, tolerance)))


# --- the progress line on a terminal ---------------------------------------------

PROGRESS_CHILD = r"""
import sys
import rowmerge
from rowmerge.field import make_field
f = make_field("frame")
for progress in sys.argv[1:]:
    rowmerge.merge(f.connected_crop_rows, f.points_in_rows, f.row_information, tolerance=f.tolerance,
                   progress=progress == "on")
    sys.stdout.write(progress + " done\n")
"""


def run_on_terminal(code, *args):
    """Runs a child whose standard error is a terminal; returns (terminal text, standard output)."""
    master, slave = open_pty()
    try:
        process = subprocess.Popen([sys.executable, "-c", code, *args], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=slave, env=child_env())
        os.close(slave)
        slave = None
        text = read_until_eof(master, process)
        out, _ = process.communicate(timeout=CHILD_TIMEOUT)
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)
    assert process.returncode == 0, text
    return text.decode("utf-8"), out.decode("utf-8")


@pytest.mark.parametrize("switches", [["off"], ["on"], ["off", "on", "off"]], ids=" ".join)
def test_progress_only_when_asked(switches):
    text, out = run_on_terminal(PROGRESS_CHILD, *switches)
    assert out == "".join(f"{s} done\n" for s in switches)
    lines = progress_lines(text)
    # One finished line of 20 groups for each call that asked; nothing else.
    assert [(line["pos"], line["len"], line["spinner"]) for line in lines] == [("20", "20", " ")] * switches.count(
        "on")
    assert all(not drawn or LINE.fullmatch(drawn) for drawn in re.split(r"[\r\n]", strip_escapes(text))), text


# --- Ctrl-C ------------------------------------------------------------------------

# field_large repeated ten times: 20 million points, some seconds on one
# worker. The child says when it calls; the test then waits for the progress
# line, which shows that the merge itself is running, and sends SIGINT.
INTERRUPTED_CHILD = r"""
import signal
# Ctrl-C raises KeyboardInterrupt here whatever disposition the test's own
# process had (a background job inherits SIGINT ignored).
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np
import rowmerge
from rowmerge.field import make_field
f = make_field("field_large")
points = np.tile(f.points_in_rows, (10, 1))
print("calling", flush=True)
try:
    rowmerge.merge(f.connected_crop_rows, points, f.row_information, tolerance=f.tolerance, threads=1,
                   progress=True)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
del points
small = make_field("frame")
print("afterwards", len(rowmerge.merge(small.connected_crop_rows, small.points_in_rows, small.row_information,
                                       tolerance=small.tolerance)), flush=True)
"""


def read_available(fd, chunks):
    try:
        data = os.read(fd, 65536)
    except OSError:  # EIO: the terminal's other side is closed
        return False
    chunks.append(data)
    return bool(data)


@pytest.mark.thread_unsafe(reason="a child process with a table of about a gigabyte")
def test_ctrl_c_stops_the_merge():
    master, slave = open_pty()
    process = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=slave, env=child_env())
    os.close(slave)
    terminal, output = [], []
    sent = False
    open_fds = {master, process.stdout.fileno()}
    deadline = time.monotonic() + CHILD_TIMEOUT
    try:
        while open_fds and time.monotonic() < deadline:
            ready, _, _ = select.select(list(open_fds), [], [], 1.0)
            for fd in ready:
                if not read_available(fd, terminal if fd == master else output):
                    open_fds.discard(fd)
            if (not sent and b"calling" in b"".join(output)
                    and progress_lines(b"".join(terminal).decode(errors="replace"))):
                process.send_signal(signal.SIGINT)
                sent = True
        process.wait(timeout=CHILD_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        os.close(master)
    out = b"".join(output).decode()
    text = b"".join(terminal).decode()
    assert sent, (out, text)
    small = make_field("frame")
    expected_afterwards = len(native_merge(small.connected_crop_rows, small.points_in_rows, small.row_information,
                                           small.tolerance))
    assert out.splitlines() == ["calling", "interrupted", f"afterwards {expected_afterwards}"], text
    assert process.returncode == 0
    # The line was left where the merge stopped: never finished.
    last = progress_lines(text)[-1]
    assert last["len"] == "1000" and int(last["pos"]) < 1000 and last["spinner"] != " "
    assert "1000/1000" not in strip_escapes(text)


# --- fork while another thread merges ---------------------------------------------


@pytest.mark.thread_unsafe(reason="forks the test process")
@pytest.mark.parametrize("module", ["_native", "_engine"])
def test_fork_while_another_thread_merges(module):
    # A thread other than the main one merges on the worker pool, over and
    # over, while the main thread forks: the fork waits until no merge uses
    # the pool, and never for a thread attached to the interpreter (the
    # merging thread holds no lock while it is). Each child merges on a pool
    # of its own. A fork while that thread starts the pool (the first parallel
    # call of the process) must leave the child nothing half made.
    f = make_field("field_medium")
    points = np.tile(f.points_in_rows, (3, 1))
    assert len(points) >= 2**19  # large enough for _engine to run it on a thread of its own
    expected = native_merge(f.connected_crop_rows, points, f.row_information, f.tolerance)

    def merge():
        if module == "_native":
            return native_merge(f.connected_crop_rows, points, f.row_information, f.tolerance, threads=2)
        return _engine.merge(f.connected_crop_rows, points, f.row_information, tolerance=f.tolerance, threads=2)[0]

    stop = threading.Event()
    errors, calls = [], [0]

    def merging():
        try:
            while not stop.is_set():
                assert np.array_equal(bits(merge()), bits(expected))
                calls[0] += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    thread = threading.Thread(target=merging, daemon=True)
    thread.start()
    try:
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                try:
                    os._exit(0 if np.array_equal(bits(merge()), bits(expected)) else 3)
                except BaseException:  # noqa: BLE001 - reported through the exit status
                    os._exit(4)
            assert wait_for_child(pid, CHILD_TIMEOUT) == 0
    finally:
        stop.set()
        thread.join(CHILD_TIMEOUT)
    assert not thread.is_alive() and errors == [] and calls[0] > 0


def thread_count():
    """The number of threads of the calling process, as the kernel lists them."""
    return len(os.listdir("/proc/self/task"))


@pytest.mark.thread_unsafe(reason="forks the test process")
@pytest.mark.parametrize("module", ["_native", "_engine"])
def test_forked_child_of_both_modules_merges_on_the_pool(module):
    # Both modules merge in the parent on the worker pool; the fork must leave
    # the child a pool to start afresh, whichever module the child calls. A
    # child without one merges on its calling thread alone and never starts a
    # second thread; with one, a two-worker merge of a table that the pool
    # splits starts the pool's worker thread, which stays (asleep) afterwards.
    f = make_field("field_medium")
    assert len(f.points_in_rows) >= 2**16
    expected = native_merge(f.connected_crop_rows, f.points_in_rows, f.row_information, f.tolerance)
    for _ in range(2):
        assert np.array_equal(bits(native_merge(f.connected_crop_rows, f.points_in_rows, f.row_information,
                                                f.tolerance, threads=2)), bits(expected))
        merged = _engine.merge(f.connected_crop_rows, f.points_in_rows, f.row_information, tolerance=f.tolerance,
                               threads=2)[0]
        assert np.array_equal(bits(merged), bits(expected))
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            alone = thread_count() == 1
            if module == "_native":
                merged = native_merge(f.connected_crop_rows, f.points_in_rows, f.row_information, f.tolerance,
                                      threads=2)
            else:
                merged = _engine.merge(f.connected_crop_rows, f.points_in_rows, f.row_information,
                                       tolerance=f.tolerance, threads=2)[0]
            if not alone or not np.array_equal(bits(merged), bits(expected)):
                code = 3
            else:
                code = 0 if thread_count() > 1 else 5
        finally:
            os._exit(code)
    # 5: the child merged on its calling thread alone.
    assert wait_for_child(pid, CHILD_TIMEOUT) == 0
    # The parent's pool still works from both modules.
    assert np.array_equal(bits(native_merge(f.connected_crop_rows, f.points_in_rows, f.row_information,
                                            f.tolerance, threads=2)), bits(expected))
    assert np.array_equal(bits(_engine.merge(f.connected_crop_rows, f.points_in_rows, f.row_information,
                                             tolerance=f.tolerance, threads=2)[0]), bits(expected))


# A fresh interpreter whose first call of the module (argv[1]) is made on a
# thread that the main thread forks away from while the call fetches NumPy's C
# interface: NumPy's version is being read (the call holds the module's lock
# for making its process-wide objects) when the fork happens. The child makes
# its own first call, which must not wait for the parent's thread.
FORK_DURING_FIRST_CALL = r"""
import os, select, sys, threading
import numpy as np, numpy.lib
import _native
from rowmerge import _engine
groups = np.array([[0.0, 1, 1, np.nan]])
points = np.array([[1.0, 1, 0.5, 0.5]])
records = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])
if sys.argv[1] == "_native":
    call = lambda: _native.merge_points_removing_overlap(groups, points, records, 0.1, 1)
else:
    call = lambda: _engine.merge(groups, points, records, tolerance=0.1)[0]
parent = os.getpid()
reading, forked = threading.Event(), threading.Event()
numpy_version = numpy.lib.NumpyVersion
def held_numpy_version(text):
    if os.getpid() == parent:
        reading.set()
        forked.wait()
    return numpy_version(text)
numpy.lib.NumpyVersion = held_numpy_version
first = threading.Thread(target=call)
first.start()
reading.wait()
pid = os.fork()
if pid == 0:
    os._exit(0 if call().tolist() == points.tolist() else 3)
forked.set()
first.join()
descriptor = os.pidfd_open(pid)
if not select.select([descriptor], [], [], float(sys.argv[2]))[0]:
    os.kill(pid, 9)
    print("child hung")
print("child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), call().tolist() == points.tolist())
"""


@pytest.mark.parametrize("module", ["_native", "_engine"])
def test_fork_during_the_first_call(module):
    out = subprocess.run([sys.executable, "-c", FORK_DURING_FIRST_CALL, module, str(CHILD_TIMEOUT / 2)],
                         env=child_env(), capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    assert (out.returncode, out.stdout) == (0, "child 0 True\n"), out.stderr


# --- memory ------------------------------------------------------------------------


@pytest.mark.thread_unsafe(reason="measures process-wide memory")
def test_many_calls_leak_nothing():
    from test_leaks import NATIVE_BOUND, NATIVE_COUNTED, TRACED_BOUND, native_bytes_in_use

    groups, points, records = GOOD
    large = make_field("frame", points_per_group=27000)  # runs on a thread of its own
    assert len(large.points_in_rows) >= 2**19
    calls = [
        lambda: _engine.merge(groups, points, records, tolerance=0.1, index=True),
        lambda: _engine.merge(groups, points, records[:, :3], tolerance=0.1),  # a failure dict
        lambda: _engine.merge(np.array([[0, 7, 7, nan]]), points, records, tolerance=0.1, rows=False),
        lambda: _engine.merge(groups, points.astype(np.float32), records, tolerance=0.1),  # TypeError
        lambda: _engine.merge(groups, points, records, tolerance=0.1, threads=-1),  # ValueError
    ]

    def run(count):
        for i in range(count):
            if i % 50 == 49:
                _engine.merge(large.connected_crop_rows, large.points_in_rows, large.row_information,
                              tolerance=large.tolerance, threads=2, index=True)
                continue
            try:
                calls[i % len(calls)]()
            except (TypeError, ValueError):
                pass

    run(1000)
    tracemalloc.start()
    try:
        gc.collect()
        counts = [sys.getrefcount(table) for table in (groups, points, records)]
        native_before, traced_before = native_bytes_in_use(), tracemalloc.get_traced_memory()[0]
        run(5000)
        gc.collect()
        native_growth = native_bytes_in_use() - native_before
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(table) for table in (groups, points, records)] == counts
    assert traced_growth < TRACED_BOUND, traced_growth
    if NATIVE_COUNTED:
        assert native_growth < NATIVE_BOUND, native_growth


@pytest.mark.thread_unsafe(reason="a process-wide timer signal, and process-wide memory")
def test_interrupted_merges_leak_nothing():
    # Each merge is stopped by an exception raised from a signal handler about
    # 2 ms into a merge that takes tens of milliseconds on one worker: the
    # stopped merge must give back its buffers and its references.
    from test_leaks import NATIVE_BOUND, NATIVE_COUNTED, native_bytes_in_use

    f = make_field("field_large")
    tables = (f.connected_crop_rows, f.points_in_rows, f.row_information)

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    def interrupted():
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            _engine.merge(*tables, tolerance=f.tolerance, threads=1, index=True)
            return False
        except Stop:
            return True
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        interrupted()
        gc.collect()
        counts = [sys.getrefcount(table) for table in tables]
        before = native_bytes_in_use() if NATIVE_COUNTED else 0
        stopped = sum(interrupted() for _ in range(20))
        gc.collect()
        growth = native_bytes_in_use() - before if NATIVE_COUNTED else 0
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert stopped == 20
    assert [sys.getrefcount(table) for table in tables] == counts
    assert growth < NATIVE_BOUND, growth

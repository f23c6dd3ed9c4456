"""The module in child processes: os.fork after use, multiprocessing with the
fork and spawn start methods, and a worker pool calling it in every process.

The parent always uses the worker pool (a call with two workers on more than
16384 point rows) before it starts children, and calls again afterwards.
Every wait has a timeout, so a child that hangs fails the test.
"""

import contextlib
import multiprocessing
import os
import signal
import threading
import time
import traceback

import numpy as np
import pytest

from conftest import merge, tables
from test_concurrency import TOLERANCE, Expected, field

TIMEOUT = 120  # seconds for any child process or thread to finish

pytestmark = [
    pytest.mark.thread_unsafe(reason="starts processes; a fork copies the locks other test threads hold"),
    # From Python 3.12 on, every fork after the pool's threads started warns.
    pytest.mark.filterwarnings(r"ignore:.*use of fork\(\) may lead to deadlocks:DeprecationWarning"),
]


def outcomes(seed):
    """Merges the field of `seed` with one and with two workers, and makes a
    call that fails inside the engine in between."""
    groups, points, records = field(seed=seed)
    single = merge(groups, points, records, TOLERANCE, 1)
    try:
        merge(groups, points, records[:, :3], TOLERANCE, 2)
        failure = None
    except BaseException as error:  # noqa: BLE001 - the PanicException is wanted here
        failure = (type(error).__module__, type(error).__name__, str(error))
    double = merge(groups, points, records, TOLERANCE, 2)
    return single, double, failure


EXPECTED_FAILURE = ("pyo3_runtime", "PanicException", "ndarray: index out of bounds")


def check_outcomes(seed, got):
    single, double, failure = got
    groups, points, records = field(seed=seed)
    expected = Expected(merge(groups, points, records, TOLERANCE, 1))
    expected.check(single, 1)
    expected.check(double, 2)
    assert failure == EXPECTED_FAILURE


def use_pool_in_parent():
    groups, points, records = field(seed=0)
    assert len(points) > 16384
    expected = Expected(merge(groups, points, records, TOLERANCE, 1))
    expected.check(merge(groups, points, records, TOLERANCE, 2), 2)


def wait_for_child(pid, timeout):
    """Waits for `pid` and returns its exit code; after `timeout` seconds
    kills it, with the process group it leads, and fails."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    for kill in (os.killpg, os.kill):
        with contextlib.suppress(OSError):
            kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail(f"child {pid} did not finish within {timeout} s")


def fork_child(own_group=True):
    """os.fork(); with `own_group` the child leads a new process group, so
    that a hung child is killed together with any process it forked."""
    pid = os.fork()
    if own_group:
        # Set on both sides: whichever runs first, the group exists before
        # the parent may need to kill it.
        with contextlib.suppress(OSError):
            os.setpgid(0 if pid == 0 else pid, 0)
    return pid


def forked_child_checks(seed, full=True):
    """Runs in a forked child and ends it: exit code 0 when every outcome is right."""
    code = 1
    try:
        np.testing.assert_array_equal(merge(*tables(), 0.1, 2), np.asarray(tables()[1])[[0, 2, 1]])
        if full:
            check_outcomes(seed, outcomes(seed))
        code = 0
    except BaseException:  # noqa: BLE001 - reported through the exit code
        traceback.print_exc()
    finally:
        os._exit(code)


def fork_and_check(seed, full=True, timeout=TIMEOUT, own_group=True):
    pid = fork_child(own_group)
    if pid == 0:
        forked_child_checks(seed, full)  # never returns
    assert wait_for_child(pid, timeout) == 0


@pytest.mark.parametrize("forks", [1, 3])
def test_os_fork_after_use(forks):
    use_pool_in_parent()
    for k in range(forks):
        fork_and_check(seed=10 + k)
        # The parent keeps working after each fork.
        check_outcomes(20 + k, outcomes(20 + k))


def test_fork_in_child_after_use():
    use_pool_in_parent()
    pid = fork_child()
    if pid == 0:
        code = 1
        try:
            check_outcomes(3, outcomes(3))
            # A grandchild, forked after the child used the pool, in the
            # child's process group.
            fork_and_check(seed=4, timeout=TIMEOUT / 2, own_group=False)
            check_outcomes(5, outcomes(5))
            code = 0
        except BaseException:  # noqa: BLE001 - reported through the exit code
            traceback.print_exc()
        finally:
            os._exit(code)
    assert wait_for_child(pid, TIMEOUT) == 0
    check_outcomes(6, outcomes(6))


def test_fork_while_another_thread_calls():
    # Before a fork the module waits until no call uses the pool; the calling
    # thread is detached from the interpreter meanwhile, so the fork cannot
    # deadlock with it.  The child may find the pool unusable and merge on its
    # calling thread alone: the results must be the same.
    use_pool_in_parent()
    groups, points, records = field(seed=0)
    expected = Expected(merge(groups, points, records, TOLERANCE, 1))
    stop = threading.Event()
    errors, calls = [], [0]

    def caller():
        try:
            while not stop.is_set():
                expected.check(merge(groups, points, records, TOLERANCE, 2), 2)
                calls[0] += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    thread = threading.Thread(target=caller, daemon=True)
    thread.start()
    try:
        # Many forks, most with a quick child, since the fork itself is at stake.
        for k in range(60):
            fork_and_check(seed=30 + k, full=k < 3, timeout=60 if k < 3 else 5)
    finally:
        stop.set()
        thread.join(TIMEOUT)
    assert not thread.is_alive()
    assert errors == []
    assert calls[0] > 0
    check_outcomes(33, outcomes(33))


def child_entry(seed, queue):
    """Target of a multiprocessing child: sends back its outcomes."""
    queue.put((os.getpid(), outcomes(seed)))


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_process(method):
    use_pool_in_parent()
    context = multiprocessing.get_context(method)
    queue = context.Queue()
    process = context.Process(target=child_entry, args=(40, queue))
    process.start()
    try:
        pid, got = queue.get(timeout=TIMEOUT)
    finally:
        process.join(TIMEOUT)
        if process.is_alive():
            process.kill()
            process.join()
    assert process.exitcode == 0
    assert pid == process.pid != os.getpid()
    check_outcomes(40, got)
    check_outcomes(41, outcomes(41))


# Set in each pool worker by its initializer.
WORKER_STATE = {}


def pool_initializer():
    # Every worker process calls the module once before it takes any task.
    result = merge(*tables(), 0.1, 2)
    WORKER_STATE["initial"] = result.tolist()


def pool_task(seed):
    return os.getpid(), WORKER_STATE.get("initial"), outcomes(seed)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pool_calls_module_in_each_worker(method):
    use_pool_in_parent()
    context = multiprocessing.get_context(method)
    seeds = list(range(50, 56))
    with context.Pool(2, initializer=pool_initializer) as pool:
        answers = pool.map_async(pool_task, seeds, chunksize=1).get(timeout=TIMEOUT)
    expected_initial = np.asarray(tables()[1])[[0, 2, 1]].tolist()
    for seed, (pid, initial, got) in zip(seeds, answers):
        assert pid != os.getpid()
        assert initial == expected_initial
        check_outcomes(seed, got)
    check_outcomes(57, outcomes(57))

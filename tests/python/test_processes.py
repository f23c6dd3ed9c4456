"""The module in child processes: os.fork after use, multiprocessing with the
fork and spawn start methods, and a worker pool calling it in every process.

The parent always uses the worker pool (a call with two workers on a table
of points large enough to be split) before it starts children, and calls
again afterwards.  Every result must be the plain Python model's.  Every wait
has a generous timeout, only so that a child that hangs fails the test
instead of blocking the run.
"""

import contextlib
import multiprocessing
import os
import threading
import traceback

import pytest

from helpers import TOLERANCE, assert_rows, expected_result, field, merge, merged_field, tables, wait_for_child

TIMEOUT = 120  # seconds for any child process or thread to finish

pytestmark = [
    pytest.mark.thread_unsafe(reason="starts processes; a fork copies the locks other test threads hold"),
    # From Python 3.12 on, every fork after the pool's threads started warns.
    pytest.mark.filterwarnings(r"ignore:.*use of fork\(\) may lead to deadlocks:DeprecationWarning"),
]


# The fields merged in this module.  The parent has the model merge them
# before it forks, so forked children find the expected arrays ready.
SEEDS = (2, 3)


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
    expected = merged_field(seed)[3]
    assert_rows(single, expected)
    assert_rows(double, expected)
    assert failure == EXPECTED_FAILURE


def use_pool_in_parent():
    for seed in SEEDS:
        groups, points, records, expected = merged_field(seed)
        assert len(points) > 2**16
        assert_rows(merge(groups, points, records, TOLERANCE, 2), expected)


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
        assert_rows(merge(*tables(), 0.1, 2), expected_result(tables()[1]))
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
        fork_and_check(seed=SEEDS[k % 2])
        # The parent keeps working after each fork.
        check_outcomes(SEEDS[(k + 1) % 2], outcomes(SEEDS[(k + 1) % 2]))


def test_fork_in_child_after_use():
    use_pool_in_parent()
    pid = fork_child()
    if pid == 0:
        code = 1
        try:
            check_outcomes(SEEDS[0], outcomes(SEEDS[0]))
            # A grandchild, forked after the child used the pool, in the
            # child's process group.
            fork_and_check(seed=SEEDS[1], timeout=TIMEOUT / 2, own_group=False)
            check_outcomes(SEEDS[1], outcomes(SEEDS[1]))
            code = 0
        except BaseException:  # noqa: BLE001 - reported through the exit code
            traceback.print_exc()
        finally:
            os._exit(code)
    assert wait_for_child(pid, TIMEOUT) == 0
    check_outcomes(SEEDS[0], outcomes(SEEDS[0]))


def test_fork_while_another_thread_calls():
    # Before a fork the module waits until no call uses the pool; the calling
    # thread is detached from the interpreter meanwhile, so the fork cannot
    # deadlock with it.  The child may find the pool unusable and merge on its
    # calling thread alone: the results must be the same.
    use_pool_in_parent()
    groups, points, records, expected = merged_field(SEEDS[0])
    stop = threading.Event()
    errors, calls = [], [0]

    def caller():
        try:
            while not stop.is_set():
                assert_rows(merge(groups, points, records, TOLERANCE, 2), expected)
                calls[0] += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    thread = threading.Thread(target=caller, daemon=True)
    thread.start()
    try:
        # Many forks, most with a quick child, since the fork itself is at stake.
        for k in range(60):
            fork_and_check(seed=SEEDS[k % 2], full=k < 3)
    finally:
        stop.set()
        thread.join(TIMEOUT)
    assert not thread.is_alive()
    assert errors == []
    assert calls[0] > 0
    check_outcomes(SEEDS[1], outcomes(SEEDS[1]))


def child_entry(seed, queue):
    """Target of a multiprocessing child: sends back its outcomes."""
    queue.put((os.getpid(), outcomes(seed)))


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_process(method):
    use_pool_in_parent()
    context = multiprocessing.get_context(method)
    queue = context.Queue()
    process = context.Process(target=child_entry, args=(SEEDS[0], queue))
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
    check_outcomes(SEEDS[0], got)
    check_outcomes(SEEDS[1], outcomes(SEEDS[1]))


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
    seeds = list(SEEDS) * 3
    with context.Pool(2, initializer=pool_initializer) as pool:
        answers = pool.map_async(pool_task, seeds, chunksize=1).get(timeout=TIMEOUT)
    expected_initial = expected_result(tables()[1]).tolist()
    for seed, (pid, initial, got) in zip(seeds, answers):
        assert pid != os.getpid()
        assert initial == expected_initial
        check_outcomes(seed, got)
    check_outcomes(SEEDS[0], outcomes(SEEDS[0]))

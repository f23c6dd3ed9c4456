"""Running the jobs of a batch in parallel over worker processes.

Each job (:class:`rowmerge.cli.job.Job`) runs in a worker of a
:class:`concurrent.futures.ProcessPoolExecutor` started with the ``spawn``
method: the engine's pool of worker threads is process-wide, and a process
forked from one whose threads are running would inherit a pool it cannot
use.  The workers ignore Ctrl-C; the main process takes it, lets the files
being merged finish (their outputs are complete or absent) and starts no
more.

A failed file never stops the others: :func:`rowmerge.cli.job.run_job` returns
every problem as an outcome.  Should a worker process die all the same
(killed, out of memory), the pool breaks and the files it was running come
back unfinished; they are run again one at a time in a new pool, and a file
whose worker dies again is reported as failed.  A file whose output appeared
while it ran in the broken pool (its run ended, but its outcome was lost with
the pool) replaces that output when it runs again.  At most twice as many files
as workers are handed out at once, so a broken pool loses little work.
"""

from __future__ import annotations

import dataclasses
import multiprocessing
import os
import signal
from collections import deque
from collections.abc import Callable, Sequence
from concurrent.futures import ALL_COMPLETED, FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool

from .job import Job, Outcome, run_job, unexpected
from .status import FailureKind

__all__ = ["default_processes", "run_jobs"]

Work = Callable[[Job], Outcome]
Report = Callable[[int, Outcome], None]


def default_processes() -> int:
    """One worker per processor available to this process."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # no sched_getaffinity on this platform
        return max(1, os.cpu_count() or 1)


def _ignore_interrupts() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _died(job: Job) -> Outcome:
    return Outcome(
        input=job.points or "",
        output=job.output,
        failure=FailureKind.WORKER_DIED,
        detail="the worker process died while merging it (killed, or out of memory)",
    )


def _failed_unexpectedly(job: Job, error: BaseException) -> Outcome:
    """The outcome of a job whose run raised what no job returns (an outcome that could
    not be sent back, say)."""
    return Outcome(
        input=job.points or "",
        output=job.output,
        failure=FailureKind.UNEXPECTED,
        detail=unexpected(error),
    )


def _again(job: Job, existed: bool) -> Job:
    """``job`` to be run again after its pool broke.

    An output that did not exist when the batch started was written by the
    run the pool lost: the new run replaces it.
    """
    if existed or job.overwrite or not os.path.lexists(job.output):
        return job
    return dataclasses.replace(job, overwrite=True)


def _run_here(jobs: Sequence[Job], work: Work, report: Report) -> list[Outcome]:
    outcomes = []
    for index, job in enumerate(jobs):
        outcome = work(job)
        report(index, outcome)
        outcomes.append(outcome)
    return outcomes


def run_jobs(jobs: Sequence[Job], *, processes: int, report: Report, work: Work = run_job) -> list[Outcome]:
    """Run every job; call ``report(index, outcome)`` as each finishes; return the outcomes in order.

    ``processes`` 1 runs the jobs one after the other in this process.
    ``work`` is the function that runs a job in a worker (a module-level
    function, so that the workers can import it).
    """
    if processes <= 1 or len(jobs) <= 1:
        return _run_here(jobs, work, report)
    workers = min(processes, len(jobs))
    existed = [os.path.lexists(job.output) for job in jobs]
    outcomes: list[Outcome | None] = [None] * len(jobs)
    waiting = deque(range(len(jobs)))
    # Files a dead worker took with it, run again one at a time; those already run again.
    suspects: deque[int] = deque()
    retried: set[int] = set()
    context = multiprocessing.get_context("spawn")

    def new_pool() -> ProcessPoolExecutor:
        return ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_ignore_interrupts)

    def finish(index: int, outcome: Outcome) -> None:
        outcomes[index] = outcome
        report(index, outcome)

    pool = new_pool()
    running: dict[Future[Outcome], int] = {}

    def start(index: int, job: Job) -> bool:
        """Hands ``job`` to the pool; False when the pool broke before it took the job."""
        try:
            running[pool.submit(work, job)] = index
        except BrokenProcessPool:
            # A worker died after the last look at the files running: this
            # file never started, and stays queued for the next pool.
            return False
        return True

    try:
        while waiting or suspects or running:
            broken = False
            if suspects:
                if not running:
                    index = suspects[0]
                    broken = not start(index, _again(jobs[index], existed[index]))
                    if not broken:
                        suspects.popleft()
                        retried.add(index)
            else:
                while waiting and len(running) < 2 * workers:
                    if not start(waiting[0], jobs[waiting[0]]):
                        broken = True
                        break
                    waiting.popleft()
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            if broken or any(isinstance(f.exception(), BrokenProcessPool) for f in done):
                # Every file of the broken pool ends with it: collect them all.
                done, _ = wait(running, return_when=ALL_COMPLETED)
                pool.shutdown(wait=True)
                pool = new_pool()
            for future in sorted(done, key=running.__getitem__):
                index = running.pop(future)
                error = future.exception()
                if isinstance(error, BrokenProcessPool):
                    if index in retried:
                        finish(index, _died(jobs[index]))
                    else:
                        suspects.append(index)
                elif error is not None:
                    # run_job returns its problems; this is one of the pool (an outcome
                    # that could not be sent back, say).
                    finish(index, _failed_unexpectedly(jobs[index], error))
                else:
                    finish(index, future.result())
    finally:
        # After Ctrl-C: start nothing new, let the running files finish.
        pool.shutdown(wait=True, cancel_futures=True)
    return [outcome for outcome in outcomes if outcome is not None]

"""Running the jobs of a batch on an existing Dask cluster (``--scheduler ADDRESS``).

Each file's job (:class:`rowmerge.cli.job.Job`) is one task on the cluster,
run by :func:`rowmerge.cli.job.run_job` in a worker, which returns every
problem as an outcome: a file fails alone, and the report is the one a local
batch gives.  A points dataset (a folder) runs here instead, its parts as
tasks on the same cluster (:mod:`rowmerge.cli.dataset_job`).

The workers must reach the files at the paths the command names (shared
storage mounted at the same place on every machine).  So before any task:

* relative paths are made absolute here, against this process's current
  directory (the report still shows them as given);
* paths that are local to this machine whatever its storage (below
  ``/proc`` or ``/dev``, such as ``/dev/stdin`` or a shell's ``<(...)``) are
  refused;
* every worker is asked whether it sees every input that exists here and
  the output folder; one that does not stops the batch, naming the worker
  and the path.

A worker that dies while running a file (killed, out of memory) is replaced
by the cluster, and the scheduler runs its files again on the others, up to
``distributed.scheduler.allowed-failures`` times (3 by default); a file
whose workers keep dying is then reported as failed ("worker died"), as the
local batch reports it.  A file whose output was written by a run lost with
its worker replaces that output when it runs again, as in the local batch.
"""

from __future__ import annotations

import dataclasses
import importlib
import os
from collections.abc import Callable, Sequence
from typing import Any

from .._optional import import_optional
from .batch import _again, _died, _failed_unexpectedly
from .job import Job, Outcome, run_job
from .status import CliError

__all__ = ["run_jobs_on_cluster", "connect", "check_paths", "refuse_local_only", "LOCAL_ONLY"]

Work = Callable[[Job], Outcome]
Report = Callable[[int, Outcome], None]

#: Folders whose paths name something of this machine only, whatever storage the workers share.
LOCAL_ONLY = ("/proc", "/dev")


def connect(address: str) -> Any:
    """A ``distributed.Client`` of the scheduler at ``address``; a :class:`CliError` when it
    cannot be reached or has no workers."""
    distributed = import_optional(
        "distributed",
        lambda state: CliError(f"--scheduler needs distributed, {state}: pip install 'rowmerge[dask]'"),
    )
    try:
        client = distributed.Client(address, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise CliError(f"--scheduler {address}: cannot reach the scheduler ({error})") from None
    if not client.scheduler_info(n_workers=-1)["workers"]:
        client.close()
        raise CliError(f"--scheduler {address}: the cluster has no workers")
    return client


def _job_paths(job: Job) -> list[str]:
    return [p for p in (job.points, job.segments, job.links, job.output) if p]


def _absolute(job: Job) -> Job:
    """``job`` with every path absolute (against this process's current directory)."""

    def whole(path: str | None) -> str | None:
        return os.path.abspath(path) if path else path

    return dataclasses.replace(
        job,
        points=whole(job.points),
        segments=whole(job.segments),
        links=whole(job.links),
        output=whole(job.output) or job.output,
    )


def _local_only(path: str) -> bool:
    real = os.path.abspath(path)
    return any(real == folder or real.startswith(folder + os.sep) for folder in LOCAL_ONLY)


def _unseen(paths: Sequence[str]) -> list[str]:
    """The paths this process (a worker) cannot see; run on every worker."""
    return [path for path in paths if not os.path.exists(path)]


def refuse_local_only(paths: Sequence[str]) -> None:
    """Refuse paths that name something of this machine only (see the module's documentation)."""
    for path in paths:
        if _local_only(path):
            raise CliError(
                f"{path} is local to this machine; the cluster's workers cannot reach it: "
                "give a file on storage that they reach"
            )


def check_paths(client: Any, jobs: Sequence[Job], output_dir: str) -> None:
    """Refuse, before any task, paths the workers cannot reach (see the module's documentation)."""
    refuse_local_only([path for job in jobs for path in _job_paths(job)])
    wanted = [os.path.abspath(output_dir)]
    for job in jobs:
        wanted += [os.path.abspath(p) for p in (job.points, job.segments, job.links) if p and os.path.exists(p)]
    wanted = list(dict.fromkeys(wanted))
    for worker, unseen in sorted(client.run(_unseen, wanted).items()):
        if unseen:
            more = f" (and {len(unseen) - 1:,} more)" if len(unseen) > 1 else ""
            raise CliError(
                f"worker {worker} cannot see {unseen[0]}{more}: the workers must reach the files at the same "
                "paths (shared storage mounted at the same place)"
            )


def _run_on_worker(work: Work, job: Job, existed: bool) -> Outcome:
    return work(_again(job, existed))


def _as_given(outcome: Outcome, given: Job, sent: Job) -> Outcome:
    """The outcome of ``sent`` (absolute paths) shown with the paths of ``given``."""
    names = {s: os.path.normpath(g) for s, g in zip(_job_paths(sent), _job_paths(given), strict=True) if s != g}
    outcome.input, outcome.output = given.points or "", given.output
    shown = dict(zip(_job_paths(sent), _job_paths(given), strict=True))
    outcome.sources = {table: shown.get(path, path) for table, path in outcome.sources.items()}
    if outcome.detail is not None:
        for sent_path in sorted(names, key=len, reverse=True):
            outcome.detail = outcome.detail.replace(sent_path, names[sent_path])
    return outcome


def run_jobs_on_cluster(
    jobs: Sequence[Job], *, client: Any, address: str, report: Report, work: Work = run_job
) -> list[Outcome]:
    """Run every job on the cluster of ``client``; call ``report(index, outcome)`` as each finishes;
    return the outcomes in order. ``work`` runs a file's job in a worker (a module-level function)."""
    as_completed = importlib.import_module("distributed").as_completed

    sent = [_absolute(job) for job in jobs]
    existed = [os.path.lexists(job.output) for job in sent]
    outcomes: list[Outcome | None] = [None] * len(jobs)

    def finish(index: int, outcome: Outcome) -> None:
        outcomes[index] = _as_given(outcome, jobs[index], sent[index])
        report(index, outcomes[index])  # type: ignore[arg-type]

    files = [i for i, job in enumerate(sent) if not (job.points and os.path.isdir(job.points))]
    futures = {client.submit(_run_on_worker, work, sent[i], existed[i], pure=False): i for i in files}
    try:
        for index in (i for i in range(len(sent)) if i not in set(files)):
            # A dataset: its parts are the cluster's tasks, this process only gathers them.
            finish(index, run_job(dataclasses.replace(sent[index], scheduler=address)))
        for future in as_completed(futures, loop=client.loop):
            index = futures[future]
            error = future.exception()
            if error is None:
                finish(index, future.result())
            elif type(error).__name__ == "KilledWorker":
                finish(index, _died(sent[index]))
            else:
                finish(index, _failed_unexpectedly(sent[index], error))
    finally:
        # After Ctrl-C: the files not yet finished are dropped from the cluster.
        client.cancel(list(futures))
    return [outcome for outcome in outcomes if outcome is not None]

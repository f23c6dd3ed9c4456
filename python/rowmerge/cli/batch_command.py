"""``rowmerge merge ... --output-dir DIR``: a batch of inputs, merged over worker processes, or on a
Dask cluster with ``--scheduler ADDRESS`` (:mod:`rowmerge.cli.cluster_batch`)."""

from __future__ import annotations

import argparse
import os
import time
from typing import Any, TextIO

from .batch import default_processes, run_jobs
from .batch_inputs import BatchError, Planned, expand, output_suffix, plan, refusals
from .job import Job, Outcome
from .progress_bar import ProgressBar, wants_bar
from .status import CliError, ExitStatus
from .summary import batch_to_json, batch_total_line, file_line, per_group_lines

__all__ = ["run_batch"]

PROG = "rowmerge merge"


def _batch_threads(threads: int | None, processes: int) -> int:
    """Threads per merge in a batch: as asked, else the processors shared among the jobs."""
    if threads:
        return threads
    return max(1, default_processes() // processes)


def run_batch(args: argparse.Namespace, layers: dict[str, str], out: TextIO, err: TextIO) -> ExitStatus:
    """Plan the batch, refuse what cannot work before any merge, run it and report."""
    start = time.perf_counter()
    try:
        suffix = output_suffix(args.output_format) if args.output_format else None
        inputs = expand(args.inputs)
        planned = plan(inputs, args.output_dir, segments=args.segments, links=args.links, layers=layers, suffix=suffix)
    except BatchError as error:
        raise CliError(str(error)) from None
    problems = refusals(planned, overwrite=args.overwrite)
    if problems:
        more = f" (and {len(problems) - 1:,} more)" if len(problems) > 1 else ""
        raise CliError(problems[0] + more)
    client = None
    if args.scheduler is not None:
        from .cluster_batch import connect, refuse_local_only

        refuse_local_only([p for item in planned for p in (item.points, item.segments, item.links, item.output) if p])
        client = connect(args.scheduler)
    try:
        try:
            os.makedirs(args.output_dir, exist_ok=True)
        except OSError as error:
            raise CliError(
                f"--output-dir {args.output_dir}: cannot create {error.filename}: {error.strerror}"
            ) from None
        return _run(args, layers, planned, client, start, out, err)
    finally:
        if client is not None:
            client.close()


def _run(
    args: argparse.Namespace,
    layers: dict[str, str],
    planned: list[Planned],
    client: Any,
    start: float,
    out: TextIO,
    err: TextIO,
) -> ExitStatus:
    if client is not None:
        # Each worker runs as many files at once as it has threads: one merge thread each, unless asked.
        processes = len(client.scheduler_info(n_workers=-1)["workers"])
        threads = args.threads or 1
    else:
        processes = args.jobs or default_processes()
        threads = _batch_threads(args.threads, min(processes, len(planned)))
    jobs = [
        Job(
            points=p.points,
            output=p.output,
            segments=p.segments,
            links=p.links,
            columns=args.columns,
            layers=tuple(layers.items()),
            tolerance=args.tolerance,
            threads=threads,
            overwrite=args.overwrite,
            per_group=args.per_group,
            make_folder=True,
            tables_problem=p.problem,
        )
        for p in planned
    ]
    if client is not None:
        from .cluster_batch import check_paths

        check_paths(client, jobs, args.output_dir)
    bar = ProgressBar(len(planned), err, enabled=wants_bar(err))
    if not args.json:
        workers = min(processes, max(1, len(jobs)))
        where = (
            f"cluster {args.scheduler}, {processes} worker{'s' if processes != 1 else ''}"
            if client is not None
            else f"{workers} process{'es' if workers != 1 else ''}"
        )
        print(
            f"{PROG}: {len(planned):,} file{'s' if len(planned) != 1 else ''} -> "
            f"{args.output_dir} ({where}, {threads} thread{'s' if threads != 1 else ''} each)",
            file=out,
            flush=True,
        )

    def report(outcome: Outcome) -> None:
        for warning in outcome.warnings:
            bar.print(f"{PROG}: warning: {outcome.input}: {warning}", err)
        if not args.json:
            bar.print(file_line(outcome), out)
            for line in per_group_lines(outcome.per_group or [], indent="        "):
                bar.print(line, out)
        bar.advance(failed=not outcome.ok)

    bar.draw()
    try:
        if client is not None:
            from .cluster_batch import run_jobs_on_cluster

            ordered = run_jobs_on_cluster(
                jobs, client=client, address=args.scheduler, report=lambda index, outcome: report(outcome)
            )
        else:
            ordered = run_jobs(jobs, processes=processes, report=lambda index, outcome: report(outcome))
    finally:
        bar.clear()
    seconds = time.perf_counter() - start
    status = max((o.status for o in ordered), default=ExitStatus.DONE)
    if args.json:
        print(
            batch_to_json(
                ordered,
                seconds,
                {"output_dir": args.output_dir, "jobs": processes, "threads": threads, "tolerance": args.tolerance},
            ),
            file=out,
        )
    else:
        print(batch_total_line(ordered, seconds), file=out)
    failed = sum(1 for o in ordered if not o.ok)
    if failed:
        print(f"{PROG}: {failed:,} of {len(ordered):,} files failed", file=err)
    return status

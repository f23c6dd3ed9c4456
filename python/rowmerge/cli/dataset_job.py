"""One input that is a partitioned Parquet or GeoParquet dataset: merged part by part on Dask.

``rowmerge merge survey/points/ --segments segments.parquet --links
links.parquet --output-dir merged/`` lists the dataset's parts from their
footers (:func:`rowmerge.formats.dataset_parts`), reads the small segments
and links tables here, checks them once (:func:`rowmerge.dask.checked_tables`,
as ``rowmerge.dask.merge`` does) and then runs one Dask task per part: read
the part with the file format's own reader, merge it
(:func:`rowmerge.dask.merge_partition`, the partition merge of
``rowmerge.dask.merge``), write it with the format's own writer under the
part's own name.  Parts are read in their tasks only, never all at once.

The parts are written into a private folder beside the output, which takes
the output's name when every part is there
(:func:`rowmerge.formats.atomic_folder`): the merged dataset is complete or
absent.  A part that fails fails the whole input; the first failing part in
dataset order is reported, naming its file, row and column.

The tasks run on threads of this process (one merge thread each, as many at
once as the job's ``threads``), or on a Dask cluster when the job names a
scheduler: its workers must then reach the dataset and the output folder at
the same paths.  Each task returns its counts and the merge's warnings as
plain values, so they reach the report from any worker.
"""

from __future__ import annotations

import dataclasses
import importlib
import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .. import formats
from .._frame_terms import FrameCells, restated
from .._optional import import_optional
from .._table_layout import DEFAULT_TOLERANCE, POINT_COLUMNS
from ..api import orphans_warning, unplaced_warning
from ..errors import OrphanPointsWarning, UnplacedPointsWarning
from ..frame import SmallTables, point_table, refuse_geographic
from .job import Job, JobFailure, Outcome, _merged, file_terms, merge_failures, one_line, unexpected, warning_texts
from .status import FailureKind
from .summary import GroupCount, count_per_group

__all__ = ["run_dataset"]


@dataclass
class PartResult:
    """What one part's task did: its counts and warnings, or its failure (plain values)."""

    rows_in: int = 0
    rows_kept: int = 0
    columns: int = 0
    #: Points of no listed segment, and points without a finite x or y (the merge's warnings).
    orphans: int = 0
    unplaced: int = 0
    #: Any other warning, as one line.
    warnings: list[str] = field(default_factory=list)
    #: Points in and kept per main row (``--per-group``): the same rows in every part, added up.
    per_group: list[GroupCount] | None = None
    failure: FailureKind | None = None
    detail: str | None = None


def _merge_part(
    source: str, target: str, tables: SmallTables, tolerance: float, columns: str | None, per_group: bool
) -> PartResult:
    """Read the part ``source``, merge it and write it to ``target``; every problem comes back in
    the result."""
    from ..dask import checked_point_labels, merge_partition

    result = PartResult()
    try:
        try:
            table = formats.read_table(source, "points", columns=columns)
        except (formats.FormatError, ValueError) as error:
            raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
        frame = table.frame
        result.rows_in, result.columns = len(frame), len(frame.columns)
        collected: list[Warning] = []
        words = file_terms({"points": source}, table.source.renamed, columns)
        with merge_failures(None, words):
            refuse_geographic(frame, "points")
            labels = checked_point_labels(frame.iloc[:0], {})
            kept = merge_partition(frame, tables, labels, tolerance, 1, collected)
        result.rows_kept = len(kept)
        if per_group:
            result.per_group = count_per_group(tables.groups, point_table(frame, labels), point_table(kept, labels))
        for warning in collected:
            if isinstance(warning, OrphanPointsWarning):
                result.orphans += warning.count
            elif isinstance(warning, UnplacedPointsWarning):
                result.unplaced += warning.count
            else:
                result.warnings.append(one_line(warning))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        try:
            # Inside the private folder: a task run again after its worker died replaces its part.
            formats.write_points(kept, target, like=table.source, inputs=[source], overwrite=True)
        except formats.FormatError as error:
            raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
        except formats.OutputError as error:
            raise JobFailure(FailureKind.WRITE, one_line(error)) from None
    except JobFailure as failure:
        result.failure, result.detail = failure.kind, str(failure)
    except MemoryError:
        result.failure, result.detail = FailureKind.MEMORY, "not enough memory (MemoryError)"
    except Exception as error:  # noqa: BLE001 - reported as the input's failure
        result.failure, result.detail = FailureKind.UNEXPECTED, unexpected(error)
    return result


def _small_tables(job: Job, outcome: Outcome, tolerance: float) -> SmallTables:
    """Segments and links read and checked once; their warnings go to the outcome."""
    if job.segments is None or job.links is None:
        raise JobFailure(
            FailureKind.BAD_INPUT,
            job.tables_problem or f"points dataset {job.points}: give --segments FILE and --links FILE",
        )
    import pandas as pd

    from ..dask import checked_tables

    layers = dict(job.layers)
    try:
        segments = formats.read_table(job.segments, "segments", columns=job.columns, layer=layers.get("segments"))
        links = formats.read_table(job.links, "links", columns=job.columns, layer=layers.get("links"))
    except (formats.FormatError, ValueError) as error:
        raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
    outcome.groups = len(segments.frame)
    # The points' columns are checked in each part's task; here they only name cells.
    meta = pd.DataFrame({name: pd.Series(dtype="float64") for name in POINT_COLUMNS})
    labels = {name: name for name in POINT_COLUMNS}
    terms = file_terms({"segments": job.segments, "links": job.links}, (), job.columns)
    tables, _, shown, _ = _merged(
        lambda: checked_tables(
            meta, labels, segments.frame, links.frame, {}, tolerance=tolerance, threads=1, stacklevel=2
        ),
        None,
        terms,
    )
    outcome.warnings.extend(shown)
    return tables  # type: ignore[no-any-return]


def _compute(dask: Any, tasks: list[Any], job: Job) -> list[PartResult]:
    if job.scheduler is None:
        results = dask.compute(*tasks, scheduler="threads", num_workers=max(1, job.threads or 1))
        return list(results)
    distributed = importlib.import_module("distributed")
    with distributed.Client(job.scheduler, set_as_default=False) as client:
        try:
            return list(client.gather(client.compute(tasks)))
        except distributed.KilledWorker:
            raise JobFailure(
                FailureKind.WORKER_DIED, "the workers merging one of its parts kept dying (killed, or out of memory)"
            ) from None


def run_dataset(job: Job, outcome: Outcome) -> None:
    """Merge the points dataset ``job.points`` into the dataset ``job.output``; problems raise
    :class:`JobFailure`."""
    assert job.points is not None
    folder = job.points
    if job.keep_arrays:
        raise JobFailure(
            FailureKind.BAD_INPUT, f"points dataset {folder}: --plot draws a merge of files, not a dataset"
        )
    dask = import_optional(
        "dask",
        lambda state: JobFailure(
            FailureKind.BAD_INPUT,
            f"points dataset {folder}: merging a dataset needs Dask, {state}: pip install 'rowmerge[dask]'",
        ),
    )
    tolerance = job.tolerance if job.tolerance is not None else DEFAULT_TOLERANCE
    outcome.tolerance, outcome.layout = tolerance, "dataset"
    outcome.sources = {
        table: path for table, path in (("points", folder), ("segments", job.segments), ("links", job.links)) if path
    }
    try:
        parts = formats.dataset_parts(folder)
    except formats.FormatError as error:
        raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
    inputs = [p for p in (folder, job.segments, job.links) if p is not None]
    try:
        if job.make_folder:
            os.makedirs(os.path.dirname(os.path.normpath(job.output)) or ".", exist_ok=True)
        formats.check_folder_target(job.output, inputs=inputs, overwrite=job.overwrite)
    except formats.OutputError as error:
        raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
    except OSError as error:
        raise JobFailure(
            FailureKind.BAD_INPUT, f"output {job.output}: cannot create its folder: {one_line(error.strerror or error)}"
        ) from None
    tables = _small_tables(job, outcome, tolerance)

    delayed = dask.delayed
    start = time.perf_counter()
    shared = delayed(tables, pure=True)  # one key: sent to each worker once
    try:
        with formats.atomic_folder(job.output, inputs=inputs, overwrite=job.overwrite) as temporary:
            tasks = [
                delayed(_merge_part, pure=False)(
                    os.path.join(folder, part.name),
                    os.fspath(Path(temporary) / part.name),
                    shared,
                    tolerance,
                    job.columns,
                    job.per_group,
                )
                for part in parts
            ]
            results = _compute(dask, tasks, job)
            failed = next((r for r in results if r.failure is not None), None)
            if failed is not None:
                assert failed.failure is not None
                raise JobFailure(failed.failure, failed.detail or "")
    except formats.OutputError as error:
        raise JobFailure(FailureKind.WRITE, one_line(error)) from None
    outcome.merge_seconds = time.perf_counter() - start
    outcome.points_in = sum(r.rows_in for r in results)
    outcome.points_kept = sum(r.rows_kept for r in results)
    outcome.point_columns = results[0].columns if results else 0
    outcome.points_without_group = sum(r.orphans for r in results)
    outcome.warnings.extend(_summed_warnings(results))
    if job.per_group:
        outcome.per_group = _summed_per_group(results)


def _summed_per_group(results: list[PartResult]) -> list[GroupCount]:
    """Every part lists the same main rows in the same order: their counts added up."""
    total: list[GroupCount] = []
    for result in results:
        counts = result.per_group or []
        if not total:
            total = counts
            continue
        total = [
            dataclasses.replace(t, points_in=t.points_in + c.points_in, points_kept=t.points_kept + c.points_kept)
            for t, c in zip(total, counts, strict=True)
        ]
    return total


def _summed_warnings(results: list[PartResult]) -> list[str]:
    """The parts' warnings, said once for the whole dataset (counts added up), as one-line texts."""
    found: list[Warning] = []
    orphans = sum(r.orphans for r in results)
    unplaced = sum(r.unplaced for r in results)
    if orphans:
        found.append(restated(orphans_warning(orphans), FrameCells()))
    if unplaced:
        found.append(restated(unplaced_warning(unplaced), FrameCells()))
    texts, _ = warning_texts(found)
    return texts + list(dict.fromkeys(text for r in results for text in r.warnings))

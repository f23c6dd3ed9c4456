"""One input of the command line: read its tables, merge them, write the surviving points.

:func:`run_job` does the whole of it for a :class:`Job` and never raises for
a problem with the input, the merge or the output: it returns an
:class:`Outcome` whose ``failure`` says what kind of problem it was (and
so the exit status it earns) and whose ``detail`` is a one-line message.
Jobs and outcomes hold plain values, so batches can send them to worker
processes and back.

The module's raw tables (an ``.npz`` holding ``connected_crop_rows``,
``points_in_rows`` and ``row_information``, or one file per table) are
merged with :func:`rowmerge.merge`; tables with named columns or layers with
:func:`rowmerge.merge_frame`.  Outputs go through :mod:`rowmerge.formats`,
whose writers are safe: complete or absent, never an input.
"""

from __future__ import annotations

import os
import threading
import time
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .. import formats
from .._table_layout import DEFAULT_TOLERANCE, MAIN_ROW_COLUMNS
from ..errors import (
    AxisParallelWarning,
    InvalidValueError,
    MergeError,
    OneWayLinkWarning,
    OrphanPointsWarning,
    UnplacedPointsWarning,
    crop_row_text,
)
from ..frame import MergeArrays, frame_arrays
from .status import ExitStatus, FailureKind
from .summary import GroupCount, count_per_group

__all__ = ["Job", "Outcome", "run_job", "load_tables", "one_line", "merge_failures", "file_terms", "warning_texts"]


@dataclass(frozen=True)
class Job:
    """What to merge and where to write it.

    ``points`` is the input: a table of points, a GeoPackage holding the
    three layers, or an ``.npz`` of the module's raw tables.  ``segments``
    and ``links`` are the files of the other two tables when ``points``
    does not hold them.  ``array_files`` maps raw table names
    (``points_in_rows`` ...) to single-table files, for the raw layout.
    ``tolerance`` None takes the input's stored tolerance, else
    :data:`DEFAULT_TOLERANCE`; ``threads`` None the engine's default.
    ``keep_arrays`` keeps the merge's tables in the outcome (for a picture).
    """

    points: str | None
    output: str
    segments: str | None = None
    links: str | None = None
    array_files: tuple[tuple[str, str], ...] = ()
    columns: str | None = None
    layers: tuple[tuple[str, str], ...] = ()
    tolerance: float | None = None
    threads: int | None = None
    overwrite: bool = False
    per_group: bool = False
    keep_arrays: bool = False
    #: Create the output's folder if it is missing (a batch's sub-folders of --output-dir).
    make_folder: bool = False
    #: Why the segments or links file could not be found, if it could not.
    tables_problem: str | None = None
    #: A points dataset (a folder) runs its parts on this Dask scheduler's cluster (an address);
    #: None runs them on threads of this process.
    scheduler: str | None = None


@dataclass
class Outcome:
    """What became of a :class:`Job`: counts and times, or the kind of failure and its one line."""

    input: str
    output: str
    failure: FailureKind | None = None
    #: The failure's one-line message.
    detail: str | None = None
    #: The file each table came from, by table name.
    sources: dict[str, str] = field(default_factory=dict)
    layout: str | None = None  # "arrays" or "frames"
    tolerance: float | None = None
    groups: int | None = None
    point_columns: int | None = None
    points_in: int | None = None
    points_kept: int | None = None
    points_without_group: int | None = None
    #: The merge call alone, and the whole job (reading, merging, writing).
    merge_seconds: float | None = None
    seconds: float = 0.0
    warnings: list[str] = field(default_factory=list)
    per_group: list[GroupCount] | None = None
    #: With ``Job.keep_arrays``: the merge's tables and the surviving rows of its points.
    arrays: MergeArrays | None = None
    result_rows: np.ndarray | None = None

    @property
    def ok(self) -> bool:
        return self.failure is None

    @property
    def status(self) -> ExitStatus:
        return ExitStatus.DONE if self.failure is None else self.failure.status

    @property
    def error(self) -> str | None:
        """The failure as a report shows it, or None."""
        if self.failure is None or self.detail is None:
            return self.detail
        return self.failure.describe(self.detail)

    @property
    def points_removed(self) -> int | None:
        if self.points_in is None or self.points_kept is None:
            return None
        return self.points_in - self.points_kept


class JobFailure(Exception):
    """A problem met while running a job: its kind and one-line message."""

    def __init__(self, kind: FailureKind, message: str) -> None:
        super().__init__(message)
        self.kind = kind


def one_line(text: object) -> str:
    """``text`` on one line: line breaks and runs of blanks become single spaces."""
    return " ".join(str(text).split())


def unexpected(error: BaseException) -> str:
    """The one line for an exception nobody expected: its type, then its text."""
    return f"unexpected {type(error).__name__}: {one_line(error)}"


def load_tables(job: Job) -> formats.ArrayTables | formats.FrameTables | str:
    """The job's tables: raw arrays for ``rowmerge.merge``, or frames for ``merge_frame``; a points
    dataset (a folder) is read part by part later, and comes back as its path."""
    if job.array_files:
        return formats.read_array_tables(job.points, dict(job.array_files))
    if job.points is None:
        raise formats.FormatError("no input given")
    if formats.is_dataset(job.points):
        return job.points
    layers = dict(job.layers)
    if job.segments is None and job.links is None and not layers and formats.is_array_archive(job.points):
        return formats.read_array_tables(job.points)
    if (job.segments is None or job.links is None) and not formats.format_of(job.points, "input").multi_table:
        # A problem of the points file itself (missing, unreadable) says more than the
        # missing tables do: read it first.
        formats.read_table(job.points, "points", columns=job.columns, layer=layers.get("points"))
        raise formats.FormatError(
            job.tables_problem or f"{job.points}: holds one table; give --segments FILE and --links FILE"
        )
    return formats.read_tables(job.points, job.segments, job.links, columns=job.columns, layers=layers)


def _failure_text(error: MergeError, groups: np.ndarray | None) -> str:
    """The merge's message, naming the crop row of the failing group when it does not already."""
    text = one_line(error)
    group = getattr(error, "group", None)
    if "crop row" in text or group is None or groups is None:
        return text
    first, second = MAIN_ROW_COLUMNS
    if 0 <= group < groups.shape[0] and groups.shape[1] > second:
        text += f"; its crop row is {crop_row_text((float(groups[group, first]), float(groups[group, second])))}"
    return text


# catch_warnings changes process-wide state: one merge at a time records its warnings.
_WARNINGS_LOCK = threading.Lock()


@contextmanager
def merge_failures(groups: np.ndarray | None, in_file_terms: Any = one_line) -> Iterator[None]:
    """Turns what a merge raises into the :class:`JobFailure` of its kind.

    ``in_file_terms(error)`` words a refused value for the user.
    """
    try:
        yield
    except InvalidValueError as error:  # bad input, though found by the merge
        raise JobFailure(FailureKind.BAD_INPUT, in_file_terms(error)) from None
    except MergeError as error:
        raise JobFailure(FailureKind.MERGE, _failure_text(error, groups)) from None
    except (ValueError, TypeError) as error:
        raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
    except MemoryError:
        raise JobFailure(FailureKind.MEMORY, "not enough memory for the merge (MemoryError)") from None


def _merged(run: Any, groups: np.ndarray | None, in_file_terms: Any = one_line) -> tuple[Any, float, list[str], int]:
    """Call ``run()``; return its result, its time, its warnings as one-line texts, and how
    many points belong to no group (the merge counts them in its own pass and says so in
    its OrphanPointsWarning).

    ``in_file_terms(error)`` words a refused value for the user.
    """
    start = time.perf_counter()
    with _WARNINGS_LOCK, warnings.catch_warnings(record=True) as caught:
        for category in _SHOWN_WARNINGS:
            warnings.simplefilter("always", category)
        with merge_failures(groups, in_file_terms):
            result = run()
    seconds = time.perf_counter() - start
    texts, orphans = warning_texts([w.message for w in caught if isinstance(w.message, Warning)])
    return result, seconds, texts, orphans


def warning_texts(found: list[Warning]) -> tuple[list[str], int]:
    """The merge's warnings to show, as one-line texts, and how many points belong to no group."""
    shown = [one_line(w) for w in found if isinstance(w, _SHOWN_WARNINGS)]
    orphans = sum(w.count for w in found if isinstance(w, OrphanPointsWarning))
    return shown, orphans


# The merge's warnings, each shown as one line on standard error.
_SHOWN_WARNINGS = (AxisParallelWarning, OrphanPointsWarning, UnplacedPointsWarning, OneWayLinkWarning)


def _file_terms(tables: formats.FrameTables, job: Job) -> Any:
    """A function that words a refused value of a frame run by its file, line (CSV) or row, and column."""
    return file_terms(tables.sources, tables.points_source.renamed, job.columns)


def file_terms(sources: dict[str, str], renamed_on_reading: Any, columns: str | None) -> Any:
    """A function that words a refused value by its file (``sources``: table -> file), line (CSV)
    or row, and the file's name of the column (``renamed_on_reading``: the reader's (ours, theirs)
    renames; ``columns``: the command line's mapping)."""
    renamed = dict(renamed_on_reading)
    for pair in (columns or "").split(","):
        ours, _, theirs = pair.partition("=")
        if theirs:
            renamed.setdefault(ours.strip(), theirs.strip())

    def word(error: InvalidValueError) -> str:
        table, row, column = error.table, error.row, error.column
        source = sources.get(str(table))
        if source is None or not isinstance(row, int | np.integer):
            return one_line(error)
        where = f"line {int(row) + 2}" if source.lower().endswith(".csv") else f"row {int(row)}"
        shown = renamed.get(str(column), column)
        text = one_line(error)
        why = text.split(": ", 1)[1] if ": " in text else text
        return f"{source}, {where}, column {shown!r} is {error.value!r}: {why}"

    return word


def _run_arrays(job: Job, tables: formats.ArrayTables, outcome: Outcome) -> None:
    import rowmerge

    tolerance = (
        job.tolerance
        if job.tolerance is not None
        else (tables.tolerance if tables.tolerance is not None else DEFAULT_TOLERANCE)
    )
    outcome.tolerance = tolerance
    inputs = list(dict.fromkeys(tables.sources.values()))
    _check_output(job, inputs=inputs, arrays=True)
    groups, points, records = tables.connected_crop_rows, tables.points_in_rows, tables.row_information
    result, outcome.merge_seconds, outcome.warnings, outcome.points_without_group = _merged(
        lambda: rowmerge.merge(groups, points, records, tolerance=tolerance, threads=job.threads), groups
    )
    outcome.groups, outcome.point_columns = int(groups.shape[0]), int(points.shape[1])
    outcome.points_in, outcome.points_kept = int(points.shape[0]), int(result.shape[0])
    if job.per_group:
        outcome.per_group = count_per_group(groups, points, result)
    if job.keep_arrays:
        outcome.arrays, outcome.result_rows = MergeArrays(groups, points, records), result
    _write(lambda: formats.write_points(result, job.output, inputs=inputs, overwrite=job.overwrite))


def _run_frames(job: Job, tables: formats.FrameTables, outcome: Outcome) -> None:
    import rowmerge

    tolerance = job.tolerance if job.tolerance is not None else DEFAULT_TOLERANCE
    outcome.tolerance = tolerance
    inputs = list(dict.fromkeys(tables.sources.values()))
    _check_output(job, inputs=inputs, like=tables.points_source)
    points = tables.points
    # Numbered rows: the merge's surviving rows come back as positions in ``points``.
    numbered = points.reset_index(drop=True)
    kept, outcome.merge_seconds, outcome.warnings, outcome.points_without_group = _merged(
        lambda: rowmerge.merge_frame(numbered, tables.segments, tables.links, tolerance=tolerance, threads=job.threads),
        None,
        _file_terms(tables, job),
    )
    positions = kept.index.to_numpy()
    result = points.iloc[positions]
    outcome.groups, outcome.point_columns = len(tables.segments), len(points.columns)
    outcome.points_in, outcome.points_kept = len(points), len(result)
    if job.per_group or job.keep_arrays:
        arrays = frame_arrays(points, tables.segments, tables.links)
        rows = arrays.points_in_rows[positions]
        if job.per_group:
            outcome.per_group = count_per_group(arrays.connected_crop_rows, arrays.points_in_rows, rows)
        if job.keep_arrays:
            outcome.arrays, outcome.result_rows = arrays, rows
    _write(
        lambda: formats.write_points(
            result, job.output, like=tables.points_source, inputs=inputs, overwrite=job.overwrite
        )
    )


def _check_output(
    job: Job, *, inputs: list[str], like: formats.LayerSource | None = None, arrays: bool = False
) -> None:
    """Refuse a bad output before the merge: status 2."""
    try:
        if job.make_folder:
            os.makedirs(os.path.dirname(job.output) or ".", exist_ok=True)
        formats.check_output(job.output, like=like, inputs=inputs, overwrite=job.overwrite, arrays=arrays)
    except (formats.FormatError, formats.OutputError) as error:
        raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
    except OSError as error:
        raise JobFailure(
            FailureKind.BAD_INPUT, f"output {job.output}: cannot create its folder: {one_line(error.strerror or error)}"
        ) from None


def _write(write: Any) -> None:
    """Write the output: points the format cannot hold are bad input, anything else (a full
    disk, a file-size limit) a failed write."""
    try:
        write()
    except formats.FormatError as error:
        raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
    except formats.OutputError as error:
        raise JobFailure(FailureKind.WRITE, one_line(error)) from None


def run_job(job: Job) -> Outcome:
    """Run ``job``; every problem comes back in the outcome, never as an exception.

    KeyboardInterrupt and SystemExit still pass through.
    """
    start = time.perf_counter()
    outcome = Outcome(input=job.points or "", output=job.output)
    try:
        try:
            tables = load_tables(job)
        except (formats.FormatError, ValueError, formats.OutputError) as error:
            raise JobFailure(FailureKind.BAD_INPUT, one_line(error)) from None
        except OSError as error:
            raise JobFailure(FailureKind.BAD_INPUT, f"{job.points}: {one_line(error.strerror or error)}") from None
        if isinstance(tables, str):
            from .dataset_job import run_dataset

            run_dataset(job, outcome)
        elif isinstance(tables, formats.ArrayTables):
            outcome.sources = dict(tables.sources)
            outcome.layout = "arrays"
            _run_arrays(job, tables, outcome)
        else:
            outcome.sources = dict(tables.sources)
            outcome.layout = "frames"
            _run_frames(job, tables, outcome)
    except JobFailure as failure:
        outcome.failure, outcome.detail = failure.kind, str(failure)
    except MemoryError:
        outcome.failure, outcome.detail = FailureKind.MEMORY, "not enough memory (MemoryError)"
    except Exception as error:  # noqa: BLE001 - one bad file must not stop a batch
        outcome.failure, outcome.detail = FailureKind.UNEXPECTED, unexpected(error)
    outcome.seconds = time.perf_counter() - start
    if not outcome.ok:
        outcome.per_group = outcome.arrays = outcome.result_rows = None
    return outcome

"""The command line: ``rowmerge merge ...`` and ``rowmerge demo`` (also ``python -m rowmerge``).

:func:`main` takes the argument list and returns the exit status instead of
exiting, so that it can be called from Python:

* 0 after a successful run;
* 1 when a merge fails (one line naming the group and its crop row) or an
  output cannot be written (a full disk, a file-size limit);
* 2 for a problem with the arguments or the input: unknown option, missing
  or unreadable file, missing table or column, a value the merge refuses,
  an output that names an input or exists (without ``--overwrite``);
* 3 when the merged points were written but the ``--plot`` picture could
  not be (the result stays; a warning says why).

A batch (``--output-dir``) exits with the highest status of its files.
Every error is one line on standard error, without a traceback; warnings
are one line each too.  Standard output holds the summary.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, NoReturn, TextIO

from . import __version__
from .summary import (
    MergeSummary, batch_to_json, batch_total_line, file_line, format_text, per_group_lines, to_json,
)

if TYPE_CHECKING:
    import numpy as np

    from .field import Field
    from .frame_arrays import MergeArrays

__all__ = ["main", "build_parser", "CliError", "EXIT_OK", "EXIT_FAILED", "EXIT_INPUT",
           "EXIT_PLOT"]

PROG = "rowmerge"
EXIT_OK, EXIT_FAILED, EXIT_INPUT, EXIT_PLOT = 0, 1, 2, 3
#: The raw tables' single-table options (the module's own layout).
ARRAY_TABLES = ("connected_crop_rows", "points_in_rows", "row_information")

_MERGE_DESCRIPTION = """\
Merge the points of overlapping crop-row segments and write the points that survive.

One INPUT with -o OUTPUT, or any number of INPUTs (paths or quoted glob patterns)
with --output-dir DIR, merged in parallel over processes."""

_MERGE_EPILOG = """\
tables:
  Every merge needs points, segments and links (docs/formats.md has their columns).
  - A GeoPackage may hold all three as layers named points, segments and links
    (other names: --layers points=plants,segments=rows,links=links).
  - An .npz holding connected_crop_rows, points_in_rows and row_information (the
    module's raw tables, as 'rowmerge demo --save-tables' writes them) holds all three.
  - Otherwise --segments FILE and --links FILE; or, left out, the files beside each
    input whose names have 'segments' and 'links' where the input's has 'points'
    (day1/points.csv -> day1/segments.csv, day1/links.csv; any supported format).
  Formats by suffix: .csv .parquet .feather/.arrow .gpkg .geojson .npz .npy.
  --columns maps our column names to yours: --columns x=easting,y=northing.

outputs:
  In the input's format (or -o's suffix, or --output-format in a batch), with the
  input's column names, types and CRS. Every output is written to a temporary file
  and moved into place when complete: a failed write leaves nothing. An output that
  names an input is refused, and so is an existing one unless --overwrite.
  Batch outputs go to --output-dir at the input's path below the folder that holds
  all inputs (season/day1/points.csv -> OUT/day1/points.csv).

examples:
  rowmerge merge field.gpkg -o merged.gpkg
  rowmerge merge plants.csv --segments segments.csv --links links.csv \\
      --columns x=easting,y=northing -o merged.csv
  rowmerge merge 'season/*/points.parquet' --output-dir merged/ --json > report.json
  rowmerge merge field.npz -o merged.csv --tolerance 0.05 --plot merged.png

exit status: 0 done, 1 a merge failed or an output could not be written, 2 bad
arguments or input, 3 merged and written but the --plot picture failed; a batch
exits with the highest status of its files.
"""

_DEMO_EPILOG = """\
examples:
  rowmerge demo
  rowmerge demo --preset field --plot field.png
  rowmerge demo --save-tables field.npz && rowmerge merge field.npz -o merged.csv
"""


class CliError(Exception):
    """A failure reported as one line, with its exit status."""

    def __init__(self, message: str, status: int = EXIT_INPUT, label: str = "error") -> None:
        super().__init__(message)
        self.status = status
        self.label = label


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors that do not exit."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')")


def _whole_number(what: str, minimum: int) -> Callable[[str], int]:
    """An argparse type for an integer of at least ``minimum``; ``what`` names it in errors."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {what} {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{what} must be at least {minimum}, got {value}")
        return value

    return parse


def _tolerance(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid tolerance {text!r}") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"invalid tolerance {text!r}: it must be a finite "
                                         "number of at least 0, in the units of x and y")
    return value


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threads", type=_whole_number("thread count", 0), default=0, metavar="N",
                        help="worker threads per merge (default 0: one per processor; in a batch, "
                             "the processors shared among --jobs)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="draw kept and removed points, anchors and cut points (needs "
                             "matplotlib); if only the picture fails, the exit status is 3")
    parser.add_argument("--per-group", action="store_true",
                        help="also list the points removed from every group")
    parser.add_argument("--json", action="store_true",
                        help="print the summary as JSON (for scripts) instead of text")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace outputs that exist (never an input)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Merge the points of overlapping crop-row segments.")
    parser.add_argument("--version", action="version", version=f"rowmerge {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="{merge,demo}", parser_class=_Parser)

    merge = commands.add_parser(
        "merge", help="merge tables read from files and write the surviving points",
        description=_MERGE_DESCRIPTION, epilog=_MERGE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    merge.add_argument("inputs", nargs="*", metavar="INPUT",
                       help="points table, GeoPackage or raw-tables .npz; paths or glob patterns")
    where = merge.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUTPUT",
                       help="the output file, for one INPUT; its suffix chooses the format")
    where.add_argument("--output-dir", metavar="DIR",
                       help="write each INPUT's result here (created if missing)")
    merge.add_argument("--segments", metavar="FILE", help="the segments table (for every INPUT)")
    merge.add_argument("--links", metavar="FILE", help="the links table (for every INPUT)")
    merge.add_argument("--columns", metavar="OURS=YOURS,...",
                       help="your names for our columns, e.g. x=easting,y=northing,crop_row=row")
    merge.add_argument("--layers", metavar="TABLE=LAYER,...",
                       help="GeoPackage layer names, e.g. points=plants (default: the table names)")
    merge.add_argument("--output-format", metavar="FORMAT",
                       help="with --output-dir: write csv, parquet, feather, gpkg, geojson, npz "
                            "or npy instead of the input's format")
    merge.add_argument("--tolerance", type=_tolerance, metavar="T",
                       help="margin of the overlap test in the units of x and y (default: a raw-"
                            "tables .npz's stored 'tolerance', else 0.02)")
    merge.add_argument("--jobs", "-j", type=_whole_number("job count", 1), metavar="N",
                       help="files merged at once, in worker processes (default: one per processor)")
    for name in ARRAY_TABLES:
        merge.add_argument("--" + name.replace("_", "-"), dest=name, metavar="FILE",
                           help=f"raw table {name} from an .npy or .csv file (overrides INPUT's)")
    _add_common(merge)

    from .field import PRESET_ALIASES, PRESETS
    demo = commands.add_parser(
        "demo", help="generate a field of overlapping crop-row segments, merge it, summarise",
        description="Generate a realistic field of overlapping crop-row segments, merge it\n"
                    "and print what the merge did.",
        epilog=_DEMO_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("--preset", default="frame", choices=sorted([*PRESETS, *PRESET_ALIASES]),
                      help="size of the field: frame (one camera frame, the default), "
                           "field (200 segments, 200,000 points), tiny or field_large")
    demo.add_argument("--seed", type=_whole_number("seed", 0), default=0,
                      help="seed of the generator (default 0)")
    demo.add_argument("--save-tables", metavar="FILE.npz",
                      help="also write the generated tables (and tolerance) for 'merge'")
    _add_common(demo)
    return parser


# --- pieces shared by the commands ----------------------------------------------------

def _pairs(text: str | None, option: str, allowed: Sequence[str]) -> dict[str, str]:
    """``a=b,c=d`` as a mapping whose keys are among ``allowed``."""
    result: dict[str, str] = {}
    for item in (text or "").split(","):
        if not item.strip():
            continue
        key, sign, value = (part.strip() for part in item.partition("="))
        if not sign or not key or not value:
            raise CliError(f"{option} {item.strip()!r}: expected NAME=VALUE, e.g. "
                           f"{allowed[0]}={allowed[0]}s")
        if key not in allowed:
            raise CliError(f"{option}: unknown table {key!r} (tables: {', '.join(allowed)})")
        result[key] = value
    return result


def _check_plot(path: str | None, inputs: Sequence[str], overwrite: bool) -> None:
    """Refuse, before any work, a picture that cannot be written."""
    if path is None:
        return
    from .plot import PLOT_SUFFIXES, PlotUnavailable, require_matplotlib
    from .safe_output import OutputError, check_output_target
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in PLOT_SUFFIXES:
        raise CliError(f"plot {path}: unknown file type {suffix or '(none)'!r}; "
                       f"use {', '.join(PLOT_SUFFIXES)}")
    try:
        require_matplotlib()
        check_output_target(path, inputs=inputs, overwrite=overwrite, probe=True)
    except (PlotUnavailable, OutputError) as error:
        raise CliError(str(error).replace("output ", "plot ", 1)) from None


def _draw(path: str, arrays: MergeArrays, result_rows: np.ndarray, tolerance: float, title: str,
          units: str | None, overwrite: bool, inputs: Sequence[str]) -> str | None:
    """Draw the picture through a safe output; return why it failed, or None."""
    from .plot import plot_merge
    from .safe_output import atomic_output
    try:
        with atomic_output(path, inputs=inputs, overwrite=overwrite) as temporary:
            plot_merge(temporary, arrays.connected_crop_rows, arrays.points_in_rows,
                       arrays.row_information, result_rows, tolerance, title=title, units=units)
    except Exception as error:  # noqa: BLE001 - the result is written; the picture is extra
        from .job import one_line
        return one_line(error).replace("output ", "", 1)
    return None


def _plot_title(summary: MergeSummary) -> str:
    return (f"{summary.groups:,} groups, {summary.points_in:,} points: "
            f"{summary.points_kept:,} kept, {summary.points_removed:,} removed "
            f"(tolerance {summary.tolerance:g})")


def _warn(err: TextIO, prog: str, text: str) -> None:
    print(f"{prog}: warning: {text}", file=err)


# --- merge -------------------------------------------------------------------------------

def _merge_command(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from .formats import FormatError, parse_columns
    if args.columns is not None:
        try:
            parse_columns(args.columns)
        except FormatError as error:
            raise CliError(str(error)) from None
    layers = _pairs(args.layers, "--layers", ("points", "segments", "links"))
    array_files = {n: getattr(args, n) for n in ARRAY_TABLES if getattr(args, n) is not None}
    if args.output is None and args.output_dir is None:
        raise CliError("give -o OUTPUT (one input) or --output-dir DIR (any number of inputs)")
    if args.output_dir is not None:
        if array_files:
            raise CliError("--connected-crop-rows, --points-in-rows and --row-information take "
                           "one merge (-o OUTPUT); a batch reads raw tables from .npz INPUTs")
        if args.plot:
            raise CliError("--plot draws one merge (-o OUTPUT), not a batch")
        return _batch_command(args, layers, out, err)
    if args.output_format is not None:
        raise CliError("--output-format is for --output-dir; with -o, its suffix names the format")
    return _single_command(args, layers, array_files, out, err)


def _single_command(args: argparse.Namespace, layers: dict[str, str], array_files: dict[str, str],
                    out: TextIO, err: TextIO) -> int:
    from .batch_inputs import BatchError, companions, expand
    from .formats import FormatError
    from .job import Job, run_job
    try:
        inputs = expand(args.inputs)
    except BatchError as error:
        raise CliError(str(error)) from None
    if len(inputs) > 1:
        raise CliError(f"-o takes one input, got {len(inputs):,}; give --output-dir DIR for a batch")
    if not inputs and len(array_files) < len(ARRAY_TABLES):
        raise CliError("give an INPUT, or all three of --connected-crop-rows, --points-in-rows "
                       "and --row-information")
    points = inputs[0] if inputs else None
    segments, links, problem = args.segments, args.links, None
    if points is not None and not array_files:
        try:
            segments, links = companions(points, segments, links, layers)
        except FormatError as error:
            problem = str(error)
    given = [p for p in (points, segments, links, *array_files.values()) if p]
    _check_plot(args.plot, [*given, args.output], args.overwrite)
    job = Job(points=points, output=args.output, segments=segments, links=links,
              array_files=tuple(array_files.items()), columns=args.columns,
              layers=tuple(layers.items()), tolerance=args.tolerance,
              threads=args.threads or None, overwrite=args.overwrite, per_group=args.per_group,
              keep_arrays=args.plot is not None, tables_problem=problem)
    outcome = run_job(job)
    for warning in outcome.warnings:
        _warn(err, f"{PROG} merge", warning)
    if not outcome.ok:
        assert outcome.error is not None
        failed = outcome.error.startswith("merge failed: ")
        raise CliError(outcome.error.removeprefix("merge failed: "), status=outcome.status,
                       label="merge failed" if failed else "error")
    assert outcome.points_in is not None and outcome.points_kept is not None
    summary = MergeSummary(
        groups=outcome.groups or 0, points_in=outcome.points_in, points_kept=outcome.points_kept,
        point_columns=outcome.point_columns or 0, seconds=outcome.merge_seconds or 0.0,
        tolerance=outcome.tolerance if outcome.tolerance is not None else math.nan,
        threads=args.threads, points_without_group=outcome.points_without_group or 0,
        per_group=outcome.per_group,
        context={"command": "merge", "input": outcome.sources, "output": args.output,
                 "plot": args.plot})
    status = EXIT_OK
    if args.plot:
        assert outcome.arrays is not None and outcome.result_rows is not None
        problem = _draw(args.plot, outcome.arrays, outcome.result_rows, summary.tolerance,
                        _plot_title(summary), None, args.overwrite,
                        [*outcome.sources.values(), args.output])
        if problem is not None:
            _warn(err, f"{PROG} merge", f"plot {problem}; the merged points are in {args.output}")
            summary.context["plot"] = None
            status = EXIT_PLOT
    if args.json:
        print(to_json(summary), file=out)
        return status
    shown = ", ".join(dict.fromkeys(outcome.sources.values()))
    print(f"{PROG} merge: {shown} -> {args.output} ({summary.points_kept:,} × "
          f"{summary.point_columns} columns), tolerance {summary.tolerance:g}", file=out)
    for line in format_text(summary):
        print(line, file=out)
    if summary.context["plot"]:
        print(f"  picture: {args.plot}", file=out)
    return status


def _batch_threads(threads: int, processes: int) -> int:
    """Threads per merge in a batch: as asked, else the processors shared among the jobs."""
    if threads:
        return threads
    from .batch import default_processes
    return max(1, default_processes() // processes)


def _batch_command(args: argparse.Namespace, layers: dict[str, str], out: TextIO, err: TextIO) -> int:
    from .batch import default_processes, run_jobs
    from .batch_inputs import BatchError, expand, output_suffix, plan, refusals
    from .job import Job, Outcome
    from .progress_bar import ProgressBar, wants_bar
    start = time.perf_counter()
    try:
        suffix = output_suffix(args.output_format) if args.output_format else None
        inputs = expand(args.inputs)
        planned = plan(inputs, args.output_dir, segments=args.segments, links=args.links,
                       layers=layers, suffix=suffix)
    except BatchError as error:
        raise CliError(str(error)) from None
    problems = refusals(planned, overwrite=args.overwrite)
    if problems:
        more = f" (and {len(problems) - 1:,} more)" if len(problems) > 1 else ""
        raise CliError(problems[0] + more)
    try:
        os.makedirs(args.output_dir, exist_ok=True)
    except OSError as error:
        raise CliError(f"--output-dir {args.output_dir}: cannot create {error.filename}: "
                       f"{error.strerror}") from None

    processes = args.jobs or default_processes()
    threads = _batch_threads(args.threads, min(processes, len(planned)))
    jobs = [Job(points=p.points, output=p.output, segments=p.segments, links=p.links,
                columns=args.columns, layers=tuple(layers.items()), tolerance=args.tolerance,
                threads=threads, overwrite=args.overwrite, per_group=args.per_group,
                make_folder=True, tables_problem=p.problem)
            for p in planned]
    bar = ProgressBar(len(planned), err, enabled=wants_bar(err))
    prog = f"{PROG} merge"
    if not args.json:
        workers = min(processes, max(1, len(jobs)))
        print(f"{prog}: {len(planned):,} file{'s' if len(planned) != 1 else ''} -> "
              f"{args.output_dir} ({workers} process{'es' if workers != 1 else ''}, "
              f"{threads} thread{'s' if threads != 1 else ''} each)", file=out, flush=True)

    def report(outcome: Outcome) -> None:
        for warning in outcome.warnings:
            bar.print(f"{prog}: warning: {outcome.input}: {warning}", err)
        if not args.json:
            bar.print(file_line(outcome), out)
            for line in per_group_lines(outcome.per_group or [], indent="        "):
                bar.print(line, out)
        bar.advance(failed=not outcome.ok)

    bar.draw()
    try:
        ordered = run_jobs(jobs, processes=processes, report=lambda index, outcome: report(outcome))
    finally:
        bar.clear()
    seconds = time.perf_counter() - start
    status = max((o.status for o in ordered), default=EXIT_OK)
    if args.json:
        print(batch_to_json(ordered, seconds, {"output_dir": args.output_dir, "jobs": processes,
                                               "threads": threads, "tolerance": args.tolerance}),
              file=out)
    else:
        print(batch_total_line(ordered, seconds), file=out)
    failed = sum(1 for o in ordered if not o.ok)
    if failed:
        print(f"{prog}: {failed:,} of {len(ordered):,} files failed", file=err)
    return status


# --- demo --------------------------------------------------------------------------------

def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def _save_tables(path: str, field: Field, overwrite: bool) -> None:
    import numpy as np

    from .safe_output import OutputError, atomic_output
    try:
        with atomic_output(path, overwrite=overwrite) as temporary:
            with open(temporary, "wb") as stream:
                np.savez(stream, connected_crop_rows=field.connected_crop_rows,
                         points_in_rows=field.points_in_rows, row_information=field.row_information,
                         tolerance=np.float64(field.tolerance))
    except OutputError as error:
        raise CliError(f"--save-tables {error}", status=EXIT_FAILED) from None


def _demo_command(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    import numpy as np

    import rowmerge

    from .field import PRESET_ALIASES, make_field
    from .frame_arrays import MergeArrays
    from .safe_output import OutputError, check_output_target
    from .summary import count_per_group, count_without_group
    if args.save_tables is not None:
        if not args.save_tables.lower().endswith(".npz"):
            raise CliError(f"--save-tables {args.save_tables}: use an .npz file")
        try:
            check_output_target(args.save_tables, overwrite=args.overwrite, probe=True)
        except OutputError as error:
            raise CliError(f"--save-tables {error}") from None
    _check_plot(args.plot, [args.save_tables] if args.save_tables else [], args.overwrite)
    field = make_field(args.preset, seed=args.seed)
    groups, points, records = field.connected_crop_rows, field.points_in_rows, field.row_information
    if args.save_tables is not None:
        _save_tables(args.save_tables, field, args.overwrite)
    begin = time.perf_counter()
    result = rowmerge.merge(groups, points, records, tolerance=field.tolerance,
                            threads=args.threads or None)
    seconds = time.perf_counter() - begin
    preset = PRESET_ALIASES.get(args.preset, args.preset)
    summary = MergeSummary(
        groups=int(groups.shape[0]), points_in=int(points.shape[0]), points_kept=int(result.shape[0]),
        point_columns=int(points.shape[1]), seconds=seconds, tolerance=field.tolerance,
        threads=args.threads, points_without_group=count_without_group(groups, points),
        per_group=count_per_group(groups, points, result) if args.per_group else None,
        context={"command": "demo", "preset": preset, "seed": args.seed, "plot": args.plot})
    crop_rows = len(np.unique(groups[:, 1])) if field.groups else 0
    described = (f"the '{preset}' field (seed {args.seed}): {_plural(field.groups, 'segment')} on "
                 f"{_plural(crop_rows, 'crop row')}, tolerance {field.tolerance:g} m")
    status = EXIT_OK
    if args.plot:
        title = f"rowmerge demo, {described}: {summary.points_kept:,} of {summary.points_in:,} points kept"
        problem = _draw(args.plot, MergeArrays(groups, points, records), result, field.tolerance,
                        title, "m", args.overwrite, [])
        if problem is not None:
            _warn(err, f"{PROG} demo", f"plot {problem}")
            summary.context["plot"] = None
            status = EXIT_PLOT
    if args.json:
        print(to_json(summary), file=out)
        return status
    print(f"{PROG} demo: {described}", file=out)
    for line in format_text(summary):
        print(line, file=out)
    if summary.context["plot"]:
        print(f"  picture: {args.plot}", file=out)
    if args.save_tables:
        print(f"  tables: {args.save_tables} (try: {PROG} merge {args.save_tables} -o merged.csv)",
              file=out)
    if not (args.plot or args.save_tables):
        print(f"next: add --plot demo.png for a picture; '{PROG} merge --help' for your own data",
              file=out)
    return status


def main(argv: Sequence[str] | None = None, *, stdout: TextIO | None = None,
         stderr: TextIO | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    out = stdout if stdout is not None else sys.stdout
    err = stderr if stderr is not None else sys.stderr
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    prog = f"{PROG} {argv[0]}" if argv and argv[0] in ("merge", "demo") else PROG
    try:
        try:
            args, extra = parser.parse_known_args(argv)
        except SystemExit as exit_:  # --help and --version
            return int(exit_.code or 0) if not isinstance(exit_.code, str) else EXIT_INPUT
        # Inputs may also follow the options (merge a.gpkg --output-dir out b.gpkg).
        unknown = [a for a in extra if a.startswith("-") or getattr(args, "command", None) != "merge"]
        if unknown:
            raise CliError(f"unrecognized arguments: {' '.join(unknown)} (see '{prog} --help')")
        if extra:
            args.inputs = [*args.inputs, *extra]
        if args.command is None:
            raise CliError(f"choose a command: merge or demo (try '{PROG} demo')")
        if args.command == "merge":
            return _merge_command(args, out, err)
        return _demo_command(args, out, err)
    except CliError as error:
        print(f"{prog}: {error.label}: {error}", file=err)
        return error.status
    except MemoryError:
        print(f"{prog}: error: not enough memory (MemoryError)", file=err)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=err)
        return 130
    except BrokenPipeError:
        # Output piped into a command that stopped reading (head, ...).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED

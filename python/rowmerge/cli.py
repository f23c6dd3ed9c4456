"""The command line: ``python -m rowmerge merge ...`` and ``python -m rowmerge demo``.

:func:`main` takes the argument list and returns the exit status instead of
exiting, so that it can be called from Python:

* 0 after a successful run;
* 1 when the merge itself fails (its message is shown) or cannot be loaded;
* 2 for a problem with the arguments or the input: unknown option, missing
  or unreadable file, missing table, a table of the wrong shape or of a
  type that has no exact float64 form, matplotlib missing for ``--plot``.

Every error is one line on standard error, without a traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import NoReturn, TextIO

import numpy as np

from . import __version__
from .summary import MergeSummary, count_per_group, count_without_group, format_text, to_json
from .tables_io import (
    OUTPUT_SUFFIXES, TABLE_NAMES, TableError, check_output_path, load_tables, save_points,
)

__all__ = ["main", "CliError"]

PROG = "python -m rowmerge"
#: Tolerance of ``merge`` when neither ``--tolerance`` nor the input archive gives one.
DEFAULT_TOLERANCE = 0.02

_MERGE_EXAMPLES = """\
examples:
  python -m rowmerge merge field.npz -o merged.csv
  python -m rowmerge merge --connected-crop-rows groups.csv --points-in-rows points.npy \\
      --row-information rows.csv -o merged.npz --tolerance 0.05 --plot merged.png

The .npz input holds the three tables under the names connected_crop_rows,
points_in_rows and row_information (and may hold a scalar 'tolerance').
CSV tables may start with a header line; empty fields read as NaN. Integer,
boolean and float32 tables are converted to float64 when that is exact.
An .npz output holds the result under the name merged_points; a .csv output
starts with the header row_id_1,row_id_2,x,y,value_4,...

exit status: 0 done, 1 the merge failed, 2 bad arguments or input
"""

_DEMO_EXAMPLES = """\
examples:
  python -m rowmerge demo
  python -m rowmerge demo --preset field --plot field.png
  python -m rowmerge demo --save-tables field.npz && python -m rowmerge merge field.npz -o merged.csv
"""


class CliError(Exception):
    """A failure reported as one line, with its exit status."""

    def __init__(self, message: str, status: int = 2, label: str = "error") -> None:
        super().__init__(message)
        self.status = status
        self.label = label


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors that do not exit."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')")


def _non_negative(what: str) -> Callable[[str], int]:
    """An argparse type for a non-negative integer; `what` names it in errors."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {what} {text!r}") from None
        if value < 0:
            raise argparse.ArgumentTypeError(f"{what} must not be negative, got {value}")
        return value

    return parse


_threads = _non_negative("thread count")
_seed = _non_negative("seed")


def _tolerance(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid tolerance {text!r}") from None


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threads", type=_threads, default=0, metavar="N",
                        help="worker threads (default 0: RAYON_NUM_THREADS or the processors available)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="draw kept and removed points, anchors and cut points (needs matplotlib)")
    parser.add_argument("--per-group", action="store_true",
                        help="also list the points removed from every group")
    parser.add_argument("--json", action="store_true",
                        help="print the summary as JSON (for scripts) instead of text")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Merge the points of overlapping crop-row segments.")
    parser.add_argument("--version", action="version", version=f"rowmerge {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="{merge,demo}", parser_class=_Parser)

    merge = commands.add_parser(
        "merge", help="merge tables read from files and write the surviving points",
        description="Merge the three tables of INPUT (or of single-table files) and write\n"
                    "the points that survive to OUTPUT.",
        epilog=_MERGE_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    merge.add_argument("input", nargs="?", metavar="INPUT",
                       help=".npz archive holding connected_crop_rows, points_in_rows and row_information")
    merge.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                       help="where to write the surviving points: " + ", ".join(OUTPUT_SUFFIXES))
    for name in TABLE_NAMES:
        merge.add_argument("--" + name.replace("_", "-"), dest=name, metavar="FILE",
                           help=f"{name} from an .npy or .csv file (instead of INPUT's)")
    merge.add_argument("--tolerance", type=_tolerance, metavar="T",
                       help="margin of the overlap test in the units of x and y "
                            f"(default: INPUT's 'tolerance', else {DEFAULT_TOLERANCE})")
    _add_common(merge)

    from .field import PRESET_ALIASES, PRESETS
    demo = commands.add_parser(
        "demo", help="generate a field of overlapping crop-row segments, merge it, summarise",
        description="Generate a realistic field of overlapping crop-row segments, merge it\n"
                    "and print what the merge did.",
        epilog=_DEMO_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    demo.add_argument("--preset", default="frame", choices=sorted([*PRESETS, *PRESET_ALIASES]),
                      help="size of the field: frame (one camera frame, the default), "
                           "field (200 segments, 200,000 points), tiny or field_large")
    demo.add_argument("--seed", type=_seed, default=0, help="seed of the generator (default 0)")
    demo.add_argument("--save-tables", metavar="FILE.npz",
                      help="also write the generated tables (and tolerance) for 'merge'")
    _add_common(demo)
    return parser


# --- running the merge ------------------------------------------------------------

def _panic_hint(text: str) -> str:
    if "Option::unwrap()" in text:
        return " (a group names a crop row that has no record in row_information)"
    return ""


def _run_merge(tables: dict[str, np.ndarray], tolerance: float, threads: int) -> tuple[np.ndarray, float]:
    try:
        import _native
    except ImportError as error:
        raise CliError(f"the _native extension cannot be loaded: {error}", status=1) from None
    start = time.perf_counter()
    try:
        result = _native.merge_points_removing_overlap(
            tables["connected_crop_rows"], tables["points_in_rows"], tables["row_information"],
            tolerance, threads)
    except (KeyboardInterrupt, SystemExit):
        raise
    except MemoryError:
        raise CliError("not enough memory for the merge (MemoryError)", status=1,
                       label="merge failed") from None
    except (TypeError, ValueError, OverflowError) as error:
        notes = "".join(f" ({note})" for note in getattr(error, "__notes__", ()))
        raise CliError(f"{type(error).__name__}: {error}{notes}") from None
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        text = str(error)
        raise CliError(text + _panic_hint(text), status=1, label="merge failed") from None
    return result, time.perf_counter() - start


def _check_plot_path(path: str | None) -> None:
    if path is None:
        return
    from .plot import PLOT_SUFFIXES, PlotUnavailable, require_matplotlib
    try:
        check_output_path(path, PLOT_SUFFIXES, what="plot")
        require_matplotlib()
    except PlotUnavailable as error:
        raise CliError(str(error)) from None


def _draw(path: str, tables: dict[str, np.ndarray], result: np.ndarray, tolerance: float,
          title: str, units: str | None) -> None:
    from .plot import plot_merge
    try:
        plot_merge(path, tables["connected_crop_rows"], tables["points_in_rows"],
                   tables["row_information"], result, tolerance, title=title, units=units)
    except OSError as error:
        raise CliError(f"plot {path}: {error.strerror or error}") from None


def _summary(tables: dict[str, np.ndarray], result: np.ndarray, seconds: float, tolerance: float,
             threads: int, per_group: bool, context: dict[str, object]) -> MergeSummary:
    conn, points = tables["connected_crop_rows"], tables["points_in_rows"]
    return MergeSummary(
        groups=int(conn.shape[0]), points_in=int(points.shape[0]), points_kept=int(result.shape[0]),
        point_columns=int(points.shape[1]), seconds=seconds, tolerance=tolerance, threads=threads,
        points_without_group=count_without_group(conn, points),
        per_group=count_per_group(conn, points, result) if per_group else None, context=context)


def _archive_tolerance(path: str | None) -> float | None:
    """The scalar 'tolerance' of an .npz input, if it holds one."""
    if path is None or not path.lower().endswith(".npz"):
        return None
    try:
        with np.load(path, allow_pickle=False) as archive:
            if "tolerance" not in archive.files:
                return None
            value = archive["tolerance"]
    except (OSError, ValueError, EOFError):
        return None
    if value.shape != () or value.dtype.kind not in "fiu":
        raise CliError(f"input {path}: 'tolerance' must be a single number, got "
                       f"{value.dtype} of shape {value.shape}")
    return float(value)


def _merge_command(args: argparse.Namespace, out: TextIO) -> int:
    files = {name: getattr(args, name) for name in TABLE_NAMES}
    if args.input is None and not all(files.values()):
        raise CliError("give an .npz INPUT or all three of --connected-crop-rows, "
                       "--points-in-rows and --row-information")
    check_output_path(args.output)
    _check_plot_path(args.plot)
    tables, sources = load_tables(args.input, files)
    tolerance = args.tolerance
    if tolerance is None:
        tolerance = _archive_tolerance(args.input if args.input in sources.values() else None)
    if tolerance is None:
        tolerance = DEFAULT_TOLERANCE

    result, seconds = _run_merge(tables, tolerance, args.threads)
    save_points(args.output, result)
    summary = _summary(tables, result, seconds, tolerance, args.threads, args.per_group,
                       {"command": "merge", "input": sources, "output": args.output,
                        "plot": args.plot})
    if args.plot:
        title = (f"{summary.groups:,} groups, {summary.points_in:,} points: "
                 f"{summary.points_kept:,} kept, {summary.points_removed:,} removed "
                 f"(tolerance {tolerance:g})")
        _draw(args.plot, tables, result, tolerance, title, units=None)
    if args.json:
        print(to_json(summary), file=out)
        return 0
    inputs = sorted(set(sources.values()), key=list(sources.values()).index)
    print(f"rowmerge merge: {', '.join(inputs)} -> {args.output} "
          f"({result.shape[0]:,} × {result.shape[1]}), tolerance {tolerance:g}", file=out)
    for line in format_text(summary):
        print(line, file=out)
    if args.plot:
        print(f"  picture: {args.plot}", file=out)
    return 0


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def _demo_command(args: argparse.Namespace, out: TextIO) -> int:
    from .field import PRESET_ALIASES, make_field
    if args.save_tables is not None:
        check_output_path(args.save_tables, (".npz",), what="--save-tables")
    _check_plot_path(args.plot)
    field = make_field(args.preset, seed=args.seed)
    tables = {"connected_crop_rows": field.connected_crop_rows,
              "points_in_rows": field.points_in_rows, "row_information": field.row_information}
    if args.save_tables is not None:
        try:
            with open(args.save_tables, "wb") as stream:
                np.savez(stream, connected_crop_rows=field.connected_crop_rows,
                         points_in_rows=field.points_in_rows,
                         row_information=field.row_information,
                         tolerance=np.float64(field.tolerance))
        except OSError as error:
            raise CliError(f"--save-tables {args.save_tables}: {error.strerror or error}") from None
    result, seconds = _run_merge(tables, field.tolerance, args.threads)
    summary = _summary(tables, result, seconds, field.tolerance, args.threads, args.per_group,
                       {"command": "demo", "preset": PRESET_ALIASES.get(args.preset, args.preset),
                        "seed": args.seed, "plot": args.plot})
    crop_rows = len(np.unique(field.connected_crop_rows[:, 1])) if field.groups else 0
    described = (f"the '{summary.context['preset']}' field (seed {args.seed}): "
                 f"{_plural(field.groups, 'segment')} on {_plural(crop_rows, 'crop row')}, "
                 f"tolerance {field.tolerance:g} m")
    if args.plot:
        title = (f"rowmerge demo, {described}: {summary.points_kept:,} of "
                 f"{summary.points_in:,} points kept")
        _draw(args.plot, tables, result, field.tolerance, title, units="m")
    if args.json:
        print(to_json(summary), file=out)
        return 0
    print(f"rowmerge demo: {described}", file=out)
    for line in format_text(summary):
        print(line, file=out)
    if args.plot:
        print(f"  picture: {args.plot}", file=out)
    if args.save_tables:
        print(f"  tables: {args.save_tables} (try: {PROG} merge {args.save_tables} -o merged.csv)",
              file=out)
    if not (args.plot or args.save_tables):
        print(f"next: add --plot demo.png for a picture; '{PROG} merge --help' for your own data",
              file=out)
    return 0


def main(argv: Sequence[str] | None = None, *, stdout: TextIO | None = None,
         stderr: TextIO | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    out = stdout if stdout is not None else sys.stdout
    err = stderr if stderr is not None else sys.stderr
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    prog = f"rowmerge {argv[0]}" if argv and argv[0] in ("merge", "demo") else "rowmerge"
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exit_:  # --help and --version
            return int(exit_.code or 0) if not isinstance(exit_.code, str) else 2
        if args.command is None:
            raise CliError(f"choose a command: merge or demo (try '{PROG} demo')")
        if args.command == "merge":
            return _merge_command(args, out)
        return _demo_command(args, out)
    except CliError as error:
        print(f"{prog}: {error.label}: {error}", file=err)
        return error.status
    except TableError as error:
        print(f"{prog}: error: {error}", file=err)
        return 2
    except MemoryError:
        print(f"{prog}: error: not enough memory (MemoryError)", file=err)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=err)
        return 130
    except BrokenPipeError:
        # Output piped into a command that stopped reading (head, ...).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1

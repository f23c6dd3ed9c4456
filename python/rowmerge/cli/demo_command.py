"""``rowmerge demo``: generate a field of overlapping crop-row segments, merge it, summarise."""

from __future__ import annotations

import argparse
import time
from typing import TYPE_CHECKING, TextIO

from .options import add_common_options, whole_number
from .picture import check_plot, draw, plot_failed
from .status import CliError, ExitStatus
from .summary import MergeSummary, format_text, to_json

if TYPE_CHECKING:
    from ..field import Field
    from .options import Subcommands

__all__ = ["add_parser", "run"]

PROG = "rowmerge demo"

_EPILOG = """\
examples:
  rowmerge demo
  rowmerge demo --preset field --plot field.png
  rowmerge demo --save-tables field.npz && rowmerge merge field.npz -o merged.csv
"""


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    from ..field import PRESET_ALIASES, PRESETS

    demo = commands.add_parser(
        "demo",
        help="generate a field of overlapping crop-row segments, merge it, summarise",
        description="Generate a realistic field of overlapping crop-row segments, merge it\n"
        "and print what the merge did.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument(
        "--preset",
        default="frame",
        choices=sorted([*PRESETS, *PRESET_ALIASES]),
        help="size of the field: frame (one camera frame, the default), "
        "field (200 segments, 200,000 points), tiny or field_large",
    )
    demo.add_argument("--seed", type=whole_number("seed", 0), default=0, help="seed of the generator (default 0)")
    demo.add_argument(
        "--save-tables", metavar="FILE.npz", help="also write the generated tables (and tolerance) for 'merge'"
    )
    add_common_options(demo)
    return demo


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def _save_tables(path: str, field: Field, overwrite: bool) -> None:
    import numpy as np

    from ..formats.safe_output import OutputError, atomic_output

    try:
        with atomic_output(path, overwrite=overwrite) as temporary:
            with open(temporary, "wb") as stream:
                np.savez(
                    stream,
                    connected_crop_rows=field.connected_crop_rows,
                    points_in_rows=field.points_in_rows,
                    row_information=field.row_information,
                    tolerance=np.float64(field.tolerance),
                )
    except OutputError as error:
        raise CliError(f"--save-tables {error}", status=ExitStatus.FAILED) from None


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> ExitStatus:
    import numpy as np

    import rowmerge

    from .._table_layout import MAIN_ROW_COLUMNS
    from ..field import PRESET_ALIASES, make_field
    from ..formats.safe_output import OutputError, check_output_target
    from ..frame import MergeArrays
    from .summary import count_per_group, count_without_group

    if args.save_tables is not None:
        if not args.save_tables.lower().endswith(".npz"):
            raise CliError(f"--save-tables {args.save_tables}: use an .npz file")
        try:
            check_output_target(args.save_tables, overwrite=args.overwrite, probe=True)
        except OutputError as error:
            raise CliError(f"--save-tables {error}") from None
    check_plot(args.plot, [args.save_tables] if args.save_tables else [], args.overwrite)
    field = make_field(args.preset, seed=args.seed)
    groups, points, records = field.connected_crop_rows, field.points_in_rows, field.row_information
    if args.save_tables is not None:
        _save_tables(args.save_tables, field, args.overwrite)
    begin = time.perf_counter()
    result = rowmerge.merge(groups, points, records, tolerance=field.tolerance, threads=args.threads or None)
    seconds = time.perf_counter() - begin
    preset = PRESET_ALIASES.get(args.preset, args.preset)
    summary = MergeSummary(
        groups=int(groups.shape[0]),
        points_in=int(points.shape[0]),
        points_kept=int(result.shape[0]),
        point_columns=int(points.shape[1]),
        seconds=seconds,
        tolerance=field.tolerance,
        threads=args.threads or 0,
        points_without_group=count_without_group(groups, points),
        per_group=count_per_group(groups, points, result) if args.per_group else None,
        context={"command": "demo", "preset": preset, "seed": args.seed, "plot": args.plot},
    )
    crop_rows = len(np.unique(groups[:, MAIN_ROW_COLUMNS[0]])) if field.groups else 0
    described = (
        f"the '{preset}' field (seed {args.seed}): {_plural(field.groups, 'segment')} on "
        f"{_plural(crop_rows, 'crop row')}, tolerance {field.tolerance:g} m"
    )
    status = ExitStatus.DONE
    if args.plot:
        title = f"rowmerge demo, {described}: {summary.points_kept:,} of {summary.points_in:,} points kept"
        problem = draw(
            args.plot, MergeArrays(groups, points, records), result, field.tolerance, title, "m", args.overwrite, []
        )
        if problem is not None:
            status = plot_failed(err, PROG, summary, f"plot {problem}")
    if args.json:
        print(to_json(summary), file=out)
        return status
    print(f"{PROG}: {described}", file=out)
    for line in format_text(summary):
        print(line, file=out)
    if summary.context["plot"]:
        print(f"  picture: {args.plot}", file=out)
    if args.save_tables:
        print(f"  tables: {args.save_tables} (try: rowmerge merge {args.save_tables} -o merged.csv)", file=out)
    if not (args.plot or args.save_tables):
        print("next: add --plot demo.png for a picture; 'rowmerge merge --help' for your own data", file=out)
    return status

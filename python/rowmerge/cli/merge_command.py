"""``rowmerge merge``: merge tables read from files and write the surviving points.

One input with ``-o OUTPUT`` runs here; any number of inputs with
``--output-dir DIR`` run as a batch (:mod:`rowmerge.cli.batch_command`).
"""

from __future__ import annotations

import argparse
import math
from typing import TYPE_CHECKING, TextIO

from .._table_layout import DEFAULT_TOLERANCE, TABLE_NAMES
from .options import add_common_options, tolerance, whole_number
from .picture import check_plot, draw, plot_failed, plot_title, warn
from .status import CliError, ExitStatus
from .summary import MergeSummary, format_text, to_json

if TYPE_CHECKING:
    from .options import Subcommands

__all__ = ["add_parser", "run"]

PROG = "rowmerge merge"

_DESCRIPTION = """\
Merge the points of overlapping crop-row segments and write the points that survive.

One INPUT with -o OUTPUT, or any number of INPUTs (paths or quoted glob patterns)
with --output-dir DIR, merged in parallel over processes, or on a Dask cluster
(--scheduler ADDRESS). An INPUT that is a folder is a partitioned Parquet or
GeoParquet dataset, merged part by part on Dask and written as a dataset."""

_EPILOG = """\
tables:
  Every merge needs points, segments and links (docs/formats.md has their columns).
  - A GeoPackage may hold all three as layers named points, segments and links
    (other names: --layers points=plants,segments=rows,links=links).
  - An .npz holding connected_crop_rows, points_in_rows and row_information (the
    module's raw tables, as 'rowmerge demo --save-tables' writes them) holds all three.
  - Otherwise --segments FILE and --links FILE; or, left out, the files beside each
    input whose names have 'segments' and 'links' where the input's has 'points'
    (day1/points.csv -> day1/segments.csv, day1/links.csv; any supported format).
  Formats by suffix: .csv .parquet .feather/.arrow .gpkg .geojson .npz .npy; a folder of
  .parquet parts is a dataset (needs the 'dask' extra; 'geo' too for GeoParquet).
  --columns maps our column names to yours: --columns x=easting,y=northing.

outputs:
  In the input's format (or -o's suffix, or --output-format in a batch), with the
  input's column names, types and CRS. Every output is written to a temporary file
  and moved into place when complete: a failed write leaves nothing. An output that
  names an input is refused, and so is an existing one unless --overwrite.
  --output-dir outputs keep the input's path below the current directory, whether
  the input is merged alone or in a batch (season/day1/points.csv ->
  OUT/season/day1/points.csv); inputs outside it keep their path below the folder
  that holds them all.

examples:
  rowmerge merge field.gpkg -o merged.gpkg
  rowmerge merge plants.csv --segments segments.csv --links links.csv \\
      --columns x=easting,y=northing -o merged.csv
  rowmerge merge 'season/*/points.parquet' --output-dir merged/ --json > report.json
  rowmerge merge survey/points/ --segments survey/segments.parquet \
      --links survey/links.parquet --output-dir merged/
  rowmerge merge 'season/*/points.parquet' --output-dir merged/ --scheduler tcp://head:8786
  rowmerge merge field.npz -o merged.csv --tolerance 0.05 --plot merged.png

exit status: 0 done, 1 a merge failed or an output could not be written, 2 bad
arguments or input, 3 merged and written but the --plot picture failed; a batch
exits with the highest status of its files.
"""


def add_parser(commands: Subcommands) -> argparse.ArgumentParser:
    merge = commands.add_parser(
        "merge",
        help="merge tables read from files and write the surviving points",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    merge.add_argument(
        "inputs", nargs="*", metavar="INPUT", help="points table, GeoPackage or raw-tables .npz; paths or glob patterns"
    )
    where = merge.add_mutually_exclusive_group()
    where.add_argument(
        "-o", "--output", metavar="OUTPUT", help="the output file, for one INPUT; its suffix chooses the format"
    )
    where.add_argument("--output-dir", metavar="DIR", help="write each INPUT's result here (created if missing)")
    merge.add_argument("--segments", metavar="FILE", help="the segments table (for every INPUT)")
    merge.add_argument("--links", metavar="FILE", help="the links table (for every INPUT)")
    merge.add_argument(
        "--columns", metavar="OURS=YOURS,...", help="your names for our columns, e.g. x=easting,y=northing,crop_row=row"
    )
    merge.add_argument(
        "--layers",
        metavar="TABLE=LAYER,...",
        help="GeoPackage layer names, e.g. points=plants (default: the table names)",
    )
    merge.add_argument(
        "--output-format",
        metavar="FORMAT",
        help="with --output-dir: write csv, parquet, feather, gpkg, geojson, npz or npy instead of the input's format",
    )
    merge.add_argument(
        "--tolerance",
        type=tolerance,
        metavar="T",
        help="margin of the overlap test in the units of x and y (default: a raw-"
        f"tables .npz's stored 'tolerance', else {DEFAULT_TOLERANCE:g})",
    )
    merge.add_argument(
        "--jobs",
        "-j",
        type=whole_number("job count", 1),
        metavar="N",
        help="files merged at once, in worker processes (default: one per processor)",
    )
    merge.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="with --output-dir: run the files (and a dataset's parts) on the Dask cluster of this scheduler "
        "(tcp://host:8786) instead of local processes; its workers must reach the files at the same paths",
    )
    for name in TABLE_NAMES:
        merge.add_argument(
            "--" + name.replace("_", "-"),
            dest=name,
            metavar="FILE",
            help=f"raw table {name} from an .npy or .csv file (overrides INPUT's)",
        )
    add_common_options(merge)
    return merge


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> ExitStatus:
    """Check the arguments that go together, then merge one input or a batch."""
    from ..formats import FormatError, parse_columns, parse_layers

    try:
        parse_columns(args.columns)
    except FormatError as error:
        raise CliError(str(error)) from None
    try:
        layers = parse_layers(args.layers)
    except FormatError as error:
        raise CliError(f"--{error}") from None
    array_files = {n: getattr(args, n) for n in TABLE_NAMES if getattr(args, n) is not None}
    if args.output is None and args.output_dir is None:
        raise CliError("give -o OUTPUT (one input) or --output-dir DIR (any number of inputs)")
    if args.output_dir is not None:
        if array_files:
            raise CliError(
                "--connected-crop-rows, --points-in-rows and --row-information take "
                "one merge (-o OUTPUT); a batch reads raw tables from .npz INPUTs"
            )
        if args.plot:
            raise CliError("--plot draws one merge (-o OUTPUT), not a batch")
        if args.scheduler is not None and args.jobs is not None:
            raise CliError("--jobs counts local worker processes; with --scheduler the cluster's workers run the files")
        from .batch_command import run_batch

        return run_batch(args, layers, out, err)
    if args.output_format is not None:
        raise CliError("--output-format is for --output-dir; with -o, its suffix names the format")
    if args.scheduler is not None:
        raise CliError("--scheduler runs a batch on a cluster: give --output-dir DIR")
    return _run_one(args, layers, array_files, out, err)


def _run_one(
    args: argparse.Namespace, layers: dict[str, str], array_files: dict[str, str], out: TextIO, err: TextIO
) -> ExitStatus:
    from ..formats import FormatError
    from .batch_inputs import BatchError, companions, expand
    from .job import Job, run_job

    try:
        inputs = expand(args.inputs)
    except BatchError as error:
        raise CliError(str(error)) from None
    if len(inputs) > 1:
        raise CliError(f"-o takes one input, got {len(inputs):,}; give --output-dir DIR for a batch")
    if not inputs and len(array_files) < len(TABLE_NAMES):
        raise CliError("give an INPUT, or all three of --connected-crop-rows, --points-in-rows and --row-information")
    points = inputs[0] if inputs else None
    segments, links, problem = args.segments, args.links, None
    if points is not None and not array_files:
        try:
            segments, links = companions(points, segments, links, layers)
        except FormatError as error:
            problem = str(error)
    given = [p for p in (points, segments, links, *array_files.values()) if p]
    check_plot(args.plot, [*given, args.output], args.overwrite)
    job = Job(
        points=points,
        output=args.output,
        segments=segments,
        links=links,
        array_files=tuple(array_files.items()),
        columns=args.columns,
        layers=tuple(layers.items()),
        tolerance=args.tolerance,
        threads=args.threads or None,
        overwrite=args.overwrite,
        per_group=args.per_group,
        keep_arrays=args.plot is not None,
        tables_problem=problem,
    )
    outcome = run_job(job)
    for warning in outcome.warnings:
        warn(err, PROG, warning)
    if outcome.failure is not None:
        raise CliError(outcome.detail or "", status=outcome.status, label=outcome.failure.label)
    assert outcome.points_in is not None and outcome.points_kept is not None
    summary = MergeSummary(
        groups=outcome.groups or 0,
        points_in=outcome.points_in,
        points_kept=outcome.points_kept,
        point_columns=outcome.point_columns or 0,
        seconds=outcome.merge_seconds or 0.0,
        tolerance=outcome.tolerance if outcome.tolerance is not None else math.nan,
        threads=args.threads or 0,
        points_without_group=outcome.points_without_group or 0,
        per_group=outcome.per_group,
        context={"command": "merge", "input": outcome.sources, "output": args.output, "plot": args.plot},
    )
    status = ExitStatus.DONE
    if args.plot:
        assert outcome.arrays is not None and outcome.result_rows is not None
        problem = draw(
            args.plot,
            outcome.arrays,
            outcome.result_rows,
            summary.tolerance,
            plot_title(summary),
            None,
            args.overwrite,
            [*outcome.sources.values(), args.output],
        )
        if problem is not None:
            status = plot_failed(err, PROG, summary, f"plot {problem}; the merged points are in {args.output}")
    if args.json:
        print(to_json(summary), file=out)
        return status
    shown = ", ".join(dict.fromkeys(outcome.sources.values()))
    print(
        f"{PROG}: {shown} -> {args.output} ({summary.points_kept:,} × "
        f"{summary.point_columns} columns), tolerance {summary.tolerance:g}",
        file=out,
    )
    for line in format_text(summary):
        print(line, file=out)
    if summary.context["plot"]:
        print(f"  picture: {args.plot}", file=out)
    return status

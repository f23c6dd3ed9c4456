"""The ``--plot`` picture of a merge, for both commands: refused early, drawn safely."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, TextIO

from .job import one_line
from .status import CliError, ExitStatus
from .summary import MergeSummary

if TYPE_CHECKING:
    import numpy as np

    from ..frame import MergeArrays

__all__ = ["check_plot", "draw", "plot_title", "warn"]


def warn(err: TextIO, prog: str, text: str) -> None:
    print(f"{prog}: warning: {text}", file=err)


def check_plot(path: str | None, inputs: Sequence[str], overwrite: bool) -> None:
    """Refuse, before any work, a picture that cannot be written."""
    if path is None:
        return
    from ..formats.safe_output import OutputError, check_output_target
    from .plot import PLOT_SUFFIXES, PlotUnavailable, require_matplotlib

    suffix = os.path.splitext(path)[1].lower()
    if suffix not in PLOT_SUFFIXES:
        raise CliError(f"plot {path}: unknown file type {suffix or '(none)'!r}; use {', '.join(PLOT_SUFFIXES)}")
    try:
        require_matplotlib()
        check_output_target(path, inputs=inputs, overwrite=overwrite, probe=True)
    except (PlotUnavailable, OutputError) as error:
        raise CliError(str(error).replace("output ", "plot ", 1)) from None


def plot_failed(err: TextIO, prog: str, summary: MergeSummary, text: str) -> ExitStatus:
    """Warn that the picture could not be drawn and drop it from the summary; the exit status
    that says so (the merge itself succeeded)."""
    warn(err, prog, text)
    summary.context["plot"] = None
    return ExitStatus.PLOT_FAILED


def draw(
    path: str,
    arrays: MergeArrays,
    result_rows: np.ndarray,
    tolerance: float,
    title: str,
    units: str | None,
    overwrite: bool,
    inputs: Sequence[str],
) -> str | None:
    """Draw the picture through a safe output; return why it failed, or None."""
    from ..formats.safe_output import atomic_output
    from . import plot

    try:
        with atomic_output(path, inputs=inputs, overwrite=overwrite) as temporary:
            plot.plot_merge(
                temporary,
                arrays.connected_crop_rows,
                arrays.points_in_rows,
                arrays.row_information,
                result_rows,
                tolerance,
                title=title,
                units=units,
            )
    except Exception as error:  # noqa: BLE001 - the result is written; the picture is extra
        return one_line(error).replace("output ", "", 1)
    return None


def plot_title(summary: MergeSummary) -> str:
    return (
        f"{summary.groups:,} groups, {summary.points_in:,} points: "
        f"{summary.points_kept:,} kept, {summary.points_removed:,} removed "
        f"(tolerance {summary.tolerance:g})"
    )

"""Option types and the options every command shares."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import TYPE_CHECKING, NoReturn, TypeAlias

from .status import CliError

__all__ = ["CommandParser", "whole_number", "tolerance", "add_common_options"]


class CommandParser(argparse.ArgumentParser):
    """argparse whose errors are a one-line :class:`CliError` instead of usage and an exit."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')")


if TYPE_CHECKING:
    #: Where each command adds its own parser (argparse's class is generic in its stubs only).
    Subcommands: TypeAlias = argparse._SubParsersAction[CommandParser]


def whole_number(what: str, minimum: int) -> Callable[[str], int]:
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


def tolerance(text: str) -> float:
    """An argparse type for the merge's tolerance: a finite number of at least 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid tolerance {text!r}") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(
            f"invalid tolerance {text!r}: it must be a finite number of at least 0, in the units of x and y"
        )
    return value


def add_common_options(parser: argparse.ArgumentParser) -> None:
    """--threads, --plot, --per-group, --json and --overwrite."""
    parser.add_argument(
        "--threads",
        type=whole_number("thread count", 1),
        default=None,
        metavar="N",
        help="worker threads per merge, at least 1 (default: one per processor; in a batch, the processors shared "
        "among --jobs)",
    )
    parser.add_argument(
        "--plot",
        metavar="FILE.png",
        help="draw kept and removed points, anchors and cut points (needs "
        "matplotlib); if only the picture fails, the exit status is 3",
    )
    parser.add_argument("--per-group", action="store_true", help="also list the points removed from every group")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON (for scripts) instead of text")
    parser.add_argument("--overwrite", action="store_true", help="replace outputs that exist (never an input)")

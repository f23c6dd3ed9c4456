"""The entry point: ``rowmerge merge ...`` and ``rowmerge demo`` (also ``python -m rowmerge``).

:func:`main` takes the argument list and returns the exit status
(:class:`~rowmerge.cli.status.ExitStatus`) instead of exiting, so that it can
be called from Python.  Every error is one line on standard error, without a
traceback; warnings are one line each too.  Standard output holds the summary.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Protocol, TextIO

from .. import __version__
from . import demo_command, merge_command
from .options import CommandParser
from .status import CliError, ExitStatus

if TYPE_CHECKING:
    from .options import Subcommands

__all__ = ["main", "build_parser"]

PROG = "rowmerge"


class Command(Protocol):
    """A command's module: ``add_parser`` defines its options, ``run`` runs it."""

    def add_parser(self, commands: Subcommands) -> argparse.ArgumentParser: ...

    def run(self, args: argparse.Namespace, out: TextIO, err: TextIO) -> ExitStatus: ...


COMMANDS: dict[str, Command] = {"merge": merge_command, "demo": demo_command}


def _parsers() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The top-level parser, and each command's own."""
    parser = CommandParser(prog=PROG, description="Merge the points of overlapping crop-row segments.")
    parser.add_argument("--version", action="version", version=f"rowmerge {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="{merge,demo}", parser_class=CommandParser)
    return parser, {name: command.add_parser(commands) for name, command in COMMANDS.items()}


def build_parser() -> argparse.ArgumentParser:
    return _parsers()[0]


def _parse(argv: list[str]) -> argparse.Namespace:
    """The arguments; a command's inputs may also follow its options (merge a.gpkg -o x b.gpkg)."""
    parser, commands = _parsers()
    if argv and argv[0] in commands:
        args = commands[argv[0]].parse_intermixed_args(argv[1:])
        args.command = argv[0]
        return args
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None, *, stdout: TextIO | None = None, stderr: TextIO | None = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    out = stdout if stdout is not None else sys.stdout
    err = stderr if stderr is not None else sys.stderr
    argv = list(sys.argv[1:] if argv is None else argv)
    prog = f"{PROG} {argv[0]}" if argv and argv[0] in COMMANDS else PROG
    # A run asked for JSON writes one object, also when it is refused before
    # any work (so a script reading the report always finds one).
    wants_json = "--json" in argv
    try:
        try:
            args = _parse(argv)
        except SystemExit as exit_:  # --help and --version
            return int(exit_.code or 0) if not isinstance(exit_.code, str) else ExitStatus.BAD_INPUT
        if args.command is None:
            raise CliError(f"choose a command: merge or demo (try '{PROG} demo')")
        return COMMANDS[args.command].run(args, out, err)
    except CliError as error:
        print(f"{prog}: {error.label}: {error}", file=err)
        return _refused(out, wants_json, error.status, str(error))
    except MemoryError:
        print(f"{prog}: error: not enough memory (MemoryError)", file=err)
        return _refused(out, wants_json, ExitStatus.FAILED, "not enough memory (MemoryError)")
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=err)
        return _refused(out, wants_json, ExitStatus.INTERRUPTED, "interrupted")
    except BrokenPipeError:
        # Output piped into a command that stopped reading (head, ...).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return ExitStatus.FAILED


def _refused(out: TextIO, wants_json: bool, status: ExitStatus, message: str) -> ExitStatus:
    """The exit status of a run that ended before its report; with --json, its report says why."""
    if wants_json:
        print(json.dumps({"exit_status": int(status), "error": message}), file=out)
    return status

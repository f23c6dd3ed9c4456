"""Which files a batch merges, with which segments and links, and where each result goes.

* **Inputs** are paths or glob patterns (``'season/*/points.csv'``,
  ``'frames/**/*.gpkg'``); a pattern is expanded here, so it also works
  quoted, past the shell's limits on the length of a command.
* **Segments and links** of each input:

  - an input that holds all three tables needs none: a GeoPackage with the
    layers ``points``, ``segments`` and ``links``, or an ``.npz`` of the
    module's raw tables;
  - ``--segments FILE`` and ``--links FILE`` name one pair for every input
    (a field surveyed again and again along the same segments);
  - otherwise they are the input's **siblings**: the files beside it whose
    names have ``segments`` and ``links`` where the input's has ``points``
    (``2024-06-01/points.csv`` -> ``2024-06-01/segments.csv``;
    ``frame-0007-points.parquet`` -> ``frame-0007-segments.parquet``), in
    the input's format or, failing that, in any other one.
* **Outputs** go to ``--output-dir``, at the input's path relative to the
  current directory (``season/2024-06-01/points.csv`` ->
  ``OUT/season/2024-06-01/points.csv``), whether the input is merged alone or
  in a batch; inputs outside the current directory keep their path below the
  folder that holds them all. In the input's format or the one asked for.
* A **points dataset** (a folder of Parquet or GeoParquet parts) is one input:
  its segments and links are given, or found beside the folder
  (``survey/points/`` -> ``survey/segments.parquet``); its output is a
  folder of the same parts (``OUT/survey/points/``).

:func:`plan` turns the arguments into one :class:`Planned` per input, with
the problem that stops it, if any; :func:`refusals` finds outputs that must
not be written before any work starts.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

from ..formats import FORMATS, SUFFIXES, FormatError, format_of, is_array_archive, output_path

__all__ = ["BatchError", "Planned", "expand", "sibling", "companions", "plan", "refusals", "output_suffix"]


class BatchError(ValueError):
    """Batch arguments that cannot work: the text is one line."""


@dataclass(frozen=True)
class Planned:
    """One input of a batch: its tables' files and its output, or why it cannot be merged."""

    points: str
    segments: str | None
    links: str | None
    output: str
    problem: str | None = None


def expand(patterns: Iterable[str]) -> list[str]:
    """The files the arguments name, in order, each once.

    An argument that names an existing path is taken as it is; one with glob
    characters (``*``, ``?``, ``[``; ``**`` for any depth) is expanded and its
    matches sorted.  A pattern that matches nothing is refused.
    """
    files: list[str] = []
    for pattern in patterns:
        if os.path.lexists(pattern) or not glob.has_magic(pattern):
            files.append(pattern)
            continue
        matches = sorted(m for m in glob.glob(pattern, recursive=True) if not os.path.isdir(m))
        if not matches:
            raise BatchError(f"no file matches {pattern!r}")
        files.extend(matches)
    return list(dict.fromkeys(files))


def _candidate_suffixes(own: str) -> list[str]:
    """The input's own suffix first, then every other supported one, in a fixed order."""
    others = sorted(s for s in SUFFIXES if s != own)
    return [own, *others]


def sibling(points: str, table: str) -> str:
    """The file beside ``points`` that holds its ``table`` ("segments" or "links").

    Raises :class:`FormatError` when the name has no ``points`` to replace or
    no such file exists.
    """
    path = Path(points)
    stem, suffix = path.name[: -len(path.suffix)] if path.suffix else path.name, path.suffix.lower()
    at = stem.rfind("points")
    if at < 0:
        raise FormatError(
            f"{points}: no {table} table: its name has no 'points' to find "
            f"its {table} file by (see 'rowmerge merge --help'); give --{table} FILE"
        )
    name = stem[:at] + table + stem[at + len("points") :]
    for candidate_suffix in _candidate_suffixes(suffix):
        candidate = path.with_name(name + candidate_suffix)
        if candidate.is_file():
            return os.fspath(candidate)
    raise FormatError(
        f"{points}: no {table} table beside it (looked for {name}{suffix} and the other formats); give --{table} FILE"
    )


def _holds_all_tables(points: str, layers: dict[str, str]) -> bool:
    """Whether the input holds its segments and links itself (a GeoPackage, raw tables)."""
    try:
        file_format = format_of(points, "input")
    except FormatError:
        return False
    if file_format.multi_table:
        return True
    return not layers and is_array_archive(points)


def companions(
    points: str, segments: str | None, links: str | None, layers: dict[str, str] | None = None
) -> tuple[str | None, str | None]:
    """The segments and links files of ``points``: as given, else None when ``points`` holds
    them, else its siblings (:func:`sibling`; a points dataset's too, beside its folder);
    :class:`FormatError` when one cannot be found."""
    if not os.path.exists(points):
        return segments, links  # a missing input is reported by its reader
    if os.path.isfile(points) and _holds_all_tables(points, dict(layers or {})):
        return segments, links
    return (
        segments if segments is not None else sibling(points, "segments"),
        links if links is not None else sibling(points, "links"),
    )


def output_suffix(name: str) -> str:
    """The suffix for ``--output-format``: a format's name (``gpkg``) or a suffix (``.gpkg``)."""
    text = name.strip().lower()
    if text in FORMATS:
        return FORMATS[text].suffixes[0]
    suffix = text if text.startswith(".") else f".{text}"
    if suffix in SUFFIXES:
        return suffix
    known = ", ".join(sorted(FORMATS))
    raise BatchError(f"--output-format {name!r}: unknown format; use one of {known} (or a suffix such as .gpkg)")


def output_base(folders: Sequence[str]) -> str:
    """The folder below which each input's path is kept in ``--output-dir``.

    The current directory when every input lies below it, so that an input
    has the same output whether it is merged alone or in a batch
    (``day1/points.csv`` -> ``OUT/day1/points.csv`` either way); otherwise
    the folder that holds all inputs.
    """
    here = os.getcwd()
    if all(os.path.commonpath([here, folder]) == here for folder in folders):
        return here
    return os.path.commonpath(folders)


def plan(
    inputs: Sequence[str],
    output_dir: str,
    *,
    segments: str | None = None,
    links: str | None = None,
    layers: dict[str, str] | None = None,
    suffix: str | None = None,
) -> list[Planned]:
    """One :class:`Planned` per input; a problem that concerns one input stops only that input."""
    layers = dict(layers or {})
    if not inputs:
        raise BatchError("no input given")
    folders = [os.path.dirname(os.path.abspath(p)) for p in inputs]
    common = output_base(folders)
    planned = []
    for points, folder in zip(inputs, folders, strict=True):
        relative = os.path.relpath(folder, common)
        # A dataset (a folder) is written as a dataset of its own parts' format.
        target = output_path(
            points, os.path.normpath(os.path.join(output_dir, relative)), None if os.path.isdir(points) else suffix
        )
        problem = None
        try:
            found = companions(points, segments, links, layers)
        except FormatError as error:
            found, problem = (segments, links), str(error)
        planned.append(Planned(points, found[0], found[1], os.fspath(target), problem))
    return planned


def _identity(path: str) -> tuple[str, tuple[int, int] | None]:
    try:
        status = os.stat(path)
        inode: tuple[int, int] | None = (status.st_dev, status.st_ino)
    except OSError:
        inode = None
    return os.path.realpath(path), inode


def refusals(planned: Sequence[Planned], *, overwrite: bool) -> list[str]:
    """Why outputs of the batch must not be written: one line each, empty when all is well.

    Refused are: two inputs writing one output, an output that is one of the
    batch's inputs (any table of any input: the same path or the same file
    through a link), and an existing output unless ``overwrite``.
    """
    paths: set[str] = set()
    inodes: set[tuple[int, int]] = set()
    for item in planned:
        for source in (item.points, item.segments, item.links):
            if source is not None:
                real, inode = _identity(source)
                paths.add(real)
                if inode is not None:
                    inodes.add(inode)
    problems = []
    writers: dict[str, str] = {}
    for item in planned:
        real, inode = _identity(item.output)
        if real in writers:
            problems.append(
                f"inputs {writers[real]} and {item.points} would both be written to "
                f"{item.output}; give them different names or directories"
            )
            continue
        writers[real] = item.points
        if real in paths or (inode is not None and inode in inodes):
            problems.append(f"output {item.output} is an input of the batch; choose another --output-dir")
        elif not overwrite and os.path.lexists(item.output):
            problems.append(
                f"output {item.output} exists; allow overwriting it (--overwrite) or choose another --output-dir"
            )
    return problems

"""Writing an output file so that it is either complete or absent.

Every output goes through :func:`atomic_output`:

* before anything is written, an output that names one of the inputs (the
  same file, also through symbolic or hard links and relative paths), an
  output that exists (unless ``overwrite``), a directory in its place and a
  missing directory are refused;
* the writer writes into a private directory made inside the target's
  directory (so on the same file system), under the target's own name;
  libraries that add side files while they write (SQLite journals) keep
  them there;
* when the writer is done, the file is flushed to the disk (``fsync``) and
  moved into place in one step (a hard link that fails if the target has
  appeared meanwhile, or ``os.replace`` to overwrite), then the directory
  entry is flushed too;
* whatever happens (a full disk, a file-size limit, a read-only directory,
  an exception in the writer), the private directory and everything in it
  are removed, and the target is left as it was: absent, or the old file
  unchanged.

A partitioned dataset (a folder of part files) goes through
:func:`atomic_folder` the same way: its parts are written into a private
folder beside the target, which takes the target's name in one rename when
every part is there.

Failures are reported as :class:`OutputError`, whose text is one line.
The inputs are only ever compared, never opened.
"""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

__all__ = ["OutputError", "check_output_target", "check_folder_target", "same_file", "atomic_output", "atomic_folder"]

StrPath = str | os.PathLike[str]


class OutputError(Exception):
    """An output that is refused or could not be written; the text is one line."""

    def __init__(self, message: str, path: StrPath | None = None) -> None:
        super().__init__(message)
        self.path = os.fspath(path) if path is not None else None


def _describe(error: OSError) -> str:
    return error.strerror or str(error)


def same_file(first: StrPath, second: StrPath) -> bool:
    """Whether two paths name one file: the same resolved path, or the same inode."""
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False  # one of them does not exist (yet)


def check_output_target(
    target: StrPath, *, inputs: Iterable[StrPath] = (), overwrite: bool = False, probe: bool = False
) -> Path:
    """Refuse an output that must not be written, before any work is done.

    Raises :class:`OutputError` when ``target`` names one of ``inputs``, is
    a directory, lies in a directory that does not exist, or exists and
    ``overwrite`` is false; with ``probe``, also when nothing can be created
    in its directory (tried by making and removing an empty directory there,
    which also catches read-only file systems and root's writes to them).
    Returns ``target`` as a :class:`~pathlib.Path`.
    """
    path = Path(target)
    shown = os.fspath(target)
    for source in inputs:
        if same_file(path, source):
            raise OutputError(f"output {shown} is the input {os.fspath(source)}; choose another output", path)
    parent = path.parent
    if not parent.is_dir():
        raise OutputError(f"output {shown}: no such directory: {os.fspath(parent)}", path)
    if path.is_dir():
        raise OutputError(f"output {shown} is a directory", path)
    if not overwrite and (path.exists() or path.is_symlink()):
        raise OutputError(f"output {shown} exists; allow overwriting it (--overwrite) or choose another output", path)
    if probe:
        _probe_writable(path, shown)
    return path


def _probe_writable(path: Path, shown: str) -> None:
    """Refuse ``path`` when its folder cannot take a new entry (tried with an empty folder)."""
    try:
        os.rmdir(tempfile.mkdtemp(prefix=f".{path.name}.", suffix=".probe", dir=path.parent))
    except OSError as error:
        raise OutputError(
            f"output {shown}: cannot write in {os.fspath(path.parent) or '.'}: {_describe(error)}", path
        ) from error


def _fsync(path: StrPath, directory: bool = False) -> None:
    flags = os.O_RDONLY | (os.O_DIRECTORY if directory else 0)
    descriptor = os.open(path, flags)
    try:
        os.fsync(descriptor)
    except OSError as error:
        # Some file systems cannot flush a directory; the file itself was flushed.
        if not (directory and error.errno in (errno.EINVAL, errno.ENOTSUP, errno.EBADF)):
            raise
    finally:
        os.close(descriptor)


def _move_into_place(temporary: Path, target: Path, overwrite: bool) -> None:
    """Give the complete ``temporary`` the name ``target`` in one step."""
    if overwrite:
        os.replace(temporary, target)
        return
    try:
        # A hard link fails if the target has appeared since it was checked.
        os.link(temporary, target)
    except FileExistsError:
        raise
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        # No hard links on this file system: check, then rename.
        if target.exists() or target.is_symlink():
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), os.fspath(target)) from None
        os.rename(temporary, target)


@contextmanager
def _written_beside(
    path: Path, shown: str, put_in_place: Callable[[Path], None], *, folder: bool = False
) -> Iterator[Path]:
    """What :func:`atomic_output` and :func:`atomic_folder` share: a private workspace beside
    ``path`` (with an empty folder in it when ``folder``), the writer's ``OSError`` and those
    of ``put_in_place(temporary)`` as :class:`OutputError`, the flush of the new name, and
    the clean-up of the workspace on every way out."""
    parent = path.parent
    try:
        workspace = Path(tempfile.mkdtemp(prefix=f".{path.name}.", suffix=".partial", dir=parent))
    except OSError as error:
        raise OutputError(
            f"output {shown}: cannot write in {os.fspath(parent) or '.'}: {_describe(error)}", path
        ) from error
    temporary = workspace / path.name
    try:
        if folder:
            temporary.mkdir()
        try:
            yield temporary
        except OSError as error:
            raise OutputError(f"output {shown}: writing failed: {_describe(error)}", path) from error
        try:
            put_in_place(temporary)
        except FileExistsError as error:
            raise OutputError(
                f"output {shown} was created by someone else while it was being written; left as it is", path
            ) from error
        except OSError as error:
            raise OutputError(f"output {shown}: cannot be put in place: {_describe(error)}", path) from error
        try:
            _fsync(parent, directory=True)
        except OSError:
            pass  # the output is in place and complete; only the flush of its name failed
    finally:
        shutil.rmtree(workspace, ignore_errors=True)


@contextmanager
def atomic_output(target: StrPath, *, inputs: Iterable[StrPath] = (), overwrite: bool = False) -> Iterator[Path]:
    """Context manager giving the path a writer should write ``target``'s content to.

    ::

        with atomic_output("merged.gpkg", inputs=[source]) as temporary:
            frame.to_file(temporary)        # any writer that takes a path

    On leaving the block normally, the file at the yielded path becomes
    ``target``; on an exception nothing is left behind.  An ``OSError``
    raised by the writer, and any failure to create, flush or move the file,
    becomes :class:`OutputError` (the original chained); other exceptions
    pass through unchanged, after the clean-up.
    """
    path = check_output_target(target, inputs=tuple(inputs), overwrite=overwrite)

    def put_in_place(temporary: Path) -> None:
        if not temporary.is_file():
            raise OutputError(f"output {os.fspath(target)}: the writer produced no file", path)
        _fsync(temporary)
        _move_into_place(temporary, path, overwrite)

    with _written_beside(path, os.fspath(target), put_in_place) as temporary:
        yield temporary


def check_folder_target(target: StrPath, *, inputs: Iterable[StrPath] = (), overwrite: bool = False) -> Path:
    """Refuse a dataset folder that must not be written, before any work is done.

    As :func:`check_output_target` for a file: refused are a folder that is,
    holds or lies inside one of ``inputs``, a file in its place, a missing
    parent folder, one where nothing can be created, and an existing folder
    unless ``overwrite``.
    """
    path = Path(target)
    shown = os.fspath(target)
    real = os.path.realpath(path)
    for source in inputs:
        source_real = os.path.realpath(source)
        if os.path.commonpath([real, source_real]) in (real, source_real):
            raise OutputError(
                f"output {shown} is, holds or lies inside the input {os.fspath(source)}; choose another output", path
            )
    parent = path.parent
    if not parent.is_dir():
        raise OutputError(f"output {shown}: no such directory: {os.fspath(parent)}", path)
    if path.exists() and not path.is_dir():
        raise OutputError(f"output {shown} is a file; a partitioned dataset is written as a folder", path)
    if not overwrite and (path.exists() or path.is_symlink()):
        raise OutputError(f"output {shown} exists; allow overwriting it (--overwrite) or choose another output", path)
    _probe_writable(path, shown)
    return path


def _fsync_tree(folder: Path) -> None:
    for root, _, files in os.walk(folder):
        for name in files:
            _fsync(os.path.join(root, name))
        _fsync(root, directory=True)


def _replace_folder(temporary: Path, target: Path, overwrite: bool) -> None:
    """Give the complete folder ``temporary`` the name ``target``: a rename, after moving an old
    folder aside (overwrite) so that the name always holds a complete dataset or none."""
    if target.exists() or target.is_symlink():
        if not overwrite:
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), os.fspath(target))
        old = Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".old", dir=target.parent))
        os.rename(target, old / target.name)
        try:
            os.rename(temporary, target)
        except OSError:
            os.rename(old / target.name, target)  # put the old dataset back
            raise
        finally:
            shutil.rmtree(old, ignore_errors=True)
        return
    # No atomic "rename unless the name exists" for folders here: checked just before, and a
    # rename onto a folder that appeared meanwhile fails unless that folder is empty.
    os.rename(temporary, target)


@contextmanager
def atomic_folder(target: StrPath, *, inputs: Iterable[StrPath] = (), overwrite: bool = False) -> Iterator[Path]:
    """Context manager giving the folder a writer should write the dataset ``target``'s parts into.

    ::

        with atomic_folder("merged/points", inputs=[source]) as temporary:
            for part in parts:
                write(part, temporary / part.name)     # from any process that reaches the folder

    On leaving the block normally, the folder (every file flushed) becomes
    ``target``; on an exception nothing is left behind and an old ``target``
    (with ``overwrite``) is untouched.  Failures are :class:`OutputError`,
    as for :func:`atomic_output`.
    """
    path = check_folder_target(target, inputs=tuple(inputs), overwrite=overwrite)

    def put_in_place(temporary: Path) -> None:
        _fsync_tree(temporary)
        _replace_folder(temporary, path, overwrite)

    with _written_beside(path, os.fspath(target), put_in_place, folder=True) as temporary:
        yield temporary

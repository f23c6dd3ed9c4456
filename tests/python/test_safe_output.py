"""rowmerge.formats.safe_output, alone and under every writer of rowmerge.formats.

After every failure the output is absent (or the old file unchanged), no
temporary file is left in the directory, and the input is untouched.  The
file-size limit, the full disk and the read-only directory are set up in a
child process, so that they cannot disturb the test run.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import format_samples
from rowmerge.formats.safe_output import OutputError, atomic_folder, atomic_output, check_output_target

pytestmark = pytest.mark.thread_unsafe(reason="writes files under fixed names, starts processes")

TESTS_DIR = Path(format_samples.__file__).resolve().parent


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def listing(directory: Path) -> list[str]:
    return sorted(os.listdir(directory))


# ---------------------------------------------------------------------------
# The context manager on its own

def test_complete_output_appears_under_its_name(tmp_path):
    target = tmp_path / "out.bin"
    with atomic_output(target) as temporary:
        assert temporary.name == "out.bin" and temporary.parent.parent == tmp_path
        temporary.write_bytes(b"complete")
        assert not target.exists()
    assert target.read_bytes() == b"complete"
    assert listing(tmp_path) == ["out.bin"]


def test_file_and_directory_are_flushed(tmp_path, monkeypatch):
    flushed = []
    real_fsync = os.fsync

    def recording_fsync(descriptor):
        flushed.append(os.readlink(f"/proc/self/fd/{descriptor}"))
        real_fsync(descriptor)

    monkeypatch.setattr(os, "fsync", recording_fsync)
    with atomic_output(tmp_path / "out.bin") as temporary:
        temporary.write_bytes(b"data")
    assert flushed[0] == str(temporary) and flushed[-1] == str(tmp_path)


@pytest.mark.parametrize("how", ["same path", "relative path", "dotted path", "symbolic link",
                                 "hard link"])
def test_output_naming_an_input_is_refused(how, tmp_path, monkeypatch):
    source = tmp_path / "field.npz"
    source.write_bytes(b"input data")
    before = digest(source)
    monkeypatch.chdir(tmp_path)
    target = {"same path": source, "relative path": Path("field.npz"),
              "dotted path": tmp_path / "sub" / ".." / "field.npz",
              "symbolic link": tmp_path / "link.npz", "hard link": tmp_path / "hard.npz"}[how]
    if how == "dotted path":
        (tmp_path / "sub").mkdir()
    elif how == "symbolic link":
        target.symlink_to(source)
    elif how == "hard link":
        os.link(source, target)
    existing = listing(tmp_path)
    with pytest.raises(OutputError) as caught:
        with atomic_output(target, inputs=[source], overwrite=True) as temporary:
            temporary.write_bytes(b"result")
    assert str(caught.value) == f"output {target} is the input {source}; choose another output"
    assert digest(source) == before and listing(tmp_path) == existing


def test_existing_output_is_refused_unless_overwriting(tmp_path):
    target = tmp_path / "out.csv"
    target.write_text("old\n")
    with pytest.raises(OutputError) as caught:
        check_output_target(target)
    assert str(caught.value) == (f"output {target} exists; allow overwriting it (--overwrite) "
                                 "or choose another output")
    with atomic_output(target, overwrite=True) as temporary:
        temporary.write_text("new\n")
    assert target.read_text() == "new\n" and listing(tmp_path) == ["out.csv"]


@pytest.mark.parametrize("setup, message", [
    (lambda p: p.mkdir(), "output {p} is a directory"),
    (lambda p: None, "output {p}: no such directory: {p.parent}"),
])
def test_impossible_targets_are_refused(setup, message, tmp_path):
    target = tmp_path / "out.csv" if "directory:" not in message else tmp_path / "no" / "out.csv"
    setup(target)
    with pytest.raises(OutputError) as caught:
        check_output_target(target)
    assert str(caught.value) == message.format(p=target)


@pytest.mark.parametrize("existing", [False, True])
def test_failing_writer_leaves_nothing(existing, tmp_path):
    target = tmp_path / "out.csv"
    if existing:
        target.write_text("old\n")
    with pytest.raises(RuntimeError, match="writer broke"):
        with atomic_output(target, overwrite=True) as temporary:
            temporary.write_text("half a li")
            raise RuntimeError("writer broke")
    assert listing(tmp_path) == (["out.csv"] if existing else [])
    if existing:
        assert target.read_text() == "old\n"


def test_target_replaced_by_a_directory_while_writing(tmp_path):
    # The rename into place fails: the directory stays, the temporary goes.
    target = tmp_path / "out.csv"
    target.write_text("old\n")
    with pytest.raises(OutputError, match=r"cannot be put in place: Is a directory$"):
        with atomic_output(target, overwrite=True) as temporary:
            temporary.write_text("new\n")
            target.unlink()
            target.mkdir()
    assert target.is_dir() and listing(tmp_path) == ["out.csv"] and listing(target) == []


# A dataset: a folder of parts, written into a private folder and renamed into place.


def write_parts(folder: Path, text: str) -> None:
    for name in ("part.0.parquet", "sub/part.1.parquet"):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text)


def dataset(folder: Path) -> dict[str, str]:
    return {str(p.relative_to(folder)): p.read_text() for p in folder.rglob("*") if p.is_file()}


@pytest.mark.parametrize("existing", [False, True])
@pytest.mark.parametrize("writer_fails", [False, True])
def test_a_dataset_folder_is_complete_or_absent(existing, writer_fails, tmp_path):
    target = tmp_path / "merged"
    if existing:
        target.mkdir()
        write_parts(target, "old")
        (target / "only-in-old").write_text("old")
    before = dataset(target) if existing else None
    if writer_fails:
        with pytest.raises(RuntimeError, match="writer broke"):
            with atomic_folder(target, overwrite=True) as temporary:
                write_parts(temporary, "new")
                raise RuntimeError("writer broke")
    else:
        with atomic_folder(target, overwrite=True) as temporary:
            assert temporary.is_dir() and not target.is_symlink() and temporary.parent.parent == tmp_path
            write_parts(temporary, "new")
    assert listing(tmp_path) == (["merged"] if existing or not writer_fails else [])
    if writer_fails:
        assert (dataset(target) if existing else None) == before
    else:
        # The old folder is replaced as a whole: none of its files outlive it.
        assert dataset(target) == {"part.0.parquet": "new", "sub/part.1.parquet": "new"}


@pytest.mark.parametrize("where, message", [
    ("exists", "output {t} exists; allow overwriting it (--overwrite) or choose another output"),
    ("inside the input", "output {t} is, holds or lies inside the input {i}; choose another output"),
    ("holding the input", "output {t} is, holds or lies inside the input {i}; choose another output"),
])
def test_a_dataset_folder_that_must_not_be_written_is_refused_untouched(where, message, tmp_path):
    source = tmp_path / "survey" / "points"
    write_parts(source, "input")
    target = {"exists": tmp_path / "merged", "inside the input": source / "merged",
              "holding the input": tmp_path / "survey"}[where]
    target.mkdir(exist_ok=True)
    before = listing(tmp_path)
    with pytest.raises(OutputError) as caught:
        with atomic_folder(target, inputs=[source], overwrite=where != "exists"):
            pytest.fail("the writer ran")
    assert str(caught.value) == message.format(t=target, i=source)
    assert listing(tmp_path) == before and dataset(source) == {"part.0.parquet": "input",
                                                               "sub/part.1.parquet": "input"}


def test_target_created_by_someone_else_while_writing(tmp_path):
    target = tmp_path / "out.csv"
    with pytest.raises(OutputError, match="was created by someone else"):
        with atomic_output(target) as temporary:
            temporary.write_text("ours\n")
            target.write_text("theirs\n")
    assert target.read_text() == "theirs\n" and listing(tmp_path) == ["out.csv"]


# ---------------------------------------------------------------------------
# Every writer under a file-size limit, a full disk and a read-only directory

# Writer case -> (source suffix, libraries needed).
WRITERS = {
    "array npy": (".npz", ()),
    "csv": (".csv", ("pandas",)),
    "npz columns": (".npz", ("pandas",)),
    "parquet": (".parquet", ("pandas", "pyarrow")),
    "feather": (".feather", ("pandas", "pyarrow")),
    "gpkg": (".gpkg", ("geopandas", "pyogrio")),
    "geojson": (".geojson", ("geopandas", "pyogrio")),
    "geoparquet": (".parquet", ("geopandas", "pyarrow")),
}

# Runs in the child: reads the source, makes the result large enough to pass
# any limit below, then runs each job (output, file-size limit, overwrite) and
# reports its error and what the output's directory holds afterwards.  Only the
# soft limit is lowered, so that the next job can lift it again.
CHILD = r"""
import json, os, resource, sys
from pathlib import Path
case, source, jobs = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
import numpy as np
from rowmerge import formats
if case == "array npy":
    points = np.tile(np.load(source)["points_in_rows"], (60, 1))
    like = None
else:
    import pandas as pd
    table = formats.read_table(source, columns="crop_row=row,segment=seg,x=easting,y=northing")
    points = pd.concat([table.frame] * 60)
    # Values that no codec compresses, so that every output is larger than the limits.
    points["confidence"] = np.random.default_rng(1).random(len(points)).astype(np.float32)
    if table.frame.index.name:           # GeoPackage feature ids must stay unique
        points.index = pd.RangeIndex(1, len(points) + 1, name=table.frame.index.name)
    like = table.source
_, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
results = []
for output, limit, overwrite in jobs:
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit or hard, hard))
    try:
        formats.write_points(points, output, like=like, overwrite=overwrite)
        result = {"error": None}
    except Exception as error:
        result = {"error": type(error).__name__, "message": str(error)}
    resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
    result["listing"] = sorted(os.listdir(Path(output).parent))
    results.append(result)
print(json.dumps(results))
"""


def write_writer_source(case: str, path: Path) -> None:
    if case == "array npy":
        field = format_samples.sample_field()
        np.savez(path, connected_crop_rows=field.connected_crop_rows,
                 points_in_rows=field.points_in_rows, row_information=field.row_information)
    elif case == "csv":
        format_samples.points_frame().to_csv(path, index=False)
    elif case == "npz columns":
        np.savez(path, **format_samples.point_columns())
    elif case == "parquet":
        format_samples.points_frame().to_parquet(path)
    elif case == "feather":
        format_samples.points_frame().to_feather(path)
    elif case in ("gpkg", "geojson"):
        format_samples.points_geoframe().to_file(path)
    elif case == "geoparquet":
        format_samples.points_geoframe().to_parquet(path)


def output_name(case: str) -> str:
    return "merged.npy" if case == "array npy" else f"merged{WRITERS[case][0]}"


def run_child(case, source, jobs, *, prefix=()):
    """Run the jobs ``(output, limit or 0, overwrite)`` in a child process; their results."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(TESTS_DIR)] + [p for p in sys.path if p])
    jobs = [(str(output), limit, overwrite) for output, limit, overwrite in jobs]
    command = [*prefix, sys.executable, "-c", CHILD, case, str(source), json.dumps(jobs)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def need(case):
    for module in WRITERS[case][1]:
        pytest.importorskip(module)


@pytest.mark.parametrize("case", list(WRITERS))
def test_file_size_limit(case, tmp_path):
    need(case)
    source = tmp_path / f"input{WRITERS[case][0]}"
    write_writer_source(case, source)
    suffix = Path(output_name(case)).suffix
    new, previous, unlimited = (tmp_path / f"{name}{suffix}" for name in
                                ("new", "previous", "unlimited"))
    previous.write_bytes(b"the previous result\n")
    before = {name: digest(tmp_path / name) for name in listing(tmp_path)}
    results = run_child(case, source, [(new, 4096, False), (previous, 4096, True),
                                       (unlimited, 0, False)])
    reason = {"array npy": "the disk is full or a file-size limit was reached"}.get(
        case, "File too large")
    for result in results[:2]:
        assert result["error"] == "OutputError", result
        assert "\n" not in result["message"]
        if case not in ("gpkg", "geojson", "geoparquet"):  # GDAL and geopandas word it their way
            assert reason in result["message"]
        assert result["listing"] == sorted(before)
    # The same writer without the limit writes the whole file: the failures were the limit's.
    assert results[2] == {"error": None, "listing": sorted([*before, unlimited.name])}
    for name, content in before.items():
        assert digest(tmp_path / name) == content, name


def private_mount_available() -> bool:
    if shutil.which("unshare") is None or os.geteuid() != 0:
        return False
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return probe.returncode == 0


@pytest.mark.parametrize("case", ["array npy", "csv", "parquet", "gpkg"])
def test_full_disk(case, tmp_path):
    need(case)
    if not private_mount_available():
        pytest.skip("needs root and unshare --mount for a small private file system")
    source = tmp_path / f"input{WRITERS[case][0]}"
    write_writer_source(case, source)
    before = digest(source)
    disk = tmp_path / "disk"
    disk.mkdir()
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              f"mount -t tmpfs -o size=8k rowmerge-test '{disk}' && exec \"$@\"", "sh"]
    [result] = run_child(case, source, [(disk / output_name(case), 0, False)], prefix=prefix)
    assert result["error"] == "OutputError", result
    assert result["listing"] == []
    assert digest(source) == before


@pytest.mark.parametrize("case", ["array npy", "csv", "parquet", "gpkg"])
def test_read_only_directory(case, tmp_path):
    need(case)
    directory = tmp_path / "readonly"
    directory.mkdir()
    source = directory / f"input{WRITERS[case][0]}"
    write_writer_source(case, source)
    before = {source.name: digest(source)}
    output = directory / output_name(case)
    if os.geteuid() != 0:
        directory.chmod(0o555)
        try:
            [result] = run_child(case, source, [(output, 0, False)])
        finally:
            directory.chmod(0o755)
    elif private_mount_available():
        # Root ignores permission bits, not a read-only mount.
        prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                  f"mount --bind '{directory}' '{directory}' && "
                  f"mount -o remount,bind,ro '{directory}' && exec \"$@\"", "sh"]
        [result] = run_child(case, source, [(output, 0, False)], prefix=prefix)
    else:
        pytest.skip("as root, needs unshare --mount for a read-only bind mount")
    assert result["error"] == "OutputError", result
    assert result["message"].startswith(f"output {output}: cannot write in {directory}: ")
    assert listing(directory) == [source.name]
    assert digest(source) == before[source.name]

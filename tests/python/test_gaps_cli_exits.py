"""Exit statuses of the command line that scripts rely on.

- An output that is a symbolic link to nothing is refused before any work,
  with status 2, and the link is left as it was.
- Ctrl-C exits 130 (128 + SIGINT), so that a script can tell an interrupt
  from a failure (1).  The child is stopped while it reads its table of
  points from a named pipe that the test holds open: the test knows the
  child is inside the merge command because the pipe's open has returned,
  so no sleep or time threshold is needed.  The child gets the default
  SIGINT disposition from the test itself, whatever pytest inherited (a
  background job inherits SIGINT ignored).
"""

import os
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from rowmerge.field import make_field

RAW = ("connected_crop_rows", "points_in_rows", "row_information")
CHILD_TIMEOUT = 300


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def default_sigint():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def rowmerge_child(*argv, **options):
    return subprocess.Popen([sys.executable, "-m", "rowmerge", *map(str, argv)], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=default_sigint, **options)


@pytest.fixture()
def field_npz(tmp_path):
    field = make_field("frame", seed=3)
    path = tmp_path / "field.npz"
    np.savez(path, **{name: getattr(field, name) for name in RAW})
    return path


@pytest.mark.parametrize("target", ["absent.npy", "missing-folder/absent.csv"])
@pytest.mark.parametrize("extra", [[], ["--threads", "1"]])
def test_dangling_link_as_output_is_refused_up_front(tmp_path, field_npz, target, extra):
    output = tmp_path / f"out{os.path.splitext(target)[1]}"
    os.symlink(tmp_path / target, output)
    process = rowmerge_child("merge", field_npz, "-o", output, *extra)
    out, err = process.communicate(timeout=CHILD_TIMEOUT)
    assert process.returncode == 2, err
    assert out == "" and err.count("\n") == 1 and "exists" in err, err
    assert "Traceback" not in err
    # Untouched: still a link to nothing.
    assert output.is_symlink() and os.readlink(output) == str(tmp_path / target)
    assert not (tmp_path / target).exists()


def test_ctrl_c_exits_130(tmp_path):
    pytest.importorskip("pandas")  # raw tables in CSV are read by the CSV reader, which needs pandas
    field = make_field("frame", seed=3)
    tables = {}
    for name in RAW:
        tables[name] = tmp_path / f"{name}.csv"
        np.savetxt(tables[name], getattr(field, name), delimiter=",")
    points = tables["points_in_rows"]
    points.unlink()
    os.mkfifo(points)
    output = tmp_path / "merged.npy"
    process = rowmerge_child("merge", "--connected-crop-rows", tables["connected_crop_rows"],
                             "--points-in-rows", points, "--row-information", tables["row_information"],
                             "-o", output)
    writer = {}

    def open_writer():
        writer["fd"] = os.open(points, os.O_WRONLY)  # returns once the child opens the pipe to read

    opener = threading.Thread(target=open_writer, daemon=True)
    opener.start()
    try:
        while opener.is_alive() and process.poll() is None:
            opener.join(timeout=1.0)
        if opener.is_alive():
            # The child ended without reading the pipe: let the opener go, and report.
            os.close(os.open(points, os.O_RDONLY | os.O_NONBLOCK))
            opener.join()
            out, err = process.communicate(timeout=CHILD_TIMEOUT)
            pytest.fail(f"the child never read its points (status {process.returncode}): {err}")
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=CHILD_TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        if "fd" in writer:
            os.close(writer["fd"])
    assert process.returncode == 130, err
    assert out == "" and err.endswith("interrupted\n") and "Traceback" not in err, err
    assert not output.exists()

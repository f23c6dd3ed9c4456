"""The progress line drawn on file descriptor 2 while a call merges its groups.

Each test runs a child interpreter whose standard error (and, where a test
asks for it, standard output) is the slave side of a pseudo-terminal, reads
everything the child writes to the master side, and looks at what a terminal
would show: escape sequences removed and carriage-return redraws resolved.
"""

import json
import os
import re
import subprocess
import sys
from typing import NamedTuple

import pytest

import _native
from helpers import CHILD_TIMEOUT, LINE, open_pty, progress_lines, read_until_eof, screen_lines, strip_escapes


BAR_CELLS = 40
FULL_BAR = "█" * BAR_CELLS
SPINNER_FRAMES = "⠁⠁⠉⠙⠚⠒⠂⠂⠒⠲⠴⠤⠄⠄⠤⠠⠠⠤⠦⠖⠒⠐⠐⠒⠓⠋⠉⠈⠈"
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"

# The child: runs the calls listed in argv[1] (JSON: one [group_count,
# missing_record_group_or_null] pair per call, in order) and writes one outcome
# per call, and how many seconds each call took, to the file named in argv[2].
# Group i has main row i + 1 and one point; the record of row `missing + 1` is
# left out of row_information, so that group fails with a PanicException while
# the groups before it count as done.
CHILD = r"""
import json, sys, time
import numpy as np
import _native

outcomes, seconds = [], []
for count, missing in json.loads(sys.argv[1]):
    connected_crop_rows = np.array([[0, i + 1, i + 1, np.nan] for i in range(count)], dtype=float).reshape(-1, 4)
    points_in_rows = np.array([[i + 1, i + 1, 0.5, 0.5] for i in range(count)], dtype=float).reshape(-1, 4)
    row_information = np.array(
        [[i + 1, 0, 0, 0, i + 1, 0, 0, 1, 1, 2, 2] for i in range(count) if i != missing], dtype=float
    ).reshape(-1, 11)
    start = time.monotonic()
    try:
        result = _native.merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, 0.1, 1)
        outcomes.append(["ok", len(result)])
    except BaseException as error:
        outcomes.append([type(error).__name__, str(error)])
    seconds.append(time.monotonic() - start)
with open(sys.argv[2], "w") as report:
    json.dump([outcomes, seconds], report)
"""

SGR = re.compile(r"\x1b\[[0-9;]*m")


def drawings(raw):
    """Every progress line drawn, including those later drawn over."""
    segments = re.split(r"[\r\n]", strip_escapes(raw))
    return [s for s in segments if LINE.fullmatch(s)]


def child_env(**changes):
    """os.environ without the variables under test, then `changes` (None removes)."""
    env = dict(os.environ)
    for name in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE", "NATIVE_BACKTRACE"):
        env.pop(name, None)
    env["TERM"] = "xterm-256color"
    # The child must import the very module this test process imported.
    module_dir = os.path.dirname(os.path.abspath(_native.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


class Run(NamedTuple):
    text: str  # what the child wrote to the terminal
    redirected: str  # its redirected standard error
    outcomes: list  # per call: ["ok", rows] or [exception name, text]
    seconds: list  # per call: how long it took, as the child measured it


def run_child(tmp_path, calls, env, stdout="pty", stderr="pty"):
    """Runs the calls in a child; returns a Run.

    stdout is "pty", "file", "pipe" or "devnull"; stderr is "pty", "file" or "pipe".
    Redirected standard output is drained and discarded.
    """
    master, slave = open_pty()
    outcome_file = tmp_path / "outcomes.json"
    opened = []

    def target(kind, name):
        if kind == "pty":
            return slave
        if kind == "devnull":
            return subprocess.DEVNULL
        if kind == "pipe":
            return subprocess.PIPE
        handle = open(tmp_path / name, "w+b")
        opened.append(handle)
        return handle

    try:
        process = subprocess.Popen(
            [sys.executable, "-c", CHILD, json.dumps(calls), str(outcome_file)],
            stdin=subprocess.DEVNULL,
            stdout=target(stdout, "stdout.txt"),
            stderr=target(stderr, "stderr.txt"),
            env=env,
        )
        os.close(slave)
        slave = None
        piped = b""
        if stderr == "pipe" or stdout == "pipe":
            # The child writes little, so the pipes cannot fill up before its
            # pty output is read; communicate collects them and waits.
            out, err = process.communicate(timeout=CHILD_TIMEOUT)
            piped = err or b""
        pty_bytes = read_until_eof(master, process)
        process.wait(timeout=CHILD_TIMEOUT)
        if stderr == "file":
            piped = (tmp_path / "stderr.txt").read_bytes()
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)
        for handle in opened:
            handle.close()
    assert process.returncode == 0, pty_bytes + piped
    outcomes, seconds = json.loads(outcome_file.read_text())
    return Run(pty_bytes.decode("utf-8"), piped.decode("utf-8"), outcomes, seconds)


def assert_finished(line, count):
    assert line["pos"] == line["len"] == str(count)
    assert line["bar"] == FULL_BAR
    assert line["spinner"] == " "
    assert line["eta"] == "0s"


def failure_outcome():
    return ["PanicException", UNWRAP_NONE]


# --- what a finished call leaves on the terminal ------------------------------


def elapsed_fields(seconds):
    """Every elapsed field a drawing made within `seconds` of the call's start
    may show: whole seconds as HH:MM:SS.  The field is checked exactly; which
    of these it is depends only on how fast the machine is."""
    return {"%02d:%02d:%02d" % (s // 3600, s // 60 % 60, s % 60) for s in range(int(seconds) + 1)}


@pytest.mark.parametrize("count", [0, 1, 3, 41])
def test_finished_line(tmp_path, count):
    run = run_child(tmp_path, [[count, None]], child_env(), stdout="devnull")
    assert run.outcomes == [["ok", count]]
    # One line, redrawn in place and ended, is all the call leaves: blank
    # spinner, elapsed time, 40 full cells, count/count, no time left.
    line, *rest = screen_lines(run.text)
    assert rest == [""], run.text
    assert line in {
        "  [%s] [%s] %d/%d (0s)" % (elapsed, FULL_BAR, count, count) for elapsed in elapsed_fields(run.seconds[0])
    }
    if count == 0:
        # Nothing is drawn before the finish when there are no groups.
        assert len(drawings(run.text)) == 1, run.text


# --- when nothing may be written at all ---------------------------------------

QUIET_ENVIRONMENTS = {
    "NO_COLOR=1": {"NO_COLOR": "1"},
    "NO_COLOR empty": {"NO_COLOR": ""},
    "TERM=dumb": {"TERM": "dumb"},
    "TERM unset": {"TERM": None},
}

# Each quiet child makes a successful call of 3 groups, then a call of 5 groups
# that fails at group 3 after groups 0 to 2 completed.
QUIET_CALLS = [[3, None], [5, 3]]


def assert_only_report(text):
    """The child's fd 2 holds the failure report and nothing of the line."""
    assert text.lstrip("\n").startswith("thread '"), text
    assert UNWRAP_NONE in text
    assert "█" not in text and "░" not in text and "\x1b" not in text and "\r" not in text


@pytest.mark.parametrize("environment", QUIET_ENVIRONMENTS)
def test_environment_hides_the_line(tmp_path, environment):
    text, _, outcomes, _ = run_child(tmp_path, QUIET_CALLS, child_env(**QUIET_ENVIRONMENTS[environment]))
    assert outcomes == [["ok", 3], failure_outcome()]
    assert_only_report(text)


@pytest.mark.parametrize("stderr", ["file", "pipe"])
def test_redirected_stderr_gets_no_line(tmp_path, stderr):
    # Standard output stays on the terminal: only standard error decides.
    text, redirected, outcomes, _ = run_child(tmp_path, QUIET_CALLS, child_env(), stdout="pty", stderr=stderr)
    assert outcomes == [["ok", 3], failure_outcome()]
    assert text == ""
    assert_only_report(redirected)


# --- colours ------------------------------------------------------------------


@pytest.mark.parametrize(
    "stdout, changes, coloured",
    [
        pytest.param("pty", {}, True, id="stdout terminal"),
        pytest.param("pty", {"CLICOLOR": ""}, True, id="stdout terminal, CLICOLOR empty"),
        pytest.param("pty", {"CLICOLOR": "0"}, False, id="stdout terminal, CLICOLOR=0"),
        pytest.param("pty", {"CLICOLOR": "0", "CLICOLOR_FORCE": "1"}, True, id="stdout terminal, CLICOLOR=0, forced"),
        pytest.param("file", {}, False, id="stdout file"),
        pytest.param("pipe", {}, False, id="stdout pipe"),
        pytest.param("file", {"CLICOLOR": "1"}, False, id="stdout file, CLICOLOR=1"),
        pytest.param("file", {"CLICOLOR_FORCE": "1"}, True, id="stdout file, CLICOLOR_FORCE=1"),
        pytest.param("pipe", {"CLICOLOR_FORCE": "1"}, True, id="stdout pipe, CLICOLOR_FORCE=1"),
        pytest.param("pipe", {"CLICOLOR_FORCE": "0"}, False, id="stdout pipe, CLICOLOR_FORCE=0"),
    ],
)
def test_colours_follow_standard_output(tmp_path, stdout, changes, coloured):
    text, _, outcomes, _ = run_child(tmp_path, [[3, None]], child_env(**changes), stdout=stdout)
    assert outcomes == [["ok", 3]]
    assert bool(SGR.search(text)) is coloured, text
    # Coloured or not, the line reads the same.
    (line,) = progress_lines(text)
    assert_finished(line, 3)


GREEN = {"32", "92", "38;5;2", "38;5;10"}
CYAN = {"36", "96", "38;5;6", "38;5;14"}
BLUE = {"34", "94", "38;5;4", "38;5;12"}


def coloured_cells(raw_line):
    """(character, colour code or None) for each visible character of one drawing."""
    cells = []
    colour = None
    for piece in re.split(r"(\x1b\[[0-9;]*m)", raw_line):
        if SGR.fullmatch(piece):
            codes = piece[2:-1]
            colour = None if codes in ("", "0", "39") else codes
        else:
            cells.extend((char, colour) for char in strip_escapes(piece))
    return cells


def test_colour_split_of_a_partial_bar(tmp_path):
    # 5 groups failing at group 4: the last drawing shows 4/5, 32 cells filled.
    text = run_child(tmp_path, [[5, 4]], child_env()).text
    last_drawing = [s for s in re.split(r"[\r\n]", text) if LINE.fullmatch(strip_escapes(s))][-1]
    cells = coloured_cells(last_drawing)
    visible = "".join(char for char, _ in cells)
    match = LINE.fullmatch(visible)
    assert match, visible
    assert (match["pos"], match["len"]) == ("4", "5")
    spinner = cells[0]
    bar = cells[match.start("bar"):match.end("bar")]
    assert spinner[1] in GREEN, cells
    assert "".join(char for char, _ in bar) == "█" * 32 + "░" * 8
    # The filled cells and the one cell after them are cyan, the rest blue.
    assert all(colour in CYAN for _, colour in bar[:33]), bar
    assert all(colour in BLUE for _, colour in bar[33:]), bar
    # Everything else on the line is uncoloured.
    others = cells[1:match.start("bar")] + cells[match.end("bar"):]
    assert all(colour is None for _, colour in others), others


# --- a failing call -----------------------------------------------------------


@pytest.mark.parametrize(
    "count, missing, filled",
    [
        # filled = the whole part of 40 * missing / count
        (5, 0, 0),
        (5, 2, 16),
        (3, 1, 13),
        (3, 2, 26),
        (7, 3, 17),
        (10, 7, 28),
        (41, 1, 0),
        (81, 80, 39),
    ],
)
def test_failed_call_keeps_the_position_reached(tmp_path, count, missing, filled):
    run = run_child(tmp_path, [[count, missing]], child_env(), stdout="devnull")
    assert run.outcomes == [failure_outcome()]
    line = progress_lines(run.text)[-1]
    # The groups before the failing one count as done, and no more.
    assert (line["pos"], line["len"]) == (str(missing), str(count))
    assert line["bar"] == "█" * filled + "░" * (BAR_CELLS - filled)
    assert line["elapsed"] in elapsed_fields(run.seconds[0])
    # Not finished: the spinner still shows a frame, and the remaining time
    # is an estimate in compact form.
    assert line["spinner"] in SPINNER_FRAMES
    number, unit = re.fullmatch(r"(\d+)([smhdwy])", line["eta"]).groups()
    assert int(number) < 90 if unit == "s" else int(number) >= 2
    # No drawing ever claims completion.
    assert "%d/%d" % (count, count) not in strip_escapes(run.text), run.text
    # The failure report is on fd 2 too, on lines of its own.
    lines = screen_lines(run.text)
    assert any(screen_line.startswith("thread '") for screen_line in lines), run.text
    assert UNWRAP_NONE in lines, run.text
    if missing > 0:
        # The first group drew the line before the failure was reported.
        assert run.text.index("1/%d" % count) < run.text.index("thread '")


# --- several calls in one process ---------------------------------------------


@pytest.mark.parametrize(
    "calls",
    [
        [[3, None], [2, None]],
        [[0, None], [3, None]],
        [[5, 2], [3, None]],
    ],
    ids=["two successes", "no groups then three", "failure then success"],
)
def test_every_call_draws_its_line(tmp_path, calls):
    text, _, outcomes, _ = run_child(tmp_path, calls, child_env(), stdout="devnull")
    lines = progress_lines(text)
    assert outcomes == [["ok", c] if m is None else failure_outcome() for c, m in calls]
    # The totals differ between the calls, so each line is known by its total.
    for count, missing in calls:
        own = [line for line in lines if line["len"] == str(count)]
        if missing is None:
            # A successful call leaves exactly one line, finished.
            assert len(own) == 1, text
            assert_finished(own[0], count)
        else:
            # A failed call's last line shows the position it reached.
            assert own, text
            assert own[-1]["pos"] == str(missing)
    # The lines appear in the order of the calls.
    assert list(dict.fromkeys(line["len"] for line in lines)) == [str(count) for count, _ in calls]

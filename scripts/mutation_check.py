#!/usr/bin/env python3
"""Mutation check of our test suites (run through scripts/mutation-check.sh).

Each mutant in scripts/mutants.toml is one exact text replacement in one
source file. For every mutant the check patches a private copy of the tree
(build-mutants-tree/), builds it incrementally in build-mutants/, and runs the
C++ suite (ctest) and then the Python suite (pytest) against the build tree,
each stopping at its first failure. A mutant is

  caught by C++ / caught by Python   a suite failed (or hung past its time limit)
  survived                           both suites passed
  build failed                       the patched tree does not build (not scored)
  stale                              its original text is not in the file exactly once (not scored)

and the score is caught / (caught + survived). Mutants marked
`equivalent = true` are run and scored like the others.

The working tree is never patched: the private copy is brought in line with
it (by content) before every run, so a mutant left behind by a crash is gone
at the next start, and the patched file is restored after each mutant. The
C++ suite only runs for mutants in the layers engine_tests links (core,
merge, progress); the Python suite always runs.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TREE = ROOT / "build-mutants-tree"
BUILD = ROOT / "build-mutants"
LOGS = BUILD / "mutation-logs"
MUTANTS_FILE = ROOT / "scripts" / "mutants.toml"
# What the build reads: the private copy holds these and nothing else.
COPIED = ("CMakeLists.txt", "cmake", "src", "python", "tests/cpp")

# Layer -> the folder its files live in.
LAYERS = {
    "core": "src/core/",
    "merge": "src/merge/",
    "progress": "src/progress/",
    "python": "src/python/",
    "native_module": "src/native_module/",
    "engine_module": "src/engine_module/",
    "package": "python/rowmerge/",
}
# The layers linked into engine_tests: only their mutants can change the C++ suite.
CPP_SUITE_LAYERS = {"core", "merge", "progress"}

# Time limits when there is no baseline run to scale from.
DEFAULT_LIMITS = {"cpp": 600.0, "python": 1200.0}


@dataclass
class Mutant:
    name: str
    layer: str
    file: str
    original: str
    replacement: str
    equivalent: bool = False
    reason: str = ""


@dataclass
class Outcome:
    name: str
    layer: str
    file: str
    result: str  # caught-cpp, caught-python, survived, build-failed, stale
    seconds: float
    detail: str = ""
    equivalent: bool = False

    @property
    def shown(self) -> str:
        text = {
            "caught-cpp": "caught by C++",
            "caught-python": "caught by Python",
            "survived": "survived",
            "build-failed": "build failed",
            "stale": "stale",
        }[self.result]
        if self.equivalent and self.result == "survived":
            text += " (equivalent)"
        elif self.equivalent and self.result.startswith("caught"):
            text += " (marked equivalent!)"
        return text


def load_mutants(path: Path) -> list[Mutant]:
    with open(path, "rb") as stream:
        data = tomllib.load(stream)
    mutants = []
    seen: set[str] = set()
    for entry in data.get("mutant", []):
        unknown = set(entry) - {"name", "layer", "file", "original", "replacement", "equivalent", "reason"}
        if unknown:
            sys.exit(f"{path}: mutant {entry.get('name')!r}: unknown keys {sorted(unknown)}")
        mutant = Mutant(**entry)
        if mutant.name in seen:
            sys.exit(f"{path}: mutant {mutant.name!r} is listed twice")
        seen.add(mutant.name)
        if mutant.layer not in LAYERS:
            sys.exit(f"{path}: mutant {mutant.name!r}: unknown layer {mutant.layer!r} (layers: {', '.join(LAYERS)})")
        if not mutant.file.startswith(LAYERS[mutant.layer]):
            sys.exit(f"{path}: mutant {mutant.name!r}: {mutant.file} is not in layer {mutant.layer}")
        if mutant.original == mutant.replacement or not mutant.original:
            sys.exit(f"{path}: mutant {mutant.name!r} changes nothing")
        if mutant.equivalent and not mutant.reason:
            sys.exit(f"{path}: mutant {mutant.name!r} is marked equivalent without a reason")
        mutants.append(mutant)
    return mutants


def matches(mutant: Mutant, root: Path) -> int:
    path = root / mutant.file
    if not path.is_file():
        return 0
    return path.read_text(encoding="utf-8").count(mutant.original)


# --- the private copy of the tree ---------------------------------------------------------


def _files_under(base: Path, relative: str) -> set[str]:
    top = base / relative
    if top.is_file():
        return {relative}
    found = set()
    for folder, folders, files in os.walk(top):
        folders[:] = [f for f in folders if f != "__pycache__"]
        for name in files:
            found.add(os.path.relpath(os.path.join(folder, name), base))
    return found


def sync_tree() -> int:
    """Brings the private copy in line with the working tree by content; returns the files written.

    Files whose content is unchanged keep their time stamps, so the build
    stays incremental; a file that differs is written anew (a new time
    stamp), so a mutant left behind by an interrupted run is rebuilt.
    """
    wanted: set[str] = set()
    for relative in COPIED:
        wanted |= _files_under(ROOT, relative)
    present: set[str] = set()
    if TREE.exists():
        for relative in COPIED:
            if (TREE / relative).exists():
                present |= _files_under(TREE, relative)
    for stale in present - wanted:
        (TREE / stale).unlink()
    written = 0
    for relative in sorted(wanted):
        source, target = ROOT / relative, TREE / relative
        content = source.read_bytes()
        if target.is_file() and target.read_bytes() == content:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)
        written += 1
    return written


class Patched:
    """The mutant applied to the private copy for the length of a `with` block, restored on every way out."""

    def __init__(self, mutant: Mutant) -> None:
        self.path = TREE / mutant.file
        self.mutant = mutant
        self.original: str | None = None

    def __enter__(self) -> Patched:
        self.original = self.path.read_text(encoding="utf-8")
        self.path.write_text(self.original.replace(self.mutant.original, self.mutant.replacement, 1),
                             encoding="utf-8")
        return self

    def __exit__(self, *exc: object) -> None:
        assert self.original is not None
        self.path.write_text(self.original, encoding="utf-8")


# --- building and testing -----------------------------------------------------------------


def python_executable() -> str:
    chosen = os.environ.get("ROWMERGE_PYTHON")
    if chosen:
        return chosen
    own = ROOT / ".venv" / "bin" / "python"
    if own.exists():
        return str(own)
    sys.exit("mutation check: no .venv/bin/python (run scripts/setup.sh) and ROWMERGE_PYTHON is not set")


def tool_environment() -> dict[str, str]:
    env = dict(os.environ)
    venv_bin = os.path.dirname(python_executable())
    env["PATH"] = venv_bin + os.pathsep + env.get("PATH", "")
    return env


def run(command: list[str], log, *, env: dict[str, str], cwd: Path, limit: float | None) -> tuple[int | None, float]:
    """Runs `command` into `log`; returns (exit status or None when it ran past `limit`, seconds)."""
    start = time.monotonic()
    log.write(f"\n$ {' '.join(command)}\n")
    log.flush()
    process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=cwd,
                               start_new_session=True)
    try:
        status: int | None = process.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        status = None
        log.write(f"\n--- stopped after {limit:.0f} s\n")
    finally:
        if process.poll() is None:
            # The whole session: pytest's and ctest's children too.
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
    return status, time.monotonic() - start


def configure(env: dict[str, str], log) -> None:
    cache = BUILD / "CMakeCache.txt"
    if cache.exists() and f"CMAKE_HOME_DIRECTORY:INTERNAL={TREE}" in cache.read_text():
        return
    command = ["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DROWMERGE_BUILD_TESTS=ON",
               f"-DPython_EXECUTABLE={python_executable()}"]
    status, _ = run(command, log, env=env, cwd=ROOT, limit=None)
    if status != 0:
        sys.exit(f"mutation check: configuring {BUILD} failed (see {log.name})")


def build(env: dict[str, str], log) -> bool:
    status, _ = run(["cmake", "--build", str(BUILD), "--", "-j", "2"], log, env=env, cwd=ROOT, limit=None)
    return status == 0


def run_cpp_suite(env: dict[str, str], log, limit: float) -> tuple[int | None, float]:
    return run(["ctest", "--test-dir", str(BUILD), "-j2", "--stop-on-failure", "--output-on-failure"], log,
               env=env, cwd=ROOT, limit=limit)


def run_python_suite(env: dict[str, str], log, limit: float) -> tuple[int | None, float]:
    # A fresh Hypothesis database and a fixed seed: each mutant meets the same
    # generated cases, not the failures saved while an earlier mutant ran.
    env = dict(env)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "package"), str(BUILD)])
    storage = BUILD / "mutation-hypothesis"
    shutil.rmtree(storage, ignore_errors=True)
    env["HYPOTHESIS_STORAGE_DIRECTORY"] = str(storage)
    # The package is copied into the build tree by every build: no byte code
    # of an earlier mutant may stand in for it.
    for cache in (BUILD / "package").rglob("__pycache__"):
        shutil.rmtree(cache, ignore_errors=True)
    return run([python_executable(), "-m", "pytest", str(ROOT / "tests" / "python"), "-x", "-q",
                "-p", "no:cacheprovider", "--hypothesis-seed=0"], log, env=env, cwd=ROOT, limit=limit)


def first_failure(log_path: Path, suite: str) -> str:
    text = log_path.read_text(errors="replace")
    if suite == "cpp":
        found = re.findall(r"^\s*\d+ - (.+) \((\w+)\)$", text, re.MULTILINE)
        # Parameters printed by GoogleTest carry addresses that change from run to run.
        return re.sub(r"0x[0-9a-f]+ pointing to ", "", f"{found[0][0]} ({found[0][1]})") if found else ""
    found = re.findall(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", text, re.MULTILINE)
    if found:
        return found[0].removeprefix(str(ROOT) + "/").removeprefix("tests/python/")
    return ""


def check(mutant: Mutant, env: dict[str, str], limits: dict[str, float]) -> Outcome:
    start = time.monotonic()
    found = matches(mutant, TREE)

    def outcome(result: str, detail: str = "") -> Outcome:
        return Outcome(mutant.name, mutant.layer, mutant.file, result, time.monotonic() - start, detail,
                       mutant.equivalent)

    if found != 1:
        return outcome("stale", f"original text found {found} times")
    log_path = LOGS / f"{mutant.name}.log"
    with open(log_path, "w") as log, Patched(mutant):
        if not build(env, log):
            return outcome("build-failed", f"see {log_path.relative_to(ROOT)}")
        if mutant.layer in CPP_SUITE_LAYERS:
            status, _ = run_cpp_suite(env, log, limits["cpp"])
            if status != 0:
                log.flush()
                detail = "timed out" if status is None else first_failure(log_path, "cpp")
                return outcome("caught-cpp", detail)
        status, _ = run_python_suite(env, log, limits["python"])
        if status != 0:
            log.flush()
            detail = "timed out" if status is None else first_failure(log_path, "python")
            return outcome("caught-python", detail)
    return outcome("survived")


# --- report -------------------------------------------------------------------------------


def table(outcomes: list[Outcome]) -> list[str]:
    lines = ["| mutant | layer | file | result | time | first failure |", "| --- | --- | --- | --- | ---: | --- |"]
    for o in outcomes:
        detail = o.detail.replace("|", "\\|")
        lines.append(f"| {o.name} | {o.layer} | {o.file} | {o.shown} | {o.seconds:.0f} s | {detail} |")
    return lines


def summary(outcomes: list[Outcome], mutants: dict[str, Mutant], seconds: float) -> list[str]:
    caught = [o for o in outcomes if o.result.startswith("caught")]
    survived = [o for o in outcomes if o.result == "survived"]
    scored = len(caught) + len(survived)
    lines = [""]
    if scored:
        lines.append(f"score: {len(caught)} of {scored} caught ({100.0 * len(caught) / scored:.1f}%)")
    else:
        lines.append("score: no mutant was scored")
    for o in survived:
        m = mutants[o.name]
        why = f" - equivalent: {m.reason}" if m.equivalent else ""
        lines.append(f"survived: {o.name} ({o.file}){why}")
    for kind in ("build-failed", "stale"):
        for o in (o for o in outcomes if o.result == kind):
            lines.append(f"{o.shown}, not scored: {o.name} ({o.file}): {o.detail}")
    for o in outcomes:
        if o.equivalent and o.result.startswith("caught"):
            lines.append(f"marked equivalent but caught: {o.name}; drop its `equivalent` mark")
    lines.append(f"total time: {seconds / 60:.1f} min")
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these mutants")
    parser.add_argument("--list", action="store_true", help="list the mutants and whether each applies, then stop")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of both suites on the unpatched tree (which checks that they "
                             "pass and sets the time limits)")
    args = parser.parse_args()

    mutants = load_mutants(MUTANTS_FILE)
    by_name = {m.name: m for m in mutants}
    if args.list:
        for m in mutants:
            found = matches(m, ROOT)
            state = "applies" if found == 1 else f"stale ({found} matches)"
            mark = "  equivalent: " + m.reason if m.equivalent else ""
            print(f"{m.name:45} {m.layer:14} {m.file:45} {state}{mark}")
        files = {m.file for m in mutants}
        print(f"\n{len(mutants)} mutants in {len(files)} files")
        return 0
    if args.only:
        unknown = [n for n in args.only if n not in by_name]
        if unknown:
            sys.exit(f"mutation check: no mutant named {', '.join(unknown)} (see --list)")
        chosen = [by_name[n] for n in args.only]
    else:
        chosen = mutants

    # Ctrl-C or a kill: leave through the `finally` blocks, which restore the patched file.
    # Setting a handler for SIGINT (rather than inheriting it ignored, as a
    # background job of a script does) also gives the test processes the
    # default disposition, which the suites' Ctrl-C test needs.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    begin = time.monotonic()
    env = tool_environment()
    LOGS.mkdir(parents=True, exist_ok=True)
    written = sync_tree()
    print(f"private copy: {TREE.relative_to(ROOT)} ({written} files brought up to date)", flush=True)
    limits = dict(DEFAULT_LIMITS)
    with open(LOGS / "baseline.log", "w") as log:
        configure(env, log)
        if not build(env, log):
            sys.exit(f"mutation check: the unpatched tree does not build (see {log.name})")
        if not args.no_baseline:
            status, cpp_seconds = run_cpp_suite(env, log, DEFAULT_LIMITS["cpp"])
            if status != 0:
                sys.exit(f"mutation check: the C++ suite fails without a mutant (see {log.name})")
            status, python_seconds = run_python_suite(env, log, DEFAULT_LIMITS["python"])
            if status != 0:
                sys.exit(f"mutation check: the Python suite fails without a mutant (see {log.name})")
            # A mutant that makes a suite hang is caught by its time limit.
            limits = {"cpp": 3 * cpp_seconds + 120, "python": 3 * python_seconds + 120}
            print(f"baseline: C++ suite {cpp_seconds:.0f} s, Python suite {python_seconds:.0f} s", flush=True)

    outcomes = []
    try:
        for k, mutant in enumerate(chosen, 1):
            outcome = check(mutant, env, limits)
            outcomes.append(outcome)
            print(f"[{k}/{len(chosen)}] {mutant.name}: {outcome.shown} ({outcome.seconds:.0f} s)"
                  + (f" {outcome.detail}" if outcome.detail else ""), flush=True)
    finally:
        # Whatever happened, the private copy ends up equal to the working tree.
        sync_tree()
    # And the build tree holds no mutant's objects.
    with open(LOGS / "final-build.log", "w") as log:
        build(env, log)

    report = table(outcomes) + summary(outcomes, by_name, time.monotonic() - begin)
    print("\n" + "\n".join(report))
    (BUILD / "mutation-report.md").write_text("\n".join(report) + "\n")
    (BUILD / "mutation-results.json").write_text(json.dumps(
        [vars(o) | {"result_text": o.shown} for o in outcomes], indent=1) + "\n")
    bad = [o for o in outcomes if o.result in ("build-failed", "stale")
           or (o.result == "survived" and not o.equivalent)]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Sampled mutation check (run through `scripts/mutation-check.sh --sample N`).

The curated list in scripts/mutants.toml measures the tests against faults
their own authors thought of. This check draws its mutants at random from
every mutant two systematic mutators can make, so that nobody chooses them:

  C++ (src/)             relational and equality operators, arithmetic,
                         && and ||, integer constants +1 and -1, if-conditions
                         made true or false, early returns removed
  Python (python/rowmerge) mutmut's operators (inside functions, as mutmut's
                         own runner mutates), applied one at a time

The seed is drawn at run time and printed; `--seed S` repeats a sample. Each
mutant is applied to the private copy of the tree (build-mutants-tree/),
built incrementally (build-mutants/), and tested with a time limit: the C++
suite when the mutant is in a layer engine_tests links, then the Python tests
that exercise its layer (for a package module, the test files that name it,
and test_api.py). Results go to build-mutants/sample-<seed>.jsonl as they
come, and a report to build-mutants/sample-<seed>.md.

  bash scripts/mutation-check.sh --sample 60             # 60 mutants, C++ and Python
  bash scripts/mutation-check.sh --sample 60 --seed 1234 # the same 60 again
  bash scripts/mutation-check.sh --sample 60 --list      # show the sample, run nothing
"""

from __future__ import annotations

import argparse
import datetime
import difflib
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mutation_check as curated  # noqa: E402  (the private copy, builds and runs are shared)

ROOT = curated.ROOT
TREE = curated.TREE
BUILD = curated.BUILD
LOGS = BUILD / "sample-logs"

# --- C++ operator mutants -------------------------------------------------------------------

# Binary operators as the formatter writes them: spaced on both sides. Template
# brackets, pointer and reference declarators are never spaced that way.
CPP_SWAPS = {
    "<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"],
    "==": ["!="], "!=": ["=="], "&&": ["||"], "||": ["&&"],
    "+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"],
}
CPP_OPERATOR = re.compile(r"(?<= )(<=|>=|==|!=|&&|\|\||<|>|\+|-|\*|/)(?= )")
# A decimal integer constant, not part of a name, a float or a hexadecimal float.
CPP_INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CPP_IF = re.compile(r"\bif (?:constexpr )?\(")


@dataclass
class Mutant:
    name: str
    language: str  # "cpp" or "python"
    layer: str
    file: str
    line: int  # 1-based
    operator: str
    before: str  # the line(s) as they are
    after: str  # as mutated
    index: int = -1  # python: the mutation's number in mutmut's list for the file

    def shown(self) -> str:
        return f"{self.file}:{self.line} {self.operator}: `{self.before.strip()}` -> `{self.after.strip()}`"


def _layer_of(relative: str) -> str | None:
    for layer, folder in curated.LAYERS.items():
        if relative.startswith(folder):
            return layer
    return None


def _mask_strings_and_comments(line: str) -> str:
    """The line with string and character literals and // comments blanked (same length)."""
    out, quote, k = [], None, 0
    while k < len(line):
        c = line[k]
        if quote:
            if c == "\\":
                out.append("  ")
                k += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            # A digit separator (1'000) is not a quote.
            if c == "'" and k > 0 and line[k - 1].isdigit() and k + 1 < len(line) and line[k + 1].isdigit():
                out.append(c)
            else:
                quote = c
                out.append(c)
        elif line.startswith("//", k):
            out.append(" " * (len(line) - k))
            break
        else:
            out.append(c)
        k += 1
    return "".join(out)[: len(line)]


def _matching_paren(text: str, open_at: int) -> int:
    depth = 0
    for k in range(open_at, len(text)):
        if text[k] == "(":
            depth += 1
        elif text[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def cpp_mutants() -> list[Mutant]:
    found: list[Mutant] = []
    for path in sorted((ROOT / "src").rglob("*")):
        if path.suffix not in (".cpp", ".hpp"):
            continue
        relative = path.relative_to(ROOT).as_posix()
        layer = _layer_of(relative)
        if layer is None:
            continue
        lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
        in_block_comment = False
        for number, line in enumerate(lines, 1):
            stripped = line.strip()
            if in_block_comment:
                in_block_comment = "*/" not in line
                continue
            if stripped.startswith("/*"):
                in_block_comment = "*/" not in stripped
                continue
            if not stripped or stripped.startswith(("#", "//", "static_assert", "template", "namespace")):
                continue
            code = _mask_strings_and_comments(line)

            def add(operator: str, start: int, end: int, replacement: str) -> None:
                after = line[:start] + replacement + line[end:]
                found.append(Mutant(f"cpp-{relative}:{number}:{start}:{operator}", "cpp", layer, relative,
                                    number, operator, line, after))

            for match in CPP_OPERATOR.finditer(code):
                for replacement in CPP_SWAPS[match.group(1)]:
                    add(f"{match.group(1)} -> {replacement}", match.start(1), match.end(1), replacement)
            for match in CPP_INTEGER.finditer(code):
                value = int(match.group(1))
                for changed in (value + 1, value - 1):
                    if changed >= 0:
                        add(f"constant {value} -> {changed}", match.start(1), match.end(1), str(changed))
            for match in CPP_IF.finditer(code):
                close = _matching_paren(code, match.end() - 1)
                if close < 0:
                    continue  # a condition over several lines: left alone
                for constant in ("true", "false"):
                    add(f"condition -> {constant}", match.end(), close, constant)
            # An early return: the only statement of an if's block, removed.
            previous = lines[number - 2].strip() if number >= 2 else ""
            following = lines[number].strip() if number < len(lines) else ""
            if (stripped.startswith("return") and stripped.endswith(";") and following == "}"
                    and CPP_IF.search(previous) and previous.endswith("{")):
                add("early return removed", 0, len(line), "")
    return found


# --- Python mutants (mutmut's operators) ----------------------------------------------------

class _MutmutConfigured:
    """mutmut reads where the code lies from a setup.cfg in the working directory."""

    def __enter__(self) -> None:
        self.folder = tempfile.TemporaryDirectory(prefix="rowmerge-mutmut.")
        Path(self.folder.name, "setup.cfg").write_text(
            f"[mutmut]\nsource_paths={ROOT / 'python' / 'rowmerge'}/\n")
        self.before = os.getcwd()
        os.chdir(self.folder.name)

    def __exit__(self, *exc: object) -> None:
        os.chdir(self.before)
        self.folder.cleanup()


def _python_mutations(path: Path, code: str):  # noqa: ANN202 - mutmut's own types
    from mutmut.mutation.file_mutation import create_mutations

    with _MutmutConfigured():
        module, mutations, _, _ = create_mutations(str(path), code)
    # As mutmut's runner does: only mutations inside functions.
    return module, [m for m in mutations if m.contained_by_top_level_function is not None]


def python_mutated_text(mutant: Mutant) -> str:
    from mutmut.mutation.file_mutation import deep_replace

    path = ROOT / mutant.file
    module, mutations = _python_mutations(path, path.read_text(encoding="utf-8"))
    chosen = mutations[mutant.index]
    return deep_replace(module, chosen.original_node, chosen.mutated_node).code


def python_mutants() -> list[Mutant]:
    """Every Python mutant, as (file, number); what it changes is worked out only for those drawn."""
    try:
        import mutmut  # noqa: F401
    except ImportError:
        sys.exit("mutation check: the Python mutants need mutmut (pip install mutmut, or .[mutation])")
    found: list[Mutant] = []
    for path in sorted((ROOT / "python" / "rowmerge").rglob("*.py")):
        relative = path.relative_to(ROOT).as_posix()
        _, mutations = _python_mutations(path, path.read_text(encoding="utf-8"))
        for index, mutation in enumerate(mutations):
            found.append(Mutant(f"py-{relative}:{index}", "python", "package", relative, 0,
                                type(mutation.mutated_node).__name__, "", "", index))
    return found


def describe_python_mutant(mutant: Mutant) -> None:
    """Fills in the line, and the text before and after, of a drawn Python mutant."""
    original = (ROOT / mutant.file).read_text(encoding="utf-8").splitlines(keepends=True)
    changed = python_mutated_text(mutant).splitlines(keepends=True)
    matcher = difflib.SequenceMatcher(a=original, b=changed, autojunk=False)
    blocks = [op for op in matcher.get_opcodes() if op[0] != "equal"]
    if blocks:
        _, a0, a1, b0, b1 = blocks[0]
        mutant.line, mutant.before, mutant.after = a0 + 1, "".join(original[a0:a1]), "".join(changed[b0:b1])
        mutant.name = f"py-{mutant.file}:{mutant.line}:{mutant.index}"


# --- running ------------------------------------------------------------------------------

# The Python tests that exercise each layer of compiled code.
PYTHON_TESTS_FOR_ENGINE = ["test_differential.py", "test_api.py", "test_checked_values.py", "test_binding.py"]
PYTHON_TESTS_FOR_BOUNDARY = ["test_binding.py", "test_engine_module.py", "test_arrays.py", "test_api.py",
                             "test_hostile_input.py", "test_failures.py", "test_checked_values.py",
                             "test_result.py", "test_concurrency.py"]


def python_tests_for(mutant: Mutant) -> list[str]:
    tests = ROOT / "tests" / "python"
    if mutant.layer in curated.CPP_SUITE_LAYERS:
        names = PYTHON_TESTS_FOR_ENGINE
    elif mutant.language == "cpp":
        names = PYTHON_TESTS_FOR_BOUNDARY
    else:
        stem = Path(mutant.file).stem
        package = Path(mutant.file).parent.name
        words = {stem} | ({package} if package != "rowmerge" else set())
        names = ["test_api.py"]
        for test in sorted(tests.glob("test_*.py")):
            text = test.read_text(encoding="utf-8")
            if any(re.search(rf"\b{re.escape(w)}\b", text) for w in words) and test.name not in names:
                names.append(test.name)
    return [str(tests / n) for n in names if (tests / n).exists()]


class Applied:
    """The mutant written into the private copy for a `with` block, the file restored on every way out."""

    def __init__(self, mutant: Mutant) -> None:
        self.mutant = mutant
        self.path = TREE / mutant.file

    def __enter__(self) -> Applied:
        self.original = self.path.read_text(encoding="utf-8")
        if self.mutant.language == "python":
            text = python_mutated_text(self.mutant)
        else:
            lines = self.original.splitlines(keepends=True)
            if lines[self.mutant.line - 1] != self.mutant.before:
                raise RuntimeError(f"{self.mutant.file}:{self.mutant.line} changed since the sample was drawn")
            lines[self.mutant.line - 1] = self.mutant.after
            text = "".join(lines)
        self.path.write_text(text, encoding="utf-8")
        return self

    def __exit__(self, *exc: object) -> None:
        self.path.write_text(self.original, encoding="utf-8")


def run_python_tests(env: dict[str, str], log, limit: float, tests: list[str]) -> int | None:
    env = dict(env)
    env["PYTHONPATH"] = os.pathsep.join([str(BUILD / "package"), str(BUILD)])
    env["HYPOTHESIS_STORAGE_DIRECTORY"] = str(BUILD / "sample-hypothesis")
    for cache in (BUILD / "package").rglob("__pycache__"):
        subprocess.run(["rm", "-rf", str(cache)], check=False)
    status, _ = curated.run([curated.python_executable(), "-m", "pytest", *tests, "-x", "-q", "-p",
                             "no:cacheprovider", "--hypothesis-seed=0"], log, env=env, cwd=ROOT, limit=limit)
    return status


def check(mutant: Mutant, env: dict[str, str], limits: dict[str, float]) -> dict:
    start = time.monotonic()
    log_path = LOGS / f"{re.sub(r'[^A-Za-z0-9_.-]+', '_', mutant.name)}.log"
    result, detail = "survived", ""
    with open(log_path, "w") as log, Applied(mutant):
        log.write(mutant.shown() + "\n")
        if not curated.build(env, log):
            result, detail = "build-failed", str(log_path.relative_to(ROOT))
        else:
            if mutant.layer in curated.CPP_SUITE_LAYERS:
                status, _ = curated.run_cpp_suite(env, log, limits["cpp"])
                if status != 0:
                    log.flush()
                    result = "caught-cpp"
                    detail = "timed out" if status is None else curated.first_failure(log_path, "cpp")
            if result == "survived":
                status = run_python_tests(env, log, limits["python"], python_tests_for(mutant))
                if status == 5:  # no tests collected: nothing looked at it
                    pass
                elif status != 0:
                    log.flush()
                    result = "caught-python"
                    detail = "timed out" if status is None else curated.first_failure(log_path, "python")
    return asdict(mutant) | {"result": result, "detail": detail, "seconds": round(time.monotonic() - start, 1)}


def report(seed: int, outcomes: list[dict], minutes: float) -> list[str]:
    lines = [f"Sampled mutation check, seed {seed}, {datetime.date.today().isoformat()}", "",
             "| # | mutant | result | first failure |", "| ---: | --- | --- | --- |"]
    for k, o in enumerate(outcomes, 1):
        shown = f"{o['file']}:{o['line']} {o['operator']}: `{o['before'].strip()}` -> `{o['after'].strip()}`"
        cells = [shown, o["result"], o["detail"]]
        lines.append(f"| {k} | " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
    caught = sum(o["result"].startswith("caught") for o in outcomes)
    survived = [o for o in outcomes if o["result"] == "survived"]
    scored = caught + len(survived)
    lines.append("")
    if scored:
        lines.append(f"score: {caught} of {scored} caught ({100.0 * caught / scored:.1f}%) before equivalent "
                     f"mutants are set aside; {len(outcomes) - scored} did not build (not scored)")
    for o in survived:
        lines.append(f"survived: {o['file']}:{o['line']} {o['operator']}: `{o['before'].strip()}` -> "
                     f"`{o['after'].strip()}`")
    lines.append(f"total time: {minutes:.1f} min")
    return lines


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sample", type=int, required=True, metavar="N", help="how many mutants to draw")
    parser.add_argument("--seed", type=int, help="repeat the sample of this seed (default: a new seed)")
    parser.add_argument("--python-share", type=float, default=0.4,
                        help="the part of the sample drawn from the Python mutants (default 0.4)")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    args = parser.parse_args(argv)

    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1, 10**9)
    print(f"seed {seed} (repeat with --seed {seed})", flush=True)
    cpp, python = cpp_mutants(), python_mutants()
    print(f"mutants to draw from: {len(cpp)} C++, {len(python)} Python", flush=True)
    rng = random.Random(seed)
    python_count = min(len(python), round(args.sample * args.python_share))
    chosen = rng.sample(python, python_count) + rng.sample(cpp, min(len(cpp), args.sample - python_count))
    rng.shuffle(chosen)
    for mutant in chosen:
        if mutant.language == "python":
            describe_python_mutant(mutant)
    if args.list:
        for k, mutant in enumerate(chosen, 1):
            print(f"{k:3} {mutant.shown()}")
        return 0

    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    begin = time.monotonic()
    env = curated.tool_environment()
    LOGS.mkdir(parents=True, exist_ok=True)
    curated.sync_tree()
    results = BUILD / f"sample-{seed}.jsonl"
    with open(LOGS / "baseline.log", "w") as log:
        curated.configure(env, log)
        if not curated.build(env, log):
            sys.exit("mutation check: the unpatched tree does not build (see sample-logs/baseline.log)")
        status, cpp_seconds = curated.run_cpp_suite(env, log, curated.DEFAULT_LIMITS["cpp"])
        if status != 0:
            sys.exit("mutation check: the C++ suite fails without a mutant (see sample-logs/baseline.log)")
        python_start = time.monotonic()
        boundary = [str(ROOT / "tests" / "python" / n) for n in PYTHON_TESTS_FOR_BOUNDARY]
        if run_python_tests(env, log, curated.DEFAULT_LIMITS["python"], boundary) != 0:
            sys.exit("mutation check: the Python tests fail without a mutant (see sample-logs/baseline.log)")
        python_seconds = time.monotonic() - python_start
    # A mutant that makes a suite hang is caught by its time limit.
    limits = {"cpp": 3 * cpp_seconds + 120, "python": 4 * python_seconds + 180}
    print(f"baseline: C++ suite {cpp_seconds:.0f} s, Python boundary tests {python_seconds:.0f} s", flush=True)

    outcomes = []
    try:
        with open(results, "w") as stream:
            for k, mutant in enumerate(chosen, 1):
                outcome = check(mutant, env, limits)
                outcomes.append(outcome)
                stream.write(json.dumps(outcome) + "\n")
                stream.flush()
                print(f"[{k}/{len(chosen)}] {outcome['result']:13} {outcome['seconds']:5.0f} s  {mutant.shown()}"
                      + (f"  ({outcome['detail']})" if outcome["detail"] else ""), flush=True)
    finally:
        curated.sync_tree()
        with open(LOGS / "final-build.log", "w") as log:
            curated.build(env, log)
        text = report(seed, outcomes, (time.monotonic() - begin) / 60)
        (BUILD / f"sample-{seed}.md").write_text("\n".join(text) + "\n")
        print("\n" + "\n".join(text))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

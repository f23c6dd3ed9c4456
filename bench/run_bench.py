#!/usr/bin/env python3
"""Benchmark of ``_native.merge_points_removing_overlap`` on synthetic fields.

    python bench/run_bench.py [--presets tiny frame field_medium field_large]
                              [--repeat N] [--json [FILE]]

For every preset, in one process and interleaved round by round:

* ``native1``  the extension with one worker (``num_threads=1``);
* ``native``   the extension with the default worker count (``num_threads=0``);
* ``numpy``    the vectorised NumPy merge in ``bench/numpy_merge.py``;
* ``floor``    the memory floor: fresh copies of the three inputs plus an output
  of the result's size written by a copy.  No merge can move less memory.
* ``floor4k``  the same floor with NumPy's huge-page advice switched off (shown
  when NumPy has the switch): fresh memory then costs one page fault per
  4 KiB, as it does for an allocator that does not ask for huge pages.

Times are per call, best and median of N rounds (a round repeats a small call
until it lasts ``--min-round`` seconds).  The minor page faults of one call are
listed too: at field size, fresh memory in 4 KiB pages costs more than the
copying itself.  ``native1`` must equal ``numpy`` bit for bit (rows in the
same order), and so must the default-worker result: groups come out in the
same order whatever the worker count.  The exit status is 1 when a check fails.

Peak memory of a call is measured in a fresh child process per preset and
implementation (the C++ allocations are invisible to tracemalloc): the child
builds the field, warms the implementation up on the tiny field, resets the
kernel's high-water mark of its resident set by writing "5" to
/proc/self/clear_refs, reads VmRSS, makes one call and reads VmHWM.  The
difference is the peak above the baseline; it is compared with the size of
the inputs plus the output.  Before the reset the child returns freed heap
memory to the system (malloc_trim), so that the call cannot hide its
allocations in pages that are already resident.  Where clear_refs is
unavailable the child falls back to ru_maxrss, which is only meaningful if
nothing before the call exceeded the baseline.  Below a few hundred KiB the
figures are page-granular noise and no target is judged.

The extension is imported as ``_native`` from the environment (installed, or
``PYTHONPATH=build-module``), else from the checkout's ``build-module``
directory, else from the newest other ``build*`` directory; ``--native-dir DIR``
picks one explicitly.  The report names the file it loaded.
The progress line is switched off (NO_COLOR=1) unless ``--progress`` is given.
"""

from __future__ import annotations

import argparse
import gc
import glob
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
try:
    import rowmerge.field  # noqa: F401  (installed package)
except ImportError:
    sys.path.insert(0, str(ROOT / "python"))

from rowmerge.field import PRESETS, make_field  # noqa: E402
from numpy_merge import merge_points_removing_overlap as numpy_merge  # noqa: E402

DEFAULT_PRESETS = ["tiny", "frame", "field_medium", "field_large"]
FUNCTION = "merge_points_removing_overlap"


# --------------------------------------------------------------------------
# Finding the extension


NATIVE_DIR = os.environ.get("ROWMERGE_NATIVE_DIR")


def import_native():
    """The ``_native`` module and where it came from, or (None, reason).

    ROWMERGE_NATIVE_DIR (or ``--native-dir``) names the directory to load it
    from; otherwise the environment's ``_native`` is used, else the checkout's
    build-module directory, else the newest other build directory."""
    first_error = None
    if not NATIVE_DIR:
        try:
            mod = importlib.import_module("_native")
            return mod, getattr(mod, "__file__", "?")
        except ImportError as exc:
            first_error = exc
    # The module build directory first, then any other build, newest first.
    candidates = sorted(glob.glob(str(ROOT / "build*" / "_native*.so")),
                        key=lambda p: (Path(p).parent.name != "build-module",
                                       -os.path.getmtime(p)))
    if NATIVE_DIR:
        candidates = glob.glob(os.path.join(NATIVE_DIR, "_native*.so"))
    for so in candidates:
        sys.path.insert(0, os.path.dirname(so))
        try:
            mod = importlib.import_module("_native")
            return mod, mod.__file__
        except ImportError as exc:
            first_error = exc
            sys.path.pop(0)
    if first_error is None:
        return None, f"no _native module in {NATIVE_DIR}"
    return None, f"_native is not importable ({first_error})"


# --------------------------------------------------------------------------
# The contenders


def memory_floor(field, result_rows: int) -> np.ndarray:
    """Copy the three inputs into fresh arrays and write an output of the
    result's size by a copy: the least memory traffic a merge needs."""
    np.array(field.connected_crop_rows, copy=True)
    pts = np.array(field.points_in_rows, copy=True)
    np.array(field.row_information, copy=True)
    out = np.empty((result_rows, pts.shape[1]))
    np.copyto(out, pts[:result_rows])
    return out


def _hugepage_switch():
    """NumPy's switch for madvise(MADV_HUGEPAGE) on large arrays, if present.

    NumPy asks for transparent huge pages on every large allocation, so the
    floor's fresh arrays take one page fault per 2 MiB instead of per 4 KiB.
    The ``floor4k`` column repeats the floor with that switched off: the same
    copies under the page size an allocator gets by default."""
    for name in ("numpy._core.multiarray", "numpy.core.multiarray"):
        try:
            mod = importlib.import_module(name)
            return mod._get_madvise_hugepage, mod._set_madvise_hugepage
        except (ImportError, AttributeError):
            continue
    return None


def memory_floor_4k(field, result_rows: int) -> np.ndarray:
    get, set_ = _hugepage_switch()
    before = get()
    set_(False)
    try:
        return memory_floor(field, result_rows)
    finally:
        set_(before)


def contenders(native, field, result_rows):
    args = (field.connected_crop_rows, field.points_in_rows, field.row_information,
            field.tolerance)
    out = {}
    if native is not None:
        fn = getattr(native, FUNCTION)
        out["native1"] = lambda: fn(*args, 1)
        out["native"] = lambda: fn(*args, 0)
    out["numpy"] = lambda: numpy_merge(*args)
    out["floor"] = lambda: memory_floor(field, result_rows)
    switch = _hugepage_switch()
    if switch is not None and switch[0]():
        out["floor4k"] = lambda: memory_floor_4k(field, result_rows)
    return out


# --------------------------------------------------------------------------
# Agreement


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    """Same shape and the same IEEE bits everywhere (NaN payloads included)."""
    return a.shape == b.shape and bool(np.array_equal(bits(a), bits(b)))


def agreement(results: dict) -> dict:
    checks = {}
    if "native1" in results:
        ref = results["native1"]
        checks["native1 == numpy (bitwise, same order)"] = identical(ref, results["numpy"])
        checks["native1 == numpy (array_equal, equal_nan)"] = bool(
            ref.shape == results["numpy"].shape
            and np.array_equal(ref, results["numpy"], equal_nan=True))
        checks["native == native1 (bitwise, same order)"] = identical(ref, results["native"])
    return checks


# --------------------------------------------------------------------------
# Timing


def calls_per_round(fn, min_seconds: float) -> int:
    """Calls needed for one timed round to last at least ``min_seconds``."""
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        if time.perf_counter() - t0 >= min_seconds or number >= 1 << 16:
            return number
        number *= 2


def time_round_robin(funcs: dict, repeat: int, min_seconds: float) -> dict[str, list[float]]:
    """Seconds per call, one value per round; the contenders take turns
    round by round so that a change of machine load hits them alike.
    Collection runs between rounds, not inside them."""
    numbers = {name: calls_per_round(fn, min_seconds) for name, fn in funcs.items()}
    times = {name: [] for name in funcs}
    enabled = gc.isenabled()
    try:
        for _ in range(repeat):
            for name, fn in funcs.items():
                gc.collect()
                gc.disable()
                number = numbers[name]
                t0 = time.perf_counter()
                for _ in range(number):
                    fn()
                times[name].append((time.perf_counter() - t0) / number)
                if enabled:
                    gc.enable()
    finally:
        if enabled:
            gc.enable()
    return times


def page_faults(fn) -> int:
    """Minor page faults of one call (fresh memory costs one per page)."""
    import resource

    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    fn()
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before


def latency(native, calls: int) -> dict:
    """Mean wall time per call of the tiny field, and of a trivial builtin
    taking five arguments (the interpreter's own call cost)."""
    field = make_field("tiny")
    a, b, c, t = (field.connected_crop_rows, field.points_in_rows,
                  field.row_information, field.tolerance)
    res = {"calls": calls}

    def loop(fn, *args):
        rng = range(calls)
        fn(*args)
        t0 = time.perf_counter()
        for _ in rng:
            fn(*args)
        return (time.perf_counter() - t0) / calls * 1e6

    res["builtin_max_5_args_us"] = min(loop(max, 1.0, 2.0, 3.0, 4.0, 5.0) for _ in range(3))
    res["empty_loop_us"] = min(loop(lambda: None) for _ in range(3))
    if native is not None:
        fn = getattr(native, FUNCTION)
        res["native1_us"] = min(loop(fn, a, b, c, t, 1) for _ in range(3))
        res["native_us"] = min(loop(fn, a, b, c, t, 0) for _ in range(3))
    few = max(calls // 20, 100)
    rng = range(few)
    t0 = time.perf_counter()
    for _ in rng:
        numpy_merge(a, b, c, t)
    res["numpy_us"] = (time.perf_counter() - t0) / few * 1e6
    return res


# --------------------------------------------------------------------------
# Peak memory, in a child process


def _status_kb(name: str) -> int | None:
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def probe_memory(kind: str, preset: str, seed: int) -> dict:
    """Child side: one call of ``kind`` on ``preset``, peak RSS above baseline."""
    import resource

    field = make_field(preset, seed=seed)
    tiny = make_field("tiny")
    if kind.startswith("native"):
        native, where = import_native()
        if native is None:
            return {"error": where}
        fn = getattr(native, FUNCTION)
        threads = 1 if kind == "native1" else 0
        call = lambda f: fn(*f.arguments(threads))  # noqa: E731
    elif kind == "numpy":
        call = lambda f: numpy_merge(*f.arguments())  # noqa: E731
    else:
        rows = numpy_merge(*field.arguments()).shape[0]
        call = lambda f: memory_floor(f, rows if f is field else 0)  # noqa: E731
    call(tiny)  # one-time set-up (pool, NumPy C interface) is not the call's
    gc.collect()
    # Hand freed heap memory back to the system, so that the call's own
    # allocations show up in the resident set instead of reusing pages.
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    method = "clear_refs"
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        base_kb = _status_kb("VmRSS")
    except OSError:
        method = "ru_maxrss"
        base_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = call(field)
    peak_kb = (_status_kb("VmHWM") if method == "clear_refs"
               else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    return {"method": method, "baseline_kb": base_kb, "peak_kb": peak_kb,
            "above_baseline_bytes": (peak_kb - base_kb) * 1024,
            "inputs_bytes": field.nbytes(), "output_bytes": int(result.nbytes)}


def measure_memory(kind: str, preset: str, seed: int) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, __file__, "--probe-memory", kind, preset,
                           "--seed", str(seed)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or ["child failed"])[-1]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Report


def _thp_mode() -> str | None:
    try:
        text = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
    except OSError:
        return None
    return text[text.index("[") + 1:text.index("]")] if "[" in text else text.strip()


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def run(args) -> dict:
    native, where = import_native()
    report = {
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(),
                    "numpy": np.__version__, "platform": platform.platform(),
                    "load_average": list(os.getloadavg()),
                    "transparent_hugepage": _thp_mode()},
        "native": where if native is not None else None,
        "native_built": (time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(where)))
                         if native is not None and os.path.exists(where) else None),
        "native_missing": None if native is not None else where,
        "repeat": args.repeat, "seed": args.seed, "presets": {},
    }
    for preset in args.presets:
        field = make_field(preset, seed=args.seed)
        reference = numpy_merge(*field.arguments())
        funcs = contenders(native, field, reference.shape[0])
        results = {name: fn() for name, fn in funcs.items()}  # warm-up + results
        times = time_round_robin(funcs, args.repeat, args.min_round)
        entry = {
            "groups": field.groups, "points": field.points,
            "point_columns": field.points_in_rows.shape[1],
            "kept": int(reference.shape[0]),
            "removed_fraction": 1.0 - reference.shape[0] / max(field.points, 1),
            "inputs_bytes": field.nbytes(), "output_bytes": int(reference.nbytes),
            "times": {k: {"best": min(v), "median": statistics.median(v), "all": v}
                      for k, v in times.items()},
            "checks": agreement(results),
            "page_faults": {name: page_faults(fn) for name, fn in funcs.items()},
        }
        best = {k: v["best"] for k, v in entry["times"].items()}
        med = {k: v["median"] for k, v in entry["times"].items()}
        if native is not None:
            entry["ratios"] = {
                "native/floor (best)": best["native"] / best["floor"],
                "native/floor (median)": med["native"] / med["floor"],
                "native1/floor (best)": best["native1"] / best["floor"],
                "numpy/native (best)": best["numpy"] / best["native"],
                "numpy/native (median)": med["numpy"] / med["native"],
            }
            if "floor4k" in best:
                entry["ratios"]["native/floor4k (best)"] = best["native"] / best["floor4k"]
        if not args.no_memory:
            kinds = (["native", "native1"] if native is not None else []) + ["numpy", "floor"]
            entry["memory"] = {k: measure_memory(k, preset, args.seed) for k in kinds}
        report["presets"][preset] = entry
    if args.latency_calls:
        report["latency"] = latency(native, args.latency_calls)
    if native is not None:
        report["targets"] = targets(report)
    return report


def targets(report: dict) -> list[dict]:
    """The performance goals, judged on best times (medians shown beside)."""
    out = []

    def add(what, measured, limit, ok):
        out.append({"target": what, "measured": measured, "limit": limit, "met": bool(ok)})

    for preset, e in report["presets"].items():
        t = e["times"]
        b = {k: v["best"] for k, v in t.items()}
        m = {k: v["median"] for k, v in t.items()}
        if preset == "field_large":
            add("field_large: native <= 1.5 x floor",
                f"{b['native'] / b['floor']:.2f} x (median {m['native'] / m['floor']:.2f} x)",
                "1.5 x", b["native"] <= 1.5 * b["floor"])
            add("field_large: numpy/native >= 3",
                f"{b['numpy'] / b['native']:.2f} x (median {m['numpy'] / m['native']:.2f} x)",
                "3 x", b["numpy"] >= 3 * b["native"])
        elif preset in ("field_medium", "frame"):
            limit = 2 * b["floor"] + 20e-6
            add(f"{preset}: native <= 2 x floor + 20 us",
                f"{fmt_time(b['native'])} (median {fmt_time(m['native'])})",
                f"{fmt_time(limit)} (median {fmt_time(2 * m['floor'] + 20e-6)})",
                b["native"] <= limit)
        mem = e.get("memory", {}).get("native")
        # Resident-set figures move in whole pages; below about 64 pages the
        # ratio says nothing.
        if mem and "error" not in mem and mem["inputs_bytes"] + mem["output_bytes"] >= 1 << 18:
            size = mem["inputs_bytes"] + mem["output_bytes"]
            add(f"{preset}: peak memory <= 1.25 x (inputs + output)",
                f"{mem['above_baseline_bytes'] / size:.2f} x", "1.25 x",
                mem["above_baseline_bytes"] <= 1.25 * size)
    lat = report.get("latency")
    if lat and "native_us" in lat:
        add("tiny call <= 15 us", f"{lat['native_us']:.2f} us", "15 us", lat["native_us"] <= 15.0)
    return out


def print_report(report: dict, out=sys.stdout) -> None:
    p = lambda *a: print(*a, file=out)  # noqa: E731
    m = report["machine"]
    p(f"machine: {m['cpus']} CPUs, Python {m['python']}, NumPy {m['numpy']}, "
      f"load average {m['load_average'][0]:.2f}, transparent huge pages: "
      f"{m['transparent_hugepage']}")
    built = f" (built {report['native_built']})" if report.get("native_built") else ""
    p(f"_native: {report['native'] or report['native_missing']}{built}")
    p(f"rounds per measurement: {report['repeat']} (best / median), seed {report['seed']}")
    p("")
    names = [n for n in ("native1", "native", "numpy", "floor", "floor4k")
             if any(n in e["times"] for e in report["presets"].values())]
    head = (f"{'preset':<13} {'groups×points':>15} {'cols':>4} {'kept':>9} "
            + " ".join(f"{n:>21}" for n in names))
    p(head)
    p("-" * len(head))
    for preset, e in report["presets"].items():
        cells = []
        for n in names:
            t = e["times"].get(n)
            cells.append(f"{fmt_time(t['best']) + ' / ' + fmt_time(t['median']):>21}" if t
                         else f"{'-':>21}")
        p(f"{preset:<13} {e['groups']:>6}×{e['points'] // max(e['groups'], 1):<8} "
          f"{e['point_columns']:>4} {e['kept']:>9} " + " ".join(cells))
    p("")
    for preset, e in report["presets"].items():
        p(f"{preset}: {e['points']:,} points, {e['removed_fraction'] * 100:.1f}% removed, "
          f"inputs {e['inputs_bytes'] / 1e6:.2f} MB, output {e['output_bytes'] / 1e6:.2f} MB")
        for k, v in e.get("ratios", {}).items():
            p(f"    {k:<30} {v:10.2f}")
        p("    page faults per call          "
          + ", ".join(f"{k} {v:,}" for k, v in e["page_faults"].items()))
        for k, v in e["checks"].items():
            p(f"    {'OK  ' if v else 'FAIL'} {k}")
        for kind, mem in e.get("memory", {}).items():
            if "error" in mem:
                p(f"    peak memory {kind:<8} unavailable: {mem['error']}")
                continue
            size = mem["inputs_bytes"] + mem["output_bytes"]
            p(f"    peak memory {kind:<8} {mem['above_baseline_bytes'] / 1e6:9.2f} MB above baseline"
              f" = {mem['above_baseline_bytes'] / size:5.2f} × (inputs + output) [{mem['method']}]")
    lat = report.get("latency")
    if lat:
        p("")
        p(f"per-call latency, tiny field (3 × 10), mean of {lat['calls']:,} calls:")
        for key, label in [("native1_us", "_native, 1 worker"), ("native_us", "_native, default workers"),
                           ("numpy_us", "NumPy merge"), ("builtin_max_5_args_us", "max() with 5 args"),
                           ("empty_loop_us", "empty call (lambda: None)")]:
            if key in lat:
                p(f"    {label:<28} {lat[key]:8.2f} µs")
        if "native_us" in lat:
            p(f"    {'_native beyond max()':<28} {lat['native_us'] - lat['builtin_max_5_args_us']:8.2f} µs")
    if report.get("targets"):
        p("")
        p("targets (best of the rounds):")
        for t in report["targets"]:
            p(f"    {'met ' if t['met'] else 'MISS'} {t['target']:<46} {t['measured']}  (limit {t['limit']})")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--presets", nargs="+", default=DEFAULT_PRESETS, choices=list(PRESETS))
    ap.add_argument("--repeat", type=int, default=7, help="rounds per measurement (default 7)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--min-round", type=float, default=0.02, metavar="SECONDS",
                    help="small calls are repeated within a round until it lasts this long")
    ap.add_argument("--latency-calls", type=int, default=20_000,
                    help="calls of the tiny field for the latency figure (0: skip)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    ap.add_argument("--json", nargs="?", const="-", metavar="FILE",
                    help="write the results as JSON to FILE (or stdout, then no table)")
    ap.add_argument("--progress", action="store_true", help="leave the progress line on")
    ap.add_argument("--native-dir", metavar="DIR",
                    help="load _native from DIR (default: installed, else build-module/)")
    ap.add_argument("--require-native", action="store_true",
                    help="fail when _native cannot be imported")
    ap.add_argument("--probe-memory", nargs=2, metavar=("KIND", "PRESET"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.native_dir:
        global NATIVE_DIR
        NATIVE_DIR = os.environ["ROWMERGE_NATIVE_DIR"] = os.path.abspath(args.native_dir)
    if not args.progress:
        os.environ.setdefault("NO_COLOR", "1")
    if args.probe_memory:
        print(json.dumps(probe_memory(*args.probe_memory, args.seed)))
        return 0
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    if args.require_native:
        native, where = import_native()
        if native is None:
            print(where, file=sys.stderr)
            return 1
    report = run(args)
    if args.json == "-":
        json.dump(report, sys.stdout, indent=2)
        print()
    else:
        print_report(report)
        if args.json:
            Path(args.json).write_text(json.dumps(report, indent=2) + "\n")
    failed = [k for e in report["presets"].values() for k, ok in e["checks"].items() if not ok]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

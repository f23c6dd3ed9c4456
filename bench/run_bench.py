#!/usr/bin/env python3
"""Benchmark of ``_native.merge_points_removing_overlap`` on synthetic fields.

    python bench/run_bench.py [--presets tiny frame field_medium ...]
                              [--order segment tile shuffled] [--repeat N]
                              [--workers N] [--json [FILE]] [--markdown FILE]

Every preset is measured in every row order of ``points_in_rows`` (see
``rowmerge.field``: ``segment``, ``tile``, ``shuffled``), ``field_xl`` only in
tile order unless ``--order`` says otherwise; the two scaling presets,
``field_xl`` and ``many_small`` (the 2,000,000 points of ``field_large`` in
100,000 segments of 20), with ``--scaling-repeat`` rounds.  For every
preset and order, in one process and interleaved round by round:

* ``native``   the extension with the default worker count (``num_threads=0``,
  or ``--workers``);
* ``native1``  the extension with one worker (``num_threads=1``);
* ``numba``    the parallel Numba merge in ``bench/numba_merge.py`` with Numba's
  default thread count (or ``--workers``), when numba is installed;
* ``numba1``   the same with ``numba.set_num_threads(1)``;
* ``numpy``    the vectorised NumPy merge in ``bench/numpy_merge.py`` (not on
  the scaling presets);
* ``floor``    the fresh-memory floor: copies of the three inputs into new
  arrays plus an output of the result's size written by a copy.  No merge
  that copies its inputs can move less memory;
* ``warm``     the warm floor: the same copies into arrays that were allocated
  and written once before timing, so without page faults;
* ``floor4k``  (with ``--floor4k``) the fresh floor with NumPy's huge-page
  advice switched off: fresh memory then costs one page fault per 4 KiB.

Times are per call, best and median of N rounds (a round repeats a small call
until it lasts ``--min-round`` seconds); the process CPU time of the same
rounds is kept too (all threads of the process, so spinning workers count).
The contenders take turns within each round, with a short idle gap between
them (``--gap``) so that one contender's workers winding down do not run
into the next one's measurement.  The minor page faults of one call are
listed.  All results must agree bit for bit, rows in the same order: every
contender against the scanning reference ``bench/scan_merge.py`` where that
is affordable, else against the NumPy merge, else against ``native1``.  The
exit status is 1 when they do not.

Peak memory of a call is measured in a fresh child process per preset, order
and implementation (the C++ allocations are invisible to tracemalloc): the
child loads the field's tables, warms the implementation up on the tiny
field, resets the kernel's high-water mark of its resident set by writing "5"
to /proc/self/clear_refs, reads VmRSS, makes one call and reads VmHWM.  The
difference is the peak above the baseline; it is compared with the size of
the inputs plus the output.  Before the reset the child returns freed heap
memory to the system (malloc_trim), so that the call cannot hide its
allocations in pages that are already resident.  Where clear_refs is
unavailable the child falls back to ru_maxrss, which is only meaningful if
nothing before the call exceeded the baseline.  Below 256 KiB of inputs and
output the figures would be page-granular noise, and no child is run.

The report is a set of Markdown tables (times, CPU time, peak memory) that
can be pasted into the README, the details of every measurement, and the
targets, each judged on this one run as met or MISS with the measured value
and the limit.

The extension is imported as ``_native`` from the environment (installed, or
``PYTHONPATH=build-module``), else from the checkout's ``build-module``
directory, else from the newest other ``build*`` directory; ``--native-dir DIR``
picks one explicitly.  The report names the file it loaded.
The progress line is switched off (NO_COLOR=1) unless ``--progress`` is given.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import glob
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field as dataclass_field
from pathlib import Path
from typing import Callable

import importlib.util

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
# The installed package (its front door is timed too); the checkout's field
# generator only where none is installed. ``_native`` comes from the
# environment, see import_native.
if importlib.util.find_spec("rowmerge") is None:
    sys.path.insert(0, str(ROOT / "python"))

from rowmerge.field import ORDERS, PRESETS, make_field  # noqa: E402
from numpy_merge import merge_points_removing_overlap as numpy_merge  # noqa: E402
from scan_merge import merge_scan  # noqa: E402

FUNCTION = "merge_points_removing_overlap"
#: Presets of the cost-growth targets: tile order and fewer rounds by default.
SCALING_PRESETS = ("field_xl", "many_small")
DEFAULT_PRESETS = ["tiny", "frame", "field_medium", "field_large", *SCALING_PRESETS]
#: The scanning reference runs where groups x points stays below this.
SCAN_AFFORDABLE = 2_000_000
#: Peak memory is measured (and judged) from this size of inputs + output on.
MEMORY_MIN_BYTES = 1 << 18
#: Contenders in the order in which they take their turn within a round.
ORDER_OF_TURNS = ("native", "native1", "api", "api_index", "frame", "take", "numba", "numba1", "numpy", "floor",
                  "warm", "floor4k")
MERGES = ("native", "native1", "api", "api_index", "numba", "numba1", "numpy")
#: The preset on which merge_frame is timed (with a pandas DataFrame of the points).
FRAME_PRESET = "field_medium"
LABELS = {"native": "ours, default workers", "native1": "ours, 1 worker",
          "api": "rowmerge.merge", "api_index": "rowmerge.merge, return_index",
          "frame": "merge_frame (pandas)", "take": "DataFrame.take of the survivors",
          "numba": "Numba, parallel", "numba1": "Numba, 1 thread",
          "numpy": "vectorised NumPy", "floor": "fresh floor", "warm": "warm floor",
          "floor4k": "fresh floor, 4 KiB pages"}


# --------------------------------------------------------------------------
# Finding the extension and the Numba peer


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


def import_numba_peer():
    """The Numba merge module, compiled or loaded from its cache, or
    (None, reason) when numba is not installed."""
    try:
        import numba_merge
    except ImportError as exc:
        return None, f"numba not installed ({exc}); pip install '.[bench]' adds it"
    numba_merge.warm_up()
    import numba
    return numba_merge, {"version": numba.__version__,
                         "threading_layer": numba.threading_layer(),
                         "threads": numba.get_num_threads()}


@contextlib.contextmanager
def numba_threads(count: int):
    """Numba's thread count set to ``count`` (0: left as it is) for a while."""
    import numba

    before = numba.get_num_threads()
    if count:
        numba.set_num_threads(count)
    try:
        yield
    finally:
        numba.set_num_threads(before)


# --------------------------------------------------------------------------
# The contenders


def frame_contenders(field) -> dict[str, Contender]:
    """merge_frame on a pandas DataFrame of the field's points, and the floor it is held to:
    ``DataFrame.take`` of the surviving rows (timed apart; the merge itself is "native")."""
    try:
        import pandas as pd
    except ImportError:
        return {}
    import rowmerge

    groups, points, records = field.connected_crop_rows, field.points_in_rows, field.row_information
    frame = pd.DataFrame({"crop_row": points[:, 0].astype(np.int64), "segment": points[:, 1].astype(np.int64),
                          "x": points[:, 2], "y": points[:, 3],
                          **{f"value{j}": points[:, j] for j in range(4, points.shape[1])}})
    segments = pd.DataFrame({"crop_row": records[:, 0].astype(np.int64), "segment": records[:, 4].astype(np.int64),
                             **{name: records[:, 5 + k] for k, name in
                                enumerate(("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y"))}})
    links = pd.DataFrame(
        [(row[1], row[2], row[c], row[c + 1]) for row in groups for c in (3, 5, 7, 9)
         if c < groups.shape[1] and not np.isnan(row[c])],
        columns=["crop_row", "segment", "linked_crop_row", "linked_segment"]).astype(np.int64)
    _, index = rowmerge.merge(groups, points, records, tolerance=field.tolerance, return_index=True)
    return {"frame": Contender(lambda: rowmerge.merge_frame(frame, segments, links, tolerance=field.tolerance)),
            "take": Contender(lambda: frame.take(index))}


def memory_floor(field, result_rows: int) -> np.ndarray:
    """Copy the three inputs into fresh arrays and write an output of the
    result's size by a copy: the least memory traffic a merge needs."""
    np.array(field.connected_crop_rows, copy=True)
    pts = np.array(field.points_in_rows, copy=True)
    np.array(field.row_information, copy=True)
    out = np.empty((result_rows, pts.shape[1]))
    np.copyto(out, pts[:result_rows])
    return out


def warm_floor(field, result_rows: int) -> Callable[[], np.ndarray]:
    """The floor's copies into arrays allocated and written once beforehand:
    the same traffic without a single page fault."""
    pts = field.points_in_rows
    dst = [np.ones_like(field.connected_crop_rows), np.ones_like(pts),
           np.ones_like(field.row_information), np.ones((result_rows, pts.shape[1]))]

    def call():
        np.copyto(dst[0], field.connected_crop_rows)
        np.copyto(dst[1], pts)
        np.copyto(dst[2], field.row_information)
        np.copyto(dst[3], pts[:result_rows])
        return dst[3]

    return call


def _hugepage_switch():
    """NumPy's switch for madvise(MADV_HUGEPAGE) on large arrays, if present.

    NumPy asks for transparent huge pages on every large allocation, so the
    floor's fresh arrays take one page fault per 2 MiB instead of per 4 KiB.
    The ``floor4k`` contender repeats the floor with that switched off: the
    same copies under the page size an allocator gets by default."""
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


@dataclass
class Contender:
    call: Callable[[], np.ndarray]
    # Entered around every round of this contender (Numba's thread count).
    context: Callable[[], contextlib.AbstractContextManager] = contextlib.nullcontext


def contenders(native, peer, field, result_rows: int, *, workers: int = 0,
               with_numpy: bool = True, with_floor4k: bool = False) -> dict[str, Contender]:
    args = (field.connected_crop_rows, field.points_in_rows, field.row_information,
            field.tolerance)
    out = {}
    if native is not None:
        fn = getattr(native, FUNCTION)
        out["native"] = Contender(lambda: fn(*args, workers))
        out["native1"] = Contender(lambda: fn(*args, 1))
    if native is not None:
        # The package's front door, on the same tables (default workers).
        import rowmerge

        tables = args[:3]
        out["api"] = Contender(lambda: rowmerge.merge(*tables, tolerance=field.tolerance))
        out["api_index"] = Contender(
            lambda: rowmerge.merge(*tables, tolerance=field.tolerance, return_index=True)[0])
    if peer is not None:
        merge = peer.merge_points_removing_overlap
        out["numba"] = Contender(lambda: merge(*args), lambda: numba_threads(workers))
        out["numba1"] = Contender(lambda: merge(*args), lambda: numba_threads(1))
    if with_numpy:
        out["numpy"] = Contender(lambda: numpy_merge(*args))
    out["floor"] = Contender(lambda: memory_floor(field, result_rows))
    out["warm"] = Contender(warm_floor(field, result_rows))
    switch = _hugepage_switch()
    if with_floor4k and switch is not None and switch[0]():
        out["floor4k"] = Contender(lambda: memory_floor_4k(field, result_rows))
    return out


# --------------------------------------------------------------------------
# Agreement


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    """Same shape and the same IEEE bits everywhere (NaN payloads included)."""
    return a.shape == b.shape and bool(np.array_equal(bits(a), bits(b)))


def agreement(results: dict, reference: str) -> dict:
    """Every result against the reference: same rows, same order, same bits."""
    ref = results[reference]
    return {f"{name} == {reference} (bitwise, same order)": identical(out, ref)
            for name, out in results.items() if name != reference}


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


@dataclass
class Rounds:
    wall: dict[str, list[float]] = dataclass_field(default_factory=dict)
    cpu: dict[str, list[float]] = dataclass_field(default_factory=dict)
    calls: dict[str, int] = dataclass_field(default_factory=dict)
    page_faults: dict[str, int] = dataclass_field(default_factory=dict)


def time_round_robin(funcs: dict[str, Contender], repeat: int, min_seconds: float,
                     gap: float = 0.0) -> Rounds:
    """Seconds per call, wall and process CPU, one value per round; the
    contenders take turns round by round so that a change of machine load
    hits them alike.  Collection runs between rounds, not inside them.
    The first, untimed call of each contender counts its page faults and
    tells whether a round needs more than one call."""
    rounds = Rounds()
    for name, c in funcs.items():
        with c.context():
            rounds.page_faults[name], seconds = page_faults(c.call)
            rounds.calls[name] = (1 if seconds >= min_seconds
                                  else calls_per_round(c.call, min_seconds))
        rounds.wall[name], rounds.cpu[name] = [], []
    enabled = gc.isenabled()
    try:
        for _ in range(repeat):
            for name, c in funcs.items():
                number, fn = rounds.calls[name], c.call
                gc.collect()
                if gap:
                    time.sleep(gap)
                with c.context():
                    gc.disable()
                    c0 = time.process_time()
                    t0 = time.perf_counter()
                    for _ in range(number):
                        fn()
                    t1 = time.perf_counter()
                    c1 = time.process_time()
                    if enabled:
                        gc.enable()
                rounds.wall[name].append((t1 - t0) / number)
                rounds.cpu[name].append((c1 - c0) / number)
    finally:
        if enabled:
            gc.enable()
    return rounds


def page_faults(fn) -> tuple[int, float]:
    """Minor page faults of one call (fresh memory costs one per page), and
    the call's wall time."""
    import resource

    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    t0 = time.perf_counter()
    fn()
    seconds = time.perf_counter() - t0
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before, seconds


def latency(native, peer, calls: int) -> dict:
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
    if peer is not None:
        res["numba_us"] = min(loop(peer.merge_points_removing_overlap, a, b, c, t)
                              for _ in range(3))
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


_TABLES = ("connected_crop_rows", "points_in_rows", "row_information")


def save_tables(field, directory: str) -> str:
    """The field's tables as .npy files, for the memory children to load
    (much faster than generating a large field anew)."""
    for name in _TABLES:
        np.save(os.path.join(directory, name + ".npy"), getattr(field, name))
    Path(directory, "tolerance").write_text(repr(field.tolerance))
    return directory


@dataclass(frozen=True)
class _LoadedField:
    connected_crop_rows: np.ndarray
    points_in_rows: np.ndarray
    row_information: np.ndarray
    tolerance: float

    def arguments(self, num_threads: int = 0) -> tuple:
        return (self.connected_crop_rows, self.points_in_rows, self.row_information,
                self.tolerance, num_threads)

    def nbytes(self) -> int:
        return sum(getattr(self, name).nbytes for name in _TABLES)


def probe_memory(kind: str, directory: str, result_rows: int) -> dict:
    """Child side: one call of ``kind`` on the saved tables, peak RSS above
    the baseline."""
    import resource

    field = _LoadedField(*(np.load(os.path.join(directory, n + ".npy")) for n in _TABLES),
                         float(Path(directory, "tolerance").read_text()))
    tiny = make_field("tiny")
    if kind.startswith("native"):
        native, where = import_native()
        if native is None:
            return {"error": where}
        fn = getattr(native, FUNCTION)
        threads = 1 if kind == "native1" else 0
        call = lambda f: fn(*f.arguments(threads))  # noqa: E731
    elif kind.startswith("numba"):
        peer, why = import_numba_peer()
        if peer is None:
            return {"error": why}
        threads = 1 if kind == "numba1" else 0
        call = lambda f: peer.merge_points_removing_overlap(*f.arguments(threads))  # noqa: E731
    elif kind == "numpy":
        call = lambda f: numpy_merge(*f.arguments()[:4])  # noqa: E731
    else:
        call = lambda f: memory_floor(f, result_rows if f is field else 0)  # noqa: E731
    call(tiny)  # one-time set-up (pool, NumPy C interface, JIT) is not the call's
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


def measure_memory(kind: str, directory: str, result_rows: int) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, __file__, "--probe-memory", kind, directory,
                           str(result_rows)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or ["child failed"])[-1]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# One preset in one order


def _stats(values: list[float]) -> dict:
    return {"best": min(values), "median": statistics.median(values), "all": values}


def measure_order(args, native, peer, preset: str, order: str, repeat: int) -> dict:
    field = make_field(preset, seed=args.seed, order=order)
    scaling = preset in SCALING_PRESETS
    with_numpy = not scaling or args.numpy_on_scaling
    # The reference: the scanning merge where affordable, else NumPy, else
    # the extension with one worker, else the Numba peer on one thread.
    if field.groups * field.points <= SCAN_AFFORDABLE:
        ref_name, reference = "scan", merge_scan(*field.arguments()[:4])
    elif with_numpy:
        ref_name, reference = "numpy", numpy_merge(*field.arguments()[:4])
    elif native is not None:
        ref_name, reference = "native1", getattr(native, FUNCTION)(*field.arguments(1))
    else:
        with numba_threads(1):
            ref_name, reference = "numba1", peer.merge_points_removing_overlap(
                *field.arguments()[:4])
    result_rows = int(reference.shape[0])
    funcs = contenders(native, peer, field, result_rows, workers=args.workers,
                       with_numpy=with_numpy, with_floor4k=args.floor4k)
    if preset == FRAME_PRESET:
        funcs.update(frame_contenders(field))
    # Each merge once against the reference (also its warm-up), one at a
    # time so that a large field's results are not all held at once.
    checks = {}
    for name in MERGES:
        if name in funcs and name != ref_name:
            with funcs[name].context():
                out = funcs[name].call()
            checks.update(agreement({ref_name: reference, name: out}, ref_name))
            del out
    del reference
    turns = {n: funcs[n] for n in ORDER_OF_TURNS if n in funcs}
    rounds = time_round_robin(turns, repeat, args.min_round, args.gap)
    entry = {
        "kept": result_rows,
        "removed_fraction": 1.0 - result_rows / max(field.points, 1),
        "inputs_bytes": field.nbytes(),
        "output_bytes": result_rows * field.points_in_rows.shape[1] * 8,
        "reference": ref_name, "rounds": repeat, "calls_per_round": rounds.calls,
        "times": {k: _stats(v) for k, v in rounds.wall.items()},
        "cpu": {k: _stats(v) for k, v in rounds.cpu.items()},
        "checks": checks,
        "page_faults": rounds.page_faults,
    }
    # Below about 64 pages resident-set figures are page-granular noise.
    if not args.no_memory and entry["inputs_bytes"] + entry["output_bytes"] >= MEMORY_MIN_BYTES:
        kinds = [k for k in ("native", "native1", "numba", "numpy", "floor")
                 if k in funcs and (k != "numpy" or order == "segment")]
        with tempfile.TemporaryDirectory(prefix="rowmerge-bench-") as tmp:
            save_tables(field, tmp)
            entry["memory"] = {k: measure_memory(k, tmp, result_rows) for k in kinds}
    return entry


#: Presets too large to measure in every order by default.
TILE_ONLY_PRESETS = ("field_xl",)


def orders_for(preset: str, chosen: list[str] | None) -> list[str]:
    if chosen:
        return list(dict.fromkeys(chosen))
    return ["tile"] if preset in TILE_ONLY_PRESETS else list(ORDERS)


def _thp_mode() -> str | None:
    try:
        text = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
    except OSError:
        return None
    return text[text.index("[") + 1:text.index("]")] if "[" in text else text.strip()


def run(args, log=None) -> dict:
    native, where = import_native()
    peer, numba_info = import_numba_peer()
    # The objects of the imported modules (numba's are many) stay out of the
    # collections between the timed turns.
    gc.collect()
    gc.freeze()
    try:
        return _run(args, native, where, peer, numba_info, log)
    finally:
        gc.unfreeze()


def _run(args, native, where, peer, numba_info, log) -> dict:
    started = time.perf_counter()
    report = {
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(),
                    "numpy": np.__version__, "platform": platform.platform(),
                    "load_average": list(os.getloadavg()),
                    "transparent_hugepage": _thp_mode()},
        "native": where if native is not None else None,
        "native_built": (time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.path.getmtime(where)))
                         if native is not None and os.path.exists(where) else None),
        "native_missing": None if native is not None else where,
        "numba": numba_info if peer is not None else {"missing": numba_info},
        "repeat": args.repeat, "scaling_repeat": args.scaling_repeat, "seed": args.seed,
        "workers": args.workers, "presets": {},
    }
    for preset in args.presets:
        size = PRESETS[preset]
        repeat = (min(args.repeat, args.scaling_repeat) if preset in SCALING_PRESETS
                  else args.repeat)
        entry = {"groups": size.groups, "points": size.groups * size.points_per_group,
                 "point_columns": size.point_columns, "orders": {}}
        report["presets"][preset] = entry
        for order in orders_for(preset, args.order):
            if log:
                log(f"{preset}, {order} order ...")
            entry["orders"][order] = measure_order(args, native, peer, preset, order, repeat)
    if args.latency_calls:
        report["latency"] = latency(native, peer, args.latency_calls)
    report["targets"] = targets(report)
    report["seconds"] = time.perf_counter() - started
    return report


# --------------------------------------------------------------------------
# Targets


def targets(report: dict) -> list[dict]:
    """The performance goals, judged on the best times of this one run.
    A target whose measurements are missing is listed as not judged."""
    out = []
    presets = report["presets"]

    def add(what, measured, limit, ok):
        out.append({"target": what, "measured": measured, "limit": limit,
                    "met": None if ok is None else bool(ok)})

    def best(preset, order, name, kind="times"):
        try:
            return presets[preset]["orders"][order][kind][name]["best"]
        except KeyError:
            return None

    def orders(preset):
        return list(presets.get(preset, {}).get("orders", {}))

    def worst(preset, ratio, names):
        """Largest ratio over the orders of ``preset``: (value, order)."""
        vals = []
        for order in orders(preset):
            b = [best(preset, order, n) for n in names]
            if None not in b:
                vals.append((ratio(*b), order))
        return max(vals) if vals else None

    have_native = report.get("native") is not None
    large = "field_large"
    if large in presets and have_native:
        w = worst(large, lambda n, f: n / f, ["native", "floor"])
        add(f"{large}: default workers <= 1.2 x fresh floor, every order",
            f"{w[0]:.2f} x ({w[1]})", "1.2 x", w[0] <= 1.2)
        times = {o: best(large, o, "native") for o in orders(large)}
        if len(times) > 1:
            spread = max(times.values()) / min(times.values())
            add(f"{large}: slowest order <= 1.15 x fastest (default workers)",
                f"{spread:.2f} x ({max(times, key=times.get)} / {min(times, key=times.get)})",
                "1.15 x", spread <= 1.15)
        w = worst(large, lambda n, f: n / f, ["native1", "floor"])
        add(f"{large}: one worker <= 2 x fresh floor, every order",
            f"{w[0]:.2f} x ({w[1]})", "2 x", w[0] <= 2.0)
    if "field_medium" in presets and have_native:
        w = worst("field_medium", lambda n, f: n / (2 * f + 20e-6), ["native", "warm"])
        order = w[1]
        n, f = best("field_medium", order, "native"), best("field_medium", order, "warm")
        add("field_medium: <= 2 x warm floor + 20 us, every order",
            f"{fmt_time(n)} ({order})", f"{fmt_time(2 * f + 20e-6)}", w[0] <= 1.0)
    if "frame" in presets and have_native:
        times = {o: best("frame", o, "native") for o in orders("frame")}
        slow = max(times, key=times.get)
        add("frame: <= 30 us, every order", f"{fmt_time(times[slow])} ({slow})", "30 µs",
            times[slow] <= 30e-6)
    for preset, limit in (("tiny", None), ("frame", 1.5), ("field_medium", 1.1), ("field_large", 1.1)):
        if preset not in presets or not have_native:
            continue
        for name, label in (("api", "rowmerge.merge"), ("api_index", "rowmerge.merge(return_index=True)")):
            if limit is None:
                times = {o: best(preset, o, name) for o in orders(preset)}
                if None in times.values():
                    continue
                slow = max(times, key=times.get)
                add(f"tiny: {label} <= 5 us, every order", f"{fmt_time(times[slow])} ({slow})", "5 µs",
                    times[slow] <= 5e-6)
                continue
            w = worst(preset, lambda a, n: a / n, [name, "native"])
            if w is not None:
                add(f"{preset}: {label} <= {limit} x _native, every order", f"{w[0]:.2f} x ({w[1]})",
                    f"{limit} x", w[0] <= limit)
    if FRAME_PRESET in presets and have_native:
        w = worst(FRAME_PRESET, lambda f, n, t: f / (n + t), ["frame", "native", "take"])
        if w is not None:
            add(f"{FRAME_PRESET}: merge_frame (pandas) <= 1.5 x (_native + DataFrame.take), every order",
                f"{w[0]:.2f} x ({w[1]})", "1.5 x", w[0] <= 1.5)
    lat = report.get("latency")
    if lat and "native_us" in lat:
        add("tiny call <= 3 us", f"{lat['native_us']:.2f} µs", "3 µs", lat["native_us"] <= 3.0)
    for preset, e in presets.items():
        ratios = []
        for order, o in e["orders"].items():
            mem = o.get("memory", {}).get("native")
            # Resident-set figures move in whole pages; below about 64 pages
            # the ratio says nothing.
            if (mem and "error" not in mem
                    and mem["inputs_bytes"] + mem["output_bytes"] >= MEMORY_MIN_BYTES):
                size = mem["inputs_bytes"] + mem["output_bytes"]
                ratios.append((mem["above_baseline_bytes"] / size, order))
        if ratios:
            r = max(ratios)
            add(f"{preset}: peak memory <= 1.25 x (inputs + output), every order",
                f"{r[0]:.2f} x ({r[1]})", "1.25 x", r[0] <= 1.25)
    if have_native and best("field_xl", "tile", "native") and best(large, "tile", "native"):
        r = best("field_xl", "tile", "native") / best(large, "tile", "native")
        add("field_xl tile <= 11 x field_large tile (default workers)", f"{r:.2f} x", "11 x",
            r <= 11.0)
    if have_native and best("many_small", "tile", "native"):
        r = best("many_small", "tile", "native") / best("many_small", "tile", "floor")
        add("many_small tile <= 2 x fresh floor (default workers)", f"{r:.2f} x", "2 x",
            r <= 2.0)
    if have_native and "many_small" in presets and large in presets:
        # The same 2,000,000 points in 100,000 segments instead of 1,000.
        for name, label in (("native", "default workers"), ("native1", "one worker")):
            vals = [(best("many_small", o, name) / best(large, o, name), o) for o in orders("many_small")
                    if o in orders(large) and best("many_small", o, name) and best(large, o, name)]
            if vals:
                r = max(vals)
                add(f"many_small: <= 1.3 x the per-point time of field_large, {label}, every order",
                    f"{r[0]:.2f} x ({r[1]})", "1.3 x", r[0] <= 1.3)
    if have_native and best(large, "shuffled", "native") and best(large, "tile", "native"):
        r = best(large, "shuffled", "native") / best(large, "tile", "native")
        add(f"{large}: shuffled <= 1.4 x tile order (default workers)", f"{r:.2f} x", "1.4 x", r <= 1.4)
    if have_native and "frame" in presets:
        w = worst("frame", lambda n, f: n / f, ["native", "warm"])
        if w is not None:
            add("frame: <= 2.5 x warm floor, every order", f"{w[0]:.2f} x ({w[1]})", "2.5 x", w[0] <= 2.5)
    numba_there = "numba" in report and "missing" not in report["numba"]
    for preset, margin in (("frame", 1.3), ("field_medium", 1.1)):
        if preset not in presets or not have_native or not numba_there:
            continue
        # Numba's time over ours: at least `margin` in every order.
        w = min((best(preset, o, "numba") / best(preset, o, "native"), o) for o in orders(preset))
        add(f"{preset}: at least {margin} x faster than Numba (default workers), every order",
            f"{w[0]:.2f} x ({w[1]})", f">= {margin} x", w[0] >= margin)
    for preset in presets:
        if not have_native:
            break
        if "numba" not in report or "missing" in report["numba"]:
            add(f"{preset}: ours faster than Numba, same workers, every order",
                "numba not installed", "< 1 x", None)
            continue
        w = max([(best(preset, o, a) / best(preset, o, b), o, label)
                 for o in orders(preset)
                 for a, b, label in (("native", "numba", "default"), ("native1", "numba1", "1"))])
        add(f"{preset}: ours faster than Numba, same workers, every order",
            f"ours/Numba {w[0]:.2f} x ({w[1]}, {w[2]} worker{'s' if w[2] == 'default' else ''})",
            "< 1 x", w[0] < 1.0)
    for preset in ("field_medium", "frame"):
        if preset not in presets or not have_native:
            continue
        vals = []
        for order in orders(preset):
            c = presets[preset]["orders"][order]["cpu"]
            if "native" in c and c.get("native1", {}).get("median"):
                # Medians: the best round of either would favour the noisier.
                vals.append((c["native"]["median"] / c["native1"]["median"], order))
        if vals:
            w = max(vals)
            add(f"{preset}: CPU time default workers <= 1.3 x one worker, every order",
                f"{w[0]:.2f} x ({w[1]}, medians)", "1.3 x", w[0] <= 1.3)
    return out


# --------------------------------------------------------------------------
# Report


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def _size_label(preset: str, e: dict) -> str:
    per = e["points"] // max(e["groups"], 1)
    return f"{preset} ({e['groups']:,} × {per:,}, {e['point_columns']})"


def markdown_tables(report: dict) -> str:
    """Times, CPU time and peak memory as Markdown tables (for the README)."""
    lines = []
    presets = report["presets"]
    names = [n for n in ORDER_OF_TURNS
             if any(n in o["times"] for e in presets.values() for o in e["orders"].values())]
    workers = report["workers"] or "default"
    threads = (report["numba"].get("threads") if report["workers"] == 0
               else report["workers"])
    labels = dict(LABELS)
    labels["native"] = f"ours, {workers} workers" if report["workers"] else labels["native"]
    if threads:
        labels["numba"] = f"Numba, {threads} threads"
    lines.append("Best of the rounds per call; in brackets, the multiple of the fresh floor.")
    lines.append("")
    lines.append("| preset (groups × points, columns) | order | "
                 + " | ".join(labels[n] for n in names) + " |")
    lines.append("| --- | --- |" + " --- |" * len(names))
    for preset, e in presets.items():
        for order, o in e["orders"].items():
            t = o["times"]
            floor = t["floor"]["best"]
            cells = []
            for n in names:
                if n not in t:
                    cells.append("–")
                elif n == "floor":
                    cells.append(fmt_time(floor))
                else:
                    cells.append(f"{fmt_time(t[n]['best'])} ({t[n]['best'] / floor:.2f})")
            lines.append(f"| {_size_label(preset, e)} | {order} | " + " | ".join(cells) + " |")
    cpu_names = [n for n in ("native", "native1", "numba", "numba1")
                 if any(n in o["cpu"] for e in presets.values() for o in e["orders"].values())]
    if cpu_names:
        lines.append("")
        lines.append("Process CPU time per call (all threads), median of the rounds; in "
                     "brackets, the multiple of the same implementation's one-worker figure.")
        lines.append("")
        lines.append("| preset | order | " + " | ".join(labels[n] for n in cpu_names) + " |")
        lines.append("| --- | --- |" + " --- |" * len(cpu_names))
        for preset, e in presets.items():
            for order, o in e["orders"].items():
                c = o["cpu"]
                cells = []
                for n in cpu_names:
                    if n not in c:
                        cells.append("–")
                        continue
                    cell = fmt_time(c[n]["median"])
                    one = {"native": "native1", "numba": "numba1"}.get(n)
                    if one in c and c[one]["median"] > 0:
                        cell += f" ({c[n]['median'] / c[one]['median']:.2f})"
                    cells.append(cell)
                lines.append(f"| {preset} | {order} | " + " | ".join(cells) + " |")
    mem_names = [n for n in ("native", "native1", "numba", "numpy", "floor")
                 if any(n in o.get("memory", {}) for e in presets.values()
                        for o in e["orders"].values())]
    if mem_names:
        lines.append("")
        lines.append("Peak memory of one call above the process's baseline, as a multiple of "
                     "inputs + output (NumPy in segment order only).")
        lines.append("")
        lines.append("| preset | order | inputs + output | "
                     + " | ".join(labels[n] for n in mem_names) + " |")
        lines.append("| --- | --- | --- |" + " --- |" * len(mem_names))
        for preset, e in presets.items():
            for order, o in e["orders"].items():
                mem = o.get("memory")
                if not mem:
                    continue
                size = o["inputs_bytes"] + o["output_bytes"]
                cells = []
                for n in mem_names:
                    m = mem.get(n)
                    cells.append("–" if not m or "error" in m
                                 else f"{m['above_baseline_bytes'] / size:.2f}")
                lines.append(f"| {preset} | {order} | {size / 2**20:.1f} MiB | "
                             + " | ".join(cells) + " |")
    return "\n".join(lines)


def print_report(report: dict, out=None) -> None:
    out = out or sys.stdout
    p = lambda *a: print(*a, file=out)  # noqa: E731
    m = report["machine"]
    p(f"machine: {m['cpus']} CPUs, Python {m['python']}, NumPy {m['numpy']}, "
      f"load average {m['load_average'][0]:.2f}, transparent huge pages: "
      f"{m['transparent_hugepage']}")
    built = f" (built {report['native_built']})" if report.get("native_built") else ""
    p(f"_native: {report['native'] or report['native_missing']}{built}")
    nb = report["numba"]
    if "missing" in nb:
        p(f"Numba peer: {nb['missing']}")
    else:
        p(f"Numba peer: numba {nb['version']}, threading layer {nb['threading_layer']}, "
          f"{nb['threads']} threads")
    p(f"rounds per measurement: {report['repeat']} "
      f"({min(report['repeat'], report['scaling_repeat'])} on "
      f"{', '.join(SCALING_PRESETS)}), best / median, seed {report['seed']}, "
      f"workers {report['workers'] or 'default'}")
    p("")
    p(markdown_tables(report))
    p("")
    for preset, e in report["presets"].items():
        for order, o in e["orders"].items():
            p(f"{preset}, {order} order: {e['points']:,} points, "
              f"{o['removed_fraction'] * 100:.1f}% removed, inputs {o['inputs_bytes'] / 1e6:.2f} MB, "
              f"output {o['output_bytes'] / 1e6:.2f} MB")
            p("    best / median per call        "
              + ", ".join(f"{k} {fmt_time(v['best'])} / {fmt_time(v['median'])}"
                          for k, v in o["times"].items()))
            p("    page faults per call          "
              + ", ".join(f"{k} {v:,}" for k, v in o["page_faults"].items()))
            for k, v in o["checks"].items():
                p(f"    {'OK  ' if v else 'FAIL'} {k}")
            for kind, mem in o.get("memory", {}).items():
                if "error" in mem:
                    p(f"    peak memory {kind:<8} unavailable: {mem['error']}")
                    continue
                size = mem["inputs_bytes"] + mem["output_bytes"]
                p(f"    peak memory {kind:<8} {mem['above_baseline_bytes'] / 1e6:9.2f} MB above "
                  f"baseline = {mem['above_baseline_bytes'] / size:5.2f} × (inputs + output) "
                  f"[{mem['method']}]")
    lat = report.get("latency")
    if lat:
        p("")
        p(f"per-call latency, tiny field (3 × 10), mean of {lat['calls']:,} calls:")
        for key, label in [("native1_us", "_native, 1 worker"), ("native_us", "_native, default workers"),
                           ("numba_us", "Numba merge"), ("numpy_us", "NumPy merge"),
                           ("builtin_max_5_args_us", "max() with 5 args"),
                           ("empty_loop_us", "empty call (lambda: None)")]:
            if key in lat:
                p(f"    {label:<28} {lat[key]:8.2f} µs")
        if "native_us" in lat:
            p(f"    {'_native beyond max()':<28} {lat['native_us'] - lat['builtin_max_5_args_us']:8.2f} µs")
    if report.get("targets"):
        p("")
        p("targets (best of the rounds, this run):")
        for t in report["targets"]:
            status = "n/a " if t["met"] is None else ("met " if t["met"] else "MISS")
            p(f"    {status} {t['target']:<64} {t['measured']}  (limit {t['limit']})")
    p("")
    p(f"benchmark wall time: {report['seconds']:.0f} s")


def failed_checks(report: dict) -> list[str]:
    return [f"{preset}/{order}: {k}" for preset, e in report["presets"].items()
            for order, o in e["orders"].items() for k, ok in o["checks"].items() if not ok]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--presets", nargs="+", default=DEFAULT_PRESETS, choices=list(PRESETS))
    ap.add_argument("--order", action="extend", nargs="+", choices=ORDERS,
                    help="row orders of points_in_rows (repeatable; default: all three, "
                         "tile only on field_xl)")
    ap.add_argument("--repeat", type=int, default=7, help="rounds per measurement (default 7)")
    ap.add_argument("--scaling-repeat", type=int, default=3,
                    help=f"rounds on {' and '.join(SCALING_PRESETS)} (default 3, at most "
                         "--repeat)")
    ap.add_argument("--workers", type=int, default=0,
                    help="worker count of the default-worker contenders: the extension's "
                         "num_threads and Numba's thread count (default 0: their defaults)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--min-round", type=float, default=0.02, metavar="SECONDS",
                    help="small calls are repeated within a round until it lasts this long")
    ap.add_argument("--gap", type=float, default=0.005, metavar="SECONDS",
                    help="idle time before each contender's turn (default 0.005)")
    ap.add_argument("--latency-calls", type=int, default=20_000,
                    help="calls of the tiny field for the latency figure (0: skip)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    ap.add_argument("--numpy-on-scaling", action="store_true",
                    help="also time the NumPy merge on the scaling presets")
    ap.add_argument("--floor4k", action="store_true",
                    help="also time the fresh floor without huge pages")
    ap.add_argument("--json", nargs="?", const="-", metavar="FILE",
                    help="write the results as JSON to FILE (or stdout, then no table)")
    ap.add_argument("--markdown", metavar="FILE", help="also write the Markdown tables to FILE")
    ap.add_argument("--progress", action="store_true", help="leave the progress line on")
    ap.add_argument("--native-dir", metavar="DIR",
                    help="load _native from DIR (default: installed, else build-module/)")
    ap.add_argument("--require-native", action="store_true",
                    help="fail when _native cannot be imported")
    ap.add_argument("--probe-memory", nargs=3, metavar=("KIND", "DIR", "ROWS"),
                    help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.native_dir:
        global NATIVE_DIR
        NATIVE_DIR = os.environ["ROWMERGE_NATIVE_DIR"] = os.path.abspath(args.native_dir)
    if not args.progress:
        os.environ.setdefault("NO_COLOR", "1")
    if args.probe_memory:
        kind, directory, rows = args.probe_memory
        print(json.dumps(probe_memory(kind, directory, int(rows))))
        return 0
    if args.repeat < 1 or args.scaling_repeat < 1:
        ap.error("--repeat and --scaling-repeat must be at least 1")
    if args.workers < 0:
        ap.error("--workers must not be negative")
    if args.require_native:
        native, where = import_native()
        if native is None:
            print(where, file=sys.stderr)
            return 1
    to_stdout = args.json == "-"
    log = None if to_stdout else (lambda text: print(text, file=sys.stderr, flush=True))
    report = run(args, log)
    if to_stdout:
        json.dump(report, sys.stdout, indent=2)
        print()
    else:
        print_report(report)
        if args.json:
            Path(args.json).write_text(json.dumps(report, indent=2) + "\n")
    if args.markdown:
        Path(args.markdown).write_text(markdown_tables(report) + "\n")
    failed = failed_checks(report)
    if failed:
        print("results disagree: " + "; ".join(failed), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

"""The benchmark's merge implementations and field generator checked against
each other (and against ``_native`` when it can be imported).

    python -m pytest bench -q
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "python"))

from numpy_merge import merge_points_removing_overlap as numpy_merge  # noqa: E402
from rowmerge.field import PRESETS, make_field  # noqa: E402
from run_bench import identical, import_native  # noqa: E402
from scan_merge import merge_scan  # noqa: E402

NAN = math.nan
NATIVE, _ = import_native()
ID_POOL = [1.0, 2.0, 2.5, 3.0, 3.7, 0.0, -0.0, -3.0, NAN, 4294967296.0]
TOLERANCES = [0.0, 0.25, 0.5, 2.0, -0.5, NAN, math.inf]


def outcome(fn, *args):
    """The result, or the kind of failure."""
    try:
        return fn(*args)
    except ValueError:
        return "failed"
    except BaseException as exc:  # the extension fails with a BaseException subclass
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        if type(exc).__name__ == "PanicException":
            return "failed"
        raise


def same_outcome(a, b) -> bool:
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    return identical(a, b)


def random_tables(seed: int):
    """Small tables full of the awkward cases: fractional, negative, NaN and
    signed-zero identifiers, duplicate records, anchors on a coarse grid
    (ties and coincident anchors), points on the cut lines, NaN coordinates."""
    rng = np.random.default_rng(seed)
    n_rec = int(rng.integers(1, 6))
    info = np.empty((n_rec, 11))
    info[:, 0] = rng.choice(ID_POOL[:7], n_rec)
    info[:, 1:4] = rng.random((n_rec, 3))
    info[:, 4] = rng.choice(ID_POOL[:7], n_rec)
    grid = rng.integers(-3, 4, (n_rec, 6)).astype(float)
    info[:, 5:] = np.where(rng.random((n_rec, 6)) < 0.7, grid, rng.normal(0, 3, (n_rec, 6)))
    n_groups = int(rng.integers(1, 6))
    conn = np.full((n_groups, 11), NAN)
    conn[:, 0] = np.arange(n_groups)
    conn[:, 1] = rng.choice(ID_POOL, n_groups)
    conn[:, 2] = rng.choice(ID_POOL, n_groups)
    for g in range(n_groups):
        if rng.random() < 0.95:  # usually a group about a row that has a record
            rec = info[rng.integers(n_rec)]
            conn[g, 1:3] = rec[0] + rng.choice([0.0, 0.5]), rec[4]
        for k in range(int(rng.integers(0, 5))):
            rec = info[rng.integers(n_rec)]
            conn[g, 3 + 2 * k: 5 + 2 * k] = rec[0], rec[4]
    n_pts = int(rng.integers(0, 40))
    pts = np.empty((n_pts, 5))
    pts[:, 0] = rng.choice(ID_POOL, n_pts)
    pts[:, 1] = rng.choice(ID_POOL, n_pts)
    of_group = rng.random(n_pts) < 0.7  # most points belong to some group's main row
    pts[of_group, :2] = conn[rng.integers(0, n_groups, int(of_group.sum())), 1:3]
    pts[:, 2:4] = np.where(rng.random((n_pts, 2)) < 0.5, rng.integers(-4, 5, (n_pts, 2)) * 0.5,
                           rng.normal(0, 3, (n_pts, 2)))
    nan_at = rng.random((n_pts, 2)) < 0.05
    pts[:, 2:4][nan_at] = NAN
    pts[:, 4] = np.arange(n_pts)
    return conn, pts, info, float(rng.choice(TOLERANCES))


# -- implementations against each other ------------------------------------


@pytest.mark.parametrize("seed", range(300))
def test_numpy_merge_equals_scan_on_awkward_tables(seed):
    args = random_tables(seed)
    assert same_outcome(outcome(numpy_merge, *args), outcome(merge_scan, *args))


@pytest.mark.parametrize("preset", ["tiny", "frame"])
@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("shuffle", [False, True])
def test_numpy_merge_equals_scan_on_fields(preset, seed, shuffle):
    f = make_field(preset, seed=seed, shuffle=shuffle, nan_fraction=0.02 * seed)
    assert identical(numpy_merge(*f.arguments()), merge_scan(*f.arguments()[:4]))


@pytest.mark.parametrize("tolerance, kept", [
    # Rule 1 corners at (9.5, 9.5) and (10.25, 10.25).
    (0.25, [(2, 2), (9.5, 9.5), (10.25, 10.25)]),
    # Cut point within tolerance of the near anchor: every numeric point.
    (2.0, [(2, 2), (9.5, 9.5), (9.6, 9.4), (9.6, 9.6), (10, 10), (10.25, 10.25), (10.3, 10.2)]),
    (NAN, []),
])
@pytest.mark.parametrize("merge", [numpy_merge, merge_scan], ids=["numpy", "scan"])
def test_diagonal_junction(merge, tolerance, kept):
    info = np.array([[1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5],
                     [1, 0, 0, 0, 2, 8, 9, 20, 21, 14, 15]], dtype=float)
    conn = np.array([[0, 1, 1, 1, 2, NAN, NAN, NAN, NAN, NAN, NAN]])
    xy = [(2, 2), (9.5, 9.5), (9.6, 9.4), (9.6, 9.6), (10, 10), (10.25, 10.25), (10.3, 10.2), (NAN, 1)]
    pts = np.array([(1, 1, x, y) for x, y in xy] + [(1, 2, 0, 0)], dtype=float)
    out = merge(conn, pts, info, tolerance)
    assert [tuple(p) for p in out[:, 2:4].tolist()] == kept


@pytest.mark.parametrize("merge", [numpy_merge, merge_scan], ids=["numpy", "scan"])
def test_level_junction_uses_the_fallback_rule(merge):
    info = np.array([[1, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0],
                     [1, 0, 0, 0, 2, 8, 0, 20, 0, 14, 0]], dtype=float)
    conn = np.array([[0, 1, 1, 1, 2, NAN]])
    xy = [(3, 0), (9, 0), (9.7, 0), (12, 0), (10, 1), (8, -1)]
    pts = np.array([(1, 1, x, y) for x, y in xy], dtype=float)
    out = merge(conn, pts, info, 0.5)
    assert [tuple(p) for p in out[:, 2:4].tolist()] == [(9, 0), (9.7, 0), (12, 0)]


@pytest.mark.parametrize("change, expect", [
    ("nothing", 2),
    ("connected id 3.7", "failed"),       # connected rows match by float value
    ("main id 3.7", 2),                   # the main row by truncated value
    ("connected id -0.0", 2),             # -0.0 == 0.0
    ("connected second id NaN", "failed"),
    ("duplicate record below", 2),        # the first record wins
    ("duplicate record above", 3),
    ("no pair column", "failed"),
])
@pytest.mark.parametrize("merge", [numpy_merge, merge_scan], ids=["numpy", "scan"])
def test_record_lookup(merge, change, expect):
    # Main row (3, 1) with points on its line; connected row (0, 2).  The
    # junction cuts away the point at (9.8, 9.8).  The duplicate record above
    # moves the main row far away, so that nothing is cut.
    info = [[3, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5], [0, 0, 0, 0, 2, 8, 9, 20, 21, 14, 15]]
    conn = [[0, 3, 1, 0, 2, NAN]]
    pts = np.array([[3, 1, 1, 1], [3, 1, 5, 5], [3, 1, 9.8, 9.8]])
    if change == "connected id 3.7":
        conn[0][3] = 3.7
        info[1][0] = 3.0
    elif change == "main id 3.7":
        conn[0][1] = 3.7
    elif change == "connected id -0.0":
        conn[0][3] = -0.0
    elif change == "connected second id NaN":
        conn[0][4] = NAN
    elif change == "duplicate record below":
        info.append([3, 0, 0, 0, 1, 100, 100, 110, 110, 105, 105])
    elif change == "duplicate record above":
        info.insert(0, [3, 0, 0, 0, 1, 100, 100, 110, 110, 105, 105])
    elif change == "no pair column":
        conn = [[0, 3, 1, 0]]
    out = outcome(merge, np.array(conn, dtype=float), pts, np.array(info, dtype=float), 0.25)
    assert out == expect if isinstance(expect, str) else out.shape[0] == expect


@pytest.mark.parametrize("table, value", [
    ("connected_crop_rows", np.zeros((2, 2))),
    ("row_information", np.zeros((0, 11))),
    ("row_information", np.ones((3, 10))),
    ("points_in_rows", np.ones((4, 5), dtype=np.float32)),
    ("points_in_rows", np.ones(5)),
])
def test_numpy_merge_refuses_malformed_tables(table, value):
    f = make_field("tiny")
    args = {"connected_crop_rows": f.connected_crop_rows, "points_in_rows": f.points_in_rows,
            "row_information": f.row_information, table: value}
    with pytest.raises(ValueError):
        numpy_merge(**args, tolerance=f.tolerance)


# -- the field generator ---------------------------------------------------


@pytest.mark.parametrize("preset", sorted(PRESETS))
def test_presets_have_their_sizes_and_consistent_links(preset):
    size = PRESETS[preset]
    f = make_field(preset, seed=3)
    assert f.connected_crop_rows.shape == (size.groups, 11)
    assert f.row_information.shape == (size.groups, 11)
    assert f.points_in_rows.shape == (size.groups * size.points_per_group, size.point_columns)
    ids = np.concatenate([f.connected_crop_rows[:, 1:3].ravel(), f.points_in_rows[:, :2].ravel()])
    assert (ids >= 1).all() and (ids == np.floor(ids)).all()
    records = {tuple(r) for r in f.row_information[:, [0, 4]].tolist()}
    pairs = f.connected_crop_rows[:, 3:].reshape(-1, 4, 2)
    for group in pairs:
        for first, second in group:
            if math.isnan(first):
                break
            assert (first, second) in records


@pytest.mark.parametrize("preset", ["frame", "field_medium"])
@pytest.mark.parametrize("seed", [0, 5])
def test_merge_removes_a_share_of_points_only_inside_overlaps(preset, seed):
    f = make_field(preset, seed=seed)
    kept = numpy_merge(*f.arguments())
    removed_share = 1 - kept.shape[0] / f.points
    assert 0.05 <= removed_share <= 0.20
    # Along-row position of every point and of every segment's extent.
    direction = np.array([math.cos(f.heading), math.sin(f.heading)])
    info = f.row_information
    ends = np.sort(np.stack([info[:, 5:7] @ direction, info[:, 7:9] @ direction], 1), axis=1)
    kept_rows = {r.tobytes() for r in kept}
    removed = np.array([r for r in f.points_in_rows if r.tobytes() not in kept_rows])
    s = removed[:, 2:4] @ direction
    same_row = removed[:, :1] == info[None, :, 0]
    other_seg = removed[:, 1:2] != info[None, :, 4]
    inside = (ends[None, :, 0] - 0.05 <= s[:, None]) & (s[:, None] <= ends[None, :, 1] + 0.05)
    assert (same_row & other_seg & inside).any(axis=1).all()


@pytest.mark.parametrize("kwargs", [{}, {"shuffle": True}, {"groups": 7, "points_per_group": 3}])
def test_fields_are_reproducible(kwargs):
    a, b = make_field("frame", seed=11, **kwargs), make_field("frame", seed=11, **kwargs)
    c = make_field("frame", seed=12, **kwargs)
    for name in ("connected_crop_rows", "points_in_rows", "row_information"):
        assert identical(getattr(a, name), getattr(b, name))
    assert not identical(a.points_in_rows, c.points_in_rows)


# -- the extension, when it is there ---------------------------------------

needs_native = pytest.mark.skipif(NATIVE is None, reason="_native is not importable")


@needs_native
@pytest.mark.parametrize("seed", range(300))
def test_native_one_worker_equals_numpy_on_awkward_tables(seed):
    args = random_tables(seed)
    native = outcome(NATIVE.merge_points_removing_overlap, *args, 1)
    assert same_outcome(native, outcome(numpy_merge, *args))


@needs_native
@pytest.mark.parametrize("preset", ["tiny", "frame", "field_medium"])
@pytest.mark.parametrize("shuffle", [False, True])
def test_native_equals_numpy_on_fields(preset, shuffle):
    f = make_field(preset, seed=4, shuffle=shuffle, nan_fraction=0.01)
    reference = numpy_merge(*f.arguments())
    assert identical(NATIVE.merge_points_removing_overlap(*f.arguments(1)), reference)
    pooled = NATIVE.merge_points_removing_overlap(*f.arguments(0))
    order = lambda a: a[np.lexsort(a.view(np.uint64).T[::-1])].view(np.uint64)  # noqa: E731
    assert np.array_equal(order(pooled), order(reference))


# -- the benchmark's own checks --------------------------------------------


def _batches_of(field):
    out = numpy_merge(*field.arguments())
    key = out[:, :2]
    cut = np.nonzero((key[1:] != key[:-1]).any(axis=1))[0] + 1
    return out, np.split(out, cut)


@pytest.mark.parametrize("tamper", [
    "reverse batches", "swap rows inside a batch", "drop a row", "flip a sign bit",
])
def test_agreement_needs_the_same_rows_in_the_same_order(tamper):
    import run_bench

    out, runs = _batches_of(make_field("frame", seed=2))
    assert all(run_bench.agreement({"native1": out, "native": out.copy(), "numpy": out}).values())
    pooled = out.copy()
    if tamper == "reverse batches":
        pooled = np.concatenate(runs[::-1])
    elif tamper == "swap rows inside a batch":
        pooled[[0, 1]] = pooled[[1, 0]]
    elif tamper == "drop a row":
        pooled = pooled[1:]
    elif tamper == "flip a sign bit":
        pooled[5, 4] = -pooled[5, 4] if pooled[5, 4] else -0.0
    checks = run_bench.agreement({"native1": out, "native": pooled, "numpy": out})
    assert checks["native == native1 (bitwise, same order)"] is False


@pytest.mark.parametrize("with_native", [False, True])
def test_benchmark_runs_and_reports_json(with_native, monkeypatch, capsys):
    import json

    import run_bench

    if with_native and NATIVE is None:
        pytest.skip("_native is not importable")
    if not with_native:
        monkeypatch.setattr(run_bench, "import_native", lambda: (None, "not built"))
    code = run_bench.main(["--presets", "tiny", "frame", "--repeat", "2", "--min-round", "0",
                           "--no-memory", "--latency-calls", "50", "--json"])
    report = json.loads(capsys.readouterr().out)
    assert code == 0
    assert set(report["presets"]) == {"tiny", "frame"}
    assert ("native" in report["presets"]["frame"]["times"]) is with_native
    assert all(report["presets"]["frame"]["checks"].values())

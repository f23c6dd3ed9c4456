"""Differential tests: the module against the plain Python model in reference.py
(whose own tests are in test_reference_model.py).

The hand-worked cases of worked_cases.py run first, with one and with many
workers.  Then both the module and the model get the same generated calls,
and the module must give the same array, bit for bit and in the same row
order whatever the number of workers, or the same exception type and text.

Example counts: MERGE_FUZZ_PROFILE=ci (default: 5,000 one-worker examples and
1,000 for each many-worker variant) or MERGE_FUZZ_PROFILE=long (100,000 and
20,000 each); MERGE_FUZZ_EXAMPLES=N sets the one-worker count directly.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, note, settings

from reference import Failure, reference_merge
from strategies import Case, cases
from worked_cases import GROUPS, TRIMMING_PASSES, group_tables, trimming_tables

_EXAMPLES = {"ci": 5000, "long": 100_000}
_PROFILE = os.environ.get("MERGE_FUZZ_PROFILE", "ci")
EXAMPLES = int(os.environ.get("MERGE_FUZZ_EXAMPLES", _EXAMPLES[_PROFILE]))

FUZZ_SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    print_blob=True,
    suppress_health_check=[
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)


def row_bits(row) -> bytes:
    return b"".join(struct.pack("<d", v) for v in row)


# ---------------------------------------------------------------------------
# The module against the model


@pytest.fixture(scope="module")
def native():
    import _native

    return _native


@dataclass(frozen=True)
class Raised:
    kind: str
    text: str
    notes: tuple


def call(native, case, num_threads):
    """The module's answer: an array, or what it raised."""
    try:
        return native.merge_points_removing_overlap(*case.args(), num_threads)
    except TypeError as error:
        return Raised("TypeError", str(error), tuple(getattr(error, "__notes__", ())))
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        assert type(error).__module__ == "pyo3_runtime"
        assert not isinstance(error, Exception)
        return Raised("PanicException", str(error), tuple(getattr(error, "__notes__", ())))


def expected_raised(failure: Failure) -> Raised:
    notes = (failure.note,) if failure.note else ()
    return Raised(failure.kind, failure.text, notes)


def fingerprint(obj):
    if isinstance(obj, np.ndarray):
        return obj.dtype.str, obj.shape, obj.tobytes()
    return repr(obj)


def check_result_array(result, case):
    assert type(result) is np.ndarray, type(result)
    assert result.dtype == np.float64 and result.dtype.isnative
    assert result.ndim == 2
    assert result.shape[1] == case.points_in_rows.shape[1]
    for argument in case.args()[:3]:
        assert not np.shares_memory(result, argument)


def outcome_event(expected):
    if isinstance(expected, Failure):
        event(f"{expected.kind}: {expected.text[:60]}")
    else:
        event("rows kept" if expected else "empty result")


def check_outcome(native, case, num_threads, expected):
    """The module's answer to `case` is `expected` (rows or a Failure), bit
    for bit and in order; the inputs are left as they were."""
    before = [fingerprint(a) for a in case.args()[:3]]
    actual = call(native, case, num_threads)
    if isinstance(expected, Failure):
        assert isinstance(actual, Raised), f"returned {actual!r}"
        assert actual == expected_raised(expected)
    else:
        assert not isinstance(actual, Raised), actual
        check_result_array(actual, case)
        width = case.points_in_rows.shape[1]
        assert actual.shape == (len(expected), width)
        assert [row_bits(r) for r in actual.tolist()] == [row_bits(r) for r in expected]
    assert [fingerprint(a) for a in case.args()[:3]] == before


@pytest.mark.parametrize("num_threads", [1, 8])
@pytest.mark.parametrize("main, partner, points, tolerance, kept", TRIMMING_PASSES)
def test_trimming_pass_keeps_the_worked_points(native, main, partner, points, tolerance, kept, num_threads):
    groups, point_rows, records = trimming_tables(main, partner, points)
    expected = point_rows[kept].tolist()
    check_outcome(native, Case(groups, point_rows, records, tolerance), num_threads, expected)


@pytest.mark.parametrize("num_threads", [1, 8])
@pytest.mark.parametrize("groups, points, records, columns, expected", GROUPS)
def test_groups_follow_the_worked_cases(native, groups, points, records, columns, expected, num_threads):
    case = Case(*group_tables(groups, points, records, columns), 0.25)
    check_outcome(native, case, num_threads, expected)


@FUZZ_SETTINGS
@given(case=cases())
def test_one_worker_matches_the_model(native, case):
    expected = reference_merge(*case.args())
    note(f"expected: {expected!r}")
    outcome_event(expected)
    check_outcome(native, case, 1, expected)


# The README promises the same rows in the same order for any worker count.
@pytest.mark.parametrize("num_threads", [2, 8])
@settings(FUZZ_SETTINGS, max_examples=max(100, EXAMPLES // 5))
@given(case=cases(refused_share=200))
def test_many_workers_match_the_model_in_order(native, case, num_threads):
    expected = reference_merge(*case.args())
    note(f"expected: {expected!r}")
    check_outcome(native, case, num_threads, expected)

"""Small user-visible contracts that the sampled mutation check found unchecked.

- The batch progress bar is drawn only on a terminal whose type is known:
  TERM unset, empty or "dumb" means no bar.
- A table of a dtype that cannot become float64 is refused with a message
  that names what it holds.
"""

import io
import os

import numpy as np
import pytest


from rowmerge.cli.progress_bar import wants_bar
from rowmerge.formats import FormatError
from rowmerge.formats.raw_tables import as_float64_table


@pytest.fixture()
def terminal():
    master, slave = os.openpty()
    with os.fdopen(slave, "w") as stream:
        yield stream
    os.close(master)


@pytest.mark.parametrize(("term", "drawn"), [(None, False), ("", False), ("dumb", False), ("xterm", True),
                                             ("xterm-256color", True)])
def test_progress_bar_only_on_a_terminal_of_known_type(terminal, monkeypatch, term, drawn):
    if term is None:
        monkeypatch.delenv("TERM", raising=False)
    else:
        monkeypatch.setenv("TERM", term)
    assert wants_bar(terminal) is drawn
    assert wants_bar(io.StringIO()) is False


@pytest.mark.parametrize(("values", "reason"), [
    (np.array([[1, "a"]], dtype=object), "Python objects (dtype object) cannot be converted to float64"),
    (np.array([[1 + 2j]]), "complex values (complex128) cannot be converted to float64"),
    (np.array([["1"]]), "text (<U1) cannot be used as numbers"),
    (np.array([[b"1"]]), "bytes (|S1) cannot be used as numbers"),
    (np.array([["2024-01-01"]], dtype="datetime64[D]"), "dates (datetime64[D]) cannot be used as numbers"),
    (np.array([[1]], dtype="timedelta64[s]"), "time spans (timedelta64[s]) cannot be used as numbers"),
])
def test_a_table_that_is_not_numbers_is_refused_by_what_it_holds(values, reason):
    with pytest.raises(FormatError) as refused:
        as_float64_table(values, "points_in_rows")
    assert str(refused.value) == f"points_in_rows: {reason}"


# 64-bit integers convert to float64 only when the value is one that float64
# holds exactly: -2**63 and 2**53 are, 2**63 - 1 and 2**53 + 1 are not. The
# check itself must not trip over its own casts (no NumPy warning either).
@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize(("dtype", "value", "exact"), [
    (np.int64, -2**63, True),
    (np.int64, 2**53, True),
    (np.int64, 2**53 + 1, False),
    (np.int64, 2**63 - 1, False),
    (np.uint64, 2**64 - 1, False),
    (np.uint64, 2**63, True),
])
def test_64_bit_integers_convert_only_when_exact(dtype, value, exact):
    import rowmerge

    groups = np.array([[0.0, 1, 1, np.nan]])
    records = np.array([[1.0, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]])
    points = np.array([[1, 1, 0, 0, 0], [1, 1, 0, 0, value]], dtype=dtype)
    if exact:
        kept = rowmerge.merge(groups, points, records, tolerance=0.1)
        assert kept[:, 4].tolist() == [0.0, float(value)]
    else:
        with pytest.raises(TypeError, match=rf"points_in_rows\[1, 4\] is {value}, an integer that float64 cannot"):
            rowmerge.merge(groups, points, records, tolerance=0.1)


# The generated fields' records: the third anchor is the middle of the
# segment, on a row that bends gently, so it lies next to the midpoint of the
# segment's chord (within 1% of the chord's length).
@pytest.mark.parametrize("preset", ["frame", "field_large"])
@pytest.mark.parametrize("seed", [0, 1, 7])
def test_generated_mid_anchor_is_the_middle_of_its_segment(preset, seed):
    from rowmerge.field import make_field

    records = make_field(preset, seed=seed).row_information
    start, end, mid = records[:, 5:7], records[:, 7:9], records[:, 9:11]
    chord = np.hypot(*(end - start).T)
    off_middle = np.hypot(*((start + end) / 2 - mid).T)
    assert (chord > 0).all()
    assert (off_middle <= 0.01 * chord).all()

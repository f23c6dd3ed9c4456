"""Small user-visible contracts that the sampled mutation check found unchecked.

- The batch progress bar is drawn only on a terminal whose type is known:
  TERM unset, empty or "dumb" means no bar.
- A table of a dtype that cannot become float64 is refused with a message
  that names what it holds.
"""

import importlib
import io
import os

import numpy as np
import pytest


def module_with(name, *candidates):
    """`name` from the first of the package's modules that has it (modules move between folders)."""
    for candidate in candidates:
        try:
            module = importlib.import_module(candidate)
        except ImportError:
            continue
        if hasattr(module, name):
            return getattr(module, name)
    pytest.fail(f"no module of {candidates} has {name}")


wants_bar = module_with("wants_bar", "rowmerge.progress_bar", "rowmerge.cli.progress_bar")
as_float64_table = module_with("as_float64_table", "rowmerge.tables_io", "rowmerge.formats.tables_io")
TableError = module_with("TableError", "rowmerge.errors", "rowmerge.tables_io", "rowmerge.formats.tables_io")


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
    with pytest.raises(TableError) as refused:
        as_float64_table(values, "points_in_rows")
    assert str(refused.value) == f"points_in_rows: {reason}"

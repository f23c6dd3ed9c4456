"""The package's shape: its public surface, optional libraries, and the raw tables of frames."""

from __future__ import annotations

import importlib
import sys

import numpy as np
import pytest

import rowmerge
from rowmerge._optional import import_optional

nan = np.nan


@pytest.mark.parametrize("name", ["job", "batch", "batch_inputs", "summary", "progress_bar", "tables_io",
                                  "frame_arrays", "junctions", "plot", "safe_output"])
def test_command_line_modules_are_not_in_the_top_namespace(name):
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(f"rowmerge.{name}")


def test_public_surface():
    for name in ("merge", "merge_frame", "MergeError", "formats", "dask", "field", "make_field"):
        assert name in rowmerge.__all__ and getattr(rowmerge, name) is not None
    assert "cli" not in rowmerge.__all__


@pytest.mark.thread_unsafe(reason="changes sys.modules and sys.path")
def test_import_optional_says_whether_a_library_is_missing_or_broken(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "absent_library", None)
    with pytest.raises(LookupError, match="^which is not installed$"):
        import_optional("absent_library", LookupError)
    (tmp_path / "broken_library.py").write_text("raise ImportError('needs libfoo.so.3')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(LookupError, match=r"^which cannot be imported \(needs libfoo\.so\.3\)$"):
        import_optional("broken_library", LookupError)
    assert import_optional("json", LookupError).dumps([1]) == "[1]"


def test_frame_arrays_of_a_worked_example():
    """Two segments of crop row 7 that overlap, the first linked to the second, and one point each.

    The raw layout (docs/tables-and-geometry.md): one group per segment, numbered
    in the order of the segments; its main row and its links' rows; records with
    identifiers in columns 0 and 4, anchors (start, end, middle) in 5 to 10.
    """
    pd = pytest.importorskip("pandas")
    from rowmerge.frame import frame_arrays

    segments = pd.DataFrame({"crop_row": [7, 7], "segment": [2, 1],
                             "start_x": [9.0, 0.0], "start_y": [0.0, 0.0], "end_x": [20.0, 10.0],
                             "end_y": [1.0, 1.0], "mid_x": [14.5, 5.0], "mid_y": [0.5, 0.5]})
    links = pd.DataFrame({"crop_row": [7], "segment": [1], "linked_crop_row": [7], "linked_segment": [2]})
    points = pd.DataFrame({"crop_row": [7, 7], "segment": [1, 2], "x": [9.5, 9.6], "y": [0.9, 0.4],
                           "confidence": [0.8, 0.9]})
    groups, table, records = frame_arrays(points, segments, links)
    np.testing.assert_array_equal(groups, [[0, 7, 2, nan, nan, nan, nan, nan, nan, nan, nan],
                                           [1, 7, 1, 7, 2, nan, nan, nan, nan, nan, nan]])
    np.testing.assert_array_equal(records, [[7, 0, 0, 0, 2, 9, 0, 20, 1, 14.5, 0.5],
                                            [7, 0, 0, 0, 1, 0, 0, 10, 1, 5, 0.5]])
    np.testing.assert_array_equal(table, [[7, 1, 9.5, 0.9], [7, 2, 9.6, 0.4]])
    # merge_frame keeps what rowmerge.merge keeps of these tables.
    kept = rowmerge.merge_frame(points, segments, links, tolerance=0.01)
    merged, index = rowmerge.merge(groups, table, records, tolerance=0.01, return_index=True)
    assert kept.index.tolist() == index.tolist()

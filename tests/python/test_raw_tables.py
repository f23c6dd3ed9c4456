"""The raw tables of rowmerge.merge in single-table files, read by the command line.

A raw table in CSV goes through the same CSV reader as every other table;
NumPy files need NumPy alone.  Expected results come from rowmerge.merge on
the arrays that were written, never from the reader under test.
"""

from __future__ import annotations

import numpy as np
import pytest

import rowmerge
from helpers import RAW, assert_one_line_error, raw_tables, run
from rowmerge.formats import FormatError, read_array_tables

pytestmark = pytest.mark.thread_unsafe(reason="writes files under fixed names in tmp_path")


def write_csv(path, table, header):
    """``table`` as CSV text with every double written exactly (repr), NaN as an empty field."""
    lines = [",".join(f"c{k}" for k in range(table.shape[1]))] if header else []
    lines += [",".join("" if np.isnan(v) else repr(v) for v in row) for row in table.tolist()]
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("header", [True, False], ids=["header", "no header"])
def test_raw_tables_from_csv_merge_like_the_arrays(tmp_path, header):
    pytest.importorskip("pandas")
    tables = raw_tables()
    options = []
    for name in RAW:
        write_csv(tmp_path / f"{name}.csv", tables[name], header)
        options += [f"--{name.replace('_', '-')}", tmp_path / f"{name}.csv"]
    status, out, err = run("merge", *options, "-o", tmp_path / "merged.npy")
    assert (status, err) == (0, "")
    expected = rowmerge.merge(*(tables[n] for n in RAW), tolerance=0.02, threads=1)
    assert np.load(tmp_path / "merged.npy").tobytes() == expected.tobytes()


def test_empty_csv_fields_are_nan_and_text_is_refused(tmp_path):
    pytest.importorskip("pandas")
    tables = raw_tables()
    np.savez(tmp_path / "field.npz", **tables)
    (tmp_path / "groups.csv").write_text("0,1,1,\n")
    read = read_array_tables(tmp_path / "field.npz", {"connected_crop_rows": tmp_path / "groups.csv"})
    assert read.connected_crop_rows.shape == (1, 4) and np.isnan(read.connected_crop_rows[0, 3])
    assert read.points_in_rows.tobytes() == tables["points_in_rows"].tobytes()
    (tmp_path / "points.csv").write_text("1,1,0.5,0.5\n1,1,east,0.5\n")
    with pytest.raises(FormatError, match=r"^points_in_rows \(.*points\.csv\): column 2: 'east' is not a number$"):
        read_array_tables(files={"points_in_rows": tmp_path / "points.csv"})


def test_a_raw_table_in_csv_without_pandas_names_the_extra(tmp_path, monkeypatch):
    tables = raw_tables()
    np.save(tmp_path / "groups.npy", tables["connected_crop_rows"])
    np.save(tmp_path / "records.npy", tables["row_information"])
    write_csv(tmp_path / "points.csv", tables["points_in_rows"], header=True)
    monkeypatch.setitem(__import__("sys").modules, "pandas", None)
    status, out, err = run("merge", "--connected-crop-rows", tmp_path / "groups.npy", "--row-information",
                           tmp_path / "records.npy", "--points-in-rows", tmp_path / "points.csv", "-o",
                           tmp_path / "merged.npy")
    assert_one_line_error(status, out, err, 2, "needs pandas, which is not installed: pip install 'rowmerge[pandas]'")
    assert not (tmp_path / "merged.npy").exists()

"""Every way into the merge gives the same answer for the same tables.

Random tables in the frame layout (segments, links, points) go through each
door: ``rowmerge.merge`` on arrays built here (one group per segment, its
links in table order), ``merge_frame`` on pandas and GeoPandas frames, and
``rowmerge.dask.merge`` with one to four partitions (synchronous scheduler),
and the command line on CSV and Parquet files. Valid tables must give the
same rows (in the same order where the door promises one); tables with one
bad cell must give the same exception naming the same cell, after the frame
doors' terms (index label, column name) are mapped back to positions (the
command line: the same exit status).

A door is a function ``(case) -> Outcome``, listed in ``DOORS``.
"""

from __future__ import annotations

import os
import tempfile
import warnings
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import rowmerge
from helpers import DASK_GRAPHS, run

pd = pytest.importorskip("pandas")

ANCHORS = ("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y")
POINT_COLUMNS = ("crop_row", "segment", "x", "y")
LINK_ENDS = ("linked_crop_row", "linked_segment")


@dataclass
class Case:
    points: object  # DataFrame, index labels "p0", "p1", ...
    segments: object
    links: object
    tolerance: float
    partitions: int = 1  # of the points, for the Dask door

    def arrays(self):
        """(connected_crop_rows, points_in_rows, row_information, link_rows) as the frame layout defines them."""
        segments, links = self.segments, self.links
        count = len(segments)
        records = np.zeros((count, 11))
        records[:, 0] = segments["crop_row"].to_numpy(dtype=float, na_value=np.nan)
        records[:, 4] = segments["segment"].to_numpy(dtype=float, na_value=np.nan)
        records[:, 5:] = segments[list(ANCHORS)].to_numpy(dtype=float)
        groups = np.full((count, 11), np.nan)
        groups[:, 1:3] = records[:, [0, 4]]
        link_rows = np.full((count, 4), -1)
        keys = {}
        for i, key in enumerate(map(tuple, records[:, [0, 4]].tolist())):
            keys.setdefault(key, i)
        filled = np.zeros(count, dtype=int)
        for at, row in enumerate(links[["crop_row", "segment", *LINK_ENDS]].to_numpy(dtype=float).tolist()):
            group = keys.get((row[0], row[1]))
            if group is not None:
                k = filled[group]
                groups[group, 3 + 2 * k:5 + 2 * k] = row[2:]
                link_rows[group, k] = at
                filled[group] += 1
        table = self.points[list(POINT_COLUMNS)].to_numpy(dtype=float, na_value=np.nan)
        return groups, table, records, link_rows


@dataclass
class Outcome:
    rows: list[int] | None = None  # positions of the surviving points, in result order
    ordered: bool = True  # whether the door promises the array door's order
    error: type | None = None
    cell: tuple | None = None  # (frame, position, our column name)


# --- tables --------------------------------------------------------------------------------

@st.composite
def cases(draw):
    """A few segments laid end to end along a line, overlapping; links between neighbours; points near them."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    count = draw(st.integers(1, 6))
    direction = np.array([[1.0, 0.5], [1.0, -1.0], [0.25, 1.0]][draw(st.integers(0, 2))])
    step = 4.0
    ids = rng.permutation(20)[:count]
    crop_rows = rng.integers(0, 3, count)
    starts = np.arange(count)[:, None] * step * direction
    ends = starts + (step + 1.0) * direction  # one unit of overlap with the next segment
    mids = (starts + ends) / 2 + rng.choice([0.0, 0.25], (count, 2))
    segments = pd.DataFrame({"crop_row": crop_rows, "segment": ids,
                             "start_x": starts[:, 0], "start_y": starts[:, 1], "end_x": ends[:, 0],
                             "end_y": ends[:, 1], "mid_x": mids[:, 0], "mid_y": mids[:, 1]})
    links = []
    for i in range(count):
        for j in (i - 1, i + 1):
            if 0 <= j < count and rng.random() < 0.8:
                links.append((crop_rows[i], ids[i], crop_rows[j], ids[j]))
    links = pd.DataFrame(links, columns=["crop_row", "segment", *LINK_ENDS], dtype=np.int64)
    if len(links):
        links = links.sample(frac=1.0, random_state=int(rng.integers(1000)), ignore_index=True)
    size = draw(st.integers(0, 60))
    owner = rng.integers(0, count, size)
    along = rng.integers(-2, int(4 * (step + 2)), size) / 4.0
    jitter = rng.integers(-2, 3, (size, 2)) / 4.0
    xy = starts[owner] + along[:, None] * direction + jitter
    points = pd.DataFrame({"crop_row": crop_rows[owner], "segment": ids[owner], "x": xy[:, 0], "y": xy[:, 1],
                           "label": [f"plant {i}" for i in range(size)]},
                          index=pd.Index([f"p{i}" for i in range(size)], name="plant"))
    orphans = rng.random(size) < 0.05
    points.loc[orphans, "segment"] = 99  # in no segment
    for frame in (points, segments, links):
        if len(frame) and rng.random() < 0.3:  # nullable identifiers, as a pandas reader may give them
            frame[["crop_row", "segment"]] = frame[["crop_row", "segment"]].astype("Int64")
    tolerance = float(draw(st.sampled_from([0.0, 0.25, 0.5, 1.0])))
    return Case(points, segments, links, tolerance, partitions=draw(st.integers(1, 4)))


BAD_IDENTIFIERS = [2.5, -1.0, 2.0**32, np.nan, np.inf]
BAD_NUMBERS = [np.nan, np.inf, -np.inf]


@st.composite
def broken_cases(draw):
    """A valid case with one cell that the merge cannot use."""
    case = draw(cases())
    places = {"segments": ("crop_row", "segment", *ANCHORS)}
    if len(case.points):
        places["points"] = POINT_COLUMNS
    if len(case.links):
        places["links"] = LINK_ENDS
    frame_name = draw(st.sampled_from(sorted(places)))
    column = draw(st.sampled_from(places[frame_name]))
    frame = getattr(case, frame_name)
    row = draw(st.integers(0, len(frame) - 1))
    if column in ANCHORS or column in ("x", "y"):
        values = BAD_NUMBERS
    elif column == "linked_crop_row":
        values = [v for v in BAD_IDENTIFIERS if not np.isnan(v)]  # NaN would end the group's list of links
    else:
        values = BAD_IDENTIFIERS
    frame[column] = frame[column].astype(float)
    frame.loc[frame.index[row], column] = draw(st.sampled_from(values))
    return case


# --- doors ---------------------------------------------------------------------------------

def array_cell(error, link_rows):
    """(frame, position, our column) of the cell that the array door names."""
    table, row, column = error.table, int(error.row), int(error.column)
    if table == "points_in_rows":
        return "points", row, POINT_COLUMNS[column]
    if table == "row_information":
        return "segments", row, {0: "crop_row", 4: "segment"}.get(column) or ANCHORS[column - 5]
    if column in (1, 2):
        return "segments", row, ("crop_row", "segment")[column - 1]
    return "links", int(link_rows[row, (column - 3) // 2]), LINK_ENDS[(column - 3) % 2]


def quietly(run):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return run()


def through_arrays(case):
    groups, table, records, link_rows = case.arrays()
    try:
        _, index = quietly(lambda: rowmerge.merge(groups, table, records, tolerance=case.tolerance,
                                                  return_index=True))
    except (ValueError, rowmerge.MergeError) as error:
        cell = array_cell(error, link_rows) if isinstance(error, rowmerge.InvalidValueError) else None
        return Outcome(error=type(error), cell=cell)
    return Outcome(rows=index.tolist())


def frame_cell(error, case):
    frame = getattr(case, error.table)
    column = "xy" if error.column == "geometry" else error.column
    return error.table, frame.index.get_loc(error.row), column


def frame_outcome(run, case, ordered=True):
    try:
        kept = quietly(run)
    except (ValueError, rowmerge.MergeError) as error:
        cell = frame_cell(error, case) if isinstance(error, rowmerge.InvalidValueError) else None
        return Outcome(error=type(error), cell=cell)
    return Outcome(rows=[case.points.index.get_loc(label) for label in kept.index], ordered=ordered)


def through_pandas(case):
    return frame_outcome(lambda: rowmerge.merge_frame(case.points, case.segments, case.links,
                                                      tolerance=case.tolerance), case)


def through_geopandas(case):
    gpd = pytest.importorskip("geopandas")
    points = gpd.GeoDataFrame(case.points.drop(columns=["x", "y"]),
                              geometry=gpd.points_from_xy(case.points["x"], case.points["y"]))
    return frame_outcome(lambda: rowmerge.merge_frame(points, case.segments, case.links,
                                                      tolerance=case.tolerance), case)


def through_dask(case):
    dd = pytest.importorskip("dask.dataframe")
    import rowmerge.dask

    with DASK_GRAPHS:
        points = dd.from_pandas(case.points, npartitions=case.partitions, sort=False)
        return frame_outcome(lambda: rowmerge.dask.merge(points, case.segments, case.links,
                                                         tolerance=case.tolerance)
                             .compute(scheduler="synchronous"), case, ordered=False)


def through_command_line(case, suffix):
    """``rowmerge merge points --segments --links -o out`` on files of the case's frames.

    The points carry their position in a column of their own, read back from
    the output. A refusal is told apart by its exit status alone: 2 for bad
    input (InvalidValueError, TableShapeError, ValueError), 1 for a merge that
    failed (MissingRecordError).
    """
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    with tempfile.TemporaryDirectory() as folder:
        files = {}
        points = case.points.assign(position=np.arange(len(case.points)))
        for name, frame in (("points", points), ("segments", case.segments), ("links", case.links)):
            files[name] = os.path.join(folder, name + suffix)
            if suffix == ".csv":
                frame.to_csv(files[name], index=False)
            else:
                frame.reset_index(drop=True).to_parquet(files[name])
        out = os.path.join(folder, "out" + suffix)
        status, _, err = quietly(lambda: run("merge", files["points"], "--segments", files["segments"], "--links",
                                             files["links"], "-o", out, "--tolerance", repr(case.tolerance)))
        if status != 0:
            return Outcome(error={2: ValueError, 1: rowmerge.MergeError}.get(status, RuntimeError), cell=err)
        kept = pd.read_csv(out) if suffix == ".csv" else pd.read_parquet(out)
        return Outcome(rows=kept["position"].tolist())


DOORS = {"pandas": through_pandas, "geopandas": through_geopandas, "dask": through_dask,
         "command line, CSV": lambda case: through_command_line(case, ".csv"),
         "command line, Parquet": lambda case: through_command_line(case, ".parquet")}


def per_segment(rows, case):
    keys = list(zip(case.points["crop_row"].tolist(), case.points["segment"].tolist()))
    grouped = {}
    for row in rows:
        grouped.setdefault(keys[row], []).append(row)
    return grouped


def assert_same(expected, found, case, door):
    if door.startswith("command line") and (expected.error is not None or found.error is not None):
        # Exit statuses tell bad input from a failed merge, not the classes.
        bad_input = expected.error is not None and not issubclass(expected.error, rowmerge.MissingRecordError)
        assert found.error is (ValueError if bad_input else rowmerge.MergeError), (door, found.cell)
        return
    if expected.error is not None or found.error is not None:
        assert (found.error, found.cell) == (expected.error, adapt(expected.cell, found.cell)), door
        return
    if found.ordered:
        assert found.rows == expected.rows, door
    else:  # partitions in table order keep each segment's rows in table order
        assert sorted(found.rows) == sorted(expected.rows), door
        assert per_segment(found.rows, case) == per_segment(expected.rows, case), door


def adapt(cell, found):
    """The array door's cell, with x and y as one geometry column when the door found one."""
    if cell is not None and found is not None and found[2] == "xy" and cell[2] in ("x", "y"):
        return (*cell[:2], "xy")
    return cell


QUICK = settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def geopandas_installed():
    try:
        import geopandas  # noqa: F401
    except ImportError:
        return False
    return True


def doors():
    names = [name for name in DOORS if name != "geopandas" or geopandas_installed()]
    try:
        import dask.dataframe  # noqa: F401
    except ImportError:
        names = [name for name in names if not name.startswith("dask")]
    return names


@QUICK
@given(cases())
def test_valid_tables_give_the_same_rows_through_every_door(case):
    expected = through_arrays(case)
    assert expected.error is None, expected
    for door in doors():
        assert_same(expected, DOORS[door](case), case, door)


@QUICK
@given(broken_cases())
def test_a_bad_cell_is_named_alike_through_every_door(case):
    expected = through_arrays(case)
    for door in doors():
        assert_same(expected, DOORS[door](case), case, door)

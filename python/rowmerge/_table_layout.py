"""The layout of the merge's tables: names, columns and defaults, written down once.

Two layouts describe the same merge:

* the raw tables that :func:`rowmerge.merge` takes, float64 arrays whose
  columns are counted from 0 (``docs/tables-and-geometry.md``);
* the frames that :func:`rowmerge.merge_frame` and :mod:`rowmerge.formats`
  read, with named columns: one segment per group, its links in table order.

Every module that reads a column by its number or a table by its name takes
it from here.
"""

from __future__ import annotations

from typing import Final

# --- the raw tables ---------------------------------------------------------------------

#: The raw tables, in the order :func:`rowmerge.merge` takes them.
TABLE_NAMES: Final = ("connected_crop_rows", "points_in_rows", "row_information")

#: connected_crop_rows: the two identifiers of a group's main row.
MAIN_ROW_COLUMNS: Final = (1, 2)
#: connected_crop_rows: (first, second) identifier columns of the connected rows, at
#: most four; NaN in a first column ends the list.
CONNECTED_ROW_COLUMNS: Final = ((3, 4), (5, 6), (7, 8), (9, 10))
#: connected_crop_rows: the columns whose NaN ends the list of connected rows.
LIST_END_COLUMNS: Final = tuple(first for first, _ in CONNECTED_ROW_COLUMNS)
#: The most connected rows (links) a group can have.
MAX_CONNECTED_ROWS: Final = len(CONNECTED_ROW_COLUMNS)

#: points_in_rows: the crop row's two identifiers, then x and y.
POINT_ROW_COLUMNS: Final = (0, 1)
POINT_XY_COLUMNS: Final = (2, 3)

#: row_information: the crop row's two identifiers.
RECORD_ID_COLUMNS: Final = (0, 4)
#: row_information: the first column of the three anchors (x, y): start, end, middle.
FIRST_ANCHOR_COLUMN: Final = 5
ANCHOR_COUNT: Final = 3
#: Columns of a record; connected_crop_rows is as wide when all four pairs are given.
RECORD_COLUMNS: Final = FIRST_ANCHOR_COLUMN + 2 * ANCHOR_COUNT
#: row_information's anchor columns, as a slice.
ANCHOR_COLUMNS: Final = slice(FIRST_ANCHOR_COLUMN, RECORD_COLUMNS)

#: The largest crop-row identifier (identifiers are whole numbers in [0, 2**32)).
MAX_ROW_IDENTIFIER: Final = 2**32 - 1

#: Name of the merged points inside an ``.npz`` output of the raw tables' merge.
RESULT_KEY: Final = "merged_points"
#: Column names of the raw tables' result in a CSV; further columns are ``value_4`` ...
RESULT_COLUMN_NAMES: Final = ("row_id_1", "row_id_2", "x", "y")

# --- the frames --------------------------------------------------------------------------

#: The frames, in the order :func:`rowmerge.merge_frame` takes them.
FRAME_NAMES: Final = ("points", "segments", "links")
#: The three anchors of a segment, in the order of row_information's anchor columns.
ANCHOR_NAMES: Final = ("start_x", "start_y", "end_x", "end_y", "mid_x", "mid_y")
#: The columns each frame needs (the names a column mapping may change).
POINT_COLUMNS: Final = ("crop_row", "segment", "x", "y")
SEGMENT_COLUMNS: Final = ("crop_row", "segment", *ANCHOR_NAMES)
LINK_COLUMNS: Final = ("crop_row", "segment", "linked_crop_row", "linked_segment")
#: A links column read when present.
LINK_GROUP_COLUMN: Final = "group"

#: Tolerance when neither the caller nor the input gives one (the field generator's too).
DEFAULT_TOLERANCE: Final = 0.02

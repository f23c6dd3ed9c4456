import numpy as np

import _native

nan = np.nan

# Crop row 1 was seen as two segments along the diagonal x = y: segment 1 from
# (0, 0) to (10, 10), segment 2 from (8, 8) to (18, 18). They overlap between
# (8, 8) and (10, 10), and both saw the plants there.

# One group per segment: id, its crop row (two numbers), then the crop rows
# connected to it (pairs); NaN ends the list.
connected_crop_rows = np.array([
    [0, 1, 1, 1, 2, nan],   # segment (1, 1), connected to (1, 2)
    [1, 1, 2, 1, 1, nan],   # segment (1, 2), connected to (1, 1)
])

# One record per segment: crop row, 3 free columns, segment, then three
# anchors (x, y): start, end, middle.
row_information = np.array([
    [1, 0, 0, 0, 1,  0.0,  0.0, 10.0, 10.0,  5.0,  5.0],
    [1, 0, 0, 0, 2,  8.0,  8.0, 18.0, 18.0, 13.0, 13.0],
])

# One row per plant: crop row, segment, x, y, then any further values
# (here a detection confidence), carried along unchanged.
points_in_rows = np.array([
    [1, 1,  1.0,  1.0, 0.90],
    [1, 1,  4.0,  4.0, 0.80],
    [1, 1,  8.5,  8.5, 0.70],
    [1, 1,  9.5,  9.5, 0.95],   # in the overlap, past the cut
    [1, 2,  8.2,  8.2, 0.60],   # in the overlap, before the cut
    [1, 2,  8.8,  8.8, 0.85],   # in the overlap, before the cut
    [1, 2,  9.3,  9.3, 0.75],
    [1, 2, 12.0, 12.0, 0.90],
    [1, 2, 16.0, 16.0, 0.80],
])

merged = _native.merge_points_removing_overlap(
    connected_crop_rows, points_in_rows, row_information,
    tolerance=0.05,   # margin, in the units of x and y
    num_threads=1,    # one worker: groups come out in table order
)
print(merged)

kept = {tuple(row) for row in merged.tolist()}
for row in points_in_rows:
    fate = "kept" if tuple(row.tolist()) in kept else "removed"
    print(f"segment {row[1]:.0f}  ({row[2]:4}, {row[3]:4})  {fate}")

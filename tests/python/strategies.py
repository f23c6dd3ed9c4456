"""Hypothesis strategies for the differential tests of the merge.

The generator builds a small field of crop rows laid end to end along one
direction, so that neighbouring rows really overlap and most groups reach the
trimming geometry.  On top of that it mixes in what callers get wrong: odd
identifiers, missing and duplicate records, short and wide tables, special
float values in any cell, strange tolerances, every memory layout NumPy can
produce and, now and then, an argument of the wrong type, dtype or rank.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

import numpy as np
from hypothesis import strategies as st

NAN = math.nan
INF = math.inf
U32_MAX = 4294967295

# A NaN with a payload and a negative NaN: copies must keep their bits.
PAYLOAD_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_BEEF))[0]
NEGATIVE_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_0000))[0]

# Identifiers: mostly small whole numbers so that rows find each other, plus
# values that convert to the same identifier and values that saturate.
COMMON_IDS = [0.0, 1.0, 2.0, 3.0]
ODD_IDS = [
    2.5,
    3.7,
    -1.0,
    -0.0,
    NAN,
    4294967295.0,
    4294967296.0,
    1e300,
    INF,
    -INF,
    5e-324,
    0.999,
]

SPECIAL_VALUES = [
    NAN,
    PAYLOAD_NAN,
    NEGATIVE_NAN,
    INF,
    -INF,
    -0.0,
    0.0,
    1e308,
    -1e308,
    5e-324,
    1e-200,
    4294967296.0,
]

TOLERANCES = [
    0.0,
    -0.0,
    0.25,
    0.5,
    1.0,
    2.0,
    -0.25,
    -1.0,
    NAN,
    INF,
    -INF,
    1e300,
    5e-324,
]

DIRECTIONS = [
    (1.0, 1.0),
    (1.0, -1.0),
    (-1.0, 1.0),
    (-1.0, -1.0),
    (1.0, 0.0),
    (0.0, 1.0),
    (-1.0, 0.0),
    (0.0, -1.0),
    (2.0, 1.0),
    (1.0, -2.0),
]

LAYOUTS = [
    "c",
    "fortran",
    "transposed",
    "step_sliced",
    "reversed",
    "broadcast_rows",
    "broadcast_columns",
    "unaligned",
    "read_only",
    "packed_field",
    "packed_field_reversed",
    "odd_strides",
    "subclass",
]


class TableSubclass(np.ndarray):
    """An ndarray subclass; the module must read it as a plain array."""


@dataclass
class Case:
    connected_crop_rows: object
    points_in_rows: object
    row_information: object
    tolerance: object
    layouts: tuple = field(default=("c", "c", "c"))

    def args(self):
        return (
            self.connected_crop_rows,
            self.points_in_rows,
            self.row_information,
            self.tolerance,
        )

    def _repr_pretty_(self, printer, cycle):
        printer.text(repr(self))

    def __repr__(self):
        def show(obj):
            if isinstance(obj, np.ndarray):
                return (
                    f"np.array({obj.tolist()!r}, dtype={obj.dtype.str!r})"
                    f"  # shape={obj.shape} strides={obj.strides} "
                    f"type={type(obj).__name__}"
                )
            return repr(obj)

        return (
            "Case(\n"
            f"  layouts={self.layouts!r},\n"
            f"  connected_crop_rows={show(self.connected_crop_rows)},\n"
            f"  points_in_rows={show(self.points_in_rows)},\n"
            f"  row_information={show(self.row_information)},\n"
            f"  tolerance={self.tolerance!r},\n)"
        )


# ---------------------------------------------------------------------------
# Values
#
# Hypothesis chooses the shape of a case (how many rows, groups and columns,
# clean or messy, layouts, tolerance); the numbers inside the tables come
# from a NumPy generator seeded by Hypothesis.  Drawing every cell through
# Hypothesis made generation the slowest part of the test by far.


def grid_value(rng, low: int, high: int, step: float = 0.25) -> float:
    """A multiple of `step`: coordinates that often hit a boundary exactly."""
    return float(rng.integers(low, high + 1)) * step


def pick(rng, values):
    return values[int(rng.integers(len(values)))]


def chance(rng, probability: float) -> bool:
    return bool(rng.random() < probability)


def any_value(rng) -> float:
    """Anything a cell may hold: special values, grid values, wild floats."""
    kind = rng.integers(4)
    if kind == 0:
        return pick(rng, SPECIAL_VALUES)
    if kind == 1:
        return grid_value(rng, -40, 40)
    if kind == 2:
        return float(rng.standard_normal() * 10.0 ** rng.integers(-5, 6))
    return struct.unpack("<d", rng.bytes(8))[0]  # any bit pattern


def identifier(rng, clean: bool) -> float:
    if chance(rng, 0.85 if clean else 0.6):
        return pick(rng, COMMON_IDS)
    value = pick(rng, ODD_IDS)
    if clean and math.isnan(value):
        return 2.5
    return value


def equivalent_identifier(rng, value: float) -> float:
    """Often the value itself, sometimes another that converts the same way."""
    if chance(rng, 0.6):
        return value
    converted = 0 if math.isnan(value) or value <= 0 else min(int(min(value, 5e9)), U32_MAX)
    if converted == 0:
        return pick(rng, [NAN, -0.0, 0.0, -7.5, -INF, 0.5, 5e-324])
    if converted == U32_MAX:
        return pick(rng, [4294967295.0, 4294967296.0, 1e300, INF])
    return converted + pick(rng, [0.0, 0.25, 0.5, 0.999])


def fit(rng, values, width):
    """Cut a row to `width` columns or extend it with arbitrary values."""
    values = list(values[:width])
    while len(values) < width:
        values.append(any_value(rng))
    return values


tolerances = st.one_of(
    st.sampled_from(TOLERANCES),
    st.integers(-4, 12).map(lambda n: n * 0.25),
    st.floats(allow_nan=True, allow_infinity=True),
)

_number_kinds = st.sampled_from(["float"] * 6 + ["float64", "float32", "int"])


@st.composite
def tolerance_objects(draw):
    """A tolerance, now and then as an int or a NumPy scalar of equal value."""
    value = draw(tolerances)
    kind = draw(_number_kinds)
    if kind == "float64":
        return np.float64(value)
    if kind == "float32" and (math.isnan(value) or abs(value) < 1e38):
        if math.isnan(value) or float(np.float32(value)) == value:
            return np.float32(value)
    if kind == "int" and math.isfinite(value) and value == int(value):
        return int(value)
    return value


# ---------------------------------------------------------------------------
# The three tables


def crop_rows(rng, count: int, clean: bool):
    """Identifier pairs and anchors of crop rows laid end to end on one line,
    each overlapping the next a little."""
    dx, dy = pick(rng, DIRECTIONS)
    origin = (grid_value(rng, -40, 40, 0.5), grid_value(rng, -40, 40, 0.5))
    rows = []
    seen = set()
    for k in range(count):
        ident = (identifier(rng, clean), identifier(rng, clean))
        key = struct.pack("<2d", *ident)
        if clean:
            if key in seen:  # clean cases name every row once
                ident = (float(10 + k), ident[1])
                key = struct.pack("<2d", *ident)
        seen.add(key)
        start = k * grid_value(rng, 24, 40) + grid_value(rng, -2, 2)
        length = grid_value(rng, 16, 48)
        middle = start + length / 2 + grid_value(rng, -2, 2)
        end = start + length

        def at(s):
            jitter = grid_value(rng, -1, 1)
            return (origin[0] + s * dx + jitter * dy, origin[1] + s * dy - jitter * dx)

        anchors = [at(start), at(end), at(middle)]
        if chance(rng, 0.25):
            anchors = [anchors[i] for i in rng.permutation(3)]
        if chance(rng, 0.04):
            anchors = [anchors[0]] * 3  # all anchors at one place
        rows.append({"id": ident, "anchors": anchors, "span": (start, end)})
    return rows, (dx, dy), origin


def record_table(rng, rows, width, clean):
    records = []
    for row in rows:
        copies = 1 if clean else pick(rng, [1, 1, 1, 1, 1, 1, 0, 2, 2])
        if clean and chance(rng, 0.1):
            copies = 2  # a second record with other anchors
        for copy in range(copies):
            anchors = [v for anchor in row["anchors"] for v in anchor]
            if copy:
                anchors = [v + grid_value(rng, -4, 4) for v in anchors]
            junk = [any_value(rng) for _ in range(3)]
            record = [row["id"][0], *junk, row["id"][1], *anchors]
            records.append((copy, fit(rng, record, width)))
    if not clean:
        for _ in range(int(rng.integers(3))):
            stray = [identifier(rng, False)] + [grid_value(rng, -8, 8) for _ in range(3)]
            stray += [identifier(rng, False)] + [grid_value(rng, -40, 40) for _ in range(6)]
            records.append((0, fit(rng, stray, width)))
    # Shuffle; half of the time keep every second record after the first.
    order = rng.permutation(len(records)) if records else []
    shuffled = [records[i] for i in order]
    if chance(rng, 0.5):
        shuffled.sort(key=lambda item: item[0])
    return [values for _, values in shuffled]


def point_table(rng, rows, width, points_per_row, clean, direction, origin):
    dx, dy = direction
    points = []
    for row, count in zip(rows, points_per_row):
        start, end = row["span"]
        for _ in range(count):
            s = pick(rng, [start, end]) + grid_value(rng, -12, 12, 0.5)
            x = origin[0] + s * dx + grid_value(rng, -3, 3)
            y = origin[1] + s * dy + grid_value(rng, -3, 3)
            first = equivalent_identifier(rng, row["id"][0])
            second = equivalent_identifier(rng, row["id"][1])
            points.append(fit(rng, [first, second, x, y], width))
    strays = int(rng.integers(3)) if not clean else int(chance(rng, 0.2))
    for _ in range(strays):
        stray = [identifier(rng, clean), identifier(rng, clean), any_value(rng), any_value(rng)]
        points.append(fit(rng, stray, width))
    return [points[i] for i in rng.permutation(len(points))] if points else points


def group_table(rng, rows, width, group_count, clean):
    groups = []
    if clean and not rows:
        return groups
    for _ in range(group_count):
        if rows and (clean or chance(rng, 0.85)):
            main = pick(rng, rows)["id"]
            main = tuple(equivalent_identifier(rng, v) for v in main)
        else:
            main = (identifier(rng, clean), identifier(rng, clean))
        values = [any_value(rng), main[0], main[1]]
        for _ in range(pick(rng, [0, 1, 1, 1, 2, 2, 3, 4])):
            if rows and (clean or chance(rng, 0.85)):
                values.extend(pick(rng, rows)["id"])
            else:
                values.extend([identifier(rng, False), identifier(rng, False)])
        values.append(NAN)
        groups.append(fit(rng, values, width))
    return groups


def sprinkle(rng, array, spared):
    """Put special values into a few cells, sparing the columns in `spared`."""
    rows, columns = array.shape
    allowed = [j for j in range(columns) if j not in spared]
    if rows == 0 or not allowed or not chance(rng, 0.35):
        return array
    array = array.copy()
    for _ in range(int(rng.integers(1, 4))):
        i = int(rng.integers(rows))
        j = pick(rng, allowed)
        array[i, j] = pick(rng, SPECIAL_VALUES)
    return array


# Columns whose special values make a clean case fail: the identifiers and
# the connected pairs.  Coordinates, anchors and unread columns are fair game.
_CLEAN_SPARED = (set(range(1, 11)), {0, 1}, {0, 4})


# Now and then the whole field is scaled so far up or down that squared
# distances overflow to infinity or underflow to zero.
SCALES = [1e300, 4e306, 1e154, 1e-160, 2.0**-1072]
_scales = st.integers(0, 29).map(lambda n: SCALES[n] if n < len(SCALES) else 1.0)

_seeds = st.integers(0, 2**64 - 1)
_clean = st.sampled_from([True, True, False])
# Mostly a few crop rows and groups; none at all now and then.
_row_counts = st.integers(0, 19).map(lambda n: 0 if n == 19 else 1 + n % 5)
_group_counts = st.integers(0, 24).map(lambda n: 0 if n == 24 else 1 + n % 6)
_point_counts = st.lists(st.integers(0, 6), min_size=5, max_size=5)
_widths = st.sampled_from(["natural"] * 4 + ["any"])
_points_widths = st.integers(4, 7)


@st.composite
def tables(draw):
    clean = draw(_clean)
    rng = np.random.default_rng(draw(_seeds))
    count = draw(_row_counts)
    rows, direction, origin = crop_rows(rng, count, clean)

    def width(natural):
        if clean or draw(_widths) == "natural":
            return natural
        return int(rng.integers(0, 13))

    groups_width = width(11)
    points_width = width(draw(_points_widths))
    info_width = width(11)

    groups = group_table(rng, rows, groups_width, draw(_group_counts), clean)
    points = point_table(
        rng, rows, points_width, draw(_point_counts), clean, direction, origin
    )
    records = record_table(rng, rows, info_width, clean)

    arrays = []
    for table, columns, spared in zip(
        (groups, points, records),
        (groups_width, points_width, info_width),
        _CLEAN_SPARED if clean else (set(), set(), set()),
    ):
        array = np.array(table, dtype=np.float64).reshape(len(table), columns)
        arrays.append(sprinkle(rng, array, spared))

    scale = draw(_scales)
    if scale != 1.0:
        with np.errstate(over="ignore", under="ignore", invalid="ignore"):
            arrays[1][:, 2:4] *= scale
            if info_width == 11:
                arrays[2][:, 5:11] *= scale
    return arrays, rng, scale


# ---------------------------------------------------------------------------
# Layouts: the same logical table in different memory


def apply_layout(array: np.ndarray, layout: str) -> np.ndarray:
    """A float64 array whose NumPy values are those of `array` (or, for the
    broadcast layouts, of its first row or column repeated)."""
    rows, columns = array.shape
    if layout == "c":
        return np.ascontiguousarray(array)
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "transposed":
        buffer = np.full((columns, rows + 2), -7.0)
        buffer[:, 1 : rows + 1] = array.T
        return buffer[:, 1 : rows + 1].T
    if layout == "step_sliced":
        buffer = np.full((rows * 2 + 1, columns * 3 + 1), -123.5)
        buffer[1::2, 2::3][:rows, :columns] = array
        return buffer[1::2, 2::3][:rows, :columns]
    if layout == "reversed":
        return array[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "broadcast_rows" and rows:
        return np.broadcast_to(array[:1], (rows, columns))
    if layout == "broadcast_columns" and columns:
        return np.broadcast_to(array[:, :1], (rows, columns))
    if layout == "unaligned" and array.size:
        raw = bytearray(array.size * 8 + 1)
        view = np.frombuffer(raw, dtype="<f8", count=array.size, offset=1)
        view = view.reshape(rows, columns)
        view[...] = array
        return view
    if layout == "read_only":
        copy = array.copy()
        copy.setflags(write=False)
        return copy
    if layout in ("packed_field", "packed_field_reversed"):
        record = np.dtype([("flag", "u1"), ("value", "<f8")])  # 9-byte records
        packed = np.zeros((rows, columns), dtype=record)
        if layout == "packed_field":
            packed["value"] = array
            return packed["value"]
        packed["value"] = array[::-1, ::-1]
        return packed["value"][::-1, ::-1]
    if layout == "odd_strides" and array.size:
        column_stride = 11
        row_stride = columns * column_stride + 5
        size = 3 + (rows - 1) * row_stride + (columns - 1) * column_stride + 8
        raw = bytearray(size)
        base = np.frombuffer(raw, dtype="<f8", count=1, offset=3)
        view = np.lib.stride_tricks.as_strided(
            base, shape=(rows, columns), strides=(row_stride, column_stride)
        )
        view[...] = array
        return view
    if layout == "subclass":
        return array.copy().view(TableSubclass)
    return np.ascontiguousarray(array)


def refused_argument(rng, array: np.ndarray):
    """Something the acceptance test must refuse, based on `array`."""
    kind = pick(
        rng,
        [
            "float32",
            "int64",
            "bool",
            "complex",
            "object",
            "big_endian",
            "one_dim",
            "three_dim",
            "list",
            "none",
        ],
    )
    if kind == "float32":
        with np.errstate(over="ignore"):
            return array.astype(np.float32)
    if kind == "int64":
        return np.nan_to_num(array, posinf=0, neginf=0).clip(-9, 9).astype(np.int64)
    if kind == "bool":
        return array != 0
    if kind == "complex":
        return array.astype(np.complex128)
    if kind == "object":
        return array.astype(object)
    if kind == "big_endian":
        return array.astype(">f8")
    if kind == "one_dim":
        return array.reshape(-1)
    if kind == "three_dim":
        return array.reshape(1, *array.shape)
    if kind == "list":
        return array.tolist()
    return None


_layouts = st.sampled_from(LAYOUTS)


@st.composite
def cases(draw, refused_share: int = 30):
    """A full call: three tables in random layouts and a tolerance.

    About one case in `refused_share` replaces a table by an argument that
    the module must refuse.
    """
    arrays, rng, scale = draw(tables())
    layouts = [draw(_layouts) for _ in arrays]
    final = [apply_layout(a, layout) for a, layout in zip(arrays, layouts)]
    if chance(rng, 0.02):
        final[2] = final[1]  # one object passed as two arguments
        layouts[2] = "same_object_as_points"
    if chance(rng, 1.0 / refused_share):
        index = int(rng.integers(3))
        final[index] = refused_argument(rng, arrays[index])
        layouts[index] = "refused"
    tolerance = draw(tolerance_objects())
    if scale != 1.0 and type(tolerance) is float and chance(rng, 0.5):
        tolerance *= scale
    return Case(*final, tolerance, layouts=tuple(layouts))

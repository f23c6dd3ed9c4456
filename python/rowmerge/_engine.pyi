"""Type information for the ``rowmerge._engine`` extension module."""

from typing import Literal, TypedDict

import numpy as np
import numpy.typing as npt

class Failure(TypedDict):
    kind: Literal[
        "column_missing", "record_missing", "anchor_count", "invalid_value", "list_not_ended", "pair_incomplete"
    ]
    group: int | None
    table: Literal["connected_crop_rows", "points_in_rows", "row_information"]
    column: int | None
    row: int | None
    value: float | None
    reason: Literal["identifier", "finite"] | None
    crop_row: tuple[float, float] | None
    connected: int | None
    message: str

def merge(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64],
    row_information: npt.NDArray[np.float64],
    /,
    *,
    tolerance: float,
    threads: int = 0,
    progress: bool = False,
    rows: bool = True,
    index: bool = False,
    checked: bool = False,
) -> tuple[
    npt.NDArray[np.float64] | None,
    npt.NDArray[np.int64] | None,
    Failure | None,
    npt.NDArray[np.int64],
    int,
    int,
    tuple[int, int] | None,
]: ...

"""Type information for the ``_native`` extension module.

``_native`` merges overlapping crop-row segments. It has one function,
:func:`merge_points_removing_overlap`; all tables are two-dimensional
float64 NumPy arrays (any memory layout; nothing is ever written to them).
"""

import numpy as np
import numpy.typing as npt

__all__ = ["merge_points_removing_overlap"]

def merge_points_removing_overlap(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64],
    row_information: npt.NDArray[np.float64],
    tolerance: float,
    num_threads: int,
) -> npt.NDArray[np.float64]:
    """Merge the points of every group, cutting away overlaps with connected rows.

    A crop row is named by two numbers (identifiers). Columns are counted from 0.

    Parameters
    ----------
    connected_crop_rows
        One row per group. Column 0 is not read; columns 1 and 2 name the
        group's main row (compared after truncation to unsigned 32-bit
        integers); columns 3 and 4, 5 and 6, 7 and 8, 9 and 10 name up to
        four connected rows (compared as plain floats). NaN in the first
        column of a pair ends the list of connected rows; columns from 11 on
        are never read.
    points_in_rows
        One row per point: columns 0 and 1 name the point's crop row,
        columns 2 and 3 are its x and y; further columns are carried along
        unchanged.
    row_information
        One record per crop row: column 0 is the first identifier, columns
        1 to 3 are not read, column 4 is the second identifier, columns 5 to
        10 are three anchor points (x, y). Exactly 11 columns are required as
        soon as a group has a connected row.
    tolerance
        Margin, per axis, of the overlap test (anything ``float()`` accepts).
    num_threads
        Number of worker threads; 0 picks the default (``RAYON_NUM_THREADS``,
        then ``RAYON_RS_NUM_CPUS``, then the processors available).

    Returns
    -------
    numpy.ndarray
        A new float64 array, one surviving point per row (whole rows of
        ``points_in_rows``). The rows of one group stay together in table
        order; groups follow in the order of ``connected_crop_rows``, whatever
        ``num_threads``.

    Raises
    ------
    TypeError
        Wrong arguments, or a table that is not a two-dimensional float64
        ``ndarray`` ("'<type>' object is not an instance of 'ndarray'"), with
        the note "while processing '<parameter>'".
    OverflowError
        ``num_threads`` negative or too large (with the note).
    MemoryError
        A copy of a table or the result cannot be allocated.
    pyo3_runtime.PanicException
        Any failure inside the native code, with its text (for example
        "ndarray: index out of bounds"). It derives from ``BaseException``,
        so ``except Exception`` does not catch it.
    """

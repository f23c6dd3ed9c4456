"""Reading the merge's tables from files, and writing the surviving points back.

Formats (by suffix), and the extra that installs what each needs:

=================  ==============================  ==========================
suffix             format                          ``pip install 'rowmerge[…]'``
=================  ==============================  ==========================
.csv               CSV with a header line          pandas
.parquet           Parquet, GeoParquet             arrow (geo for GeoParquet)
.feather .arrow    Arrow IPC (Feather v2)          arrow (geo with geometry)
.gpkg              GeoPackage (layers)             geo
.geojson           GeoJSON                         geo
.npz .npy          NumPy columns, records, arrays  pandas (none for raw tables)
=================  ==============================  ==========================

* :func:`read_table` reads one table; :func:`read_tables` everything a merge
  needs (frames for ``rowmerge.merge_frame``, or the raw arrays of an
  ``.npz`` for ``rowmerge.merge``).
* :func:`parse_columns` turns ``"x=easting,y=northing"`` into the mapping of
  our column names to the file's.
* :func:`write_points` writes surviving points in the input's form;
  :func:`check_output` refuses a bad output before any work;
  :func:`output_path` names a batch's output.
* :func:`dataset_parts` lists the part files of a partitioned Parquet or
  GeoParquet dataset (a folder), checked to hold one table; a merged dataset
  is written part by part into :func:`atomic_folder`.  Every output goes through
  :func:`atomic_output` (:mod:`rowmerge.formats.safe_output`): complete or
  absent, never an input; a refused or failed one raises :class:`OutputError`.

Every function is a plain function of its arguments (paths, mappings,
frames and the picklable :class:`LayerSource`), so worker processes can
call them per file.  Importing this package loads no optional library.
"""

from __future__ import annotations

from .._table_layout import TABLE_NAMES as ARRAY_TABLE_NAMES
from .columns import KNOWN_COLUMNS, OPTIONAL_COLUMNS, REQUIRED_COLUMNS, TABLES, parse_columns, parse_layers
from .dataset import DatasetPart, dataset_parts, is_dataset
from .errors import FormatError, MissingLibraryError
from .layers import ArrayTables, FrameTables, LayerSource, Table
from .raw_tables import is_array_archive, read_array_tables
from .reading import read_table, read_tables
from .registry import FORMATS, SUFFIXES, FileFormat, format_of
from .safe_output import OutputError, atomic_folder, atomic_output, check_folder_target
from .writing import check_output, output_path, write_points

__all__ = [
    "FormatError",
    "MissingLibraryError",
    "OutputError",
    "TABLES",
    "REQUIRED_COLUMNS",
    "OPTIONAL_COLUMNS",
    "KNOWN_COLUMNS",
    "ARRAY_TABLE_NAMES",
    "FORMATS",
    "SUFFIXES",
    "FileFormat",
    "format_of",
    "LayerSource",
    "Table",
    "FrameTables",
    "ArrayTables",
    "parse_columns",
    "parse_layers",
    "read_table",
    "read_tables",
    "read_array_tables",
    "is_array_archive",
    "write_points",
    "check_output",
    "output_path",
    "atomic_output",
    "atomic_folder",
    "check_folder_target",
    "DatasetPart",
    "dataset_parts",
    "is_dataset",
]

"""Merging the detected points of overlapping crop rows.

``rowmerge`` is the pure-Python companion of the ``_native`` extension, whose
``merge_points_removing_overlap(connected_crop_rows, points_in_rows,
row_information, tolerance, num_threads)`` does the merging.  The package adds
what sits around it: a generator of realistic synthetic fields
(:mod:`rowmerge.field`) used by the demo and the benchmarks, and the command
line (``python -m rowmerge``).

Importing the package is cheap: it loads neither the extension nor plotting
libraries; submodules import what they need when they are used.
"""

from __future__ import annotations

__all__ = ["field", "make_field", "PRESETS", "__version__"]

__version__ = "0.1.0"


def __getattr__(name: str):
    # Lazy access to the generator so that ``import rowmerge`` stays light.
    if name in ("make_field", "PRESETS", "Field"):
        from . import field
        return getattr(field, name)
    if name == "field":
        import importlib
        return importlib.import_module(".field", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

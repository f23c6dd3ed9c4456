#!/usr/bin/env python3
"""Writes the example files of docs/formats.md under docs/examples/, one directory per format.

Run by hand from the checkout, with the optional libraries installed
(``pip install '.[arrow,geo]'``)::

    .venv/bin/python scripts/make-examples.py

Every run writes the same bytes (for the same library versions): the field
is generated from a fixed seed, GeoPackage timestamps are pinned and NumPy
archives get fixed member dates.  Each example holds one small field (six
segments on two crop rows, 240 points) and is read back through
``rowmerge.formats`` before the script ends, as a check.
"""

from __future__ import annotations

import argparse
import io
import sys
import zipfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

from rowmerge.field import make_field  # noqa: E402

#: ETRS89 / UTM zone 33N: a projected CRS in metres, where the generated fields lie.
CRS = "EPSG:25833"
#: What --columns each example needs (the CSV example uses its own point names).
COLUMNS = {"csv": "x=easting,y=northing"}
LINK_COLUMNS = ["group", "crop_row", "segment", "linked_crop_row", "linked_segment"]
ZIP_DATE = (2024, 1, 1, 0, 0, 0)


def field_tables():
    """The example field as three pandas tables with our default column names."""
    import pandas as pd

    field = make_field(groups=6, points_per_group=40, point_columns=6, segments_per_row=3,
                       seed=11)
    p, info, conn = field.points_in_rows, field.row_information, field.connected_crop_rows
    seen_at = pd.to_datetime(np.round(p[:, 5] * 1000).astype("int64"), unit="ms", utc=True)
    labels = np.where(p[:, 4] > 0.9, "sure", "plant")
    points = pd.DataFrame({
        "crop_row": p[:, 0].astype(np.int32), "segment": p[:, 1].astype(np.int32),
        "x": p[:, 2], "y": p[:, 3], "confidence": p[:, 4].astype(np.float32),
        "seen_at": seen_at, "label": pd.array(labels, dtype="str"),
    })
    segments = pd.DataFrame({
        "crop_row": info[:, 0].astype(np.int32), "segment": info[:, 4].astype(np.int32),
        "start_x": info[:, 5], "start_y": info[:, 6], "end_x": info[:, 7], "end_y": info[:, 8],
        "mid_x": info[:, 9], "mid_y": info[:, 10],
    })
    links = []
    for row in conn:
        for first in (3, 5, 7, 9):
            if np.isnan(row[first]):
                break
            links.append((int(row[0]), int(row[1]), int(row[2]), int(row[first]),
                          int(row[first + 1])))
    links = pd.DataFrame(links, columns=LINK_COLUMNS).astype(np.int32)
    return field, points, segments, links


def geo_points(points):
    import geopandas as gpd

    geometry = gpd.points_from_xy(points["x"], points["y"])
    return gpd.GeoDataFrame(points.drop(columns=["x", "y"]), geometry=geometry, crs=CRS)


def geo_segments(segments):
    """Segments as lines through start, middle and end (the anchors come from the lines)."""
    import geopandas as gpd
    import shapely

    coordinates = np.stack([segments[["start_x", "start_y"]].to_numpy(),
                            segments[["mid_x", "mid_y"]].to_numpy(),
                            segments[["end_x", "end_y"]].to_numpy()], axis=1)
    return gpd.GeoDataFrame(segments[["crop_row", "segment"]],
                            geometry=shapely.linestrings(coordinates), crs=CRS)


def save_npz(path: Path, arrays: dict[str, np.ndarray]) -> None:
    """numpy.savez with fixed member dates, so that the archive's bytes do not change."""
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        for name, array in arrays.items():
            buffer = io.BytesIO()
            np.lib.format.write_array(buffer, np.asarray(array), allow_pickle=False)
            archive.writestr(zipfile.ZipInfo(f"{name}.npy", date_time=ZIP_DATE), buffer.getvalue())


def numpy_columns(frame) -> dict[str, np.ndarray]:
    arrays = {}
    for name in frame.columns:
        column = frame[name]
        if getattr(column.dtype, "tz", None) is not None:
            arrays[name] = column.dt.tz_localize(None).to_numpy()
        elif column.dtype.kind in "biufM":
            arrays[name] = column.to_numpy()
        else:
            arrays[name] = column.to_numpy(dtype=str)
    return arrays


def write_examples(out: Path) -> list[Path]:
    import pyogrio

    field, points, segments, links = field_tables()
    written: list[Path] = []

    def target(relative: str) -> Path:
        path = out / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.exists():
            path.unlink()
        written.append(path)
        return path

    # CSV: the points under their own names (easting, northing), hence --columns.
    points.rename(columns={"x": "easting", "y": "northing"}).to_csv(
        target("csv/points.csv"), index=False)
    segments.to_csv(target("csv/segments.csv"), index=False)
    links.to_csv(target("csv/links.csv"), index=False)

    for directory, suffix, write in (("parquet", ".parquet", "to_parquet"),
                                     ("arrow", ".arrow", "to_feather")):
        for name, table in (("points", points), ("segments", segments), ("links", links)):
            getattr(table, write)(target(f"{directory}/{name}{suffix}"))

    geo_points(points).to_parquet(target("geoparquet/points.parquet"))
    geo_segments(segments).to_parquet(target("geoparquet/segments.parquet"))
    links.to_parquet(target("geoparquet/links.parquet"))

    # GeoPackage: one file, three layers; the date GDAL records is pinned, and small
    # SQLite pages keep the mostly empty metadata tables small.
    pyogrio.set_gdal_config_options({"OGR_CURRENT_DATE": "2024-01-01T00:00:00Z",
                                     "OGR_SQLITE_PRAGMA": "page_size=1024"})
    gpkg = target("geopackage/field.gpkg")
    pyogrio.write_dataframe(geo_points(points), gpkg, layer="points", driver="GPKG")
    pyogrio.write_dataframe(geo_segments(segments), gpkg, layer="segments", driver="GPKG")
    pyogrio.write_dataframe(links, gpkg, layer="links", driver="GPKG")

    pyogrio.write_dataframe(geo_points(points), target("geojson/points.geojson"),
                            layer="points", driver="GeoJSON")
    pyogrio.write_dataframe(geo_segments(segments), target("geojson/segments.geojson"),
                            layer="segments", driver="GeoJSON")
    links.to_csv(target("geojson/links.csv"), index=False)

    for name, table in (("points", points), ("segments", segments), ("links", links)):
        save_npz(target(f"numpy/{name}.npz"), numpy_columns(table))
    save_npz(target("raw-tables/field.npz"), {
        "connected_crop_rows": field.connected_crop_rows,
        "points_in_rows": field.points_in_rows,
        "row_information": field.row_information,
        "tolerance": np.float64(field.tolerance),
    })
    return written


EXAMPLES = {
    # directory -> (points, segments, links) relative to it, or one file for all.
    "csv": ("points.csv", "segments.csv", "links.csv"),
    "parquet": ("points.parquet", "segments.parquet", "links.parquet"),
    "arrow": ("points.arrow", "segments.arrow", "links.arrow"),
    "geoparquet": ("points.parquet", "segments.parquet", "links.parquet"),
    "geopackage": ("field.gpkg", None, None),
    "geojson": ("points.geojson", "segments.geojson", "links.csv"),
    "numpy": ("points.npz", "segments.npz", "links.npz"),
    "raw-tables": ("field.npz", None, None),
}


def check(out: Path) -> None:
    """Read every example back through rowmerge.formats and print what it holds."""
    from rowmerge.formats import ArrayTables, read_tables

    for directory, names in EXAMPLES.items():
        paths = [out / directory / name if name else None for name in names]
        tables = read_tables(*paths, columns=COLUMNS.get(directory))
        if isinstance(tables, ArrayTables):
            print(f"  {directory:<11} raw tables: {tables.points_in_rows.shape[0]} points, "
                  f"{tables.row_information.shape[0]} records, "
                  f"{tables.connected_crop_rows.shape[0]} groups")
        else:
            crs = getattr(tables.points, "crs", None)
            print(f"  {directory:<11} {len(tables.points)} points, {len(tables.segments)} segments, "
                  f"{len(tables.links)} links" + (f", {crs.to_string()}" if crs else ""))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "examples",
                        help="directory to write into (default: docs/examples)")
    args = parser.parse_args()
    for path in write_examples(args.out):
        print(f"{path.relative_to(args.out)}  {path.stat().st_size:,} bytes")
    check(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

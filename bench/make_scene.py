#!/usr/bin/env python3
"""Write the demo's real Sentinel-2 scene as GeoTIFFs, at its own size or tiled to a full tile.

    python bench/make_scene.py sample DIR               # B02 ... B12 at 200 x 300 (the demo's bands)
    python bench/make_scene.py tile DIR [--size 10980]  # B02, B04, B08 tiled to 10980 x 10980

The bands are the ones examples/demo.py reads from the xarray-spatial package (blue, green,
red and nir at 10 m; swir1 and swir2 at 20 m, each pixel repeated onto the 10 m grid), named
as in a Sentinel-2 product so that `kelvane-calc --sensor sentinel-2` maps them. Values are
digital numbers (reflectance x 10000); nodata is 0, as in Sentinel-2 products.

`tile` mirrors the 200 x 300 bands across a Sentinel-2 tile's 10980 x 10980 pixels (mirrored,
so no seams appear that would change how well they compress), blanks a wedge in one corner to
nodata as at the edge of an orbit's swath, and writes three copies of each band:

- `jp2/`: JPEG 2000, lossless, 1024 x 1024 tiles, as ESA distributes Sentinel-2 products;
- `cog/`: tiled 1024 x 1024, deflate with the horizontal predictor, as the Cloud Optimized
  GeoTIFFs of Sentinel-2 on public cloud buckets are;
- `raw/`: uncompressed, in strips (GDAL's default layout for a new GeoTIFF).

Needs rasterio (with the JP2OpenJPEG driver for `jp2/`) and SciPy (to read the sample files).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
import demo  # noqa: E402  (the demo's reader of the sample scene)

PRODUCT_NAMES = {"blue": "B02", "green": "B03", "red": "B04", "nir": "B08", "swir1": "B11", "swir2": "B12"}
TILED_BANDS = ("blue", "red", "nir")  # what NDVI and EVI read
CRS = "EPSG:32719"  # the sample's "+init=epsg:32719"

SETS = {
    "jp2": ("JP2OpenJPEG", ".jp2", dict(QUALITY="100", REVERSIBLE="YES", BLOCKXSIZE="1024",
                                          BLOCKYSIZE="1024", RESOLUTIONS="6", NBITS="16")),
    "cog": ("GTiff", ".tif", dict(TILED="YES", BLOCKXSIZE="1024", BLOCKYSIZE="1024",
                                   COMPRESS="DEFLATE", PREDICTOR="2")),
    "raw": ("GTiff", ".tif", dict()),
}


def sample_bands():
    bands = demo.load_sample()
    demo.align(bands)
    return bands


def write_gtiff(path, data, transform, nodata=0, **options):
    import rasterio
    from rasterio.transform import Affine

    profile = dict(driver="GTiff", width=data.shape[1], height=data.shape[0], count=1,
                   dtype="uint16", crs=CRS, transform=Affine(*transform[:6]), nodata=nodata, **options)
    with rasterio.open(path, "w", **profile) as ds:
        ds.write(data, 1)


def write_sample(folder: Path) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for name, band in sample_bands().items():
        path = folder / f"{PRODUCT_NAMES[name]}.tif"
        write_gtiff(path, band.data, band.transform)
        print(f"{path}  {band.data.shape[0]} x {band.data.shape[1]}  ({name})")


def mirrored_tile(data: np.ndarray, size: int) -> np.ndarray:
    """`data` repeated over size x size pixels, every other copy mirrored so edges meet."""
    block = np.block([[data, data[:, ::-1]], [data[::-1, :], data[::-1, ::-1]]])
    reps = (-(-size // block.shape[0]), -(-size // block.shape[1]))
    return np.ascontiguousarray(np.tile(block, reps)[:size, :size])


def write_tiled(folder: Path, size: int, sets) -> None:
    import rasterio.shutil

    bands = sample_bands()
    rows = np.arange(size)[:, None]
    cols = np.arange(size)[None, :]
    wedge = cols + rows < size // 3  # about 5.5 % of the tile, in the top-left corner
    for name in TILED_BANDS:
        band = bands[name]
        data = mirrored_tile(band.data, size)
        data[wedge] = 0
        for key in sets:
            driver, ext, options = SETS[key]
            out = folder / key
            out.mkdir(parents=True, exist_ok=True)
            path = out / f"{PRODUCT_NAMES[name]}{ext}"
            start = time.perf_counter()
            if driver == "GTiff":
                write_gtiff(path, data, band.transform, **options)
            else:  # a copy-only driver: write a GeoTIFF first, then translate it
                staging = out / f".{PRODUCT_NAMES[name]}.staging.tif"
                try:
                    write_gtiff(staging, data, band.transform, TILED="YES", BLOCKXSIZE="1024",
                                BLOCKYSIZE="1024")
                    rasterio.shutil.copy(str(staging), str(path), driver=driver, **options)
                finally:
                    if staging.exists():
                        staging.unlink()
            mb = os.path.getsize(path) / 1e6
            print(f"{path}  {size} x {size}  {mb:.0f} MB  ({time.perf_counter() - start:.1f} s)",
                  flush=True)
        del data


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("sample", help="the six bands at their own 200 x 300 pixels")
    p.add_argument("dir", type=Path)
    p = sub.add_parser("tile", help="blue, red and nir tiled to SIZE x SIZE, in three encodings")
    p.add_argument("dir", type=Path)
    p.add_argument("--size", type=int, default=10980)
    p.add_argument("--sets", nargs="+", choices=list(SETS), default=list(SETS))
    args = parser.parse_args(argv)
    try:
        if args.what == "sample":
            write_sample(args.dir)
        else:
            write_tiled(args.dir, args.size, args.sets)
    except demo.DemoError as exc:
        print(f"make_scene: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

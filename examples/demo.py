#!/usr/bin/env python3
"""Spectral indices of a real Sentinel-2 scene with kelvane: one PNG figure and one table.

With no arguments the demo reads the Sentinel-2 sample bands that the xarray-spatial
package carries inside itself (NetCDF files in xrspatial/datasets/sentinel-2; nothing is
downloaded). Or give your own single-band GeoTIFFs (needs rasterio):

    python examples/demo.py
    python examples/demo.py --input blue=B02.tif green=B03.tif red=B04.tif nir=B08.tif \\
        swir1=B11.tif swir2=B12.tif --out scene.png

Every index comes from the spectral index catalogue (kelvane_indices.compute_index, the
catalogue's formulas and constants) and is computed twice, by kelvane and by plain NumPy in
float32 with the same operations in the same order; the table shows both timings and whether
the results agree bit for bit. Bands are digital numbers turned into reflectance on the fly as
DN x scale + offset: the default (--scale 1e-4 --offset 0) fits the sample scene and Sentinel-2
products before processing baseline 04.00; Sentinel-2 L2A from baseline 04.00 needs
--offset -0.1, Landsat Collection 2 Level-2 --scale 2.75e-5 --offset -0.2 (see "Scale and offset
of common products" in docs/numerics.md).
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

PROG = "kelvane-demo"
BAND_NAMES = ("blue", "green", "red", "nir", "swir1", "swir2")
SAMPLE_FILES = {name: f"{name}_band.nc" for name in BAND_NAMES}

# The single-precision value nearest to 1e-10, which kelvane adds to every denominator.
DENOM_EPSILON = np.array(0x2EDBE6FF, dtype=np.uint32).view(np.float32)[()]

# The bands are digital numbers: reflectance x 10000 for the sample scene (a Sentinel-2 product of
# a processing baseline before 04.00, so no offset). kelvane_indices turns them into reflectance in
# float32 on the fly, so the catalogue's formulas apply with their own constants.
DEFAULT_SCALE, DEFAULT_OFFSET = 1e-4, 0.0
# Catalogue symbols of the demo's bands (Awesome Spectral Indices naming).
SYMBOLS = {"blue": "B", "green": "G", "red": "R", "nir": "N", "swir1": "S1", "swir2": "S2"}


class DemoError(Exception):
    """A problem with the user's input or environment, reported as one line."""


@dataclass
class Band:
    name: str
    data: np.ndarray  # 2-D native uint16
    transform: Optional[Tuple[float, ...]]  # affine (a, b, c, d, e, f), or None if not georeferenced
    source: str
    nodata: Optional[np.ndarray] = None  # True where the file marks a pixel as nodata
    native_pixel: Optional[float] = None  # its own pixel size, when repeated onto a finer grid


# ---------------------------------------------------------------------------------------------
# Reading bands


def to_uint16(name: str, source: str, values: np.ndarray, nodata: Optional[np.ndarray] = None) -> np.ndarray:
    """Return `values` as a native 2-D uint16 array, refusing anything that would not be exact.

    Pixels flagged in `nodata` are not checked and become 0; the caller masks them afterwards.
    """
    if values.ndim != 2:
        raise DemoError(f"band '{name}' ({source}) has {values.ndim} dimensions; a band must be 2-D")
    kind = values.dtype.kind
    if kind not in "uif":
        raise DemoError(f"band '{name}' ({source}) has type {values.dtype}; "
                        "bands must hold whole numbers in 0..65535")
    if values.dtype == np.uint16 and values.dtype.isnative:
        return values
    if nodata is not None and nodata.any():
        values = np.where(nodata, 0, values).astype(values.dtype)
    if kind == "f":
        ok = np.isfinite(values) & (values == np.floor(values))
    else:
        ok = np.ones(values.shape, dtype=bool)
    ok &= (values >= 0) & (values <= 65535)
    bad = ~ok
    if bad.any():
        example = values[bad].flat[0].item()
        hint = ""
        if kind == "f" and np.nanmax(np.abs(values)) <= 2.0:
            hint = "; this looks like reflectance, scale it to digital numbers (x 10000) first"
        raise DemoError(f"band '{name}' ({source}) has type {values.dtype} and {int(bad.sum())} values "
                        f"that are not whole numbers in 0..65535 (for example {example:g}){hint}")
    converted = values.astype(np.uint16)
    if not np.array_equal(converted.astype(values.dtype), values):  # belt and braces
        raise DemoError(f"band '{name}' ({source}) does not convert exactly to uint16")
    return converted


def sample_dir() -> Path:
    """The folder of Sentinel-2 sample bands inside the installed xarray-spatial package."""
    # Locate the package without importing it (importing pulls in numba and datashader).
    found = importlib.util.find_spec("xrspatial")
    if found is None or not found.submodule_search_locations:
        raise DemoError("the sample scene ships with the xarray-spatial package: "
                        "pip install xarray-spatial scipy (or pass --input with your own GeoTIFFs)")
    folder = Path(list(found.submodule_search_locations)[0]) / "datasets" / "sentinel-2"
    if not folder.is_dir():
        raise DemoError(f"this xarray-spatial has no Sentinel-2 sample folder ({folder})")
    return folder


def load_sample() -> Dict[str, Band]:
    """Read the six sample bands (NetCDF 3 files, float64 holding whole numbers) with SciPy."""
    try:
        from scipy.io import netcdf_file
    except ImportError:
        raise DemoError("reading the sample scene needs SciPy: pip install scipy") from None
    folder = sample_dir()
    bands = {}
    for name in BAND_NAMES:
        path = folder / SAMPLE_FILES[name]
        if not path.is_file():
            raise DemoError(f"band '{name}': no such file: {path}")
        with netcdf_file(str(path), "r", mmap=False) as nc:
            grids = [v for v in nc.variables.values() if len(v.shape) == 2]
            if len(grids) != 1:
                raise DemoError(f"band '{name}': expected one 2-D variable in {path}")
            var = grids[0]
            values = np.array(var.data)
            attrs = var._attributes  # scipy keeps the NetCDF attributes here
            transform = attrs.get("transform")
        transform = tuple(float(t) for t in transform[:6]) if transform is not None else None
        bands[name] = Band(name, to_uint16(name, path.name, values), transform, path.name)
    return bands


def parse_inputs(items: Sequence[str]) -> Dict[str, str]:
    paths: Dict[str, str] = {}
    for item in items:
        name, sep, path = item.partition("=")
        name = name.strip().lower()
        if not sep or not path:
            raise DemoError(f"--input expects NAME=PATH, got {item!r}")
        if name not in BAND_NAMES:
            raise DemoError(f"--input: unknown band name {name!r}; use {', '.join(BAND_NAMES)}")
        if name in paths:
            raise DemoError(f"--input: band '{name}' given twice")
        paths[name] = path
    if "nir" not in paths or "red" not in paths:
        raise DemoError("--input needs at least nir=... and red=...")
    return paths


def load_geotiffs(paths: Dict[str, str]) -> Dict[str, Band]:
    """Read one single-band raster per band with rasterio (imported only here)."""
    for name, path in paths.items():
        if not os.path.isfile(path):
            raise DemoError(f"band '{name}': no such file: {path}")
    try:
        import warnings

        import rasterio
        from rasterio.errors import NotGeoreferencedWarning, RasterioIOError
    except ImportError:
        raise DemoError("reading GeoTIFFs needs rasterio: pip install rasterio") from None
    bands = {}
    for name, path in paths.items():
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", NotGeoreferencedWarning)
                with rasterio.open(path) as ds:
                    if ds.count != 1:
                        raise DemoError(f"band '{name}' ({path}) has {ds.count} bands; "
                                        "give one single-band file per band")
                    values = ds.read(1)
                    georeferenced = ds.crs is not None or not ds.transform.is_identity
                    transform = tuple(ds.transform)[:6] if georeferenced else None
                    nodata_value = ds.nodata
        except RasterioIOError as exc:
            raise DemoError(f"band '{name}': cannot read {path}: {exc}") from None
        nodata = None
        if nodata_value is not None:
            nodata = np.isnan(values) if math.isnan(nodata_value) else values == nodata_value
        bands[name] = Band(name, to_uint16(name, path, values, nodata), transform, path, nodata)
    return bands


def align(bands: Dict[str, Band]) -> List[str]:
    """Put every band on the grid of nir; returns notes for the user.

    A band on a coarser grid that nests in nir's grid (a whole-number pixel size ratio and a
    whole-pixel offset, e.g. Sentinel-2's 20 m SWIR bands against its 10 m bands) is cropped
    and each of its pixels repeated onto the finer grid. Anything else that differs is refused.
    """
    ref = bands["nir"]
    rows, cols = ref.data.shape
    notes = []
    for band in bands.values():
        if band is ref:
            continue
        if band.transform is None or ref.transform is None or band.transform == ref.transform:
            if band.data.shape != ref.data.shape:
                raise DemoError(f"bands differ in shape: nir is {rows}x{cols} "
                                f"but {band.name} is {band.data.shape[0]}x{band.data.shape[1]}")
            continue
        a, b, c, d, e, f = band.transform
        ra, rb, rc, rd, re, rf = ref.transform
        fx, fy = a / ra, e / re
        col0, row0 = (rc - c) / a, (rf - f) / e
        whole = all(abs(v - round(v)) < 1e-9 for v in (fx, fy, col0, row0))
        if not whole or b or d or rb or rd or round(fx) < 1 or round(fy) < 1 or col0 < 0 or row0 < 0:
            raise DemoError(f"band '{band.name}' is on a different grid from nir "
                            f"(pixel {a:g} x {-e:g} vs {ra:g} x {-re:g}); resample it to nir's grid first")
        fx, fy, col0, row0 = round(fx), round(fy), round(col0), round(row0)
        need_r, need_c = -(-rows // fy), -(-cols // fx)
        if row0 + need_r > band.data.shape[0] or col0 + need_c > band.data.shape[1]:
            raise DemoError(f"band '{band.name}' does not cover nir's extent")
        window = (slice(row0, row0 + need_r), slice(col0, col0 + need_c))
        band.data = repeat_pixels(band.data[window], fy, fx, rows, cols)
        if band.nodata is not None:
            band.nodata = repeat_pixels(band.nodata[window], fy, fx, rows, cols)
        band.transform = ref.transform
        band.native_pixel = abs(a)
        notes.append(f"{band.name}: pixel size {a:g} against nir's {ra:g}, "
                     f"each pixel repeated {fx}x{fy} onto nir's grid")
    return notes


def repeat_pixels(grid: np.ndarray, fy: int, fx: int, rows: int, cols: int) -> np.ndarray:
    """Each pixel of `grid` as an fy x fx block, cut to rows x cols (nearest-neighbour upsampling)."""
    return np.ascontiguousarray(np.repeat(np.repeat(grid, fy, axis=0), fx, axis=1)[:rows, :cols])


# ---------------------------------------------------------------------------------------------
# The indices: each computed from the catalogue by kelvane_indices, and by NumPy float32 with the
# same operations in the same order (the formula's syntax tree, one rounded step per node)


def numpy_float32(formula: str, values: Dict[str, object], scale: float, offset: float) -> np.ndarray:
    """The formula in NumPy float32 as kelvane computes it: bands scaled to reflectance first,
    every operation rounded to float32, and the denominator of every division + DENOM_EPSILON."""
    import ast

    def walk(node):
        if isinstance(node, ast.Constant):
            return np.float32(node.value)
        if isinstance(node, ast.Name):
            value = values[node.id]
            if isinstance(value, np.ndarray):
                x = value.astype(np.float32) * np.float32(scale)
                return x + np.float32(offset) if offset else x
            return np.float32(value)
        if isinstance(node, ast.UnaryOp):
            return -walk(node.operand) if isinstance(node.op, ast.USub) else walk(node.operand)
        if isinstance(node, ast.Call):
            return (np.sqrt if node.func.id == "sqrt" else np.abs)(walk(node.args[0]))
        a, b = walk(node.left), walk(node.right)
        ops = {ast.Add: np.add, ast.Sub: np.subtract, ast.Mult: np.multiply, ast.Pow: np.power}
        if isinstance(node.op, ast.Div):
            return a / (b + DENOM_EPSILON)
        return ops[type(node.op)](a, b)

    with np.errstate(all="ignore"):
        return np.asarray(walk(ast.parse(formula, mode="eval").body), dtype=np.float32)


@dataclass
class Index:
    name: str                     # the catalogue's short name
    bands: Tuple[str, ...]        # the demo's band names it reads
    formula: str                  # the catalogue's formula, catalogue symbols
    constants: Dict[str, float]   # the catalogue's defaults, with the demo's overrides
    with_kelvane: Callable[..., np.ndarray]
    with_numpy: Callable[..., np.ndarray]


def make_indices(kelvane_indices, scale: float, offset: float) -> List[Index]:
    """NDVI, NDWI, NDMI, NBR, SR, SAVI (L = 0.5, the usual soil term), EVI and EVI2 from the catalogue."""
    by_symbol = {symbol: name for name, symbol in SYMBOLS.items()}
    overrides = {"SAVI": {"L": 0.5}}
    indices = []
    for short in ("NDVI", "NDWI", "NDMI", "NBR", "SR", "SAVI", "EVI", "EVI2"):
        entry = kelvane_indices.catalogue[short]
        constants = {**entry.constants, **overrides.get(short, {})}
        names = tuple(by_symbol[s] for s in entry.bands)

        def ours(*arrays, short=short, entry=entry, constants=constants):
            bands = dict(zip(entry.bands, arrays))
            return kelvane_indices.compute_index(short, bands, constants=constants, scale=scale,
                                                 offset=offset or None)

        def theirs(*arrays, entry=entry, constants=constants):
            return numpy_float32(entry.formula, {**constants, **dict(zip(entry.bands, arrays))}, scale, offset)

        indices.append(Index(short, names, entry.formula, constants, ours, theirs))
    return indices


def best_time(fn: Callable[[], object], repeats: int) -> float:
    """Best wall time of `repeats` runs, in milliseconds, after one warm-up run."""
    fn()
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best * 1e3


@dataclass
class Result:
    index: Index
    values: np.ndarray
    kelvane_ms: float
    numpy_ms: float
    differing: int


def compute(indices: List[Index], bands: Dict[str, Band], repeats: int) -> List[Result]:
    results = []
    for index in indices:
        args = [bands[name].data for name in index.bands]
        ours = index.with_kelvane(*args)
        ref = index.with_numpy(*args)
        differing = int(np.count_nonzero(ours.view(np.uint32) != ref.view(np.uint32)))
        kv_ms = best_time(lambda: index.with_kelvane(*args), repeats)
        np_ms = best_time(lambda: index.with_numpy(*args), repeats)
        if any(bands[n].nodata is not None for n in index.bands):
            # The files' nodata pixels as masked arrays: NaN in the result, in the same pass.
            masked = [np.ma.masked_array(bands[n].data, mask=bands[n].nodata) for n in index.bands]
            ours = index.with_kelvane(*masked)
        results.append(Result(index, ours, kv_ms, np_ms, differing))
    return results


# ---------------------------------------------------------------------------------------------
# Output


def stats(values: np.ndarray) -> Tuple[float, float, float, int]:
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return math.nan, math.nan, math.nan, values.size
    return float(finite.min()), float(finite.max()), float(finite.mean(dtype=np.float64)), values.size - finite.size


def print_table(results: List[Result]) -> None:
    header = (f"{'index':<15} {'bands':<16} {'min':>9} {'max':>9} {'mean':>9} "
              f"{'kelvane ms':>10} {'NumPy f32 ms':>12} {'speed-up':>8}  bit-identical")
    print(header)
    print("-" * len(header))
    for r in results:
        lo, hi, mean, nonfinite = stats(r.values)
        same = "yes" if r.differing == 0 else f"NO ({r.differing} px differ)"
        note = f"  [{nonfinite} px nodata/non-finite]" if nonfinite else ""
        print(f"{r.index.name:<15} {','.join(r.index.bands):<16} {lo:>9.4f} {hi:>9.4f} {mean:>9.4f} "
              f"{r.kelvane_ms:>10.3f} {r.numpy_ms:>12.3f} {r.numpy_ms / r.kelvane_ms:>7.1f}x  {same}{note}")


# Colour scales are fixed per index family, so that a colour means the same value in every panel
# and every scene, and the sign of an index shows at a glance:
# - normalized differences (NDVI, NDWI, NDMI, NBR) lie in [-1, 1], and so, in practice, do the
#   adjusted vegetation indices (SAVI, EVI, EVI2): a diverging map from -1 to 1, centred on 0;
# - a simple ratio is centred on 1 (as much of one band as of the other), on a log scale from
#   1/8 to 8 so that a ratio and its inverse are as far from the centre.
# Water and moisture indices use brown for dry and blue-green for wet; the others red to green.
INDEX_RANGE = (-1.0, 1.0)
RATIO_RANGE = (1 / 8, 8.0)
RATIO_INDICES = {"SR"}
NORMALIZED_DIFFERENCES = {"NDVI", "NDWI", "NDMI", "NBR"}
WET_INDICES = {"NDWI", "NDMI"}
NODATA_GREY = "0.55"


def index_colour_scale(name: str):
    """(colour map, norm, colour-bar ticks and labels, what the scale is) for an index panel."""
    from matplotlib import colormaps
    from matplotlib.colors import LogNorm, Normalize

    key = name.split()[0].upper()
    if key in RATIO_INDICES:
        ticks = [1 / 8, 1 / 4, 1 / 2, 1, 2, 4, 8]
        labels = ["1/8", "1/4", "1/2", "1", "2", "4", "8"]
        cmap = colormaps["RdYlGn"].with_extremes(bad=NODATA_GREY)
        return cmap, LogNorm(*RATIO_RANGE), (ticks, labels), "log scale 1/8 to 8, centred on 1"
    cmap = colormaps["BrBG" if key in WET_INDICES else "RdYlGn"].with_extremes(bad=NODATA_GREY)
    ticks = [-1, -0.5, 0, 0.5, 1]
    return cmap, Normalize(*INDEX_RANGE), (ticks, [f"{t:g}" for t in ticks]), "-1 to 1, centred on 0"


def true_colour(bands: Dict[str, Band]) -> np.ndarray:
    """Red, green and blue, each stretched on its own between its 2nd and 98th percentile, so
    that no channel's brightness tints the others; nodata pixels grey."""
    invalid = np.zeros(bands["red"].data.shape, dtype=bool)
    for name in ("red", "green", "blue"):
        if bands[name].nodata is not None:
            invalid |= bands[name].nodata
    channels = []
    for name in ("red", "green", "blue"):
        channel = bands[name].data.astype(np.float32)
        valid = channel[~invalid]
        lo, hi = np.percentile(valid, [2, 98]) if valid.size else (0.0, 1.0)
        channels.append(np.clip((channel - lo) / max(hi - lo, 1.0), 0.0, 1.0))
    rgb = np.dstack(channels)
    rgb[invalid] = float(NODATA_GREY)
    return rgb


def save_figure(results: List[Result], bands: Dict[str, Band], title: str, out: Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise DemoError("the figure needs matplotlib: pip install matplotlib") from None
    panels: List[Tuple[str, Optional[Result]]] = [(r.index.name, r) for r in results]
    has_rgb = all(n in bands for n in ("red", "green", "blue"))
    if has_rgb:
        panels.insert(0, ("true colour", None))
    ncols = 3 if len(panels) == 9 else min(4, len(panels))
    nrows = -(-len(panels) // ncols)
    rows, cols = bands["nir"].data.shape
    width = 4.6 * ncols
    fig, axes = plt.subplots(nrows, ncols, figsize=(width, width / ncols * rows / cols * nrows * 1.3 + 1.2),
                             squeeze=False, constrained_layout=True)
    for ax in axes.flat:
        ax.set_axis_off()
    grid_pixel = bands["nir"].transform[0] if bands["nir"].transform else None
    coarse_notes = []
    for ax, (label, result) in zip(axes.flat, panels):
        if result is None:
            ax.imshow(true_colour(bands), interpolation="nearest")
            ax.set_title("true colour (red, green, blue)\neach channel stretched 2nd-98th percentile", fontsize=10)
            continue
        cmap, norm, (ticks, tick_labels), scale = index_colour_scale(label)
        values = result.values
        if isinstance(norm, matplotlib.colors.LogNorm):
            values = np.where(values > 0, values, np.nan)  # a log scale has no place for 0: grey
        image = ax.imshow(values, cmap=cmap, norm=norm, interpolation="nearest")
        lo, hi, mean, _ = stats(result.values)
        coarse = [bands[n] for n in result.index.bands if bands[n].native_pixel is not None]
        at = ""
        if coarse and grid_pixel is not None:
            sizes = "/".join(f"{p:g}" for p in sorted({b.native_pixel or 0.0 for b in coarse}))
            at = f"\nat {grid_pixel:g} m from {sizes} m {' and '.join(b.name for b in coarse)}"
            coarse_notes.append(label)
        ax.set_title(f"{label}: {result.index.formula}{at}\nvalues {lo:.3f} to {hi:.3f}, mean {mean:.3f}",
                     fontsize=9.5)
        # A normalized difference cannot leave [-1, 1]; the adjusted indices and ratios can.
        bounded = label.split()[0].upper() in NORMALIZED_DIFFERENCES
        bar = fig.colorbar(image, ax=ax, shrink=0.7, extend="neither" if bounded else "both")
        bar.minorticks_off()
        bar.set_ticks(ticks, labels=tick_labels)
        bar.set_label(scale, fontsize=8.5)
    scales = ("fixed colour scales: normalized differences and adjusted vegetation indices -1 to 1 centred "
              "on 0 (brown to blue-green for water and moisture),\nthe simple ratio 1/8 to 8 on a log scale "
              "centred on 1 (nir = red); grey: nodata")
    fig.suptitle(f"{title}, computed with kelvane (float32)\n{scales}", fontsize=11)
    if coarse_notes:
        coarse_bands = sorted({n for r in results if r.index.name in coarse_notes for n in r.index.bands
                               if bands[n].native_pixel is not None})
        pixel = ", ".join(f"{n} {bands[n].native_pixel:g} m" for n in coarse_bands)
        fig.supxlabel(f"{' and '.join(coarse_notes)} are computed at {grid_pixel:g} m from coarser bands ({pixel}), "
                      f"each of whose pixels is repeated onto the {grid_pixel:g} m grid: they show "
                      "no detail finer than those bands.", fontsize=9.5)
    try:
        fig.savefig(out, dpi=110)
    except OSError as exc:
        raise DemoError(f"cannot write the figure to {out}: {exc.strerror or exc}") from None
    finally:
        plt.close(fig)


# ---------------------------------------------------------------------------------------------


def run(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Spectral indices of a Sentinel-2 scene with kelvane: a figure and a table.")
    parser.add_argument("--input", nargs="+", metavar="NAME=PATH",
                        help=f"your own single-band GeoTIFFs (needs rasterio); names: {', '.join(BAND_NAMES)}; "
                             "nir and red are required, indices whose bands are missing are skipped")
    parser.add_argument("--out", default="kelvane-demo.png", type=Path,
                        help="path of the PNG figure (default: kelvane-demo.png in the current directory)")
    parser.add_argument("--scale", type=float, default=DEFAULT_SCALE,
                        help="reflectance = DN x scale + offset (default %(default)g)")
    parser.add_argument("--offset", type=float, default=DEFAULT_OFFSET,
                        help="default %(default)g; -0.1 for Sentinel-2 L2A from baseline 04.00")
    parser.add_argument("--repeats", type=int, default=20, help="timing runs per index (best is shown)")
    args = parser.parse_args(argv)
    if args.repeats < 1:
        parser.error("--repeats must be at least 1")

    if not args.out.parent.resolve().is_dir():
        raise DemoError(f"--out: no such directory: {args.out.parent}")
    try:
        import kelvane_indices
    except ImportError as exc:
        raise DemoError(f"cannot import kelvane_indices ({exc}); install it with: pip install .") from None

    if args.input:
        bands = load_geotiffs(parse_inputs(args.input))
        title = "Your scene: " + ", ".join(f"{b.name}={Path(b.source).name}" for b in bands.values())
    else:
        bands = load_sample()
        title = "Sentinel-2 sample scene shipped with xarray-spatial (xrspatial/datasets/sentinel-2)"
    notes = align(bands)

    indices = make_indices(kelvane_indices, args.scale, args.offset)
    usable = [ix for ix in indices if all(n in bands for n in ix.bands)]
    skipped = [ix.name for ix in indices if ix not in usable]

    rows, cols = bands["nir"].data.shape
    print(f"scene: {title}")
    if not args.input:
        print(f"read from: {sample_dir()}")
    print(f"grid: {rows} x {cols} pixels, uint16 digital numbers; "
          f"{len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()} cores available")
    for note in notes:
        print(f"note: {note}")
    if skipped:
        print(f"skipped (bands not given): {', '.join(skipped)}")
    print(f"indices: the catalogue's formulas and constants (SAVI with L = 0.5) on reflectance "
          f"(DN x {args.scale:g} + {args.offset:g}), through kelvane_indices.compute_index")
    print(f"timings: best of {args.repeats} runs, output allocated inside both; NumPy converts "
          "the uint16 bands to float32 and scales them itself")
    print()
    try:
        results = compute(usable, bands, args.repeats)
    except NotImplementedError as exc:
        raise DemoError(f"this kelvane build cannot compute yet: {exc}") from None
    print_table(results)
    save_figure(results, bands, title, args.out)
    print()
    print(f"figure: {args.out.resolve()}")
    differing = [r.index.name for r in results if r.differing]
    if differing:
        raise DemoError(f"kelvane and NumPy float32 disagree for {', '.join(differing)}")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        return run(argv)
    except DemoError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # output piped into head or similar
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())

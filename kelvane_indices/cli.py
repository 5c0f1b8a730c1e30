"""kelvane-calc: a catalogue index or a formula over GeoTIFF bands, streamed window by window.

    kelvane-calc NDVI -b N=T33UUP_B08.tif -b R=T33UUP_B04.tif -o ndvi.tif
    kelvane-calc "2.5 * (N - R) / (N + 6 * R - 7.5 * B + 1)" -b N=B08.tif -b R=B04.tif \\
        -b B=B02.tif --scale 0.0001 -o evi.tif
    kelvane-calc EVI --sensor sentinel-2 -b B08=B08.tif -b B04=B04.tif -b B02=B02.tif -o evi.tif
    kelvane-calc --list water

The scene is read, computed and written one window at a time on three kinds of thread (GDAL
releases the interpreter lock while it reads and writes, kelvane while it computes), so memory
stays at a few windows per band whatever the scene's size. Every value is bit-identical to
kelvane_indices.evaluate on the whole arrays. The output is written beside the target under a
temporary name and moved into place only once complete. See docs/cli.md.
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import queue
import re
import signal
import sys
import tempfile
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, NoReturn, Optional, Sequence, Tuple

import numpy as np

PROG = "kelvane-calc"
INSTALL_HINT = "pip install 'kelvane[geotiff]'"
BAND_DTYPES = ("uint16", "uint8")
OUTPUT_TILE = 512
WINDOW_PIXELS = 1 << 23  # about 8 Mpx: 16 MB per uint16 band, 32 MB of float32 output
GDAL_CACHE_MB = 256  # GDAL's block cache; its default (5 % of RAM) would dwarf the windows
EXIT_INTERRUPTED = 130


class CalcError(Exception):
    """A problem with the command's input, reported as one line and exit status 1."""


class _ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CalcError(f"{message} (see {PROG} --help)")


# ---------------------------------------------------------------------------------------------
# Command line


def build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog=PROG,
        description="Compute a spectral index of the catalogue or a band-math formula over GeoTIFF bands "
                    "(uint16 or uint8), streaming the scene window by window into a float32 GeoTIFF.",
        epilog="examples:\n"
               "  kelvane-calc NDVI -b N=B08.tif -b R=B04.tif -o ndvi.tif\n"
               "  kelvane-calc EVI --sensor sentinel-2 -b B08=B08.tif -b B04=B04.tif -b B02=B02.tif \\\n"
               "      --scale 0.0001 -o evi.tif\n"
               "  kelvane-calc \"(N - S1) / (N + S1)\" -b N=stack.tif:4 -b S1=stack.tif:5 -o ndmi.tif\n"
               "  kelvane-calc --list burn\n\n"
               "Formulas take numbers, names, + - * / **, unary minus, parentheses, sqrt() and abs(); "
               "arithmetic is float32.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("expression", nargs="?", metavar="FORMULA_OR_INDEX",
                        help="an index of the catalogue (NDVI, EVI, ...; see --list) or a formula such as "
                             "\"(N - R) / (N + R)\"")
    parser.add_argument("-b", "--band", action="append", default=[], metavar="SYMBOL=PATH[:BAND]",
                        help="a band the formula reads: its symbol, the raster, and the band number in it "
                             "(default 1); repeat for every band")
    parser.add_argument("-o", "--output", metavar="OUT.tif", help="the float32 GeoTIFF to write")
    parser.add_argument("--scale", action="append", default=[], metavar="[SYMBOL=]VALUE",
                        help="per-band value = sample * scale + offset (e.g. 0.0001 for Sentinel-2 "
                             "reflectance); one number for every band or SYMBOL=VALUE, repeatable")
    parser.add_argument("--offset", action="append", default=[], metavar="[SYMBOL=]VALUE",
                        help="added after --scale; one number for every band or SYMBOL=VALUE")
    parser.add_argument("--nodata", action="append", default=[], metavar="[SYMBOL=]VALUE",
                        help="the raw sample value that marks a missing pixel (output NaN); default each "
                             "file's nodata tag; 'none' ignores the tags")
    parser.add_argument("--constant", action="append", default=[], metavar="NAME=VALUE",
                        help="a constant of the formula, or one of the index's constants to override its "
                             "default (e.g. L=0.5 for SAVI)")
    parser.add_argument("--sensor", metavar="NAME",
                        help="name bands as the product does (sentinel-2: B04, B08; landsat-8/9: SR_B4, "
                             "SR_B5) in -b, --scale, --offset and --nodata")
    parser.add_argument("--block-size", metavar="ROWS[xCOLS]",
                        help="pixels read, computed and written at a time (default: whole rows of the "
                             "inputs' blocks, about 8 Mpx)")
    parser.add_argument("--co", action="append", default=[], metavar="KEY=VALUE",
                        help="a GeoTIFF creation option, overriding the defaults (tiled 512 x 512, ZSTD "
                             "or DEFLATE with the floating-point predictor)")
    parser.add_argument("--cog", action="store_true", help="write a Cloud Optimized GeoTIFF with overviews")
    parser.add_argument("--overwrite", action="store_true", help="replace OUT.tif if it exists")
    parser.add_argument("--threads", type=int, metavar="N",
                        help="threads reading (and decompressing) the inputs (default: the CPUs, at most 4)")
    parser.add_argument("--timings", action="store_true",
                        help="print the seconds spent reading, computing and writing")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--list", nargs="?", const="", metavar="WORD",
                        help="list the catalogue's indices whose name, long name, bands or domain match WORD")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    return parser


def _number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise CalcError(f"{what}: {text!r} is not a number") from None
    if math.isnan(value) or math.isinf(value):
        raise CalcError(f"{what}: {text!r} is not a finite number")
    return value


def _name_value(item: str, what: str) -> Tuple[str, str]:
    name, sep, value = item.partition("=")
    name, value = name.strip(), value.strip()
    if not sep or not name or not value:
        raise CalcError(f"{what} expects NAME=VALUE, got {item!r}")
    return name, value


@dataclass
class BandSource:
    name: str          # as given on the command line (N, or B08 with --sensor)
    symbol: str        # as the formula reads it
    path: str
    band: int          # 1-based band number in the file
    dtype: str = ""
    nodata: Optional[float] = None  # the file's tag
    block: Tuple[int, int] = (0, 0)  # the file's internal block (rows, cols)


def parse_band(item: str) -> Tuple[str, str, int]:
    """SYMBOL=PATH[:BAND] -> (symbol, path, band). A trailing :N is a band number unless the
    whole text names an existing file."""
    name, sep, rest = item.partition("=")
    name, rest = name.strip(), rest.strip()
    if not sep or not name or not rest:
        raise CalcError(f"-b expects SYMBOL=PATH[:BAND], got {item!r}")
    match = re.fullmatch(r"(.+):(\d+)", rest)
    if match and not os.path.exists(rest):
        path, band = match.group(1), int(match.group(2))
        if band < 1:
            raise CalcError(f"-b {item}: band numbers start at 1")
        return name, path, band
    return name, rest, 1


# ---------------------------------------------------------------------------------------------
# What to compute


@dataclass
class Job:
    """Everything decided before a pixel is read."""

    formula: str
    index: Optional[str]                 # the catalogue's short name, or None for a formula
    sources: List[BandSource]
    constants: Dict[str, float]
    scale: Dict[str, float] = field(default_factory=dict)
    offset: Dict[str, float] = field(default_factory=dict)
    nodata: Dict[str, Optional[float]] = field(default_factory=dict)

    def settings(self) -> Dict[str, Any]:
        """evaluate()'s per-band keywords, as mappings by symbol (None where nothing is set)."""
        nodata = {s: v for s, v in self.nodata.items() if v is not None}
        return dict(scale=self.scale or None, offset=self.offset or None, nodata=nodata or None)

    def compute(self, arrays: Dict[str, np.ndarray], out: np.ndarray) -> np.ndarray:
        import kelvane_indices

        values: Dict[str, Any] = dict(self.constants)
        values.update(arrays)
        result: np.ndarray = kelvane_indices.evaluate(self.formula, values, out=out, **self.settings())
        return result


def _sensor_map(sensor: Optional[str]) -> Dict[str, str]:
    if sensor is None:
        return {}
    from kelvane_indices import SENSORS

    key = sensor.strip().lower().replace("_", "-").replace(" ", "-")
    key = {"sentinel2": "sentinel-2", "s2": "sentinel-2", "landsat8": "landsat-8",
           "landsat9": "landsat-9"}.get(key, key)
    if key not in SENSORS:
        raise CalcError(f"--sensor: unknown sensor {sensor!r}; kelvane knows {', '.join(SENSORS)}")
    return {name.upper(): symbol for name, symbol in SENSORS[key].items()}


def resolve(args: argparse.Namespace) -> Job:
    """The formula, its bands and constants, and the per-band settings, checked against each other."""
    import kelvane_indices
    from kelvane_indices import catalogue

    text = args.expression.strip()
    entry = catalogue.get(text)
    if entry is None:
        folded = [key for key in catalogue if key.lower() == text.lower()]
        entry = catalogue[folded[0]] if len(folded) == 1 else None
    try:
        names = kelvane_indices.symbols(entry.formula if entry else text)
    except ValueError as exc:
        hint = ""
        if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", text):
            hint = f"; '{text}' is not an index of the catalogue either (search it with {PROG} --list WORD)"
        raise CalcError(f"{exc}{hint}") from None
    band_names = {item.partition("=")[0].strip() for item in args.band}
    if entry is None and re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", text) and text not in band_names:
        # A bare name that no -b gives is far more likely a mistyped index than the formula "X".
        import difflib

        close = difflib.get_close_matches(text, list(catalogue), n=3, cutoff=0.6)
        hint = f"; did you mean {', '.join(close)}?" if close else f"; search with {PROG} --list WORD"
        raise CalcError(f"{text!r} is not an index of the catalogue{hint}")

    # Constants: the index's defaults, then --constant.
    constants: Dict[str, float] = {}
    if entry is not None:
        constants = {k: float(v) for k, v in entry.constants.items() if v is not None}
    given_constants: Dict[str, float] = {}
    for item in args.constant:
        name, value = _name_value(item, "--constant")
        if name not in names:
            what = f"{entry.short_name}'s formula ({entry.formula})" if entry else "the formula"
            raise CalcError(f"--constant {name}: {what} has no {name!r}; it reads {', '.join(names)}")
        given_constants[name] = _number(value, f"--constant {name}")
    constants.update(given_constants)
    band_symbols = list(entry.bands) if entry is not None else [n for n in names if n not in constants]
    if entry is not None:
        # A catalogue symbol that is neither band nor known constant (kernel terms, say) is a band.
        band_symbols += [n for n in names if n not in constants and n not in band_symbols
                         and n not in entry.constants]
        missing = [n for n in entry.constants if n not in constants]
        if missing:
            from kelvane_indices.catalogue import CONSTANT_NAMES

            name = missing[0]
            raise CalcError(f"{entry.short_name} needs constant {name} ({CONSTANT_NAMES.get(name, 'no default')}),"
                            f" which has no default: give --constant {name}=VALUE")

    # Bands: -b NAME=PATH, NAME a symbol of the formula or (with --sensor) a product band name.
    product = _sensor_map(args.sensor)
    sources: List[BandSource] = []
    by_symbol: Dict[str, BandSource] = {}
    for item in args.band:
        name, path, band = parse_band(item)
        symbol = name if name in names else product.get(name.upper())
        if symbol is None or symbol not in names:
            what = f"{entry.short_name} ({entry.formula})" if entry else "the formula"
            via = f" ({name} is {symbol} for --sensor {args.sensor})" if symbol else ""
            hint = "" if args.sensor or not _looks_like_product_band(name) else \
                "; for a product's band names pass --sensor (sentinel-2, landsat-8, landsat-9)"
            raise CalcError(f"-b {name}: {what} reads no {name!r}{via}; its bands are "
                            f"{', '.join(band_symbols) or 'none'}{hint}")
        if symbol in given_constants:
            raise CalcError(f"{symbol!r} is given both as a band (-b {name}) and as a constant (--constant)")
        if symbol in by_symbol:
            other = by_symbol[symbol].name
            also = f" (as {other} and as {name})" if other != name else ""
            raise CalcError(f"-b: band {symbol!r} is given twice{also}")
        if symbol in constants and entry is not None and symbol in entry.constants:
            raise CalcError(f"-b {name}: {symbol!r} is a constant of {entry.short_name}; "
                            f"set it with --constant {symbol}=VALUE")
        source = BandSource(name, symbol, path, band)
        sources.append(source)
        by_symbol[symbol] = source
    for symbol in band_symbols:
        if symbol not in by_symbol:
            if entry is not None:
                from kelvane_indices.catalogue import BAND_NAMES

                meaning = f" ({BAND_NAMES[symbol]})" if symbol in BAND_NAMES else ""
                alt = f" (or -b {_product_name(product, symbol)}=PATH)" if _product_name(product, symbol) else ""
                raise CalcError(f"{entry.short_name} reads band {symbol}{meaning}: give -b {symbol}=PATH[:BAND]{alt}")
            raise CalcError(f"the formula reads {symbol!r}: give -b {symbol}=PATH[:BAND] for a band or "
                            f"--constant {symbol}=VALUE")

    job = Job(entry.formula if entry else text, entry.short_name if entry else None, sources,
              {k: v for k, v in constants.items() if k in names})
    lookup = {s.name: s.symbol for s in sources}
    lookup.update({s.symbol: s.symbol for s in sources})
    job.scale = _per_band(args.scale, "--scale", lookup, product)
    job.offset = _per_band(args.offset, "--offset", lookup, product)
    # --nodata is checked now and applied over the files' tags once they are read.
    job.nodata = _per_band(args.nodata, "--nodata", lookup, product, allow_none=True)
    return job


def _looks_like_product_band(name: str) -> bool:
    return re.fullmatch(r"(SR_|ST_)?B\d{1,2}A?", name.upper()) is not None


def _product_name(product: Dict[str, str], symbol: str) -> Optional[str]:
    names = [name for name, s in product.items() if s == symbol]
    return max(names, key=len) if names else None


def _per_band(items: Sequence[str], what: str, lookup: Dict[str, str], product: Dict[str, str],
              allow_none: bool = False) -> Dict[str, Any]:
    """--scale/--offset/--nodata items -> {symbol: value}; a bare value applies to every band."""
    result: Dict[str, Any] = {}
    every = _MISSING
    for item in items:
        if "=" in item:
            name, text = _name_value(item, what)
            symbol = lookup.get(name) or lookup.get(product.get(name.upper(), "\0"))
            if symbol is None:
                raise CalcError(f"{what} {item}: no band {name!r} among -b {', '.join(sorted(set(lookup)))}")
        else:
            symbol, text = None, item.strip()
        value = None if allow_none and text.lower() == "none" else _number(text, what)
        if symbol is None:
            every = value
        else:
            result[symbol] = value
    if every is not _MISSING:
        for symbol in dict.fromkeys(lookup.values()):
            result.setdefault(symbol, every)
    return result


_MISSING: Any = object()


# ---------------------------------------------------------------------------------------------
# Inputs


def _import_rasterio() -> Any:
    try:
        import rasterio  # type: ignore[import-untyped,unused-ignore]
        import rasterio.shutil  # type: ignore[import-untyped,unused-ignore]
        import rasterio.windows  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise CalcError(f"reading and writing GeoTIFFs needs rasterio: {INSTALL_HINT}") from None
    return rasterio


@dataclass
class Grid:
    width: int
    height: int
    crs: Any
    transform: Any
    path: str


def _describe_transform(t: Any) -> str:
    return f"origin ({t.c:.10g}, {t.f:.10g}), pixel {t.a:.10g} x {t.e:.10g}" + \
        (f", rotation ({t.b:.10g}, {t.d:.10g})" if t.b or t.d else "")


def open_inputs(job: Job) -> Grid:
    """Check every input (exists, band in range, integer type, one grid) and read its tags."""
    rasterio = _import_rasterio()
    from rasterio.errors import RasterioIOError  # type: ignore[import-untyped,unused-ignore]

    grid: Optional[Grid] = None
    for source in job.sources:
        if "://" not in source.path and not source.path.startswith("/vsi") and not os.path.exists(source.path):
            raise CalcError(f"-b {source.name}: no such file: {source.path}")
        if os.path.isdir(source.path):
            raise CalcError(f"-b {source.name}: {source.path} is a directory, not a raster")
        try:
            with rasterio.open(source.path) as ds:
                if source.band > ds.count:
                    raise CalcError(f"-b {source.name}: {source.path} has {ds.count} band"
                                    f"{'s' if ds.count != 1 else ''}, not a band {source.band}")
                source.dtype = ds.dtypes[source.band - 1]
                if source.dtype not in BAND_DTYPES:
                    hint = (" (reflectance? pass the integer digital numbers and --scale)"
                            if source.dtype.startswith("float") else "")
                    raise CalcError(f"-b {source.name}: band {source.band} of {source.path} is {source.dtype}; "
                                    f"{PROG} reads uint16 or uint8 bands{hint}")
                source.nodata = ds.nodatavals[source.band - 1]
                rows, cols = ds.block_shapes[source.band - 1]
                source.block = (int(rows), int(cols))
                here = Grid(ds.width, ds.height, ds.crs, ds.transform, source.path)
        except RasterioIOError as exc:
            raise CalcError(f"-b {source.name}: cannot read {source.path}: {_one_line(exc)}") from None
        if grid is None:
            grid = here
            continue
        if (here.width, here.height) != (grid.width, grid.height):
            raise CalcError(f"inputs differ in size: {grid.path} is {grid.width} x {grid.height} pixels, "
                            f"{here.path} is {here.width} x {here.height}; put them on one grid first "
                            f"(e.g. gdalwarp -tr with the finer pixel size)")
        if (here.crs or None) != (grid.crs or None):
            def crs_text(g: Grid) -> str:
                return g.crs.to_string() if g.crs else "no CRS"
            raise CalcError(f"inputs differ in CRS: {grid.path} has {crs_text(grid)}, "
                            f"{here.path} has {crs_text(here)}")
        if not here.transform.almost_equals(grid.transform, precision=1e-9):
            raise CalcError(f"inputs differ in transform: {grid.path} has {_describe_transform(grid.transform)}, "
                            f"{here.path} has {_describe_transform(here.transform)}")
    assert grid is not None
    return grid


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def apply_nodata(job: Job) -> None:
    """Each band's nodata: its file's tag unless --nodata said otherwise."""
    tags = {s.symbol: (float(s.nodata) if s.nodata is not None and not math.isnan(s.nodata) else None)
            for s in job.sources}
    tags.update(job.nodata)
    job.nodata = tags


# ---------------------------------------------------------------------------------------------
# Windows


def parse_block_size(text: Optional[str]) -> Optional[Tuple[int, Optional[int]]]:
    if text is None:
        return None
    match = re.fullmatch(r"\s*(\d+)\s*(?:[xX*,]\s*(\d+))?\s*", text)
    if not match or int(match.group(1)) < 1 or (match.group(2) and int(match.group(2)) < 1):
        raise CalcError(f"--block-size expects ROWS or ROWSxCOLS (positive whole numbers), got {text!r}")
    return int(match.group(1)), int(match.group(2)) if match.group(2) else None


def _lcm(values: Sequence[int]) -> int:
    result = 1
    for v in values:
        result = result * v // math.gcd(result, v)
    return result


def window_shape(grid: Grid, sources: Sequence[BandSource], tile: Tuple[int, int],
                 requested: Optional[Tuple[int, Optional[int]]]) -> Tuple[int, int]:
    """Rows and columns of a window: whole blocks of every input and whole output tiles."""
    if requested is not None:
        rows, cols = requested
        return min(rows, grid.height), min(cols or grid.width, grid.width)
    heights = [s.block[0] for s in sources if 0 < s.block[0] < grid.height] + [tile[0]]
    unit = _lcm(heights)
    if unit > 8 * max(heights):  # blocks that share no multiple worth reading: whole output tiles
        unit = max(heights) - max(heights) % tile[0] + tile[0]
    tiled = all(0 < s.block[1] < grid.width for s in sources)
    cols = grid.width
    if tiled and unit * cols > WINDOW_PIXELS:
        col_unit = _lcm([s.block[1] for s in sources] + [tile[1]])
        if col_unit <= 8 * max(s.block[1] for s in sources):
            cols = min(grid.width, max(col_unit, WINDOW_PIXELS // unit // col_unit * col_unit))
    rows = max(unit, WINDOW_PIXELS // cols // unit * unit)
    return min(rows, grid.height), cols


def windows(grid: Grid, rows: int, cols: int) -> Iterator[Tuple[int, int, int, int]]:
    """(row, col, height, width) in row-major order."""
    for row in range(0, grid.height, rows):
        for col in range(0, grid.width, cols):
            yield row, col, min(rows, grid.height - row), min(cols, grid.width - col)


# ---------------------------------------------------------------------------------------------
# Output


def default_creation_options() -> Dict[str, str]:
    options = {"TILED": "YES", "BLOCKXSIZE": str(OUTPUT_TILE), "BLOCKYSIZE": str(OUTPUT_TILE),
               "PREDICTOR": "3", "NUM_THREADS": "ALL_CPUS", "BIGTIFF": "IF_SAFER"}
    if _has_zstd():
        options.update(COMPRESS="ZSTD", ZSTD_LEVEL="1")  # level 1: compressing must keep up with the disk
    else:
        options.update(COMPRESS="DEFLATE")
    return options


_zstd: Optional[bool] = None


def _has_zstd() -> bool:
    global _zstd
    if _zstd is None:
        from rasterio.io import MemoryFile  # type: ignore[import-untyped,unused-ignore]

        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                with MemoryFile() as mem:
                    with mem.open(driver="GTiff", width=1, height=1, count=1, dtype="float32",
                                  compress="zstd"):
                        pass
                    with mem.open() as ds:
                        _zstd = ds.compression is not None and ds.compression.name.lower() == "zstd"
        except Exception:
            _zstd = False
    return bool(_zstd)


def creation_options(items: Sequence[str]) -> Dict[str, str]:
    options = default_creation_options()
    for item in items:
        key, value = _name_value(item, "--co")
        options[key.upper()] = value
    for key in ("BLOCKXSIZE", "BLOCKYSIZE"):
        if not options.get(key, "1").isdigit() or int(options.get(key, "1")) < 16 or int(options[key]) % 16:
            raise CalcError(f"--co {key}={options[key]}: GeoTIFF tiles are a multiple of 16 pixels")
    return options


def check_output(path: str, overwrite: bool, sources: Sequence[BandSource]) -> None:
    if os.path.isdir(path):
        raise CalcError(f"-o {path} is a directory; give a file name such as {os.path.join(path, 'out.tif')}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CalcError(f"-o {path}: no such directory: {folder}")
    if not os.access(folder, os.W_OK):
        raise CalcError(f"-o {path}: cannot write in {folder}")
    if os.path.exists(path):
        for source in sources:
            if os.path.exists(source.path) and os.path.samefile(path, source.path):
                raise CalcError(f"-o {path} is also the input -b {source.name}; write to another file")
        if not overwrite:
            raise CalcError(f"{path} exists; pass --overwrite to replace it")


def _temporary_beside(path: str, tag: str) -> str:
    folder = os.path.dirname(os.path.abspath(path))
    fd, name = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=f".kelvane-{tag}", dir=folder)
    os.close(fd)
    return name


def _remove(path: Optional[str]) -> None:
    if not path:
        return
    for name in (path, path + ".aux.xml", path + ".ovr", path + ".msk"):
        try:
            os.unlink(name)
        except FileNotFoundError:
            pass
        except OSError:
            pass


def _publish(temp: str, path: str) -> None:
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(temp, 0o666 & ~umask)  # mkstemp's 0600 is for the temporary file, not the result
    os.replace(temp, path)
    _remove_stale_sidecar(path)


def _remove_stale_sidecar(path: str) -> None:
    # Statistics of an earlier output in OUT.tif.aux.xml would describe the old pixels.
    try:
        os.unlink(path + ".aux.xml")
    except OSError:
        pass


# ---------------------------------------------------------------------------------------------
# The pipeline


@dataclass
class Timings:
    read: float = 0.0     # summed over the reading threads
    compute: float = 0.0
    write: float = 0.0
    finish: float = 0.0   # closing the file (last tiles compressed), or building the COG
    wall: float = 0.0
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def add_read(self, seconds: float) -> None:
        with self.lock:
            self.read += seconds

    def report(self) -> str:
        share = 100.0 * self.compute / self.wall if self.wall else 0.0
        return (f"{PROG}: wall {self.wall:.2f} s; reading {self.read:.2f} s (summed over threads), "
                f"computing {self.compute:.2f} s ({share:.1f} % of wall), writing {self.write:.2f} s, "
                f"finishing {self.finish:.2f} s")


class _Buffers:
    """Arrays handed back once used, so that a window does not fault in fresh pages: the
    pipeline bounds how many are out at a time."""

    def __init__(self) -> None:
        self.free: Dict[Tuple[Tuple[int, ...], str], List[np.ndarray]] = {}
        self.lock = threading.Lock()

    def get(self, shape: Tuple[int, ...], dtype: Any) -> np.ndarray:
        with self.lock:
            stack = self.free.get((shape, np.dtype(dtype).str))
            if stack:
                return stack.pop()
        return np.empty(shape, dtype=dtype)

    def put(self, array: np.ndarray) -> None:
        with self.lock:
            self.free.setdefault((array.shape, array.dtype.str), []).append(array)


class _Reader:
    """Reads the bands of one window; each thread keeps its own open datasets (a GDAL dataset
    must not be used by two threads at once)."""

    def __init__(self, sources: Sequence[BandSource], timings: Timings, buffers: _Buffers) -> None:
        self.sources = sources
        self.timings = timings
        self.buffers = buffers
        self.local = threading.local()
        self.opened: List[Any] = []
        self.lock = threading.Lock()
        # One read per file and type, all its bands at once (a pixel-interleaved file is decoded once).
        groups: Dict[Tuple[str, str], List[int]] = {}
        for s in sources:
            bands = groups.setdefault((s.path, s.dtype), [])
            if s.band not in bands:
                bands.append(s.band)
        self.groups = groups

    def _dataset(self, path: str) -> Any:
        import rasterio  # type: ignore[import-untyped,unused-ignore]

        cache = getattr(self.local, "datasets", None)
        if cache is None:
            cache = self.local.datasets = {}
        ds = cache.get(path)
        if ds is None:
            ds = cache[path] = rasterio.open(path)
            with self.lock:
                self.opened.append(ds)
        return ds

    def read(self, window: Tuple[int, int, int, int]) -> Tuple[Dict[str, np.ndarray], List[np.ndarray]]:
        """The window's bands by symbol, and the blocks holding them (to hand back when done)."""
        from rasterio.windows import Window  # type: ignore[import-untyped,unused-ignore]

        start = time.perf_counter()
        row, col, height, width = window
        w = Window(col, row, width, height)
        arrays: Dict[Tuple[str, int], np.ndarray] = {}
        blocks = []
        for (path, dtype), bands in self.groups.items():
            block = self.buffers.get((len(bands), height, width), dtype)
            blocks.append(block)
            self._dataset(path).read(bands, window=w, out=block)
            for i, band in enumerate(bands):
                arrays[(path, band)] = block[i]
        self.timings.add_read(time.perf_counter() - start)
        return {s.symbol: arrays[(s.path, s.band)] for s in self.sources}, blocks

    def close(self) -> None:
        with self.lock:
            for ds in self.opened:
                try:
                    ds.close()
                except Exception:
                    pass
            self.opened.clear()


class _Writer(threading.Thread):
    """Writes computed windows in order on its own thread; a bounded queue holds the rest."""

    def __init__(self, dst: Any, timings: Timings, progress: Any, depth: int, buffers: _Buffers) -> None:
        super().__init__(name="kelvane-calc-writer", daemon=True)
        self.dst = dst
        self.buffers = buffers
        self.timings = timings
        self.progress = progress
        self.queue: "queue.Queue[Optional[Tuple[Tuple[int, int, int, int], np.ndarray]]]" = queue.Queue(depth)
        self.error: Optional[BaseException] = None
        self.abandoned = False

    def run(self) -> None:
        from rasterio.windows import Window  # type: ignore[import-untyped,unused-ignore]

        while True:
            item = self.queue.get()
            if item is None:
                return
            if self.error is not None or self.abandoned:
                continue  # keep draining so the producer never blocks
            (row, col, height, width), data = item
            start = time.perf_counter()
            try:
                self.dst.write(data, 1, window=Window(col, row, width, height))
            except BaseException as exc:  # reported by the main thread
                self.error = exc
                continue
            self.timings.write += time.perf_counter() - start
            self.buffers.put(data)
            if self.progress is not None:
                self.progress.update(height * width)

    def put(self, item: Any) -> None:
        while True:
            if self.error is not None:
                raise self.error
            try:
                self.queue.put(item, timeout=0.1)
                return
            except queue.Full:
                continue

    def stop(self) -> None:
        """Ends the thread after the write in progress, dropping what is queued."""
        self.abandoned = True
        while True:
            try:
                self.queue.put(None, timeout=0.1)
                break
            except queue.Full:
                continue
        self.join()


def _progress_bar(total: int, quiet: bool, label: str) -> Any:
    if quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, unit="px", unit_scale=True, desc=label, file=sys.stderr, leave=False,
                dynamic_ncols=True)


def _reader_threads(requested: Optional[int]) -> int:
    if requested is not None:
        if requested < 1:
            raise CalcError("--threads must be at least 1")
        return requested
    try:
        cpus = len(os.sched_getaffinity(0))
    except AttributeError:
        cpus = os.cpu_count() or 1
    return max(1, min(4, cpus))


def run_pipeline(job: Job, grid: Grid, dst: Any, window: Tuple[int, int], threads: int,
                 timings: Timings, progress: Any) -> None:
    """Read ahead on `threads` threads, compute here, write on one thread, in window order."""
    rows, cols = window
    buffers = _Buffers()
    reader = _Reader(job.sources, timings, buffers)
    writer = _Writer(dst, timings, progress, depth=2, buffers=buffers)
    writer.start()
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="kelvane-calc-reader")
    pending: "List[Tuple[Tuple[int, int, int, int], Any]]" = []
    todo = windows(grid, rows, cols)
    ahead = threads + 1
    finished = False
    try:
        for w in todo:
            pending.append((w, pool.submit(reader.read, w)))
            if len(pending) >= ahead:
                break
        while pending:
            w, future = pending.pop(0)
            arrays, blocks = future.result()
            nxt = next(todo, None)
            if nxt is not None:
                pending.append((nxt, pool.submit(reader.read, nxt)))
            out = buffers.get((w[2], w[3]), np.float32)
            start = time.perf_counter()
            job.compute(arrays, out)
            timings.compute += time.perf_counter() - start
            del arrays
            for block in blocks:
                buffers.put(block)
            writer.put((w, out))
        writer.put(None)
        writer.join()
        if writer.error is not None:
            raise writer.error
        finished = True
    finally:
        if not finished:
            for _, future in pending:
                future.cancel()
            writer.stop()
        pool.shutdown(wait=True, cancel_futures=True)
        reader.close()


# ---------------------------------------------------------------------------------------------
# Main


def list_indices(word: str) -> int:
    from kelvane_indices import search

    entries = sorted(search(word), key=lambda e: e.short_name.lower())
    if not entries:
        print(f"{PROG}: no index of the catalogue matches {word!r}", file=sys.stderr)
        return 1
    long_width = min(60, max(len(e.long_name) for e in entries))
    name_width = max(len(e.short_name) for e in entries)
    bands = [", ".join(e.bands) for e in entries]
    bands_width = min(24, max(len(b) for b in bands))
    for entry, band_text in zip(entries, bands):
        long_name = entry.long_name
        if len(long_name) > long_width:
            long_name = long_name[:long_width - 3] + "..."
        print(f"{entry.short_name:<{name_width}}  {long_name:<{long_width}}  {band_text:<{bands_width}}  "
              f"{entry.domain}")
    return 0


def _version() -> str:
    try:
        from kelvane_indices import __version__
    except ImportError:
        return "unknown"
    return __version__


def _metadata(job: Job) -> Dict[str, str]:
    tags = {"KELVANE_FORMULA": job.formula, "KELVANE_VERSION": _version(),
            "KELVANE_BANDS": " ".join(f"{s.symbol}={os.path.basename(s.path)}:{s.band}" for s in job.sources)}
    if job.index:
        tags["KELVANE_INDEX"] = job.index
    if job.constants:
        tags["KELVANE_CONSTANTS"] = " ".join(f"{k}={v:g}" for k, v in job.constants.items())
    for what, values in (("SCALE", job.scale), ("OFFSET", job.offset),
                         ("NODATA", {k: v for k, v in job.nodata.items() if v is not None})):
        if values:
            tags[f"KELVANE_{what}"] = " ".join(f"{k}={v:g}" for k, v in values.items())
    return tags


def _dry_run(job: Job) -> None:
    """One pixel of zeros through the engine: refuses what the formula cannot take before any I/O."""
    arrays = {s.symbol: np.zeros((1, 1), dtype=s.dtype) for s in job.sources}
    try:
        job.compute(arrays, np.empty((1, 1), dtype=np.float32))
    except (ValueError, TypeError) as exc:
        raise CalcError(_one_line(exc)) from None


def calculate(args: argparse.Namespace) -> int:
    if args.expression is None:
        raise CalcError(f"give an index or a formula, e.g. {PROG} NDVI -b N=B08.tif -b R=B04.tif -o ndvi.tif "
                        f"(see {PROG} --help)")
    if not args.output:
        raise CalcError("give the output file with -o OUT.tif")
    if not args.band:
        raise CalcError("give the bands with -b SYMBOL=PATH[:BAND], e.g. -b N=B08.tif")
    job = resolve(args)
    requested = parse_block_size(args.block_size)
    threads = _reader_threads(args.threads)
    rasterio = _import_rasterio()
    from rasterio.errors import RasterioError  # type: ignore[import-untyped,unused-ignore]

    gdal_options = {} if "GDAL_CACHEMAX" in os.environ else {"GDAL_CACHEMAX": GDAL_CACHE_MB}
    with warnings.catch_warnings(), rasterio.Env(**gdal_options):
        warnings.simplefilter("ignore", rasterio.errors.NotGeoreferencedWarning)
        grid = open_inputs(job)
        apply_nodata(job)
        options = creation_options(args.co)
        check_output(args.output, args.overwrite, job.sources)
        _dry_run(job)
        tile = (int(options["BLOCKYSIZE"]), int(options["BLOCKXSIZE"]))
        window = window_shape(grid, job.sources, tile, requested)

        timings = Timings()
        started = time.perf_counter()
        temp = cog_temp = None
        progress = None
        interrupted = False
        try:
            temp = _temporary_beside(args.output, "tmp")
            profile = dict(driver="GTiff", width=grid.width, height=grid.height, count=1, dtype="float32",
                           crs=grid.crs, transform=grid.transform, nodata=float("nan"))
            if args.cog:  # a plain tiled staging file; the COG driver compresses it once, with overviews
                stage_options = {k: v for k, v in options.items()
                                 if k in ("TILED", "BLOCKXSIZE", "BLOCKYSIZE", "BIGTIFF")}
                stage_options["BIGTIFF"] = "IF_NEEDED"
            else:
                stage_options = options
            try:
                dst = rasterio.open(temp, "w", **profile, **stage_options)
            except RasterioError as exc:
                raise CalcError(f"cannot create {args.output}: {_one_line(exc)}") from None
            try:
                dst.update_tags(**_metadata(job))
                dst.set_band_description(1, job.index or job.formula)
                progress = _progress_bar(grid.width * grid.height, args.quiet, os.path.basename(args.output))
                run_pipeline(job, grid, dst, window, threads, timings, progress)
            except RasterioError as exc:
                raise CalcError(f"{_one_line(exc)}") from None
            except RuntimeError as exc:
                raise CalcError(f"computing failed: {_one_line(exc)}") from None
            finally:
                finish = time.perf_counter()
                try:
                    dst.close()  # compresses and writes the last tiles
                except RasterioError as exc:
                    raise CalcError(f"writing {args.output}: {_one_line(exc)}") from None
                timings.finish += time.perf_counter() - finish
            if args.cog:
                finish = time.perf_counter()
                if progress is not None:
                    progress.set_description(f"{os.path.basename(args.output)}: overviews")
                cog_temp = _temporary_beside(args.output, "cog")
                cog_options = {k: v for k, v in options.items() if k not in ("TILED", "BLOCKXSIZE", "BLOCKYSIZE",
                                                                           "PREDICTOR", "ZSTD_LEVEL", "ZLEVEL")}
                cog_options.setdefault("BLOCKSIZE", options.get("BLOCKXSIZE", str(OUTPUT_TILE)))
                predictor = options.get("PREDICTOR", "1")
                cog_options.setdefault("PREDICTOR", {"1": "NO", "2": "STANDARD", "3": "FLOATING_POINT"}.get(
                    predictor, predictor))
                level = options.get("ZSTD_LEVEL") or options.get("ZLEVEL")
                if level:
                    cog_options.setdefault("LEVEL", level)
                cog_options.setdefault("OVERVIEW_RESAMPLING", "AVERAGE")
                try:
                    rasterio.shutil.copy(temp, cog_temp, driver="COG", **cog_options)
                except RasterioError as exc:
                    raise CalcError(f"writing the COG {args.output}: {_one_line(exc)}") from None
                _remove(temp)
                temp, cog_temp = cog_temp, None
                timings.finish += time.perf_counter() - finish
            _publish(temp, args.output)
            temp = None
        except KeyboardInterrupt:
            interrupted = True
        except OSError as exc:
            raise CalcError(f"writing {args.output}: {_one_line(exc)}") from None
        finally:
            if progress is not None:
                progress.close()
            # A second Ctrl-C must not leave the temporary files behind.
            old = _ignore_interrupts()
            try:
                _remove(temp)
                _remove(cog_temp)
            finally:
                _restore_interrupts(old)
        if interrupted:
            print(f"{PROG}: interrupted; {args.output} was not written"
                  + (" (the earlier file is untouched)" if os.path.exists(args.output) else ""), file=sys.stderr)
            return EXIT_INTERRUPTED
        timings.wall = time.perf_counter() - started
    if args.timings:
        print(timings.report(), file=sys.stderr)
    return 0


def _ignore_interrupts() -> Any:
    if threading.current_thread() is not threading.main_thread():
        return None
    return signal.signal(signal.SIGINT, signal.SIG_IGN)


def _restore_interrupts(old: Any) -> None:
    if old is not None:
        signal.signal(signal.SIGINT, old)


class _GdalMessages(logging.Handler):
    """GDAL's warnings (an unknown creation option, say) as one line each on standard error."""

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelno >= logging.WARNING:
            print(f"{PROG}: GDAL: {record.getMessage()}", file=sys.stderr)


def main(argv: Optional[Sequence[str]] = None) -> int:
    handler = _GdalMessages()
    gdal_log = logging.getLogger("rasterio._env")
    gdal_log.addHandler(handler)
    try:
        args = build_parser().parse_args(argv)
        if args.version:
            print(f"{PROG} {_version()}")
            return 0
        if args.list is not None:
            if args.expression is not None:
                raise CalcError("--list takes one WORD; leave out the index or formula")
            return list_indices(args.list)
        return calculate(args)
    except CalcError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # e.g. kelvane-calc --list | head
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except OSError:
            pass
        return 1
    finally:
        gdal_log.removeHandler(handler)


if __name__ == "__main__":
    sys.exit(main())

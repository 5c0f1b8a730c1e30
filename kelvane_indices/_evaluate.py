"""evaluate(): a formula over NumPy, xarray or dask bands, through the engine in one pass."""

from __future__ import annotations

import importlib
import math
import numbers
import struct
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _grammar
from ._program import BandSettings, ChunkFunction, Program, STACK_SLOTS, as_uint16, build, run, run_on_grid

Number = Union[int, float]
PerBand = Union[None, Number, Mapping[str, Number]]

_CACHE_LIMIT = 1024
_parsed: Dict[str, Tuple[List[_grammar.Token], Tuple[str, ...]]] = {}
_programs: Dict[Tuple[Any, ...], Program] = {}


def symbols(formula: str) -> Tuple[str, ...]:
    """The free names of `formula`, each once, in order of first appearance.

    >>> symbols("g * (N - R) / (N + C1 * R - C2 * B + L)")
    ('g', 'N', 'R', 'C1', 'C2', 'B', 'L')
    """
    return _parse(formula)[1]


def _parse(formula: str) -> Tuple[List[_grammar.Token], Tuple[str, ...]]:
    found = _parsed.get(formula) if isinstance(formula, str) else None
    if found is None:
        tokens = _grammar.parse(formula)
        found = (tokens, _grammar.symbols_of(tokens))
        if len(_parsed) >= _CACHE_LIMIT:
            _parsed.clear()
        _parsed[formula] = found
    return found


def _f32_key(value: float) -> bytes:
    """A float as its float32 bits: equal keys give the same program, -0.0 and NaN included."""
    try:
        return struct.pack("<f", value)
    except OverflowError:
        return struct.pack("<f", math.copysign(math.inf, value))


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def _per_band(what: str, setting: PerBand, symbol: str) -> Optional[float]:
    """One band's scale, offset or nodata from one number or a mapping by symbol."""
    if setting is None:
        return None
    if isinstance(setting, Mapping):
        setting = setting.get(symbol)
        if setting is None:
            return None
    if not _is_number(setting):
        raise TypeError(f"{what} for band {symbol!r} is {setting!r}; give a real number, or a mapping "
                        f"from band symbol to number")
    return float(setting)


def _kind(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return "numpy" if value.ndim else "number"
    if _is_number(value):
        return "number"
    module = type(value).__module__
    if module.startswith("xarray") and hasattr(value, "dims"):
        return "xarray"
    if module.startswith("dask") and hasattr(value, "chunks"):
        return "dask"
    return "other"


def _check_band(symbol: str, array: Any) -> None:
    dtype = np.dtype(array.dtype)
    if not (dtype.kind == "b" or (dtype.kind == "u" and dtype.itemsize <= 2)):
        hint = ("pass the raw integer digital numbers with scale=/offset= (for example scale=1e-4 for "
                "Sentinel-2 reflectance)" if dtype.kind == "f" else
                f"convert it with {symbol}.astype(np.uint16) if its values fit 0..65535")
        raise TypeError(f"band {symbol!r} is {dtype}; kelvane reads uint16 (and widens uint8 and bool): {hint}")


def _nodata_for_band(value: Optional[float], dtype: np.dtype) -> Optional[float]:
    """The nodata value a band can actually hold, else None (no sample can equal it)."""
    if value is None or not math.isfinite(value) or value != int(value):
        return None
    top = 1 if dtype.kind == "b" else np.iinfo(dtype).max
    return value if 0 <= value <= top else None


def _xarray_nodata(array: Any) -> Optional[float]:
    """The fill value a DataArray declares (rioxarray and CF conventions), if any."""
    for key in ("_FillValue", "nodata"):
        value = array.attrs.get(key)
        if value is None:
            value = getattr(array, "encoding", {}).get(key)
        if value is not None and _is_number(value):
            return float(value)
    return None


def evaluate(formula: str, bands: Optional[Mapping[str, Any]] = None, *, out: Optional[np.ndarray] = None,
             nodata: PerBand = None, scale: PerBand = None, offset: PerBand = None, **symbols: Any) -> Any:
    """Compute `formula` over bands in float32, in one engine pass.

    Every free name of the formula is looked up in `symbols` (keywords), then in `bands`: an
    array is a band (usually 2-D; any shape, the same for every band), a real number a constant.
    NumPy bands give a NumPy array (written into `out` when given); xarray DataArrays give a
    DataArray with their dims and coords; dask-backed bands give a lazy dask-backed result.
    See docs/formulas.md for the grammar and the numeric contract.
    """
    tokens, names = _parse(formula)
    per_band = scale is not None or offset is not None or nodata is not None
    key: List[Any] = [formula]
    band_order: List[str] = []
    arrays: List[Any] = []
    constants: Dict[str, float] = {}
    settings: Dict[str, BandSettings] = {}
    shape: Optional[Tuple[int, ...]] = None
    lazy = plain = False
    masked = []
    for name in names:
        value = symbols.get(name, _MISSING)
        if value is _MISSING:
            value = _MISSING if bands is None else bands.get(name, _MISSING)
            if value is _MISSING:
                raise ValueError(f"formula {_grammar.shown(formula)} reads {name!r}, which has no value: give {name}=<uint16 "
                                 f"array> for a band or {name}=<number> for a constant")
        vtype = type(value)
        kind = ("number" if vtype is float or vtype is int else
                "numpy" if vtype is np.ndarray and value.ndim else _kind(value))
        if kind == "number":
            try:
                number = constants[name] = float(value)
            except OverflowError:
                raise ValueError(f"constant {name!r} = {value} is too large for float32") from None
            # Keys must tell -0.0 from 0.0 and match NaN: those go in as their float32 bits.
            key.append(number if number == number and number != 0.0 else _f32_key(number))
            continue
        if kind == "other":
            raise TypeError(f"symbol {name!r} is {type(value).__name__}; give a uint16 array (a band) "
                            f"or a real number (a constant)")
        if value.dtype is not _UINT16:
            _check_band(name, value)
        if shape is None:
            shape = value.shape
        elif value.shape != shape:
            first = band_order[0]
            stacked = (name if tuple(value.shape[1:]) == tuple(shape) else
                       first if tuple(shape[1:]) == tuple(value.shape) else None)
            hint = f"; select one band of {stacked!r} first, e.g. {stacked}[0]" if stacked else ""
            raise ValueError(f"bands {first!r} {tuple(shape)} and {name!r} {tuple(value.shape)} differ in "
                             f"shape; every band of one call covers the same pixels{hint}")
        if kind == "numpy":
            plain = True
            if isinstance(value, np.ma.MaskedArray):
                masked.append(value)
                value = value.data
        else:
            lazy = True
        band_order.append(name)
        arrays.append(value)
        if per_band or kind == "xarray":
            band_nodata = _per_band("nodata", nodata, name)
            if band_nodata is None and kind == "xarray":
                band_nodata = _xarray_nodata(value)
            band = (_per_band("scale", scale, name), _per_band("offset", offset, name),
                    _nodata_for_band(band_nodata, np.dtype(value.dtype)))
            settings[name] = band
            key.append(tuple(None if v is None else _f32_key(v) for v in band))
        else:
            settings[name] = _NO_SETTINGS
            key.append(None)

    if lazy and out is not None:
        raise TypeError("out= takes a NumPy array and only with NumPy bands; with xarray or dask bands "
                        "the result is returned")
    mask = _combined_mask(masked) if masked else None
    if mask is not None and lazy:
        raise ValueError("a masked array cannot be combined with dask or xarray bands (its mask would be "
                         "lost): give nodata= instead, or pass every band as a NumPy array")
    key.append(mask is not None)
    cache_key = tuple(key)
    program = _programs.get(cache_key)
    if program is None:
        program = build(tokens, constants, band_order, settings, mask is not None)
        if program.depth > STACK_SLOTS:
            raise ValueError(f"formula {_grammar.shown(formula)} needs {program.depth} stack slots; kelvane evaluates with "
                             f"{STACK_SLOTS}: write it with fewer nested terms")
        if len(_programs) >= _CACHE_LIMIT:
            _programs.clear()
        _programs[cache_key] = program

    if lazy:
        if "xarray" in {_kind(a) for a in arrays}:
            return _apply_xarray(program, arrays, band_order)
        return _map_dask(program, arrays)
    if plain:
        arrays = [a if a.dtype is _UINT16 else as_uint16(a) for a in arrays]
    if mask is not None:
        arrays.append(mask)
    out = _output(out, shape)
    if out.ndim == 2:
        run(program, arrays, out)
    else:
        run_on_grid(program, arrays, out)
    return out


_UINT16 = np.dtype(np.uint16)
_NO_SETTINGS: BandSettings = (None, None, None)
_FLOAT32 = np.dtype(np.float32)
_MISSING = object()


def _output(out: Optional[np.ndarray], shape: Optional[Tuple[int, ...]]) -> np.ndarray:
    if type(out) is np.ndarray and out.dtype is _FLOAT32 and out.shape == shape and out.flags.writeable:
        return out
    if out is None:
        if shape is None:
            raise ValueError("the formula reads no band, so the grid is unknown: pass out= (a float32 array)")
        return np.empty(shape, dtype=np.float32)
    if not isinstance(out, np.ndarray) or isinstance(out, np.ma.MaskedArray):
        raise TypeError(f"out is {type(out).__name__}; give a writeable float32 NumPy array")
    if out.dtype != np.float32 or not out.dtype.isnative:
        raise TypeError(f"out is {out.dtype}; give a writeable float32 array, e.g. np.empty(shape, np.float32)")
    if shape is not None and out.shape != shape:
        raise ValueError(f"out has shape {out.shape}, the bands {shape}; give an output of the bands' shape")
    if not out.flags.writeable:
        raise ValueError("out is read-only; give a writeable float32 array")
    return out


def _combined_mask(arrays: Sequence[np.ndarray]) -> Optional[np.ndarray]:
    """Where any masked-array band is masked, as a uint16 band of 0 and 1; None if nowhere."""
    combined = None
    for array in arrays:
        mask = np.ma.getmask(array)
        if mask is np.ma.nomask or not mask.any():
            continue
        combined = mask.copy() if combined is None else combined | mask
    return None if combined is None else np.asarray(combined, dtype=np.uint16)


def _apply_xarray(program: Program, arrays: Sequence[Any], names: Sequence[str]) -> Any:
    import xarray as xr

    template = next(a for a in arrays if _kind(a) == "xarray")
    dims = template.dims
    inputs = []
    for name, array in zip(names, arrays):
        if _kind(array) != "xarray":
            array = xr.DataArray(array, dims=dims)
        elif array.dims != dims:
            raise ValueError(f"band {name!r} has dims {array.dims}, band {names[0]!r} {dims}; "
                             f"transpose it to {dims} first")
        inputs.append(array)
    try:
        return xr.apply_ufunc(ChunkFunction(program), *inputs, dask="parallelized", join="exact",
                              output_dtypes=[np.float32], keep_attrs=False)
    except ValueError as exc:
        if "align" in str(exc) or "exact" in str(exc):
            raise ValueError(f"the bands' coordinates differ ({exc}); give bands on one grid, e.g. "
                             f"reproject or use xarray.align first") from None
        raise


def _map_dask(program: Program, arrays: Sequence[Any]) -> Any:
    da: Any = importlib.import_module("dask.array")  # optional, and untyped

    first = next(a for a in arrays if _kind(a) == "dask")
    blocks = [a.rechunk(first.chunks) if _kind(a) == "dask" else da.from_array(a, chunks=first.chunks)
              for a in arrays]
    return da.map_blocks(ChunkFunction(program), *blocks, dtype=np.float32,
                         meta=np.empty((0, 0), dtype=np.float32))

"""compute_index(): a catalogue entry with its constant defaults, by name."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Sequence, Union

import numpy as np

from ._evaluate import PerBand, _kind, evaluate
from .catalogue import BAND_NAMES, CONSTANT_NAMES, IndexEntry, lookup
from .sensors import band_map


def _renamed(what: str, values: Any, names: Mapping[str, str]) -> Any:
    """A mapping keyed by product band names (B04, SR_B4) re-keyed by catalogue symbols."""
    if values is None or not isinstance(values, Mapping):
        return values
    result: Dict[str, Any] = {}
    for key, value in values.items():
        symbol = names.get(key, key)
        if symbol in result and result[symbol] is not value:
            raise ValueError(f"{what}: band {symbol!r} is given twice (as {symbol!r} and as {key!r})")
        result[symbol] = value
    return result


def _missing_hint(entry: IndexEntry, name: str) -> str:
    if name in BAND_NAMES:
        return f"band {name!r} ({BAND_NAMES[name]})"
    if name in CONSTANT_NAMES:
        return f"constant {name!r} ({CONSTANT_NAMES[name]}), which has no default"
    return f"{name!r}"


def compute_index(index: Union[str, Sequence[str]], bands: Optional[Mapping[str, Any]] = None, *,
                  constants: Optional[Mapping[str, float]] = None, out: Optional[np.ndarray] = None,
                  nodata: PerBand = None, scale: PerBand = None, offset: PerBand = None,
                  sensor: Optional[str] = None, **symbols: Any) -> Any:
    """Compute a catalogue index (or a list of them) by short name, e.g. "NDVI" or ["NDVI", "EVI"].

    Band symbols are the catalogue's (N, R, G, B, RE1, S1, ...), given in `bands` or as keywords;
    constants take the catalogue's defaults (EVI: g=2.5, C1=6, C2=7.5, L=1), which `constants` or
    keywords override. With `sensor` ("sentinel-2", "landsat-8", "landsat-9") bands may be named
    as the product names them (B04, B08, SR_B4), in `bands`, keywords, `scale`, `offset` and
    `nodata` alike. A list of names returns a dict of results by name.
    """
    if isinstance(index, (list, tuple)):
        if out is not None:
            raise TypeError("out= takes one index; for several, call compute_index once per index with its own out")
        return {name: compute_index(name, bands, constants=constants, nodata=nodata, scale=scale, offset=offset,
                                    sensor=sensor, **symbols) for name in index}
    entry = lookup(index)  # type: ignore[arg-type]  # lookup refuses a non-string
    if sensor is not None:
        renames = band_map(sensor)
        bands = _renamed("bands", bands, renames)
        symbols = _renamed("keywords", symbols, renames)
        nodata, scale, offset = (_renamed(what, value, renames)
                                 for what, value in (("nodata", nodata), ("scale", scale), ("offset", offset)))
    values: Dict[str, Any] = {name: value for name, value in entry.constants.items() if value is not None}
    if constants is not None:
        values.update(constants)
    if bands is not None:
        values.update(bands)
    values.update(symbols)
    for name in entry.bands + tuple(entry.constants):
        if name not in values:
            raise ValueError(f"{entry.short_name} ({entry.long_name}) needs {_missing_hint(entry, name)}: "
                             f"give {name}=... or bands={{{name!r}: ...}}; its formula is {entry.formula}")
    result = evaluate(entry.formula, values, out=out, nodata=nodata, scale=scale, offset=offset)
    if _kind(result) == "xarray":
        result = result.rename(entry.short_name)
        result.attrs.update(long_name=entry.long_name, formula=entry.formula)
    return result

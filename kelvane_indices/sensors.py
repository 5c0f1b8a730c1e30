"""Product band names of Sentinel-2 and Landsat 8/9 to the catalogue's band symbols.

The maps rename bands and nothing else: they assume no scale or offset. A product's digital
numbers become reflectance only with its own scale and offset (scale=, offset=), which differ
between products and processing baselines: see "Scale and offset of common products" in
docs/numerics.md. Band symbols follow the catalogue (Awesome Spectral Indices): N is the broad
near-infrared band (Sentinel-2 B08, Landsat OLI B5) and N2 the narrow one (Sentinel-2 B8A only).
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Dict, Mapping

_SENTINEL_2 = {"B01": "A", "B02": "B", "B03": "G", "B04": "R", "B05": "RE1", "B06": "RE2", "B07": "RE3",
               "B08": "N", "B8A": "N2", "B09": "WV", "B11": "S1", "B12": "S2"}
# Landsat 8 and 9 OLI/TIRS: Level-1 names (B4) and Collection 2 Level-2 names (SR_B4, ST_B10).
_LANDSAT_OLI = {"B1": "A", "B2": "B", "B3": "G", "B4": "R", "B5": "N", "B6": "S1", "B7": "S2",
                "B10": "T1", "B11": "T2", "ST_B10": "T"}
_LANDSAT_OLI.update({f"SR_B{k}": _LANDSAT_OLI[f"B{k}"] for k in range(1, 8)})


def _with_short_names(bands: Dict[str, str]) -> Dict[str, str]:
    """Sentinel-2's B02 is also written B2."""
    extra = {f"B{name[1:].lstrip('0')}": symbol for name, symbol in bands.items() if name[1:].isdigit()}
    return {**bands, **extra}


SENSORS: Mapping[str, Mapping[str, str]] = MappingProxyType({
    "sentinel-2": MappingProxyType(_with_short_names(_SENTINEL_2)),
    "landsat-8": MappingProxyType(dict(_LANDSAT_OLI)),
    "landsat-9": MappingProxyType(dict(_LANDSAT_OLI)),
})
"""Sensor name -> {product band name: catalogue symbol}, e.g. SENSORS["sentinel-2"]["B08"] == "N"."""


def band_map(sensor: str) -> Mapping[str, str]:
    key = sensor.lower().replace("_", "-").replace(" ", "-") if isinstance(sensor, str) else sensor
    key = {"sentinel2": "sentinel-2", "s2": "sentinel-2", "landsat8": "landsat-8", "landsat9": "landsat-9"}.get(key, key)
    if key not in SENSORS:
        raise ValueError(f"unknown sensor {sensor!r}; kelvane knows {', '.join(SENSORS)}")
    return SENSORS[key]

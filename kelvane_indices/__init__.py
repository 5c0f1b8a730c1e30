"""Spectral indices and band math as formulas, on kelvane's bit-exact engine.

    import kelvane_indices as ki
    ndvi = ki.evaluate("(N - R) / (N + R)", N=nir, R=red)
    evi = ki.compute_index("EVI", N=nir, R=red, B=blue, scale=1e-4)

Formulas are parsed, never executed, and compiled once to the engine's postfix programs; every
index of the Awesome Spectral Indices catalogue is in `catalogue` under its own name. NumPy in,
NumPy out; xarray in, xarray out; dask in, lazy dask out. See docs/formulas.md.
"""

from __future__ import annotations

from importlib import metadata as _metadata

from ._compute import compute_index
from ._evaluate import evaluate, symbols
from ._grammar import FormulaError
from .catalogue import IndexEntry, catalogue, search
from .sensors import SENSORS

try:
    __version__ = _metadata.version("kelvane")
except _metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "0+unknown"

__all__ = ["evaluate", "compute_index", "symbols", "catalogue", "search", "IndexEntry", "SENSORS",
           "FormulaError", "__version__"]

"""Run kelvane chunk by chunk under dask: map_blocks over chunked bands, and xarray.apply_ufunc.

kelvane is per-pixel, so a result computed chunk by chunk is bit-identical to one call on the
whole array. Each call releases the interpreter lock and computes on kelvane's own pool of
worker threads, so dask's threaded scheduler runs chunks side by side without contention on
the lock; under dask.distributed each worker process has its own pool.

    import dask.array as da
    from dask_recipes import map_index
    nir = da.from_array(nir_u16, chunks=(2048, 2048))
    red = da.from_array(red_u16, chunks=(2048, 2048))
    ndvi = map_index(kelvane.calculate_normalized_difference_inplace, nir, red).compute()

The wrappers below are small classes rather than closures so that they pickle: dask.distributed
sends them to its worker processes. A CompiledExpr does not pickle, so programs travel as their
instruction lists and are compiled once per worker process.
"""

from __future__ import annotations

import copy
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

import kelvane

if TYPE_CHECKING:
    from kelvane import _Instruction  # the stub's instruction TypedDicts (type checkers only)

__all__ = ["PerChunk", "ProgramPerChunk", "map_index", "map_program", "apply_index", "apply_program"]


class PerChunk:
    """Call an in-place kelvane function on band blocks and return a new float32 block.

    ``PerChunk(kelvane.calculate_evi_inplace, 2.5, 6.0, 7.5, 10000.0)(nir, red, blue)`` is
    ``calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 10000.0, out)`` with a fresh ``out``.
    """

    def __init__(self, func: Callable[..., None], *scalars: float) -> None:
        self.func = func
        self.scalars = tuple(float(s) for s in scalars)

    def __call__(self, *blocks: np.ndarray) -> np.ndarray:
        out = np.empty(blocks[0].shape, dtype=np.float32)
        self.func(*blocks, *self.scalars, out)
        return out

    def __dask_tokenize__(self) -> Tuple[str, Tuple[float, ...]]:
        return (self.func.__name__, self.scalars)


# Compiled programs, per process, keyed by their instructions (CompiledExpr is immutable and
# may be shared by any number of threads at once).
_compiled: Dict[Tuple[Any, ...], "kelvane.CompiledExpr"] = {}


def _program_key(instructions: "Sequence[_Instruction]", num_bands: int) -> Tuple[Any, ...]:
    return (num_bands,) + tuple(tuple(sorted(op.items())) for op in instructions)


class ProgramPerChunk:
    """Run a band-math program on band blocks and return a new float32 block."""

    def __init__(self, instructions: "Sequence[_Instruction]", num_bands: int) -> None:
        self.instructions: "List[_Instruction]" = [copy.copy(op) for op in instructions]
        self.num_bands = num_bands
        self.key = _program_key(self.instructions, num_bands)
        kelvane.compile_expr(self.instructions, num_bands)  # refuse a bad program here, not on a worker

    def __call__(self, *blocks: np.ndarray) -> np.ndarray:
        expr = _compiled.get(self.key)
        if expr is None:
            expr = _compiled.setdefault(self.key, kelvane.compile_expr(self.instructions, self.num_bands))
        out = np.empty(blocks[0].shape, dtype=np.float32)
        kelvane.execute_expr_inplace(expr, list(blocks), out)
        return out

    def __dask_tokenize__(self) -> Tuple[Any, ...]:
        return self.key


def _map(block_func: Callable[..., np.ndarray], bands: Sequence[Any], token: str):
    import dask.array as da

    if not bands:
        raise ValueError("at least one band is needed")
    shapes = {tuple(b.shape) for b in bands}
    if len(shapes) != 1:
        raise ValueError(f"bands differ in shape: {sorted(shapes)}")
    # One kelvane call per output chunk needs the same chunks in every band: follow the first.
    bands = [da.asarray(b) for b in bands]
    bands = [b.rechunk(bands[0].chunks) for b in bands]
    return da.map_blocks(block_func, *bands, dtype=np.float32, meta=np.empty((0, 0), dtype=np.float32),
                         token=token)


def map_index(func: Callable[..., None], *bands: Any, scalars: Sequence[float] = ()):
    """A lazy dask array of ``func`` over chunked uint16 bands (dask arrays of one shape).

    ``func`` is an in-place kelvane function; ``scalars`` are its parameters between the bands
    and ``out_buffer`` (``l`` or ``g, c1, c2, l``). The other bands are rechunked to the first
    band's chunks if theirs differ.
    """
    return _map(PerChunk(func, *scalars), bands, f"kelvane-{func.__name__}")


def map_program(instructions: "Sequence[_Instruction]", *bands: Any):
    """A lazy dask array of a band-math program over chunked bands (band k is ``bands[k]``).

    Every band must have the same shape here, since the blocks of the bands are aligned.
    """
    return _map(ProgramPerChunk(instructions, len(bands)), bands, "kelvane-program")


def apply_index(func: Callable[..., None], *bands: Any, scalars: Sequence[float] = (),
                output_name: Optional[str] = None):
    """``func`` over uint16 ``xarray.DataArray`` bands with ``xarray.apply_ufunc``.

    Dask-backed bands stay lazy (``dask="parallelized"``, one kelvane call per chunk); NumPy-
    backed bands are computed at once. Coordinates are carried over from the bands.
    """
    import xarray as xr

    result = xr.apply_ufunc(PerChunk(func, *scalars), *bands, dask="parallelized",
                            output_dtypes=[np.float32])
    return result.rename(output_name) if output_name else result


def apply_program(instructions: "Sequence[_Instruction]", *bands: Any, output_name: Optional[str] = None):
    """A band-math program over uint16 ``xarray.DataArray`` bands with ``xarray.apply_ufunc``."""
    import xarray as xr

    result = xr.apply_ufunc(ProgramPerChunk(instructions, len(bands)), *bands, dask="parallelized",
                            output_dtypes=[np.float32])
    return result.rename(output_name) if output_name else result

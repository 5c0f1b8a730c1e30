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

A chunk that fails inside kelvane raises RuntimeError (its message is kelvane's, its __cause__
the PanicException), never PanicException itself: PanicException derives from BaseException,
which dask's threaded scheduler hands to the caller past `except Exception`, and which a
dask.distributed client never receives (the computation waits forever). A band-math program
that would fail on every chunk (a band it is not given, a stack under- or overflow) is refused
with ValueError when the graph is built, before any task is sent.

kelvane is imported where it is first used, not at the top of this module, so that a worker
process can restrict its processors (`cpu_share_plugin`) before kelvane's pool sizes itself.
"""

from __future__ import annotations

import contextlib
import copy
import fcntl
import os
import sys
import tempfile
import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple

import numpy as np

if TYPE_CHECKING:
    import kelvane
    from kelvane import _Instruction  # the stub's instruction TypedDicts (type checkers only)

__all__ = ["PerChunk", "ProgramPerChunk", "map_index", "map_program", "apply_index", "apply_program",
           "check_program", "is_panic", "panics_as_errors", "claim_cpu_share", "pin_process_to_cpus",
           "cpu_share_plugin"]

STACK_SLOTS = 64  # kelvane's evaluation stack
_BINARY = frozenset({"add", "sub", "mul", "div", "pow"})
_UNARY = frozenset({"neg", "abs", "sqrt"})


def is_panic(exc: BaseException) -> bool:
    """Whether ``exc`` is kelvane's PanicException (its class is not a module attribute)."""
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


@contextlib.contextmanager
def panics_as_errors() -> Iterator[None]:
    """Turn a kelvane PanicException raised in the block into RuntimeError (same message, the
    panic as ``__cause__``); everything else passes unchanged."""
    try:
        yield
    except BaseException as exc:
        if not is_panic(exc):
            raise
        raise RuntimeError(str(exc)) from exc


def check_program(instructions: "Sequence[_Instruction]", num_bands: int) -> None:
    """Raise ValueError for a program that kelvane would refuse at every pixel when it runs.

    ``compile_expr`` checks names and operands only; the stack depth and the band indices are
    found out at run time, as a PanicException from every chunk. Tracing the stack here turns
    that into one ValueError before any task is sent. Call it after ``compile_expr`` has
    accepted the program, which reports unknown instructions and missing keys itself.
    """
    depth = 0
    for position, op in enumerate(instructions):
        kind = op["type"]
        if kind == "push_band":
            index = int(op["index"])  # type: ignore[typeddict-item]
            if index >= num_bands:
                given = f"{num_bands} band{'s' * (num_bands != 1)}"
                raise ValueError(f"instruction {position} reads band {index}, but the program is given {given}")
            depth += 1
        elif kind == "push_scalar":
            depth += 1
        else:
            if kind not in _BINARY and kind not in _UNARY:
                raise ValueError(f"Unknown op: {kind}")
            needed = 2 if kind in _BINARY else 1
            if depth < needed:
                raise ValueError(f"instruction {position} ({kind}) needs {needed} value{'s' if needed > 1 else ''} "
                                 f"on the stack but finds {depth}: the stack would underflow")
            depth -= needed - 1
        if depth > STACK_SLOTS:
            raise ValueError(f"instruction {position} ({kind}) would put a {depth}th value on the stack, "
                             f"which has {STACK_SLOTS} slots: split the program or reorder it so that "
                             "fewer values wait at once")


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
        with panics_as_errors():
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
    """Run a band-math program on band blocks and return a new float32 block.

    The program is compiled and checked here (``check_program``), so a program that cannot run
    on ``num_bands`` bands is refused with ValueError on the caller's side, not on a worker.
    """

    def __init__(self, instructions: "Sequence[_Instruction]", num_bands: int) -> None:
        import kelvane

        self.instructions: "List[_Instruction]" = [copy.copy(op) for op in instructions]
        self.num_bands = num_bands
        self.key = _program_key(self.instructions, num_bands)
        kelvane.compile_expr(self.instructions, num_bands)  # unknown instructions, missing keys
        check_program(self.instructions, num_bands)

    def __call__(self, *blocks: np.ndarray) -> np.ndarray:
        import kelvane

        with panics_as_errors():
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

    Every band must have the same shape here, since the blocks of the bands are aligned. A
    program that reads a band beyond ``bands`` or does not fit kelvane's stack raises
    ValueError here, before anything is computed.
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


# ---------------------------------------------------------------------------------------------
# Several worker processes on one machine: one share of the processors each

# The shares this process holds, by (shares, lock directory), with their lock file descriptors:
# a lock lasts as long as its open descriptor, so a share is freed when its process ends,
# however it ends.
_held_shares: Dict[Tuple[int, str], Tuple[int, Set[int]]] = {}


def claim_cpu_share(shares: int, lock_dir: Optional[str] = None) -> Optional[Set[int]]:
    """Claim one of ``shares`` disjoint, contiguous parts of the processors this process may use.

    Processes on one machine that call this with the same ``shares`` and ``lock_dir`` get
    different parts (each part is claimed with a lock file held until the process ends).
    Returns the part, or None when every part is already held by another process. A process
    that asks again gets the part it holds.
    """
    if lock_dir is None:
        lock_dir = os.path.join(tempfile.gettempdir(), f"kelvane-cpu-shares-{os.getuid()}")
    held = _held_shares.get((shares, lock_dir))
    if held is not None:
        return set(held[1])
    cpus = sorted(os.sched_getaffinity(0))
    os.makedirs(lock_dir, exist_ok=True)
    for k in range(shares):
        fd = os.open(os.path.join(lock_dir, f"share-{k}-of-{shares}.lock"), os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            continue
        n = len(cpus)
        # More shares than processors: shares wrap around and overlap rather than go empty.
        part = set(cpus[k * n // shares:(k + 1) * n // shares] or [cpus[k % n]])
        _held_shares[(shares, lock_dir)] = (fd, part)
        return set(part)
    return None


def pin_process_to_cpus(cpus: Set[int]) -> None:
    """Restrict every thread of this process, and every thread it starts later, to ``cpus``.

    ``os.sched_setaffinity(0, cpus)`` on Linux sets the calling thread only; a thread keeps the
    set it was started with, and kelvane sizes its pool from the set of the thread that imports
    it. So every thread that exists now is set.
    """
    for tid in os.listdir("/proc/self/task"):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except ProcessLookupError:  # the thread ended meanwhile
            pass


def cpu_share_plugin(shares: int, lock_dir: Optional[str] = None):
    """A ``distributed.WorkerPlugin`` that gives each worker process one of ``shares`` disjoint
    parts of its machine's processors, so that kelvane's pool in each process is sized to its
    part instead of to the whole machine.

    Pass the number of worker processes per machine, and register the plugin before the first
    task (``client.register_plugin(cpu_share_plugin(4))`` right after the client connects):
    kelvane sizes its pool once, when a worker first imports it.
    """
    from distributed import WorkerPlugin

    class KelvaneCPUShare(WorkerPlugin):
        name = "kelvane-cpu-share"

        def __init__(self, shares: int, lock_dir: Optional[str]) -> None:
            self.shares, self.lock_dir = shares, lock_dir

        def setup(self, worker: Any) -> None:
            if "kelvane" in sys.modules:
                warnings.warn(f"worker {worker.name}: kelvane was imported before its processors were "
                              "restricted; its pool keeps one thread per processor of the machine")
            part = claim_cpu_share(self.shares, self.lock_dir)
            if part is None:
                warnings.warn(f"worker {worker.name}: all {self.shares} processor shares are taken; "
                              "not restricting this worker")
                return
            pin_process_to_cpus(part)

    return KelvaneCPUShare(shares, lock_dir)

#!/usr/bin/env python3
"""Throughput of the dask recipe (map_blocks over chunked bands) with 1 and with 2 dask threads.

    python bench/dask_scaling.py [--size 4096] [--chunk 1024] [--repeats 5]

Prints megapixels per second for: one kelvane call on the whole array (into a newly allocated
output, as the recipe allocates one per chunk), the chunked recipe on
dask's threaded scheduler with 1 and 2 threads, and NumPy float32 for reference. kelvane
computes each call on its own pool of worker threads (one per available processor), so a
single dask thread already keeps every core busy: the 2-thread figure shows what running
chunks side by side adds on top of that (overlapping one chunk's Python-side work and
result assembly with another chunk's computation), not a doubling.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import kelvane

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import dask_recipes  # noqa: E402

EVI = (2.5, 6.0, 7.5, 10000.0)


def best_seconds(fn, repeats):
    fn()  # warm-up: page in memory, start threads
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096, help="rows and columns of each band")
    parser.add_argument("--chunk", type=int, default=1024, help="rows and columns of each dask chunk")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    import dask
    import dask.array as da

    n = args.size
    rng = np.random.default_rng(0)
    nir, red, blue = (rng.integers(0, 10000, size=(n, n), dtype=np.uint16) for _ in range(3))
    mpx = n * n / 1e6
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"stack: 3 bands of {n} x {n} uint16 ({mpx:.1f} Mpx each), chunks {args.chunk} x {args.chunk}, "
          f"{cores} cores available, best of {args.repeats}")
    print(f"numpy {np.__version__}, dask {dask.__version__}")
    print()

    cases = {
        "normalized difference": (kelvane.calculate_normalized_difference_inplace, (nir, red), ()),
        "EVI": (kelvane.calculate_evi_inplace, (nir, red, blue), EVI),
    }
    print(f"{'index':<22} {'whole array, 1 call':>20} {'dask 1 thread':>14} {'dask 2 threads':>15} "
          f"{'2 vs 1':>7} {'NumPy f32':>10}")
    for name, (func, bands, scalars) in cases.items():
        def whole_array():
            out = np.empty((n, n), dtype=np.float32)  # a new output each time, as the recipe makes
            func(*bands, *scalars, out)
            return out

        whole_s = best_seconds(whole_array, args.repeats)
        out = whole_array()
        chunked = [da.from_array(b, chunks=(args.chunk, args.chunk)) for b in bands]
        graph = dask_recipes.map_index(func, *chunked, scalars=scalars)
        one_s = best_seconds(lambda: graph.compute(scheduler="threads", num_workers=1), args.repeats)
        two_s = best_seconds(lambda: graph.compute(scheduler="threads", num_workers=2), args.repeats)
        result = graph.compute(scheduler="threads", num_workers=2)
        assert np.array_equal(result.view(np.uint32), out.view(np.uint32)), "chunked result differs"
        eps = np.array(0x2EDBE6FF, dtype=np.uint32).view(np.float32)[()]
        if len(bands) == 2:
            def numpy_ref():
                a, b = nir.astype(np.float32), red.astype(np.float32)
                return (a - b) / ((a + b) + eps)
        else:
            def numpy_ref():
                N, R, B = (x.astype(np.float32) for x in bands)
                g, c1, c2, l = (np.float32(v) for v in scalars)
                return ((N - R) / ((((N + c1 * R) - c2 * B) + l) + eps)) * g
        numpy_s = best_seconds(numpy_ref, max(1, args.repeats // 2))
        print(f"{name:<22} {mpx / whole_s:>14.0f} Mpx/s {mpx / one_s:>8.0f} Mpx/s {mpx / two_s:>9.0f} Mpx/s "
              f"{one_s / two_s:>6.2f}x {mpx / numpy_s:>4.0f} Mpx/s")


if __name__ == "__main__":
    main()

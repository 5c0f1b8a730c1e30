"""What handing a call to the worker pool costs, and what its looking costs.

Workers that run out of work look for more for a while before they sleep, and
a caller looks at its latch before it sleeps on it: back-to-back calls then
skip the 10 to 20 us a thread needs to wake up. This prints

  * back to back: per-call time of the in-place normalized difference at each
    size, median of each of `--chunks` runs of 100 calls (drifts and the
    scheduler's slower states show as changing medians), and numba's kernel
    for the same formula alongside;
  * now and then: one call every `--gap-ms`, the wall time of a call and the
    processor time the whole process spent per call (all threads: the
    caller's and the workers' looking included), against the same for
    back-to-back calls.

    python bench/pool_wait.py [--sizes 256,1024,2048] [--chunks 10] [--gap-ms 5]
"""
import argparse
import statistics
import time

import numpy as np

import kelvane


def numba_kernel():
    try:
        from numba import njit, prange
    except ImportError:  # numba is an optional peer
        return None

    @njit(parallel=True, error_model="numpy")
    def nd(a, b, out, eps):
        for i in prange(a.shape[0]):
            for j in range(a.shape[1]):
                x = np.float32(a[i, j])
                y = np.float32(b[i, j])
                out[i, j] = (x - y) / ((x + y) + eps)

    return nd


def chunk_medians(call, chunks):
    medians = []
    for _ in range(chunks):
        times = []
        for _ in range(100):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        medians.append(statistics.median(times) * 1e6)
    return medians


def per_call_costs(call, calls, gap_s):
    """Median wall time of a call, and process time per call, with `gap_s` between calls."""
    walls = []
    cpu_start = time.process_time()
    for _ in range(calls):
        start = time.perf_counter()
        call()
        walls.append(time.perf_counter() - start)
        if gap_s:
            time.sleep(gap_s)
    cpu = (time.process_time() - cpu_start) / calls
    return statistics.median(walls) * 1e6, cpu * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="256,1024,2048")
    parser.add_argument("--chunks", type=int, default=10)
    parser.add_argument("--gap-ms", type=float, default=5.0)
    args = parser.parse_args()
    numba_nd = numba_kernel()
    eps = np.float32(1e-10)
    rng = np.random.default_rng(0)
    print("back to back, us per call (median of each 100 calls, in order)")
    rare = []
    for n in (int(s) for s in args.sizes.split(",")):
        a = rng.integers(0, 65536, (n, n), dtype=np.uint16)
        b = rng.integers(0, 65536, (n, n), dtype=np.uint16)
        out = np.empty((n, n), np.float32)

        def kelvane_call():
            kelvane.calculate_normalized_difference_inplace(a, b, out)

        kelvane_call()
        print(f"  {n}² kelvane " + " ".join(f"{m:.0f}" for m in chunk_medians(kelvane_call, args.chunks)))
        if numba_nd is not None:
            numba_nd(a, b, out, eps)
            medians = chunk_medians(lambda: numba_nd(a, b, out, eps), args.chunks)
            print(f"  {n}² numba   " + " ".join(f"{m:.0f}" for m in medians))
            # numba's OpenMP threads spin on after their last call; let them sleep
            # before kelvane is timed again.
            time.sleep(0.2)
        calls = max(20, int(0.5 / (args.gap_ms / 1e3)))
        rare.append((n, per_call_costs(kelvane_call, calls, 0.0),
                     per_call_costs(kelvane_call, calls, args.gap_ms / 1e3)))
    print(f"kelvane, us per call: wall (median) and processor time of the process, all threads")
    print(f"  {'size':>6} {'back to back':>22} {'one every %g ms' % args.gap_ms:>22}")
    for n, (wall0, cpu0), (wall1, cpu1) in rare:
        print(f"  {n:>5}² {wall0:9.1f} wall {cpu0:7.1f} cpu {wall1:9.1f} wall {cpu1:7.1f} cpu")


if __name__ == "__main__":
    main()

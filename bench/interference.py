"""How much a kelvane call loses when it runs right after a numba parallel call.

numba's OpenMP threads keep spinning for a while after their parallel region
ends; a kelvane call started in that window shares the processors with them.
Benchmarks that interleave methods call by call measure part of this. Prints
Mpixel/s (best of many calls) for each ordering, on one 2-D grid; then, as a
benchmark that loops each method for a while in turn sees it, kelvane's calls
in the 30 ms that follow a 20 ms loop of numba calls, per 2 ms since that
loop ended (median and mean time per call).

    python bench/interference.py [--size 1024] [--calls 200]
"""
import argparse
import time

import numpy as np

import kelvane

try:
    from numba import njit, prange
except ImportError:  # pragma: no cover - numba is an optional peer
    raise SystemExit("numba is not installed: nothing to interfere with")


@njit(parallel=True)
def numba_nd(a, b, out):
    for i in prange(a.shape[0]):
        for j in range(a.shape[1]):
            x = np.float32(a[i, j])
            y = np.float32(b[i, j])
            out[i, j] = (x - y) / ((x + y) + np.float32(1e-10))


def best_rate(call, pixels, calls, before=None):
    best = float("inf")
    for _ in range(calls):
        if before is not None:
            before()
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return pixels / best / 1e6


def after_loop(call, loop_before, reps=20, loop_s=0.02, window_ms=30, bucket_ms=2):
    """Times of `call` by time since a `loop_s` loop of `loop_before` ended."""
    buckets = {}
    for _ in range(reps):
        end = time.perf_counter() + loop_s
        while time.perf_counter() < end:
            loop_before()
        loop_end = time.perf_counter()
        while True:
            start = time.perf_counter()
            call()
            since_ms = (start - loop_end) * 1e3
            if since_ms >= window_ms:
                break
            buckets.setdefault(int(since_ms // bucket_ms) * bucket_ms, []).append(time.perf_counter() - start)
    return sorted(buckets.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    n = args.size
    rng = np.random.default_rng(0)
    a = rng.integers(0, 65536, (n, n), dtype=np.uint16)
    b = rng.integers(0, 65536, (n, n), dtype=np.uint16)
    out_k = np.empty((n, n), np.float32)
    out_n = np.empty((n, n), np.float32)
    numba_nd(a, b, out_n)  # compile outside the timings

    def kelvane_call():
        kelvane.calculate_normalized_difference_inplace(a, b, out_k)

    def numba_call():
        numba_nd(a, b, out_n)

    pixels = n * n
    print(f"{n}x{n}, normalized difference, Mpixel/s (best of {args.calls} calls)")
    print(f"  kelvane alone              {best_rate(kelvane_call, pixels, args.calls):8.0f}")
    print(f"  kelvane right after numba  {best_rate(kelvane_call, pixels, args.calls, numba_call):8.0f}")
    print(f"  numba alone                {best_rate(numba_call, pixels, args.calls):8.0f}")
    print(f"  numba right after kelvane  {best_rate(numba_call, pixels, args.calls, kelvane_call):8.0f}")
    print("kelvane after a 20 ms loop of numba calls, us per call")
    bucket_ms = 2
    for since_ms, times in after_loop(kelvane_call, numba_call, bucket_ms=bucket_ms):
        times.sort()
        print(f"  {since_ms:2d}-{since_ms + bucket_ms:2d} ms: {len(times):5d} calls, "
              f"median {times[len(times) // 2] * 1e6:7.1f}, mean {sum(times) / len(times) * 1e6:7.1f}")


if __name__ == "__main__":
    main()

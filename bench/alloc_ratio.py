"""The allocating normalized difference beside the in-place call, size by size.

    python bench/alloc_ratio.py [--kelvane-path BUILD_DIR] [--sizes 1024,2048,4096,8192]

Calls alternate (in place, then allocating, its result dropped at once, as a loop over
tiles or frames does); each line gives the median of each and their ratio.
"""
import argparse
import statistics
import sys
import time

import numpy as np


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--kelvane-path", help="import kelvane from this directory first")
    p.add_argument("--sizes", default="1024,2048,4096,8192")
    p.add_argument("--rounds", type=int, default=30)
    args = p.parse_args()
    if args.kelvane_path:
        sys.path.insert(0, args.kelvane_path)
    import kelvane

    rng = np.random.default_rng(1)
    for n in map(int, args.sizes.split(",")):
        a, b = (rng.integers(0, 65536, (n, n), dtype=np.uint16) for _ in range(2))
        out = np.empty((n, n), np.float32)
        in_place, allocating = [], []
        for _ in range(args.rounds):
            start = time.perf_counter()
            kelvane.calculate_normalized_difference_inplace(a, b, out)
            in_place.append(time.perf_counter() - start)
            start = time.perf_counter()
            result = kelvane.calculate_normalized_difference(a, b)
            allocating.append(time.perf_counter() - start)
            del result
        i, m = statistics.median(in_place), statistics.median(allocating)
        print("%5d^2: in place %.2f ms, allocating %.2f ms: %.2f of the in-place speed" % (n, i * 1e3, m * 1e3, i / m))


if __name__ == "__main__":
    main()

"""Paired A/B of two builds of kelvane in one process.

    python bench/ab.py A.so B.so [--op nd] [--layout f_out] [--size 4100] [--rounds 40]
    python bench/ab.py A.so B.so --all [--size 4096]     # every op on every layout, one line each
    python bench/ab.py A.so B.so --all --both-orders     # and again with B loaded first

Both extension modules are loaded side by side and called on the same arrays, alternating
call by call (A then B, then B then A, ...). Each round gives the ratio of the two times; the
median ratio and its quartiles resolve differences of a few percent on a machine whose speed
drifts by far more between minutes. Both outputs must have the same bits.

Which module is loaded first still moves single lines: two byte-identical copies
of one build differed by up to 12% on a band-math line (the 2-core AMD EPYC VM
with AVX-512). --both-orders runs the comparison in two processes, A loaded
first and then B, and gives each line's geometric mean of the two.
"""
import argparse
import importlib.machinery
import importlib.util
import math
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
import workload as bench  # noqa: E402  (programs and band counts)

LAYOUTS = ("contiguous", "f_out", "t_bands", "stepped_bands", "stepped", "transposed", "reversed")


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("kelvane", path)
    found = importlib.util.spec_from_file_location("kelvane", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def views(layout, n, rng):
    def band(cols):
        return rng.integers(0, 65536, (n, cols), dtype=np.uint16)
    if layout == "contiguous":
        return [band(n) for _ in range(3)], np.empty((n, n), np.float32)
    if layout == "f_out":
        return [band(n) for _ in range(3)], np.empty((n, n), np.float32, order="F")
    if layout == "t_bands":
        return [np.ascontiguousarray(band(n).T).T for _ in range(3)], np.empty((n, n), np.float32)
    if layout == "transposed":
        return [np.ascontiguousarray(band(n).T).T for _ in range(3)], np.empty((n, n), np.float32, order="F")
    if layout == "reversed":
        return [band(n)[::-1, ::-1] for _ in range(3)], np.empty((n, n), np.float32)[::-1, ::-1]
    if layout == "stepped_bands":
        return [band(2 * n)[:, ::2] for _ in range(3)], np.empty((n, n), np.float32)
    return [band(2 * n)[:, ::2] for _ in range(3)], np.empty((n, 2 * n), np.float32)[:, ::2]


def caller(k, op, bands, out):
    if op == "nd":
        return lambda: k.calculate_normalized_difference_inplace(bands[0], bands[1], out)
    if op == "ratio":
        return lambda: k.calculate_ratio_inplace(bands[0], bands[1], out)
    if op == "adj":
        return lambda: k.calculate_adjusted_difference_inplace(bands[0], bands[1], 0.5, out)
    if op == "evi":
        return lambda: k.calculate_evi_inplace(bands[0], bands[1], bands[2], 2.5, 6.0, 7.5, 1.0, out)
    name = "expr_" + op
    expr = k.compile_expr(bench.PROGRAMS[name], bench.OPS[name][1])
    used = list(bands[: bench.OPS[name][1]])
    return lambda: k.execute_expr_inplace(expr, used, out)


def compare(modules, op, layout, size, rounds):
    """One paired comparison: the line to print, or exits when the two builds disagree."""
    bands, out = views(layout, size, np.random.default_rng(1))
    calls = [caller(k, op, bands, out) for k in modules]
    calls[0]()
    first = out.copy().view(np.uint32)
    calls[1]()
    if not np.array_equal(first, out.view(np.uint32)):
        sys.exit("%s %s: the two builds give different bits" % (op, layout))
    ratios, times = [], ([], [])
    for r in range(rounds):
        taken = [0.0, 0.0]
        for i in ((0, 1) if r % 2 == 0 else (1, 0)):
            start = time.perf_counter()
            calls[i]()
            taken[i] = time.perf_counter() - start
            times[i].append(taken[i])
        ratios.append(taken[0] / taken[1])
    q1, _, q3 = statistics.quantiles(ratios, n=4)
    px = size * size / 1e6
    return ("%s %s %d^2: B is x%.3f as fast as A (quartiles %.3f-%.3f); best A %.0f, B %.0f Mpx/s"
            % (op, layout, size, statistics.median(ratios), q1, q3, px / min(times[0]), px / min(times[1])))


OP_NAMES = ["nd", "ratio", "adj", "evi", "nd7", "evi17", "savi11", "sqrtpow11", "mix30"]


LINE = re.compile(r"(\S+ \S+ \d+\^2): B is x([\d.]+)")


def both_orders(argv, a, b):
    """Runs this script as A, B and as B, A; prints B's speed over A's, the geometric mean of both."""
    rest = [x for x in argv if x not in (a, b, "--both-orders")]
    ratios = []
    for first, second in ((a, b), (b, a)):
        run = subprocess.run([sys.executable, __file__, first, second] + rest,
                             capture_output=True, text=True, check=True)
        ratios.append(dict(LINE.findall(run.stdout)))
    for cell, forward in ratios[0].items():
        backward = ratios[1][cell]
        print("%s: B is x%.3f as fast as A (x%s with A loaded first, x%.3f with B first)"
              % (cell, math.sqrt(float(forward) / float(backward)), forward, 1 / float(backward)), flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("a")
    p.add_argument("b")
    p.add_argument("--op", default="nd", choices=OP_NAMES)
    p.add_argument("--layout", default="f_out", choices=LAYOUTS)
    p.add_argument("--all", action="store_true", help="every op on every layout (ignores --op and --layout)")
    p.add_argument("--size", type=int, default=4096)
    p.add_argument("--rounds", type=int, default=40)
    p.add_argument("--both-orders", action="store_true", help="also with B loaded first; the geometric mean")
    args = p.parse_args()
    if args.both_orders:
        return both_orders(sys.argv[1:], args.a, args.b)
    modules = [load(path) for path in (args.a, args.b)]
    pairs = [(op, layout) for op in OP_NAMES for layout in LAYOUTS] if args.all else [(args.op, args.layout)]
    for op, layout in pairs:
        print(compare(modules, op, layout, args.size, args.rounds), flush=True)


if __name__ == "__main__":
    main()

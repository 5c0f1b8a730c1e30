#!/usr/bin/env python3
"""kelvane_indices against the raw module call and against its peers, in one run, same arrays.

    python bench/formulas.py                 # 4096 x 4096 (about a minute on 2 cores)
    python bench/formulas.py --size 2048 --rounds 15

Rows (median of paired rounds; each round times every method once, in turn, on the same uint16
bands, so the drift of a shared machine hits all methods alike):
  - `evaluate` of the NDVI and EVI formulas against `kelvane.execute_expr_inplace` of the same
    program (compiled once, output preallocated) and, for NDVI, the fixed index function;
  - NDVI and EVI with `nodata=0` against the same call without it;
  - `compute_index` against `spyndex.computeIndex` (NumPy arrays) and `numexpr.evaluate` of the
    same formula, each on the bands as a user has them (uint16) and allocating its result;
  - the per-call cost of a cached formula on a 16 x 16 grid, against the raw module call.
Every kelvane result is checked bit for bit against the raw module call first.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import kelvane  # noqa: E402
import kelvane_indices as ki  # noqa: E402
from kelvane_indices import _evaluate  # noqa: E402

NDVI = "(N - R) / (N + R)"
EVI = "g * (N - R) / (N + C1 * R - C2 * B + L)"
EVI_CONSTANTS = {"g": 2.5, "C1": 6.0, "C2": 7.5, "L": 1.0}


def program_of(formula, bands, **kwargs):
    """The engine program evaluate() runs for these arguments (from its cache)."""
    ki.evaluate(formula, bands, **kwargs)
    return next(p for key, p in reversed(_evaluate._programs.items()) if key[0] == formula)


def paired(methods, rounds, inner=1):
    """Median seconds per call of each method, over rounds that run every method once in turn."""
    times = {name: [] for name in methods}
    for f in methods.values():
        f()  # warm: compile, fault pages, build tables
    for _ in range(rounds):
        for name, f in methods.items():
            t = time.perf_counter()
            for _ in range(inner):
                f()
            times[name].append((time.perf_counter() - t) / inner)
    return {name: statistics.median(v) for name, v in times.items()}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--out-dir", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(3)
    shape = (args.size, args.size)
    N, R, B = (rng.integers(1, 10000, size=shape, dtype=np.uint16) for _ in range(3))
    N[0, :50] = 0  # a few nodata pixels
    bands = {"N": N, "R": R, "B": B}
    out = np.empty(shape, np.float32)
    ref = np.empty(shape, np.float32)
    rows = []

    def check(formula, **kwargs):
        program = program_of(formula, bands, **kwargs)
        expr = kelvane.compile_expr(program.as_dicts(), program.num_bands)
        arrays = [bands[s] for s in ki.symbols(formula) if s in bands]
        kelvane.execute_expr_inplace(expr, arrays, ref)
        ki.evaluate(formula, bands, out=out, **kwargs)
        assert np.array_equal(out.view(np.uint32), ref.view(np.uint32)), formula
        return expr, arrays

    # 1. evaluate against the raw module call of the same program.
    nd_expr, nd_arrays = check(NDVI)
    evi_expr, evi_arrays = check(EVI, **EVI_CONSTANTS)
    t = paired({
        "raw fixed nd": lambda: kelvane.calculate_normalized_difference_inplace(N, R, out),
        "raw nd program": lambda: kelvane.execute_expr_inplace(nd_expr, nd_arrays, out),
        "evaluate NDVI": lambda: ki.evaluate(NDVI, bands, out=out),
        "raw EVI program": lambda: kelvane.execute_expr_inplace(evi_expr, evi_arrays, out),
        "evaluate EVI": lambda: ki.evaluate(EVI, bands, out=out, **EVI_CONSTANTS),
    }, args.rounds)
    rows += [("evaluate NDVI / raw fixed index call", t["evaluate NDVI"] / t["raw fixed nd"], "<= 1.1"),
             ("evaluate NDVI / raw ND program call", t["evaluate NDVI"] / t["raw nd program"], "<= 1.1"),
             ("evaluate EVI / raw EVI program call", t["evaluate EVI"] / t["raw EVI program"], "<= 1.1")]
    timings = dict(t)

    # 2. nodata in the same pass.
    check(NDVI, nodata=0)
    check(EVI, nodata=0, **EVI_CONSTANTS)
    t = paired({
        "NDVI": lambda: ki.evaluate(NDVI, bands, out=out),
        "NDVI nodata": lambda: ki.evaluate(NDVI, bands, out=out, nodata=0),
        "EVI": lambda: ki.evaluate(EVI, bands, out=out, **EVI_CONSTANTS),
        "EVI nodata": lambda: ki.evaluate(EVI, bands, out=out, nodata=0, **EVI_CONSTANTS),
        "NDVI then NumPy mask": lambda: (ki.evaluate(NDVI, bands, out=out),
                                         np.putmask(out, (N == 0) | (R == 0), np.nan)),
    }, args.rounds)
    rows += [("masked NDVI / unmasked NDVI", t["NDVI nodata"] / t["NDVI"], "<= 1.3"),
             ("masked EVI / unmasked EVI", t["EVI nodata"] / t["EVI"], ""),
             ("NDVI + NumPy putmask pass / unmasked NDVI", t["NDVI then NumPy mask"] / t["NDVI"], "")]
    timings.update({f"mask: {k}": v for k, v in t.items()})

    # 3. compute_index against spyndex and numexpr, each allocating its result.
    peers = {"kelvane compute_index NDVI": lambda: ki.compute_index("NDVI", bands),
             "kelvane compute_index EVI": lambda: ki.compute_index("EVI", bands)}
    try:
        import numexpr
        numexpr.set_num_threads(os.cpu_count() or 1)
        peers["numexpr NDVI"] = lambda: numexpr.evaluate(NDVI, local_dict=bands)
        peers["numexpr EVI"] = lambda: numexpr.evaluate(EVI, local_dict={**bands, **EVI_CONSTANTS})
    except ImportError:
        print("numexpr not installed: its rows are skipped", file=sys.stderr)
    try:
        import spyndex
        peers["spyndex NDVI"] = lambda: spyndex.computeIndex("NDVI", params=bands)
        peers["spyndex EVI"] = lambda: spyndex.computeIndex("EVI", params={**bands, **EVI_CONSTANTS})
    except ImportError:
        print("spyndex not installed: its rows are skipped", file=sys.stderr)
    t = paired(peers, max(3, args.rounds // 3))
    for index in ("NDVI", "EVI"):
        for peer in ("numexpr", "spyndex"):
            if f"{peer} {index}" in t:
                rows.append((f"{peer} {index} / kelvane compute_index {index}",
                             t[f"{peer} {index}"] / t[f"kelvane compute_index {index}"], ">= 1 (kelvane faster)"))
    timings.update({f"peers: {k}": v for k, v in t.items()})

    # 4. Per-call cost of a cached formula on 16 x 16.
    small = {k: v[:16, :16].copy() for k, v in bands.items()}
    small_out = np.empty((16, 16), np.float32)
    small_nd = [small["N"], small["R"]]
    small_evi = [small[s] for s in ki.symbols(EVI) if s in small]
    t = paired({
        "raw nd program 16x16": lambda: kelvane.execute_expr_inplace(nd_expr, small_nd, small_out),
        "evaluate NDVI 16x16": lambda: ki.evaluate(NDVI, small, out=small_out),
        "raw EVI program 16x16": lambda: kelvane.execute_expr_inplace(evi_expr, small_evi, small_out),
        "evaluate EVI 16x16": lambda: ki.evaluate(EVI, small, out=small_out, **EVI_CONSTANTS),
        "compute_index EVI 16x16": lambda: ki.compute_index("EVI", small, out=small_out),
    }, args.rounds, inner=2000)
    timings.update({k: v for k, v in t.items()})

    px = args.size * args.size
    print(f"kelvane_indices at {args.size} x {args.size}, {args.rounds} paired rounds, "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
          f"NumPy {np.__version__}")
    print(f"\n{'method':48} {'ms':>9} {'Mpx/s':>9}")
    for name, sec in timings.items():
        if "16x16" in name:
            print(f"{name:48} {sec * 1e6:8.2f}us")
        else:
            print(f"{name:48} {sec * 1e3:9.2f} {px / sec / 1e6:9.0f}")
    print(f"\n{'ratio':48} {'value':>9}  target")
    for name, value, target in rows:
        print(f"{name:48} {value:9.2f}  {target}")
    args.out_dir.mkdir(parents=True, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S", time.gmtime())
    path = args.out_dir / f"formulas-{stamp}.json"
    path.write_text(json.dumps({"size": args.size, "rounds": args.rounds, "seconds": timings,
                                "ratios": {n: v for n, v, _ in rows}}, indent=1))
    print(f"\nwritten: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

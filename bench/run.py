#!/usr/bin/env python3
"""Times kelvane against NumPy, numexpr, numba and a memory-limit kernel, side by side in one run.

Every method runs on the same uint16 arrays in the same process; repetitions are
interleaved so that drifts of a shared machine hit all methods alike, and every
output is compared bit for bit with a NumPy float32 reference before any time
counts.  See bench/README.md for what each row and column means.

    python bench/run.py                 # 256^2 .. 8192^2, layouts at 4096^2 and 4100^2, overhead
    python bench/run.py --quick         # 256^2, 1024^2, 2048^2, fewer repetitions
    python bench/run.py --sizes 512 2000x3000 --ops nd expr_evi17
"""

import argparse
import datetime
import faulthandler
import gc
import json
import os
import sys
import time

import numpy as np

from workload import F32, FORMULA, OPS, PROGRAMS, make_bands, parse_sizes, size_label
from methods import Env
from timing import is_noisy, run_group, run_layouts, run_overhead
from report import (
    draw_chart, machine_info, print_header, print_layouts, print_op_table, print_overhead,
    summarize)

# ----------------------------------------------------------------------------

def main(argv=None):
    p = argparse.ArgumentParser(description="Benchmark kelvane against NumPy, numexpr, numba "
                                "and a same-traffic memory-limit kernel.")
    p.add_argument("--quick", action="store_true",
                   help="256^2, 1024^2, 2048^2, layouts at 2048^2, fewer repetitions")
    p.add_argument("--sizes", nargs="+", help="square sizes or HxW, e.g. 512 2000x3000")
    p.add_argument("--ops", nargs="+", choices=list(OPS), help="subset of ops (default: all)")
    p.add_argument("--out-dir", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     "results"),
                   help="where the JSON and the PNG go (default: bench/results/)")
    p.add_argument("--reps", type=int, help="rounds of interleaved repetitions per group")
    p.add_argument("--min-reps", type=int, default=3, help="rounds run even over the budget")
    p.add_argument("--budget", type=float, help="seconds per group before stopping at --min-reps")
    p.add_argument("--min-rep-ms", type=float, default=20.0,
                   help="a repetition repeats the call until it lasts this long")
    p.add_argument("--settle-ms", type=float, default=30.0,
                   help="pause before each repetition, so that no method starts while another's "
                   "threads still spin (0: none)")
    p.add_argument("--threads", type=int, help="threads for numexpr, numba and the C kernel "
                   "(default: the CPUs available; kelvane sizes its own pool)")
    p.add_argument("--seed", type=int, default=20240611)
    p.add_argument("--layout-size", type=int, nargs="+",
                   help="sides of the layout arrays (default 4096 4100, quick 2048)")
    p.add_argument("--no-layouts", action="store_true")
    p.add_argument("--no-overhead", action="store_true")
    p.add_argument("--no-chart", action="store_true")
    p.add_argument("--wait-quiet", type=float, default=0.0, metavar="S",
                   help="before each group, wait up to S seconds for the other processes to go quiet")
    p.add_argument("--hang-timeout", type=float, default=300.0, metavar="S",
                   help="if one group (or the layouts plus overhead) takes longer than S seconds, "
                   "print every thread's stack and exit (0: never)")
    p.add_argument("--kelvane-path", help="directory put first on sys.path to import kelvane from")
    args = p.parse_args(argv)

    if args.kelvane_path:
        sys.path.insert(0, os.path.abspath(args.kelvane_path))
    if args.threads is None:
        args.threads = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
            else (os.cpu_count() or 1)
    if args.sizes:
        sizes = parse_sizes(args.sizes)
    elif args.quick:
        sizes = [(256, 256), (1024, 1024), (2048, 2048)]
    else:
        sizes = [(256, 256), (1024, 1024), (4096, 4096), (8192, 8192)]
    if args.reps is None:
        args.reps = 3 if args.quick else 7
    args.min_reps = min(args.min_reps, args.reps)
    if args.budget is None:
        args.budget = 1.0 if args.quick else 4.0
    if args.layout_size is None:
        # 4100: rows a distance apart that is not a multiple of a cache line, as in most images
        args.layout_size = [2048] if args.quick else [4096, 4100]
    ops = args.ops or list(OPS)

    t_run = time.perf_counter()
    if args.hang_timeout > 0:
        # a call that never returns (a lost wake-up in some pool) ends the run with the stacks
        faulthandler.dump_traceback_later(args.hang_timeout, repeat=False, exit=True)
    notes = []
    env = Env(args, notes)
    info = machine_info(env)
    print_header(info, args, sizes)
    for n in notes:
        print("note: " + n)
    if notes:
        print()

    rows = []
    for (h, w) in sizes:
        bands3 = make_bands(h, w, args.seed, 3)
        refs = {}
        for op in ops:
            nb = OPS[op][1]
            bands = bands3[:nb]
            f = FORMULA[op]
            if f not in refs:
                refs[f] = env.ref.compute(f, bands)
            if args.hang_timeout > 0:
                faulthandler.dump_traceback_later(args.hang_timeout, repeat=False, exit=True)
            group, load = run_group(env, op, bands, refs[f], lambda: np.empty((h, w), F32), args,
                                    size_label(h, w))
            if args.wait_quiet > 0 and is_noisy(*load):
                # measured while other processes were busy: measure once more, keep the second
                group, load = run_group(env, op, bands, refs[f], lambda: np.empty((h, w), F32),
                                        args, size_label(h, w))
                for r in group:
                    r["remeasured"] = True
            rows.extend(group)
            print("  measured %-15s %-10s (%.0f s)" % (op, size_label(h, w),
                                                     time.perf_counter() - t_run),
                  file=sys.stderr, flush=True)
        del bands3, refs
        gc.collect()
    print()
    for op in ops:
        print_op_table(op, rows, sizes)

    if args.hang_timeout > 0:
        faulthandler.dump_traceback_later(args.hang_timeout, repeat=False, exit=True)
    layout_rows = []
    if not args.no_layouts:
        for n in args.layout_size:
            rows_n = run_layouts(env, args, ops, n)
            if not rows_n:
                print("layouts: skipped (kelvane not available)\n")
                break
            print_layouts(rows_n)
            print()
            layout_rows += rows_n
    ovh_rows = [] if args.no_overhead else run_overhead(env, args)
    print_overhead(ovh_rows)
    faulthandler.cancel_dump_traceback_later()
    summary = summarize(rows, layout_rows, ovh_rows, sizes)
    elapsed = time.perf_counter() - t_run

    os.makedirs(args.out_dir, exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d-%H%M%S")
    base = os.path.join(args.out_dir, "run-%s%s" % (stamp, "-quick" if args.quick else ""))
    info["loadavg_end"] = os.getloadavg()
    doc = {"machine": info, "argv": sys.argv[1:], "notes": notes,
           "config": {"sizes": [list(s) for s in sizes], "ops": ops, "reps": args.reps,
                      "min_reps": args.min_reps, "budget_s": args.budget,
                      "min_rep_ms": args.min_rep_ms, "settle_ms": args.settle_ms, "seed": args.seed,
                      "layout_size": args.layout_size, "eps_bits": "0x2EDBE6FF",
                      "programs": PROGRAMS},
           "results": rows, "layouts": layout_rows, "overhead": ovh_rows, "summary": summary,
           "elapsed_s": round(elapsed, 1)}
    with open(base + ".json", "w") as fh:
        json.dump(doc, fh, indent=1, default=lambda o: o.item() if hasattr(o, "item") else str(o))
    written = [base + ".json"]
    if not args.no_chart:
        try:
            title = "kelvane benchmark, %s, %s cores (affinity %s), %s UTC" % (
                info["cpu"], info["cores"], info["affinity"], stamp)
            draw_chart(base + ".png", rows, layout_rows, ovh_rows, ops, sizes, title)
            written.append(base + ".png")
        except ImportError:
            print("note: matplotlib not available: no chart")
    print("wrote %s  (run took %.0f s)" % ("  ".join(written), elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())


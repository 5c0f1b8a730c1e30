"""Timing on a shared machine: bit comparison before any time counts, the load of the
other processes, interleaved rounds, and the layout and per-call overhead groups."""

import gc
import os
import statistics
import time
import timeit

import numpy as np

from workload import (
    ADJ_L, ALLOC_LIMIT_METHODS, EVI_C1, EVI_C2, EVI_G, EVI_L, F32, FORMULA, LAYOUTS,
    LAYOUT_OPS, LIMIT_METHODS, OPS, PROGRAMS, layout_views, make_bands)
from methods import Runner, kelvane_call, np_nd

# ----------------------------------------------------------------------------
# Bit comparison

def _ordered(bits_u32):
    """Maps float32 bit patterns to integers in the order of the floats (for ulp distances)."""
    i = bits_u32.view(np.int32).astype(np.int64)
    return np.where(i < 0, -(2 ** 31) - i, i)


def compare(got, ref, bands):
    if got is None:
        return {"exact": False, "error": "no output"}
    g = np.ascontiguousarray(got)
    if g.shape != ref.shape or g.dtype != F32:
        return {"exact": False, "error": "shape/dtype %s %s" % (g.shape, g.dtype)}
    gb = g.view(np.uint32)
    rb = ref.view(np.uint32)
    bad = gb != rb
    n = int(np.count_nonzero(bad))
    if n == 0:
        return {"exact": True}
    idx = np.flatnonzero(bad)
    d = np.abs(_ordered(gb.ravel()[idx]) - _ordered(rb.ravel()[idx]))
    first = int(idx[0])
    r, c = divmod(first, ref.shape[1])
    return {"exact": False, "mismatches": n, "share": n / ref.size, "max_ulp": int(d.max()),
            "first": {"row": r, "col": c,
                      "inputs": [int(np.ascontiguousarray(b)[r, c]) for b in bands],
                      "got": repr(float(g[r, c])), "ref": repr(float(ref[r, c])),
                      "got_bits": "0x%08X" % int(gb[r, c]), "ref_bits": "0x%08X" % int(rb[r, c])}}


def mismatch_text(chk):
    if chk is None:
        return "unchecked"
    if chk.get("exact"):
        return "exact"
    if "failed" in chk:
        return "FAILED: %s" % chk["failed"]
    if "error" in chk:
        return "MISMATCH (%s)" % chk["error"]
    f = chk["first"]
    return ("MISMATCH %d px (%.3g%%), max %d ulp; first at (%d,%d) inputs %s: got %s (%s) ref %s (%s)"
            % (chk["mismatches"], 100 * chk["share"], chk["max_ulp"], f["row"], f["col"],
               f["inputs"], f["got"], f["got_bits"], f["ref"], f["ref_bits"]))


# ----------------------------------------------------------------------------
# Load from other processes (a shared machine makes numbers noisy)

CLK = os.sysconf("SC_CLK_TCK")


def cpu_snapshot():
    with open("/proc/stat") as fh:
        f = [int(x) for x in fh.readline().split()[1:]]
    busy = f[0] + f[1] + f[2] + f[5] + f[6]
    steal = f[7] if len(f) > 7 else 0
    t = os.times()
    return time.monotonic(), busy / CLK, steal / CLK, t.user + t.system


def load_between(s0, s1):
    wall = max(s1[0] - s0[0], 1e-9)
    ncpu = os.cpu_count() or 1
    other = max(0.0, (s1[1] - s0[1]) - (s1[3] - s0[3])) / (ncpu * wall)
    steal = max(0.0, s1[2] - s0[2]) / (ncpu * wall)
    return round(other, 3), round(steal, 3)


# ----------------------------------------------------------------------------
# Timing

def is_noisy(other, steal):
    return other > 0.05 or steal > 0.1


def wait_quiet(max_s, window=1.0):
    """Waits (at most max_s seconds) for a window in which other processes use under 5% of the CPUs."""
    if max_s <= 0:
        return 0.0
    t0 = time.monotonic()
    while time.monotonic() - t0 < max_s:
        s0 = cpu_snapshot()
        time.sleep(window)
        other, steal = load_between(s0, cpu_snapshot())
        if not is_noisy(other, steal):
            break
    return time.monotonic() - t0


def time_group(runners, reps, min_reps, budget_s, min_rep_s, settle_s=0.0):
    """Interleaved repetitions: each round times every runner once, in a rotating order.

    Each repetition starts `settle_s` after the previous one ended: OpenMP runtimes
    (numba's, the C limit kernel's) keep their threads spinning for about 10 ms after
    a parallel region, and a method timed in that window shares a processor with them
    (bench/interference.py times that case on its own). In a plain rotation the
    same method would always follow the same one."""
    t_start = time.perf_counter()
    gc.collect()
    gc.disable()
    try:
        for rep in range(reps):
            k = rep % len(runners)
            for r in runners[k:] + runners[:k]:
                if settle_s > 0:
                    time.sleep(settle_s)
                n = 0
                t0 = time.perf_counter()
                while True:
                    r.fn()
                    n += 1
                    el = time.perf_counter() - t0
                    if el >= min_rep_s:
                        break
                r.times.append(el / n)
            if rep + 1 >= min_reps and time.perf_counter() - t_start > budget_s:
                break
    finally:
        gc.enable()


def fill_nan(arr):
    if arr is not None:
        arr[...] = np.nan  # unwritten pixels then show up as mismatches


def run_group(env, op, bands, ref, make_out, args, label):
    """Warm up and check every method, then time them interleaved; returns result rows."""
    runners = env.runners(op, bands, make_out)
    lim_ref = None
    for r in runners:
        fill_nan(r.out)
        try:
            r.fn()  # warm-up
        except Exception as exc:
            r.check = {"exact": False, "failed": "%s: %s" % (exc.__class__.__name__, exc)}
            continue
        if r.method in LIMIT_METHODS + ALLOC_LIMIT_METHODS:
            if lim_ref is None:
                lim_ref = env.ref.compute("limit", bands)
            r.check = compare(r.output(), lim_ref, bands)
        else:
            r.check = compare(r.output(), ref, bands)
    timed = [r for r in runners if "failed" not in r.check]
    wait_quiet(args.wait_quiet)
    s0 = cpu_snapshot()
    time_group(timed, args.reps, args.min_reps, args.budget, args.min_rep_ms / 1000.0,
               args.settle_ms / 1000.0)
    s1 = cpu_snapshot()
    other, steal = load_between(s0, s1)
    h, w = bands[0].shape
    px = h * w
    nbands = len(bands)
    rows = []
    for r in runners:
        row = {"op": op, "size": label, "h": h, "w": w, "method": r.method,
               "exact": bool(r.check.get("exact")), "check": r.check,
               "check_text": mismatch_text(r.check), "reps": len(r.times),
               "load_other": other, "steal": steal}
        if r.times:
            best = min(r.times)
            med = statistics.median(r.times)
            row.update(best_s=best, med_s=med, mpx_best=px / best / 1e6, mpx_med=px / med / 1e6,
                       gbps=px * (2 * nbands + 4) / best / 1e9)
        rows.append(row)
    _add_ratios(rows)
    return rows, (other, steal)


def _add_ratios(rows):
    def best_of(methods, key):
        vals = [r[key] for r in rows if r["method"] in methods and key in r and r["exact"]]
        return min(vals) if vals else None
    lim_b = best_of(LIMIT_METHODS, "best_s")
    lim_m = best_of(LIMIT_METHODS, "med_s")
    alloc_b = best_of(ALLOC_LIMIT_METHODS, "best_s")
    alloc_m = best_of(ALLOC_LIMIT_METHODS, "med_s")
    kel = [r for r in rows if r["method"] == "kelvane" and "best_s" in r]
    for r in rows:
        if "best_s" not in r:
            continue
        if lim_b:
            r["frac_limit"] = lim_b / r["best_s"]        # share of the limit kernel's throughput
            r["frac_limit_med"] = lim_m / r["med_s"]
        if r["method"] == "kelvane_alloc" and alloc_b:
            # An allocating call against the allocating limit; the in-place
            # limit is kept beside it.
            r["frac_limit_inplace"] = r.get("frac_limit")
            r["frac_limit"] = alloc_b / r["best_s"]
            r["frac_limit_med"] = alloc_m / r["med_s"]
        if kel:
            r["vs_kelvane"] = r["best_s"] / kel[0]["best_s"]  # >1: kelvane is that many times faster
            r["vs_kelvane_med"] = r["med_s"] / kel[0]["med_s"]


def run_layouts(env, args, ops, n):
    """Each layout is timed interleaved with the contiguous call of the same op, so that the
    share of the contiguous throughput comes from one group (this machine drifts between groups)."""
    rows = []
    ops = [op for op in ops if op in LAYOUT_OPS and env.k_available(op)]
    if not ops:
        return rows
    contiguous3, contiguous_out = layout_views("contiguous", n, args.seed, 3)
    contiguous_best = {}
    contiguous_check = {}
    for op in ops:
        nb = OPS[op][1]
        fill_nan(contiguous_out)
        kelvane_call(env.k, op, contiguous3[:nb], contiguous_out, env.compiled)()
        contiguous_check[op] = compare(contiguous_out, env.ref.compute(FORMULA[op], contiguous3[:nb]),
                                       contiguous3[:nb])
    for layout in LAYOUTS[1:]:
        views3, out_proto = layout_views(layout, n, args.seed, 3)
        plain = [np.ascontiguousarray(v) for v in views3]
        for op in ops:
            nb = OPS[op][1]
            base = Runner("kelvane", kelvane_call(env.k, op, contiguous3[:nb], contiguous_out, env.compiled),
                          contiguous_out)
            r = Runner("kelvane", kelvane_call(env.k, op, views3[:nb], out_proto, env.compiled), out_proto)
            fill_nan(out_proto)
            try:
                r.fn()
                r.check = compare(out_proto, env.ref.compute(FORMULA[op], plain[:nb]), plain[:nb])
            except Exception as exc:
                r.check = {"exact": False, "failed": "%s: %s" % (exc.__class__.__name__, exc)}
            if "failed" not in r.check:
                base.fn()
                wait_quiet(args.wait_quiet)
                time_group([base, r], max(3, args.reps // 2 + 1), 3, args.budget / 4, args.min_rep_ms / 1000.0)
            row = {"op": op, "layout": layout, "n": n, "exact": bool(r.check.get("exact")),
                   "check": r.check, "check_text": mismatch_text(r.check), "reps": len(r.times)}
            if r.times and base.times:
                best, contiguous = min(r.times), min(base.times)
                row.update(best_s=best, med_s=statistics.median(r.times),
                           mpx_best=n * n / best / 1e6, mpx_med=n * n / statistics.median(r.times) / 1e6,
                           contiguous_best_s=contiguous, frac_contiguous=contiguous / best)
                contiguous_best.setdefault(op, []).append(contiguous)
            rows.append(row)
        del views3, out_proto, plain
        gc.collect()
    # The contiguous row: its best time over all the groups.
    for op in ops:
        chk = contiguous_check[op]
        row = {"op": op, "layout": "contiguous", "n": n, "exact": bool(chk.get("exact")), "check": chk,
               "check_text": mismatch_text(chk), "reps": len(contiguous_best.get(op, []))}
        if contiguous_best.get(op):
            best = min(contiguous_best[op])
            row.update(best_s=best, med_s=statistics.median(contiguous_best[op]),
                       mpx_best=n * n / best / 1e6, frac_contiguous=1.0)
        rows.insert(ops.index(op), row)
    return rows


# ----------------------------------------------------------------------------
# Per-call overhead on tiny arrays

def run_overhead(env, args):
    rows = []
    target = args.min_rep_ms / 1000.0
    nrep = 7 if not args.quick else 5
    for n in (1, 16):
        a, b, c = make_bands(n, n, args.seed, 3)
        ns = {"a": a, "b": b, "c": c, "o": np.empty((n, n), F32), "np": np,
              "l": float(ADJ_L), "g": float(EVI_G), "c1": float(EVI_C1), "c2": float(EVI_C2),
              "le": float(EVI_L)}
        entries = []  # (name, statement, op checked or None)
        k = env.k
        if k is not None:
            ns["k"] = k
            w = env.k_works
            if "calculate_normalized_difference_inplace" in w:
                entries.append(("kelvane nd_inplace",
                                "k.calculate_normalized_difference_inplace(a, b, o)", "nd"))
            if "calculate_normalized_difference" in w:
                entries.append(("kelvane nd (alloc)", "k.calculate_normalized_difference(a, b)", None))
            if "calculate_ratio_inplace" in w:
                entries.append(("kelvane ratio", "k.calculate_ratio_inplace(a, b, o)", "ratio"))
            if "calculate_adjusted_difference_inplace" in w:
                entries.append(("kelvane adj",
                                "k.calculate_adjusted_difference_inplace(a, b, l, o)", "adj"))
            if "calculate_evi_inplace" in w:
                entries.append(("kelvane evi",
                                "k.calculate_evi_inplace(a, b, c, g, c1, c2, le, o)", "evi"))
            if "compile_expr" in w:
                ns["prog_nd7"] = PROGRAMS["expr_nd7"]
                entries.append(("kelvane compile_expr nd7", "k.compile_expr(prog_nd7, 2)", None))
            for op in PROGRAMS:
                if op in env.compiled:
                    ns["x_" + op] = env.compiled[op]
                    ns["l_" + op] = [a, b, c][:OPS[op][1]]
                    entries.append(("kelvane " + op, "k.execute_expr_inplace(x_%s, l_%s, o)" % (op, op),
                                    op))
        entries.append(("numpy nd", "np_nd(a, b, o)", "nd"))
        ns["np_nd"] = np_nd
        if env.ne is not None:
            ns["ne_nd"], ns["ne_nd_c"] = env.ne_ex["nd"]
            ns["ne_evi"], ns["ne_evi_c"] = env.ne_ex["evi"]
            entries.append(("numexpr nd", "ne_nd(a, b, *ne_nd_c, out=o, order='K', casting='safe', "
                            "ex_uses_vml=False)", "nd"))
            entries.append(("numexpr evi", "ne_evi(a, b, c, *ne_evi_c, out=o, order='K', "
                            "casting='safe', ex_uses_vml=False)", "evi"))
        if env.nb is not None:
            ns["nb_nd"], ns["nb_nd_x"] = env.nb["nd"]
            ns["nb_evi"], ns["nb_evi_x"] = env.nb["evi"]
            entries.append(("numba nd", "nb_nd(a, b, o, *nb_nd_x)", "nd"))
            entries.append(("numba evi", "nb_evi(a, b, c, o, *nb_evi_x)", "evi"))
        if env.dll is not None:
            ns["lim2"] = env.dll.lim2
            ns["lim_args"] = (a.ctypes.data, b.ctypes.data, ns["o"].ctypes.data, n * n, env.nthreads)
            entries.append(("limit_c (ctypes)", "lim2(*lim_args)", None))
        for name, stmt, op in entries:
            chk = None
            ns["o"][...] = np.nan
            try:
                eval(stmt, ns)
            except Exception as exc:
                rows.append({"name": name, "n": n, "error": "%s: %s" % (exc.__class__.__name__, exc)})
                continue
            if op is not None:
                bands = [a, b, c][:OPS[op][1]] if op in OPS else [a, b]
                chk = compare(ns["o"], env.ref.compute(FORMULA[op], bands), bands)
            t = timeit.Timer(stmt, globals=ns)
            per = t.timeit(1)
            number = max(1, int(target / max(per, 1e-7)))
            number = max(1, int(target / max(t.timeit(number) / number, 1e-8)))
            s0 = cpu_snapshot()
            times = [x / number for x in t.repeat(repeat=nrep, number=number)]
            other, steal = load_between(s0, cpu_snapshot())
            rows.append({"name": name, "n": n, "best_us": min(times) * 1e6,
                         "load_other": other, "steal": steal,
                         "med_us": statistics.median(times) * 1e6,
                         "exact": None if chk is None else bool(chk.get("exact")),
                         "check_text": mismatch_text(chk) if chk is not None else "not checked"})
    return rows

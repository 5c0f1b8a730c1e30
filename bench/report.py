"""What a run prints and draws: the machine, the tables, the summary and the chart."""

import datetime
import os
import platform

import numpy as np

from workload import LAYOUTS, LAYOUT_TEXT, METHOD_ORDER, OPS, PROGRAMS, size_label
from methods import KELVANE_FUNCS
from timing import is_noisy

# ----------------------------------------------------------------------------
# Machine information

def machine_info(env):
    cpu = "unknown"
    flags = []
    cache = None
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name") and cpu == "unknown":
                    cpu = line.split(":", 1)[1].strip()
                elif line.startswith("flags") and not flags:
                    fl = line.split(":", 1)[1].split()
                    flags = [f for f in ("sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw",
                                         "avx512vl") if f in fl]
                elif line.startswith("cache size") and cache is None:
                    cache = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem = None
    try:
        with open("/proc/meminfo") as fh:
            for line in fh:
                if line.startswith("MemTotal"):
                    mem = "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
                    break
    except OSError:
        pass
    aff = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None

    def ver(mod):
        try:
            return __import__(mod).__version__
        except Exception:
            return None
    env_vars = {k: v for k, v in os.environ.items()
                if k.startswith(("OMP_", "GOMP_", "MALLOC_", "NUMBA_", "NUMEXPR_", "KMP_"))}
    return {
        "cpu": cpu, "cpu_flags": flags, "cache": cache, "cores": os.cpu_count(),
        "affinity": aff, "memory": mem, "kernel": platform.release(),
        "python": platform.python_version(), "numpy": np.__version__,
        "numexpr": ver("numexpr") if env.ne is not None else None,
        "numba": env.nb_info.get("version") if env.nb is not None else None,
        "numba_threading_layer": env.nb_info.get("threading_layer") if env.nb is not None else None,
        "numba_compile_s": env.nb_info.get("compile_s") if env.nb is not None else None,
        "matplotlib": ver("matplotlib"), "gcc": env.gcc_version,
        "kelvane": env.k_info if env.k is not None else None,
        "threads": env.nthreads, "loadavg": os.getloadavg(), "env": env_vars,
        "pow_reference": env.ref.pow_note,
    }


# ----------------------------------------------------------------------------
# Printing

def fmt_rate(x):
    if x is None:
        return "-"
    return "%.0f" % x if x >= 100 else "%.1f" % x


def fmt_ratio(x):
    if x is None:
        return "-"
    return "%.2f" % x if x < 10 else ("%.1f" % x if x < 100 else "%.0f" % x)


def print_header(info, args, sizes):
    print("kelvane benchmark  %s UTC" % datetime.datetime.now(datetime.timezone.utc)
          .strftime("%Y-%m-%d %H:%M:%S"))
    print("CPU: %s (%s), %s cores, affinity %s, memory %s, cache %s"
          % (info["cpu"], " ".join(info["cpu_flags"]), info["cores"], info["affinity"],
             info["memory"], info["cache"]))
    print("Python %s  NumPy %s  numexpr %s  numba %s (%s)  gcc %s  matplotlib %s"
          % (info["python"], info["numpy"], info["numexpr"], info["numba"],
             info["numba_threading_layer"], info["gcc"], info["matplotlib"]))
    kel = info["kelvane"]
    print("kelvane: %s" % ("not available" if kel is None else "%s (working: %d of %d functions)"
                           % (kel["path"], len(kel["working"]), len(KELVANE_FUNCS))))
    print("threads for peers: %d; sizes %s; reps %d (min %d), %g ms per repetition, "
          "budget %g s per group; load average %s"
          % (info["threads"], ", ".join(size_label(*s) for s in sizes), args.reps, args.min_reps,
             args.min_rep_ms, args.budget, " ".join("%.2f" % x for x in info["loadavg"])))
    if info["env"]:
        print("environment: %s" % " ".join("%s=%s" % kv for kv in sorted(info["env"].items())))
    print()


def print_op_table(op, rows, sizes):
    label, nb, _ = OPS[op]
    print("%s: %s (%d bands, %d B/px)" % (op, label, nb, 2 * nb + 4))
    labels = [size_label(*s) for s in sizes]
    methods = [m for m in METHOD_ORDER if any(r["method"] == m and r["op"] == op for r in rows)]
    cell = 30
    head = "  %-14s" % "method" + "".join("| %-*s" % (cell - 2, l) for l in labels)
    sub = "  %-14s" % "" + "".join("| %7s %7s %5s %5s " % ("Mpx/s", "med", "/lim", "kel x")
                                   for _ in labels)
    print(head)
    print(sub)
    bad = []
    for m in methods:
        line = "  %-14s" % m
        for l in labels:
            r = next((x for x in rows if x["op"] == op and x["size"] == l and x["method"] == m), None)
            if r is None or "best_s" not in r:
                txt = "n/a" if r is None else "failed"
                line += "| %-*s" % (cell - 2, txt)
                continue
            mark = " " if r["exact"] else "!"
            line += "| %7s %7s %5s %5s%s" % (fmt_rate(r["mpx_best"]), fmt_rate(r["mpx_med"]),
                                             fmt_ratio(r.get("frac_limit")),
                                             fmt_ratio(r.get("vs_kelvane")), mark)
            if not r["exact"]:
                bad.append("%s %s %s" % (m, l, r["check_text"]))
        print(line)
    for l in labels:
        r = next((x for x in rows if x["op"] == op and x["size"] == l), None)
        if r is not None and is_noisy(r["load_other"], r["steal"]):
            bad.append("%s: noisy group (other processes %.0f%% of the CPUs, steal %.0f%%)"
                       % (l, 100 * r["load_other"], 100 * r["steal"]))
    for b in bad:
        print("    ! " + b)
    for r in rows:
        if r["op"] == op and "best_s" not in r:
            print("    ! %s %s %s" % (r["method"], r["size"], r["check_text"]))
    print()


def print_layouts(rows):
    if not rows:
        return
    n = rows[0]["n"]
    ops = []
    for r in rows:
        if r["op"] not in ops:
            ops.append(r["op"])
    print("kelvane on non-contiguous layouts, %dx%d: Mpx/s (share of the contiguous call timed beside it)" % (n, n))
    print("  %-14s" % "layout" + "".join("%18s" % op for op in ops))
    for layout in LAYOUTS:
        line = "  %-14s" % layout
        for op in ops:
            r = next((x for x in rows if x["op"] == op and x["layout"] == layout), None)
            if r is None or "best_s" not in r:
                line += "%18s" % "failed"
            else:
                line += "%18s" % ("%s (%.2f)%s" % (fmt_rate(r["mpx_best"]), r.get("frac_contiguous", 0),
                                                   " " if r["exact"] else "!"))
        print(line)
    for layout in LAYOUTS:
        print("    %-14s %s" % (layout, LAYOUT_TEXT[layout]))
    for r in rows:
        if not r["exact"]:
            print("    ! %s %s %s" % (r["op"], r["layout"], r["check_text"]))
    print()


def print_overhead(rows):
    if not rows:
        return
    print("per-call overhead, microseconds per call (best / median)")
    print("  %-28s %18s %18s" % ("call", "1x1", "16x16"))
    names = []
    for r in rows:
        if r["name"] not in names:
            names.append(r["name"])
    bad = []
    noisy = 0
    for name in names:
        line = "  %-28s" % name
        for n in (1, 16):
            r = next((x for x in rows if x["name"] == name and x["n"] == n), None)
            if r is None or "best_us" not in r:
                line += " %18s" % "failed"
                if r is not None:
                    bad.append("%s %dx%d: %s" % (name, n, n, r["error"]))
            else:
                mark = "!" if r["exact"] is False else (
                    "~" if is_noisy(r["load_other"], r["steal"]) else " ")
                line += " %18s" % ("%.2f / %.2f%s" % (r["best_us"], r["med_us"], mark))
                if r["exact"] is False:
                    bad.append("%s %dx%d: %s" % (name, n, n, r["check_text"]))
                if is_noisy(r["load_other"], r["steal"]):
                    noisy += 1
        print(line)
    for b in bad:
        print("    ! " + b)
    if noisy:
        print("    ~ %d of %d cells measured while other processes used over 5%% of the CPUs"
              % (noisy, sum(1 for r in rows if "best_us" in r)))
    print()


def summarize(rows, layout_rows, ovh_rows, sizes):
    """A short list of the figures the project tracks, computed from the rows above."""
    lines = []

    def get(op, label, method):
        return next((r for r in rows if r["op"] == op and r["size"] == label
                     and r["method"] == method and "best_s" in r), None)
    big = [size_label(*s) for s in sizes if s[0] * s[1] >= 4096 * 4096]
    for label in big:
        parts = []
        for op in ("nd", "ratio", "adj", "evi"):
            k = get(op, label, "kelvane")
            nb = get(op, label, "numba")
            if k is None:
                continue
            s = "%s %.2f" % (op, k.get("frac_limit") or float("nan"))
            if nb is not None:
                s += " (numba %.2f)" % (nb.get("frac_limit") or float("nan"))
            parts.append(s)
        ka = get("nd", label, "kelvane_alloc")
        if ka is not None:
            parts.append("nd alloc %.2f of the allocating limit (%.2f of the in-place one)"
                         % (ka.get("frac_limit") or float("nan"), ka.get("frac_limit_inplace") or float("nan")))
        if parts:
            lines.append("fixed indices at %s, share of the limit kernel: %s" % (label, ", ".join(parts)))
    for n in sorted({r["n"] for r in layout_rows}):
        at_n = [r for r in layout_rows if r["n"] == n and r["layout"] != "contiguous" and "frac_contiguous" in r]
        if at_n:
            worst = min(at_n, key=lambda r: r["frac_contiguous"])
            lines.append("non-contiguous layouts at %dx%d: %.2f to %.2f of the contiguous throughput "
                         "(lowest: %s %s)" % (n, n, worst["frac_contiguous"],
                                              max(r["frac_contiguous"] for r in at_n), worst["op"], worst["layout"]))
    for label in [size_label(*s) for s in sizes]:
        parts = []
        for op in PROGRAMS:
            k = get(op, label, "kelvane")
            ne = get(op, label, "numexpr")
            if k is not None and ne is not None:
                parts.append("%s %.1fx" % (op[5:], ne["best_s"] / k["best_s"]))
        k7 = get("expr_nd7", label, "kelvane")
        kf = get("expr_nd7", label, "kelvane_fixed")
        if k7 is not None and kf is not None:
            parts.append("nd7 takes %.2fx the fixed nd" % (k7["best_s"] / kf["best_s"]))
        if parts:
            lines.append("band math at %s, kelvane faster than numexpr by: %s" % (label, ", ".join(parts)))
    kov = [r for r in ovh_rows if r["name"].startswith("kelvane") and "best_us" in r
           and "compile" not in r["name"]]
    if kov:
        worst = max(kov, key=lambda r: r["best_us"])
        lines.append("kelvane per-call overhead: at most %.2f us (%s, %dx%d)"
                     % (worst["best_us"], worst["name"], worst["n"], worst["n"]))
    if lines:
        print("summary")
        for line in lines:
            print("  " + line)
        print()
    return lines


# ----------------------------------------------------------------------------
# Chart

METHOD_COLORS = {"kelvane": "#d62728", "kelvane_alloc": "#ff9896", "kelvane_fixed": "#9467bd",
                 "numpy": "#1f77b4", "numexpr": "#2ca02c", "numba": "#ff7f0e",
                 "limit_numba": "#7f7f7f", "limit_c": "#333333", "limit_alloc": "#bbbbbb"}


def draw_chart(path, rows, layout_rows, ovh_rows, ops, sizes, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    ncols = 4
    nrows_ops = (len(ops) + ncols - 1) // ncols
    extra = 1 if (layout_rows or ovh_rows) else 0
    fig = plt.figure(figsize=(22, 5.0 * (nrows_ops + extra) + 1.0))
    top = 1.0 - 0.9 / (5.0 * (nrows_ops + extra) + 1.0)
    gs = fig.add_gridspec(nrows_ops + extra, ncols, hspace=0.45, wspace=0.25, top=top)
    labels = [size_label(*s) for s in sizes]
    present = [m for m in METHOD_ORDER if any(r["method"] == m for r in rows)]
    for i, op in enumerate(ops):
        ax = fig.add_subplot(gs[i // ncols, i % ncols])
        methods = [m for m in present if any(r["op"] == op and r["method"] == m for r in rows)]
        width = 0.8 / max(1, len(methods))
        for j, m in enumerate(methods):
            xs, ys, exact = [], [], []
            for x, l in enumerate(labels):
                r = next((r for r in rows if r["op"] == op and r["size"] == l and r["method"] == m
                          and "mpx_best" in r), None)
                if r is not None:
                    xs.append(x - 0.4 + width * (j + 0.5))
                    ys.append(r["mpx_best"])
                    exact.append(r["exact"])
            bars = ax.bar(xs, ys, width, color=METHOD_COLORS.get(m, "#bbbbbb"), label=m)
            for bar, ok in zip(bars, exact):
                if not ok:
                    bar.set_hatch("xx")
                    bar.set_edgecolor("red")
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(matplotlib.ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xticks(range(len(labels)))
        ax.set_xticklabels(labels)
        ax.set_title("%s: %s" % (op, OPS[op][0]), fontsize=10)
        ax.set_ylabel("Mpixel/s (best)")
        ax.grid(axis="y", which="both", alpha=0.3)
    handles = [plt.Rectangle((0, 0), 1, 1, color=METHOD_COLORS[m]) for m in present]
    handles.append(plt.Rectangle((0, 0), 1, 1, facecolor="white", edgecolor="red", hatch="xx"))
    fig.legend(handles, present + ["not bit-exact"], loc="upper center", ncol=len(present) + 1,
               fontsize=10, frameon=False, bbox_to_anchor=(0.5, 0.985))
    if layout_rows:
        ax = fig.add_subplot(gs[nrows_ops, 0:2])
        lops = []
        for r in layout_rows:
            if r["op"] not in lops:
                lops.append(r["op"])
        width = 0.8 / len(LAYOUTS)
        cmap = plt.get_cmap("tab10")
        chart_n = layout_rows[0]["n"]
        for j, layout in enumerate(LAYOUTS):
            xs, ys = [], []
            for x, op in enumerate(lops):
                r = next((r for r in layout_rows if r["op"] == op and r["layout"] == layout
                          and r["n"] == chart_n and "mpx_best" in r), None)
                if r is not None:
                    xs.append(x - 0.4 + width * (j + 0.5))
                    ys.append(r["mpx_best"])
            ax.bar(xs, ys, width, color=cmap(j), label=layout)
        ax.set_xticks(range(len(lops)))
        ax.set_xticklabels(lops)
        ax.set_ylabel("Mpixel/s (best)")
        ax.set_title("kelvane layouts at %dx%d" % (chart_n, chart_n),
                     fontsize=10)
        ax.legend(fontsize=8, ncol=3)
        ax.grid(axis="y", alpha=0.3)
    if ovh_rows:
        ax = fig.add_subplot(gs[nrows_ops, 2:4])
        names = []
        for r in ovh_rows:
            if r["name"] not in names and "best_us" in r:
                names.append(r["name"])
        for j, n in enumerate((1, 16)):
            xs, ys = [], []
            for x, name in enumerate(names):
                r = next((r for r in ovh_rows if r["name"] == name and r["n"] == n
                          and "best_us" in r), None)
                if r is not None:
                    xs.append(x - 0.2 + 0.4 * j)
                    ys.append(r["best_us"])
            ax.bar(xs, ys, 0.4, label="%dx%d" % (n, n), color=["#17becf", "#bcbd22"][j])
        ax.axhline(2.0, color="red", lw=0.8, ls=":", label="2 us")
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(names, rotation=40, ha="right", fontsize=8)
        ax.set_ylabel("us per call (best)")
        ax.set_title("per-call overhead", fontsize=10)
        ax.legend(fontsize=8)
        ax.grid(axis="y", which="both", alpha=0.3)
    fig.suptitle(title, fontsize=11, y=0.999)
    fig.savefig(path, dpi=80, bbox_inches="tight")
    plt.close(fig)

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
import ctypes
import datetime
import faulthandler
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

import numpy as np

F32 = np.float32
EPS = np.array(0x2EDBE6FF, dtype=np.uint32).view(F32)[()]  # float32 nearest to 1e-10

# Coefficients, rounded once to float32 exactly as kelvane rounds its scalar arguments.
ADJ_L = F32(0.5)
ADJ_K = F32(F32(1.0) + ADJ_L)
EVI_G, EVI_C1, EVI_C2, EVI_L = F32(2.5), F32(6.0), F32(7.5), F32(1.0)
SP_S = F32(1.0 / 65535.0)  # scales a band into [0, 1]
SP_P = F32(2.2)            # a gamma exponent: pow takes libm's general path


# ----------------------------------------------------------------------------
# Band-math programs (postfix instruction lists)

def _pb(i):
    return {"type": "push_band", "index": i}


def _ps(v):
    return {"type": "push_scalar", "value": float(v)}


def _op(name):
    return {"type": name}


PROGRAMS = {
    # (b0 - b1) / (b0 + b1)
    "expr_nd7": [_pb(0), _pb(1), _op("sub"), _pb(0), _pb(1), _op("add"), _op("div")],
    # ((n - r) / (((n + c1*r) - c2*bl) + l)) * g
    "expr_evi17": [_pb(0), _pb(1), _op("sub"),
                   _pb(0), _ps(EVI_C1), _pb(1), _op("mul"), _op("add"),
                   _ps(EVI_C2), _pb(2), _op("mul"), _op("sub"),
                   _ps(EVI_L), _op("add"), _op("div"), _ps(EVI_G), _op("mul")],
    # ((b0 - b1) / ((b0 + b1) + 0.5)) * 1.5
    "expr_savi11": [_pb(0), _pb(1), _op("sub"), _pb(0), _pb(1), _op("add"),
                    _ps(ADJ_L), _op("add"), _op("div"), _ps(ADJ_K), _op("mul")],
    # sqrt(|n - r|) + (bl * s) ** p
    "expr_sqrtpow11": [_pb(0), _pb(1), _op("sub"), _op("abs"), _op("sqrt"),
                       _pb(2), _ps(SP_S), _op("mul"), _ps(SP_P), _op("pow"), _op("add")],
}

# op name -> (label, number of bands, fixed kelvane function computing the same bits or None)
OPS = {
    "nd": ("normalized difference", 2, None),
    "ratio": ("ratio", 2, None),
    "adj": ("adjusted difference, l=0.5", 2, None),
    "evi": ("EVI g=2.5 c1=6 c2=7.5 l=1", 3, None),
    "expr_nd7": ("band math: ND program, 7 instr", 2, "nd"),
    "expr_evi17": ("band math: EVI program, 17 instr, 4 consts", 3, "evi"),
    "expr_savi11": ("band math: SAVI-like program, 11 instr, 2 consts", 2, "adj"),
    "expr_sqrtpow11": ("band math: sqrt/abs/pow program, 11 instr", 3, None),
}
# The formula each op computes; band-math programs compute the same as their fixed twin.
FORMULA = {"nd": "nd", "ratio": "ratio", "adj": "adj", "evi": "evi",
           "expr_nd7": "nd", "expr_evi17": "evi", "expr_savi11": "adj",
           "expr_sqrtpow11": "sqrtpow"}

METHOD_ORDER = ["kelvane", "kelvane_alloc", "kelvane_fixed", "numpy", "numexpr", "numba",
                "limit_numba", "limit_c", "limit_alloc"]
LIMIT_METHODS = ("limit_numba", "limit_c")
# The limit of an allocating call: a fresh np.empty output, then the C limit
# kernel (or numba's). Fresh pages cost a fault and the kernel's zeroing.
ALLOC_LIMIT_METHODS = ("limit_alloc",)
LAYOUT_OPS = ["nd", "ratio", "adj", "evi", "expr_nd7", "expr_evi17"]
LAYOUTS = ["contiguous", "f_out", "transposed", "t_bands", "stepped_bands", "stepped", "reversed"]
LAYOUT_TEXT = {
    "contiguous": "C-ordered bands and output",
    "f_out": "C-ordered bands, Fortran-ordered output",
    "transposed": "bands and output are .T views of C arrays",
    "t_bands": "bands are .T views, output C-ordered",
    "stepped_bands": "bands are [:, ::2] slices of arrays twice as wide, output C-ordered",
    "stepped": "bands and output are [:, ::2] slices of arrays twice as wide",
    "reversed": "bands and output are [::-1, ::-1] views",
}

# Samples (nir/a, red/b, blue) that land on the interesting corners of the formulas:
# zero denominators, cancellation before the epsilon, negative denominators, extremes.
EDGE_PIXELS = [(0, 0, 0), (14, 0, 2), (1000, 500, 533), (1000, 500, 600), (65535, 0, 0),
               (0, 65535, 65535), (3000, 1000, 500), (1, 0, 0), (65535, 65535, 65535),
               (5, 5, 5), (0, 1, 0)]


# ----------------------------------------------------------------------------
# Reference arithmetic: plain NumPy float32, operations in the documented order.

class Ref:
    """Reference results.  pow goes through libm's powf (the C helper) where it can."""

    def __init__(self, powf_array, pow_note):
        self.powf_array = powf_array
        self.pow_note = pow_note

    def compute(self, formula, bands):
        fl = [b.astype(F32) for b in bands]
        if formula == "nd":
            a, b = fl
            return (a - b) / ((a + b) + EPS)
        if formula == "ratio":
            a, b = fl
            return a / (b + EPS)
        if formula == "adj":
            a, b = fl
            return ((a - b) / (((a + b) + ADJ_L) + EPS)) * ADJ_K
        if formula == "evi":
            n, r, bl = fl
            return ((n - r) / ((((n + EVI_C1 * r) - EVI_C2 * bl) + EVI_L) + EPS)) * EVI_G
        if formula == "sqrtpow":
            n, r, bl = fl
            return np.sqrt(np.abs(n - r)) + self.powf_array(bl * SP_S, SP_P)
        if formula == "limit":
            out = fl[0]
            for x in fl[1:]:
                out = out + x
            return out
        raise KeyError(formula)


# ----------------------------------------------------------------------------
# NumPy as a careful user writes it: cast once, then ufuncs with out=.

def np_nd(a, b, out):
    A = a.astype(F32)
    B = b.astype(F32)
    np.subtract(A, B, out=out)
    np.add(A, B, out=A)
    np.add(A, EPS, out=A)
    np.divide(out, A, out=out)


def np_ratio(a, b, out):
    A = a.astype(F32)
    B = b.astype(F32)
    np.add(B, EPS, out=B)
    np.divide(A, B, out=out)


def np_adj(a, b, out):
    A = a.astype(F32)
    B = b.astype(F32)
    np.subtract(A, B, out=out)
    np.add(A, B, out=A)
    np.add(A, ADJ_L, out=A)
    np.add(A, EPS, out=A)
    np.divide(out, A, out=out)
    np.multiply(out, ADJ_K, out=out)


def np_evi(n, r, bl, out):
    N = n.astype(F32)
    R = r.astype(F32)
    B = bl.astype(F32)
    np.subtract(N, R, out=out)
    np.multiply(R, EVI_C1, out=R)
    np.add(N, R, out=N)
    np.multiply(B, EVI_C2, out=B)
    np.subtract(N, B, out=N)
    np.add(N, EVI_L, out=N)
    np.add(N, EPS, out=N)
    np.divide(out, N, out=out)
    np.multiply(out, EVI_G, out=out)


def np_sqrtpow(n, r, bl, out):
    N = n.astype(F32)
    R = r.astype(F32)
    B = bl.astype(F32)
    np.subtract(N, R, out=out)
    np.abs(out, out=out)
    np.sqrt(out, out=out)
    np.multiply(B, SP_S, out=B)
    np.power(B, SP_P, out=B)
    np.add(out, B, out=out)


NUMPY_FUNCS = {"nd": np_nd, "ratio": np_ratio, "adj": np_adj, "evi": np_evi, "sqrtpow": np_sqrtpow}

# numexpr: one NumExpr per formula, compiled once with a float32 ('float' kind) signature for
# every input, so uint16 bands are cast block by block and constants stay float32.
NUMEXPR_TEXT = {
    "nd": ("(a - b) / ((a + b) + eps)", ["a", "b"], [("eps", EPS)]),
    "ratio": ("a / (b + eps)", ["a", "b"], [("eps", EPS)]),
    "adj": ("((a - b) / (((a + b) + l) + eps)) * k", ["a", "b"],
            [("l", ADJ_L), ("eps", EPS), ("k", ADJ_K)]),
    "evi": ("((n - r) / ((((n + c1 * r) - c2 * bl) + l) + eps)) * g", ["n", "r", "bl"],
            [("c1", EVI_C1), ("c2", EVI_C2), ("l", EVI_L), ("eps", EPS), ("g", EVI_G)]),
    "sqrtpow": ("sqrt(abs(n - r)) + (bl * s) ** p", ["n", "r", "bl"],
                [("s", SP_S), ("p", SP_P)]),
}


# ----------------------------------------------------------------------------
# numba kernels: prange over rows, an inner loop over a 1-D row (the form LLVM vectorizes).

def build_numba(nthreads, notes):
    try:
        import numba
        from numba import njit, prange
    except Exception as exc:  # optional peer
        notes.append("numba not available (%s): numba rows skipped" % exc.__class__.__name__)
        return None, {}
    numba.set_num_threads(nthreads)
    opts = dict(error_model="numpy", fastmath=False)

    @njit(**opts)
    def nd_row(ra, rb, ro, eps):
        for j in range(ro.shape[0]):
            A = np.float32(ra[j])
            B = np.float32(rb[j])
            ro[j] = (A - B) / ((A + B) + eps)

    @njit(parallel=True, **opts)
    def nb_nd(a, b, out, eps):
        for i in prange(out.shape[0]):
            nd_row(a[i], b[i], out[i], eps)

    @njit(**opts)
    def ratio_row(ra, rb, ro, eps):
        for j in range(ro.shape[0]):
            ro[j] = np.float32(ra[j]) / (np.float32(rb[j]) + eps)

    @njit(parallel=True, **opts)
    def nb_ratio(a, b, out, eps):
        for i in prange(out.shape[0]):
            ratio_row(a[i], b[i], out[i], eps)

    @njit(**opts)
    def adj_row(ra, rb, ro, l, eps, k):
        for j in range(ro.shape[0]):
            A = np.float32(ra[j])
            B = np.float32(rb[j])
            ro[j] = ((A - B) / (((A + B) + l) + eps)) * k

    @njit(parallel=True, **opts)
    def nb_adj(a, b, out, l, eps, k):
        for i in prange(out.shape[0]):
            adj_row(a[i], b[i], out[i], l, eps, k)

    @njit(**opts)
    def evi_row(rn, rr, rb, ro, g, c1, c2, l, eps):
        for j in range(ro.shape[0]):
            N = np.float32(rn[j])
            R = np.float32(rr[j])
            B = np.float32(rb[j])
            ro[j] = ((N - R) / ((((N + c1 * R) - c2 * B) + l) + eps)) * g

    @njit(parallel=True, **opts)
    def nb_evi(n, r, bl, out, g, c1, c2, l, eps):
        for i in prange(out.shape[0]):
            evi_row(n[i], r[i], bl[i], out[i], g, c1, c2, l, eps)

    @njit(**opts)
    def sqrtpow_row(rn, rr, rb, ro, s, p):
        for j in range(ro.shape[0]):
            d = np.float32(rn[j]) - np.float32(rr[j])
            ro[j] = np.sqrt(abs(d)) + (np.float32(rb[j]) * s) ** p

    @njit(parallel=True, **opts)
    def nb_sqrtpow(n, r, bl, out, s, p):
        for i in prange(out.shape[0]):
            sqrtpow_row(n[i], r[i], bl[i], out[i], s, p)

    @njit(**opts)
    def lim2_row(ra, rb, ro):
        for j in range(ro.shape[0]):
            ro[j] = np.float32(ra[j]) + np.float32(rb[j])

    @njit(parallel=True, **opts)
    def nb_lim2(a, b, out):
        for i in prange(out.shape[0]):
            lim2_row(a[i], b[i], out[i])

    @njit(**opts)
    def lim3_row(ra, rb, rc, ro):
        for j in range(ro.shape[0]):
            ro[j] = np.float32(ra[j]) + np.float32(rb[j]) + np.float32(rc[j])

    @njit(parallel=True, **opts)
    def nb_lim3(a, b, c, out):
        for i in prange(out.shape[0]):
            lim3_row(a[i], b[i], c[i], out[i])

    kern = {
        "nd": (nb_nd, (EPS,)),
        "ratio": (nb_ratio, (EPS,)),
        "adj": (nb_adj, (ADJ_L, EPS, ADJ_K)),
        "evi": (nb_evi, (EVI_G, EVI_C1, EVI_C2, EVI_L, EPS)),
        "sqrtpow": (nb_sqrtpow, (SP_S, SP_P)),
        "lim2": (nb_lim2, ()),
        "lim3": (nb_lim3, ()),
    }
    # Compile now (C-ordered 2-D uint16 bands, float32 output) so no timing includes it.
    compile_s = {}
    u = np.zeros((2, 8), np.uint16)
    o = np.zeros((2, 8), F32)
    for name, (fn, extra) in kern.items():
        nb = 3 if name in ("evi", "sqrtpow", "lim3") else 2
        t0 = time.perf_counter()
        fn(*([u] * nb), o, *extra)
        compile_s[name] = time.perf_counter() - t0
    try:
        layer = numba.threading_layer()
    except Exception:
        layer = "unknown"
    info = {"version": numba.__version__, "threading_layer": layer,
            "threads": numba.get_num_threads(),
            "compile_s": {k: round(v, 3) for k, v in compile_s.items()}}
    return kern, info


# ----------------------------------------------------------------------------
# C helper: the same-traffic limit kernel, and libm's powf for the reference.

C_SOURCE = r"""
#include <math.h>
#include <stddef.h>
#include <stdint.h>

void lim2(const uint16_t *restrict a, const uint16_t *restrict b, float *restrict o,
          ptrdiff_t n, int nthreads)
{
#pragma omp parallel for num_threads(nthreads) schedule(static)
    for (ptrdiff_t i = 0; i < n; i++)
        o[i] = (float)a[i] + (float)b[i];
}

void lim3(const uint16_t *restrict a, const uint16_t *restrict b, const uint16_t *restrict c,
          float *restrict o, ptrdiff_t n, int nthreads)
{
#pragma omp parallel for num_threads(nthreads) schedule(static)
    for (ptrdiff_t i = 0; i < n; i++)
        o[i] = ((float)a[i] + (float)b[i]) + (float)c[i];
}

/* Scalar calls of libm's powf: no vector math library, so every element goes through powf. */
void powf_array(const float *restrict x, float p, float *restrict o, ptrdiff_t n)
{
    for (ptrdiff_t i = 0; i < n; i++)
        o[i] = powf(x[i], p);
}
"""


def build_c_helper(notes):
    gcc = shutil.which("gcc")
    if gcc is None:
        notes.append("gcc not found: limit_c rows skipped")
        return None, None
    tmp = tempfile.mkdtemp(prefix="kelvane-bench-")
    try:
        src = os.path.join(tmp, "limit.c")
        lib = os.path.join(tmp, "limit.so")
        with open(src, "w") as fh:
            fh.write(C_SOURCE)
        cmd = [gcc, "-O3", "-fopenmp", "-march=native", "-ffp-contract=off", "-shared", "-fPIC",
               "-o", lib, src, "-lm"]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            notes.append("gcc failed, limit_c rows skipped: %s" % proc.stderr.strip()[:300])
            return None, None
        dll = ctypes.CDLL(lib)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)  # the loaded library stays mapped
    vp, ssz, ci, cf = ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_int, ctypes.c_float
    dll.lim2.argtypes = [vp, vp, vp, ssz, ci]
    dll.lim2.restype = None
    dll.lim3.argtypes = [vp, vp, vp, vp, ssz, ci]
    dll.lim3.restype = None
    dll.powf_array.argtypes = [vp, cf, vp, ssz]
    dll.powf_array.restype = None
    version = subprocess.run([gcc, "-dumpfullversion"], capture_output=True, text=True).stdout
    return dll, version.strip()


def make_powf_array(dll, notes):
    if dll is not None:
        def powf_array(x, p):
            x = np.ascontiguousarray(x, dtype=F32)
            out = np.empty_like(x)
            dll.powf_array(x.ctypes.data, float(p), out.ctypes.data, x.size)
            return out
        return powf_array, "libm powf (C helper)"
    note = "reference pow from NumPy's np.power, which may use its own vector routine " \
           "instead of libm's powf: pow results may differ by an ulp"
    notes.append(note)
    return (lambda x, p: np.power(x, F32(p))), "numpy power"


# ----------------------------------------------------------------------------
# kelvane

KELVANE_FUNCS = ["calculate_normalized_difference_inplace", "calculate_normalized_difference",
                 "calculate_ratio_inplace", "calculate_adjusted_difference_inplace",
                 "calculate_evi_inplace", "compile_expr", "execute_expr_inplace"]


def probe_kelvane(notes):
    """Import kelvane and find which functions compute; the others are skipped with a note."""
    try:
        import kelvane
    except Exception as exc:
        notes.append("kelvane not importable (%s: %s): kelvane rows skipped"
                     % (exc.__class__.__name__, exc))
        return None, set(), {}, {}
    u = np.zeros((2, 2), np.uint16)
    o = np.zeros((2, 2), F32)
    works = set()

    def attempt(name, call):
        try:
            call()
            works.add(name)
        except NotImplementedError as exc:
            notes.append("kelvane.%s: not implemented yet (%s): skipped" % (name, exc))
        except Exception as exc:
            notes.append("kelvane.%s failed on a 2x2 call (%s: %s): skipped"
                         % (name, exc.__class__.__name__, exc))

    k = kelvane
    attempt("calculate_normalized_difference_inplace",
            lambda: k.calculate_normalized_difference_inplace(u, u, o))
    attempt("calculate_normalized_difference", lambda: k.calculate_normalized_difference(u, u))
    attempt("calculate_ratio_inplace", lambda: k.calculate_ratio_inplace(u, u, o))
    attempt("calculate_adjusted_difference_inplace",
            lambda: k.calculate_adjusted_difference_inplace(u, u, 0.5, o))
    attempt("calculate_evi_inplace",
            lambda: k.calculate_evi_inplace(u, u, u, 2.5, 6.0, 7.5, 1.0, o))
    attempt("compile_expr", lambda: k.compile_expr(PROGRAMS["expr_nd7"], 2))
    compiled = {}
    if "compile_expr" in works:
        for name, prog in PROGRAMS.items():
            compiled[name] = k.compile_expr(prog, OPS[name][1])
        attempt("execute_expr_inplace",
                lambda: k.execute_expr_inplace(compiled["expr_nd7"], [u, u], o))
    info = {"path": getattr(k, "__file__", None), "working": sorted(works)}
    return k, works, compiled if "execute_expr_inplace" in works else {}, info


# ----------------------------------------------------------------------------
# Runners: one no-argument callable per (method, op) over given arrays and output.

class Runner:
    def __init__(self, method, fn, out, result=None):
        self.method = method
        self.fn = fn
        self.out = out            # the array that is checked
        self.result = result      # for allocating calls: returns the last result
        self.times = []
        self.check = None

    def output(self):
        return self.result() if self.result is not None else self.out


def kelvane_call(k, op, bands, out, compiled):
    """A no-argument call of kelvane for op writing into out, or None if not available."""
    if op.startswith("expr_"):
        if op not in compiled:
            return None
        ex = compiled[op]
        lst = list(bands)
        return lambda: k.execute_expr_inplace(ex, lst, out)
    if op == "nd":
        a, b = bands
        return lambda: k.calculate_normalized_difference_inplace(a, b, out)
    if op == "ratio":
        a, b = bands
        return lambda: k.calculate_ratio_inplace(a, b, out)
    if op == "adj":
        a, b = bands
        l = float(ADJ_L)
        return lambda: k.calculate_adjusted_difference_inplace(a, b, l, out)
    if op == "evi":
        n, r, bl = bands
        g, c1, c2, l = float(EVI_G), float(EVI_C1), float(EVI_C2), float(EVI_L)
        return lambda: k.calculate_evi_inplace(n, r, bl, g, c1, c2, l, out)
    raise KeyError(op)


KELVANE_NEEDS = {"nd": "calculate_normalized_difference_inplace",
                 "ratio": "calculate_ratio_inplace",
                 "adj": "calculate_adjusted_difference_inplace",
                 "evi": "calculate_evi_inplace"}


class Env:
    """Everything the run sets up once: peers, kelvane, the C helper, the reference."""

    def __init__(self, args, notes):
        self.args = args
        self.notes = notes
        self.nthreads = args.threads
        self.k, self.k_works, self.compiled, self.k_info = probe_kelvane(notes)
        self.ne = None
        self.ne_ex = {}
        try:
            import numexpr
            numexpr.set_num_threads(self.nthreads)
            self.ne = numexpr
            for f, (text, names, consts) in NUMEXPR_TEXT.items():
                sig = [(nm, float) for nm in names + [c for c, _ in consts]]
                self.ne_ex[f] = (numexpr.NumExpr(text, signature=sig), tuple(v for _, v in consts))
        except Exception as exc:
            notes.append("numexpr not available (%s): numexpr rows skipped" % exc.__class__.__name__)
            self.ne = None
        self.nb, self.nb_info = build_numba(self.nthreads, notes)
        self.dll, self.gcc_version = build_c_helper(notes)
        powf_array, pow_ref = make_powf_array(self.dll, notes)
        self.ref = Ref(powf_array, pow_ref)

    def k_available(self, op):
        if self.k is None:
            return False
        if op.startswith("expr_"):
            return op in self.compiled
        return KELVANE_NEEDS[op] in self.k_works

    def runners(self, op, bands, make_out):
        """Runners for every available method of op over bands; make_out() gives a fresh output."""
        formula = FORMULA[op]
        nb = len(bands)
        rs = []
        if self.k_available(op):
            out = make_out()
            rs.append(Runner("kelvane", kelvane_call(self.k, op, bands, out, self.compiled), out))
        if op == "nd" and self.k is not None and "calculate_normalized_difference" in self.k_works:
            holder = [None]
            a, b = bands
            kfn = self.k.calculate_normalized_difference

            def alloc():
                holder[0] = kfn(a, b)
            rs.append(Runner("kelvane_alloc", alloc, None, result=lambda: holder[0]))
        twin = OPS[op][2]
        if twin is not None and self.k_available(twin):
            out = make_out()
            rs.append(Runner("kelvane_fixed", kelvane_call(self.k, twin, bands, out, {}), out))
        out = make_out()
        npf = NUMPY_FUNCS[formula]
        rs.append(Runner("numpy", (lambda f=npf, bs=tuple(bands), o=out: f(*bs, o)), out))
        if self.ne is not None:
            ex, consts = self.ne_ex[formula]
            out = make_out()
            args = tuple(bands) + consts
            rs.append(Runner("numexpr", (lambda ex=ex, args=args, o=out: ex(
                *args, out=o, order="K", casting="safe", ex_uses_vml=False)), out))
        if self.nb is not None:
            fn, extra = self.nb[formula]
            out = make_out()
            args = tuple(bands) + (out,) + extra
            rs.append(Runner("numba", (lambda fn=fn, args=args: fn(*args)), out))
            lfn, _ = self.nb["lim%d" % nb]
            out = make_out()
            args = tuple(bands) + (out,)
            rs.append(Runner("limit_numba", (lambda fn=lfn, args=args: fn(*args)), out))
        if self.dll is not None:
            out = make_out()
            ptrs = tuple(b.ctypes.data for b in bands) + (out.ctypes.data, out.size, self.nthreads)
            cfn = self.dll.lim2 if nb == 2 else self.dll.lim3
            rs.append(Runner("limit_c", (lambda fn=cfn, ptrs=ptrs: fn(*ptrs)), out))
        if op == "nd" and (self.dll is not None or self.nb is not None):
            holder = [None]
            a, b = bands
            if self.dll is not None:
                cfn, nthreads = self.dll.lim2, self.nthreads

                def lim_alloc():
                    o = np.empty(a.shape, F32)
                    cfn(a.ctypes.data, b.ctypes.data, o.ctypes.data, o.size, nthreads)
                    holder[0] = o
            else:
                lfn = self.nb["lim2"][0]

                def lim_alloc():
                    o = np.empty(a.shape, F32)
                    lfn(a, b, o)
                    holder[0] = o
            rs.append(Runner("limit_alloc", lim_alloc, None, result=lambda: holder[0]))
        return rs


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


def time_group(runners, reps, min_reps, budget_s, min_rep_s):
    """Interleaved repetitions: each round times every runner once, in a rotating order."""
    t_start = time.perf_counter()
    gc.collect()
    gc.disable()
    try:
        for rep in range(reps):
            k = rep % len(runners)
            for r in runners[k:] + runners[:k]:
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
    time_group(timed, args.reps, args.min_reps, args.budget, args.min_rep_ms / 1000.0)
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


# ----------------------------------------------------------------------------
# Data

def make_bands(h, w, seed, nbands=3):
    rng = np.random.default_rng([seed, h, w])
    bands = [rng.integers(0, 65536, size=(h, w), dtype=np.uint16) for _ in range(nbands)]
    if w >= len(EDGE_PIXELS):
        for j, px in enumerate(EDGE_PIXELS):
            for b, v in zip(bands, px):
                b[0, j] = v
    return bands


def parse_sizes(items):
    sizes = []
    for item in items:
        for part in str(item).replace(",", " ").split():
            if "x" in part:
                h, w = part.lower().split("x")
                sizes.append((int(h), int(w)))
            else:
                sizes.append((int(part), int(part)))
    return sizes


def size_label(h, w):
    return "%d^2" % h if h == w else "%dx%d" % (h, w)


# ----------------------------------------------------------------------------
# Layouts: kelvane on non-contiguous views, against its own contiguous call

def layout_views(layout, n, seed, nbands):
    """(bands, out) for a layout; every band view is n x n with random samples."""
    if layout == "contiguous":
        bands = make_bands(n, n, seed, nbands)
        return bands, np.empty((n, n), F32)
    if layout == "f_out":
        bands = make_bands(n, n, seed, nbands)
        return bands, np.empty((n, n), F32, order="F")
    if layout == "transposed":
        bands = [b.T for b in make_bands(n, n, seed + 1, nbands)]
        return bands, np.empty((n, n), F32).T
    if layout == "t_bands":
        bands = [b.T for b in make_bands(n, n, seed + 1, nbands)]
        return bands, np.empty((n, n), F32)
    if layout == "stepped_bands":
        bands = [b[:, ::2] for b in make_bands(n, 2 * n, seed + 2, nbands)]
        return bands, np.empty((n, n), F32)
    if layout == "stepped":
        bands = [b[:, ::2] for b in make_bands(n, 2 * n, seed + 2, nbands)]
        return bands, np.empty((n, 2 * n), F32)[:, ::2]
    if layout == "reversed":
        bands = [b[::-1, ::-1] for b in make_bands(n, n, seed + 3, nbands)]
        return bands, np.empty((n, n), F32)[::-1, ::-1]
    raise KeyError(layout)


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
                      "min_rep_ms": args.min_rep_ms, "seed": args.seed,
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

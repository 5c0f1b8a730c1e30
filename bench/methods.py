"""The methods timed side by side: NumPy as a careful user writes it, numexpr, numba,
the same-traffic C limit kernel, and kelvane itself, each as a runner over given arrays."""

import ctypes
import os
import shutil
import subprocess
import tempfile
import time

import numpy as np

from workload import (
    ADJ_K, ADJ_L, EPS, EVI_C1, EVI_C2, EVI_G, EVI_L, F32, FORMULA, OPS, PROGRAMS, Ref, SP_P,
    SP_S)

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


def np_mix30(n, r, bl, out):
    N = n.astype(F32)
    R = r.astype(F32)
    B = bl.astype(F32)
    T = np.empty_like(N)
    U = np.empty_like(N)
    np.subtract(N, R, out=out)
    np.add(N, R, out=T)
    np.add(T, EPS, out=T)
    np.divide(out, T, out=out)
    np.subtract(N, B, out=T)
    np.add(N, B, out=U)
    np.add(U, EPS, out=U)
    np.divide(T, U, out=T)
    np.add(out, T, out=out)
    np.multiply(R, EVI_C1, out=T)
    np.add(N, T, out=T)
    np.multiply(B, EVI_C2, out=U)
    np.subtract(T, U, out=T)
    np.add(T, EPS, out=T)
    np.subtract(N, R, out=U)
    np.divide(U, T, out=U)
    np.add(out, U, out=out)
    np.abs(out, out=out)


NUMPY_FUNCS = {"nd": np_nd, "ratio": np_ratio, "adj": np_adj, "evi": np_evi, "sqrtpow": np_sqrtpow,
               "mix30": np_mix30}

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
    "mix30": ("abs(((n - r) / ((n + r) + eps) + (n - bl) / ((n + bl) + eps))"
              " + (n - r) / (((n + c1 * r) - c2 * bl) + eps))", ["n", "r", "bl"],
              [("eps", EPS), ("c1", EVI_C1), ("c2", EVI_C2)]),
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
    def mix30_row(rn, rr, rb, ro, c1, c2, eps):
        for j in range(ro.shape[0]):
            N = np.float32(rn[j])
            R = np.float32(rr[j])
            B = np.float32(rb[j])
            first = (N - R) / ((N + R) + eps)
            second = (N - B) / ((N + B) + eps)
            third = (N - R) / (((N + c1 * R) - c2 * B) + eps)
            ro[j] = abs((first + second) + third)

    @njit(parallel=True, **opts)
    def nb_mix30(n, r, bl, out, c1, c2, eps):
        for i in prange(out.shape[0]):
            mix30_row(n[i], r[i], bl[i], out[i], c1, c2, eps)

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
        "mix30": (nb_mix30, (EVI_C1, EVI_C2, EPS)),
        "lim2": (nb_lim2, ()),
        "lim3": (nb_lim3, ()),
    }
    # Compile now (C-ordered 2-D uint16 bands, float32 output) so no timing includes it.
    compile_s = {}
    u = np.zeros((2, 8), np.uint16)
    o = np.zeros((2, 8), F32)
    for name, (fn, extra) in kern.items():
        nb = 3 if name in ("evi", "sqrtpow", "mix30", "lim3") else 2
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
            # Each allocating runner keeps its own last result alive (a closure
            # sees the variable, not the list it held when it was made).
            alloc_holder = [None]
            a, b = bands
            kfn = self.k.calculate_normalized_difference

            def alloc():
                alloc_holder[0] = kfn(a, b)
            rs.append(Runner("kelvane_alloc", alloc, None, result=lambda: alloc_holder[0]))
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
            lim_holder = [None]
            a, b = bands
            if self.dll is not None:
                cfn, nthreads = self.dll.lim2, self.nthreads

                def lim_alloc():
                    o = np.empty(a.shape, F32)
                    cfn(a.ctypes.data, b.ctypes.data, o.ctypes.data, o.size, nthreads)
                    lim_holder[0] = o
            else:
                lfn = self.nb["lim2"][0]

                def lim_alloc():
                    o = np.empty(a.shape, F32)
                    lfn(a, b, o)
                    lim_holder[0] = o
            rs.append(Runner("limit_alloc", lim_alloc, None, result=lambda: lim_holder[0]))
        return rs

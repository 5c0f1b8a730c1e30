"""What the benchmark computes: the coefficients, the band-math programs, the ops and
layouts, the reference results (the tests' NumPy float32 reference) and the input arrays."""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference  # noqa: E402  (the tests' NumPy float32 reference)

F32 = np.float32
EPS = reference.DENOM_EPSILON  # float32 nearest to 1e-10

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
    # |(n - r)/(n + r) + (n - bl)/(n + bl) + (n - r)/((n + c1*r) - c2*bl)|: three indices blended
    "expr_mix30": [_pb(0), _pb(1), _op("sub"), _pb(0), _pb(1), _op("add"), _op("div"),
                   _pb(0), _pb(2), _op("sub"), _pb(0), _pb(2), _op("add"), _op("div"), _op("add"),
                   _pb(0), _pb(1), _op("sub"), _pb(0), _ps(EVI_C1), _pb(1), _op("mul"), _op("add"),
                   _ps(EVI_C2), _pb(2), _op("mul"), _op("sub"), _op("div"), _op("add"), _op("abs")],
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
    "expr_mix30": ("band math: three indices blended, 30 instr, 2 consts", 3, None),
}
# The formula each op computes; band-math programs compute the same as their fixed twin.
FORMULA = {"nd": "nd", "ratio": "ratio", "adj": "adj", "evi": "evi",
           "expr_nd7": "nd", "expr_evi17": "evi", "expr_savi11": "adj",
           "expr_sqrtpow11": "sqrtpow", "expr_mix30": "mix30"}

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
    """Reference results: the tests' reference formulas; pow goes through libm's powf (the C
    helper) where it can."""

    def __init__(self, powf_array, pow_note):
        self.powf_array = powf_array
        self.pow_note = pow_note

    def compute(self, formula, bands):
        if formula == "nd":
            return reference.nd(*bands)
        if formula == "ratio":
            return reference.ratio(*bands)
        if formula == "adj":
            return reference.adjusted_difference(*bands, ADJ_L)
        if formula == "evi":
            return reference.evi(*bands, EVI_G, EVI_C1, EVI_C2, EVI_L)
        fl = [b.astype(F32) for b in bands]
        if formula == "sqrtpow":
            n, r, bl = fl
            return np.sqrt(np.abs(n - r)) + self.powf_array(bl * SP_S, SP_P)
        if formula == "mix30":
            n, r, bl = fl
            first = (n - r) / ((n + r) + EPS)
            second = (n - bl) / ((n + bl) + EPS)
            third = (n - r) / (((n + EVI_C1 * r) - EVI_C2 * bl) + EPS)
            return np.abs((first + second) + third)
        if formula == "limit":
            out = fl[0]
            for x in fl[1:]:
                out = out + x
            return out
        raise KeyError(formula)


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

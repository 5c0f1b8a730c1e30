"""The NumPy float32 reference of kelvane's arithmetic, for the tests and the bench:
the fixed indices, one rounded float32 operation per step; band-math programs,
evaluated an array at a time, with a random program generator; and the one
bit-for-bit comparison."""
import ctypes
import ctypes.util

import numpy as np

F32 = np.float32
DENOM_EPSILON = np.uint32(0x2EDBE6FF).view(np.float32)
SIGN_BIT = np.uint32(0x80000000)


def bits(x):
    return np.asarray(x, np.float32).view(np.uint32)


def assert_bits_equal(actual, expected, nan_sign_free=None):
    """Both float32 grids of one shape, equal bit for bit (NaN payloads and signed zeros
    included), but for the sign of the NaNs where `nan_sign_free` is set."""
    actual = np.asarray(actual)
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32, actual.dtype
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    got = np.ascontiguousarray(actual).view(np.uint32).copy()
    want = np.ascontiguousarray(expected).view(np.uint32).copy()
    if nan_sign_free is not None and nan_sign_free.any():
        assert np.isnan(expected[nan_sign_free]).all()
        got[nan_sign_free] &= ~SIGN_BIT
        want[nan_sign_free] &= ~SIGN_BIT
    bad = np.argwhere(got != want)
    if bad.size:
        first = tuple(int(i) for i in bad[0])
        raise AssertionError(
            f"{len(bad)} of {got.size} elements differ; first at {first}: "
            f"got {actual[first]!r} (0x{int(got[first]):08X}), "
            f"expected {expected[first]!r} (0x{int(want[first]):08X})"
        )


# --- the fixed indices -----------------------------------------------------------------

def _f32(band):
    # uint16 -> float32 is exact for every sample
    return np.asarray(band).astype(np.float32)


def nd(a, b):
    A, B = _f32(a), _f32(b)
    with np.errstate(all="ignore"):
        numerator = A - B
        denominator = (A + B) + DENOM_EPSILON
        return numerator / denominator


def ratio(a, b):
    A, B = _f32(a), _f32(b)
    with np.errstate(all="ignore"):
        return A / (B + DENOM_EPSILON)


def adjusted_difference(a, b, l):
    A, B = _f32(a), _f32(b)
    with np.errstate(all="ignore"):
        l = F32(l)  # rounded once, as the module rounds the Python float
        k = F32(1.0) + l
        numerator = A - B
        denominator = ((A + B) + l) + DENOM_EPSILON
        quotient = numerator / denominator
        return quotient * k


def evi(nir, red, blue, g, c1, c2, l):
    N, R, Bl = _f32(nir), _f32(red), _f32(blue)
    with np.errstate(all="ignore"):
        g, c1, c2, l = F32(g), F32(c1), F32(c2), F32(l)
        difference = N - R
        p1 = c1 * R
        s1 = N + p1
        p2 = c2 * Bl
        s2 = s1 - p2
        s3 = s2 + l
        denominator = s3 + DENOM_EPSILON
        quotient = difference / denominator
        return quotient * g


# --- band-math programs ----------------------------------------------------------------

STACK_SLOTS = 64

KINDS = ("push_band", "push_scalar", "add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt")
BINARY = ("add", "sub", "mul", "div", "pow")
UNARY = ("neg", "abs", "sqrt")

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.powf.argtypes = (ctypes.c_float, ctypes.c_float)
_libm.powf.restype = ctypes.c_float
# float32 -> double -> float32 is exact, NaN sign and payload included, so the
# C library's powf sees exactly the operands the module passes it.
_powf_elementwise = np.frompyfunc(_libm.powf, 2, 1)


def powf(a, b):
    """The C library's powf, element by element, on float32 arrays."""
    a64 = np.asarray(a, np.float32).astype(np.float64)
    b64 = np.asarray(b, np.float32).astype(np.float64)
    with np.errstate(all="ignore"):
        return np.asarray(_powf_elementwise(a64, b64), dtype=np.float64).astype(np.float32)


def push_band(k):
    return {"type": "push_band", "index": k}


def push_scalar(v):
    return {"type": "push_scalar", "value": v}


def op(kind):
    return {"type": kind}


def to_f32(value):
    with np.errstate(over="ignore"):
        return np.float32(float(value))


def evaluate(instructions, bands, shape):
    """Evaluate a program over the top-left shape[0] x shape[1] region of the bands.

    Returns (values, nan_sign_free): values is the float32 result grid; where
    nan_sign_free is True the result is a NaN whose sign bit depends on which of
    two NaN operands of a commutative Add or Mul the hardware propagates, which
    the compiler may order either way, so only the bits below the sign count.
    Raises ValueError for a program that would underflow, overflow or read a
    band position that does not exist (callers pass well-formed programs).
    """
    rows, cols = shape
    if not instructions:
        return np.zeros(shape, np.float32), np.zeros(shape, bool)
    stack = []  # (float32 grid, sign-free mask) pairs; stack[0] is the bottom slot
    with np.errstate(all="ignore"):
        for ins in instructions:
            kind = ins["type"]
            if kind in ("push_band", "push_scalar"):
                if len(stack) >= STACK_SLOTS:
                    raise ValueError("stack overflow")
                if kind == "push_band":
                    if ins["index"] >= len(bands):
                        raise ValueError("band position out of range")
                    value = np.asarray(bands[ins["index"]])[:rows, :cols].astype(np.float32)
                else:
                    value = np.full(shape, to_f32(ins["value"]), np.float32)
                stack.append((value, np.zeros(shape, bool)))
            elif kind in BINARY:
                if len(stack) < 2:
                    raise ValueError("stack underflow")
                b, free_b = stack.pop()
                a, free_a = stack.pop()
                nan_a, nan_b = np.isnan(a), np.isnan(b)
                if kind == "add":
                    r = a + b
                elif kind == "sub":
                    r = a - b
                elif kind == "mul":
                    r = a * b
                elif kind == "div":
                    t = b + DENOM_EPSILON  # rounded to float32 before the division
                    r = a / t
                else:
                    r = powf(a, b)
                free = np.isnan(r) & ((nan_a & free_a) | (nan_b & free_b))
                if kind in ("add", "mul"):
                    free |= nan_a & nan_b & (bits(a) != bits(b))
                stack.append((r.astype(np.float32), free))
            elif kind in UNARY:
                if not stack:
                    raise ValueError("stack underflow")
                x, free = stack.pop()
                if kind == "neg":
                    r = (bits(x) ^ SIGN_BIT).view(np.float32)
                elif kind == "abs":
                    r = (bits(x) & ~SIGN_BIT).view(np.float32)
                    free = np.zeros(shape, bool)
                else:
                    r = np.sqrt(x)
                    free = free & np.isnan(r)
                stack.append((r.astype(np.float32), free))
            else:
                raise ValueError(f"unknown kind {kind!r}")
    return stack[0]


SPECIAL_CONSTANTS = (
    0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, -3.0, 1 / 3, 10.0, 255.0, 65535.0,
    1e10, -1e10, 1e30, -1e30, 3.4e38, -3.4e38, 1e40, -1e40, 1e-30, 1e-40, 1e-45,
    float("inf"), -float("inf"), float("nan"), -float("nan"),
    float(DENOM_EPSILON), -float(DENOM_EPSILON),
)


def random_constant(rng):
    pick = rng.random()
    if pick < 0.5:
        return SPECIAL_CONSTANTS[rng.integers(len(SPECIAL_CONSTANTS))]
    if pick < 0.8:
        return float(rng.integers(-20, 21))
    return float(rng.standard_normal() * 10.0 ** rng.integers(-6, 7))


def _random_push(rng, num_bands):
    if num_bands and rng.random() < 0.6:
        return push_band(int(rng.integers(num_bands)))
    return push_scalar(random_constant(rng))


def _random_binary(rng):
    return op(BINARY[rng.choice(5, p=(0.25, 0.25, 0.2, 0.2, 0.1))])


def random_program(rng, num_bands, max_depth=None, length=None, leftovers=1):
    """A random postfix program that never under- or overflows the 64-slot stack.

    The stack reaches at most max_depth values (exactly max_depth when the
    program is long enough), and `leftovers` values remain at the end, so that
    leftovers > 1 exercises the bottom-of-stack result.
    """
    if max_depth is None:
        max_depth = int(rng.integers(1, STACK_SLOTS + 1))
    if length is None:
        length = int(rng.integers(1, 3 * max_depth + 2))
    leftovers = min(leftovers, max_depth)
    program, depth = [], 0
    # Climb to max_depth once, so deep stacks really occur, then wander.
    while depth < max_depth:
        program.append(_random_push(rng, num_bands))
        depth += 1
        if rng.random() < 0.2:
            program.append(op(UNARY[rng.integers(3)]))
    while len(program) < length:
        choices = []
        if depth < max_depth:
            choices.append("push")
        if depth >= 1:
            choices.append("unary")
        if depth >= 2:
            choices += ["binary", "binary"]
        what = choices[rng.integers(len(choices))]
        if what == "push":
            program.append(_random_push(rng, num_bands))
            depth += 1
        elif what == "unary":
            program.append(op(UNARY[rng.integers(3)]))
        else:
            program.append(_random_binary(rng))
            depth -= 1
    while depth > leftovers:
        program.append(_random_binary(rng))
        depth -= 1
    return program


def _root(arr):
    while isinstance(arr.base, np.ndarray):
        arr = arr.base
    return arr


def snapshot_memory(out):
    """A copy of every byte of the buffer that `out` views (its outermost array)."""
    return _root(out).reshape(-1).view(np.uint8).copy()


def assert_only_view_changed(out, before):
    """Check that no byte of out's buffer outside out's own elements differs from `before`."""
    root = _root(out)
    after = root.reshape(-1).view(np.uint8)
    offset = out.ctypes.data - root.ctypes.data
    starts = (offset + np.arange(out.shape[0])[:, None] * out.strides[0]
              + np.arange(out.shape[1])[None, :] * out.strides[1]).ravel()
    inside = np.zeros(after.size, bool)
    inside[(starts[:, None] + np.arange(out.itemsize)).ravel()] = True
    assert np.array_equal(after[~inside], before[~inside]), "bytes outside the output view were written"

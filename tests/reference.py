"""NumPy float32 reference of the fixed index kernels: one rounded float32 operation per step."""
import numpy as np

F32 = np.float32
DENOM_EPSILON = np.uint32(0x2EDBE6FF).view(np.float32)


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


def assert_bits_equal(actual, expected):
    """Both arrays float32 of one shape, equal bit for bit (NaN payloads and signed zeros included)."""
    actual = np.asarray(actual)
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.dtype == np.float32, actual.dtype
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    got = np.ascontiguousarray(actual).view(np.uint32)
    want = np.ascontiguousarray(expected).view(np.uint32)
    bad = np.argwhere(got != want)
    if bad.size:
        first = tuple(int(i) for i in bad[0])
        raise AssertionError(
            f"{len(bad)} of {got.size} elements differ; first at {first}: "
            f"got {actual[first]!r} (0x{int(got[first]):08X}), "
            f"expected {expected[first]!r} (0x{int(want[first]):08X})"
        )

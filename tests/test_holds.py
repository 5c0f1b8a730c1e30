"""Holds on arrays as callers see them: refusals, release after every failure, a private registry."""
import os
import subprocess
import sys

import numpy as np
import pytest

import kelvane
import reference as ref

NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
SENTINEL = np.uint32(0x7FC0DEAD).view(np.float32)
SHAPE = (6, 10)

# name -> (number of bands, scalars between the bands and out_buffer)
INPLACE = {
    "calculate_normalized_difference_inplace": (2, ()),
    "calculate_ratio_inplace": (2, ()),
    "calculate_adjusted_difference_inplace": (2, (0.5,)),
    "calculate_evi_inplace": (3, (2.5, 6.0, 7.5, 1.0)),
}


def call(name, bands, out):
    return getattr(kelvane, name)(*bands, *INPLACE[name][1], out)


def panic_message(name, bands, out):
    with pytest.raises(BaseException) as info:
        call(name, bands, out)
    exc = info.value
    assert type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    return str(exc)


def backed_band(shape, seed):
    """A uint16 band that is a view of a float32 array, so that its memory can later serve as an output."""
    backing = np.random.default_rng(seed).integers(0, 65536, (shape[0], 2 * shape[1]), dtype=np.uint16)
    backing = backing.view(np.float32).copy()
    return backing.view(np.uint16)[:, ::2], backing


def assert_nothing_held(*backings):
    """Each float32 array can be written, which a leftover hold on it or on a view of it would refuse."""
    for backing in backings:
        backing.flags.writeable = True
        a = np.arange(backing.size, dtype=np.uint16).reshape(backing.shape)
        kelvane.calculate_normalized_difference_inplace(a, a[::-1], backing)
        ref.assert_bits_equal(backing, ref.nd(a, a[::-1]))


@pytest.mark.parametrize("name", INPLACE)
def test_read_only_output_refused_and_bands_released(name):
    pairs = [backed_band(SHAPE, k) for k in range(INPLACE[name][0])]
    out = np.full(SHAPE, SENTINEL, np.float32)
    out.flags.writeable = False
    assert panic_message(name, [p[0] for p in pairs], out) == NOT_WRITEABLE
    assert (out.view(np.uint32) == 0x7FC0DEAD).all()
    assert_nothing_held(out, *(p[1] for p in pairs))


def _alias(kind):
    """(band aliasing the output's memory, the output); both from one buffer, so their holds are compared."""
    if kind == "same-elements":
        out = np.full(SHAPE, SENTINEL, np.float32)
        return out.view(np.uint16)[:, ::2], out
    if kind == "overlapping-rows":
        buf = np.full((SHAPE[0] + 2, SHAPE[1]), SENTINEL, np.float32)
        return buf[: SHAPE[0]].view(np.uint16)[:, ::2], buf[2:]
    if kind == "interleaved-odd-width":
        # no element shared, but the address ranges overlap and the pointer distance (4 bytes)
        # divides the strides' common divisor (row stride 4 * 21, column stride 8: divisor 4)
        buf = np.full((SHAPE[0], 2 * SHAPE[1] + 1), SENTINEL, np.float32)
        return buf.view(np.uint16)[:, 2 : 4 * SHAPE[1] + 2 : 4], buf[:, 0 : 2 * SHAPE[1] : 2]
    if kind == "empty-same-key":
        # NumPy keeps the data pointer of an empty slice at its start: slice first, then empty it
        buf = np.full((4, SHAPE[1]), SENTINEL, np.float32)
        return buf.view(np.uint16)[1:][:0, ::2], buf[1:][:0]
    raise ValueError(kind)


ALIASES = ["same-elements", "overlapping-rows", "interleaved-odd-width", "empty-same-key"]


@pytest.mark.parametrize("kind", ALIASES)
@pytest.mark.parametrize("name", INPLACE)
def test_output_aliasing_a_band_is_refused(name, kind):
    nbands = INPLACE[name][0]
    for position in range(nbands):
        alias, out = _alias(kind)
        pairs = [backed_band(alias.shape, k) for k in range(nbands)]
        bands = [p[0] for p in pairs]
        bands[position] = alias
        before = out.copy()
        assert panic_message(name, bands, out) == ALREADY_BORROWED
        assert out.tobytes() == before.tobytes()
        # the read-only holds taken before the refusal are gone: the band memories can be written
        assert_nothing_held(*(p[1] for p in pairs))
        # and the aliasing band and the output work in separate calls
        call(name, [alias] * nbands, np.empty(alias.shape, np.float32))
        call(name, [np.zeros(out.shape, np.uint16)] * nbands, out)


@pytest.mark.parametrize("kind", ["interleaved-even-width", "empty-other-pointer"])
def test_views_of_one_buffer_that_do_not_conflict(kind):
    rows, cols = SHAPE
    if kind == "interleaved-even-width":
        # column stride 8, row stride 80: divisor 8 does not divide the pointer distance of 4 bytes
        buf = np.random.default_rng(1).integers(0, 65536, (rows, 4 * cols), dtype=np.uint16).view(np.float32)
        band, out = buf.view(np.uint16)[:, 2::4], buf[:, 0::2]
    else:
        buf = np.zeros((4, cols), np.float32)
        band, out = buf.view(np.uint16)[2:][:0, ::2], buf[1:][:0]
    other = np.arange(band.size, dtype=np.uint16).reshape(band.shape)
    band_values, untouched = band.copy(), buf[:, 1::2].copy()
    kelvane.calculate_normalized_difference_inplace(band, other, out)
    ref.assert_bits_equal(out, ref.nd(band_values, other))
    assert buf[:, 1::2].tobytes() == untouched.tobytes()


def _multiarray():
    try:
        from numpy._core import multiarray
    except ImportError:  # NumPy 1.x
        from numpy.core import multiarray
    return multiarray


def test_registry_not_published_in_numpy():
    a = np.ones(SHAPE, np.uint16)
    out = np.empty(SHAPE, np.float32)
    kelvane.calculate_evi_inplace(a, a, a, 2.5, 6.0, 7.5, 1.0, out)
    assert not hasattr(_multiarray(), "_RUST_NUMPY_BORROW_CHECKING_API")


def test_registry_not_looked_up_in_numpy():
    # A foreign object under the shared attribute name is neither used nor replaced.
    script = f"""
import sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
import numpy as np
from test_holds import _multiarray, _alias, panic_message, ALREADY_BORROWED
_multiarray()._RUST_NUMPY_BORROW_CHECKING_API = "not a capsule"
import kelvane
a = np.ones((3, 4), np.uint16)
out = np.empty((3, 4), np.float32)
kelvane.calculate_normalized_difference_inplace(a, a, out)
band, aliased = _alias("same-elements")
assert panic_message("calculate_ratio_inplace", [band, band], aliased) == ALREADY_BORROWED
assert _multiarray()._RUST_NUMPY_BORROW_CHECKING_API == "not a capsule"
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr

"""Shape checks of the index functions: the first band is the reference, the first mismatch is reported."""
import numpy as np
import pytest

import kelvane

# name -> (number of bands, scalar arguments placed between the bands and out_buffer)
INPLACE = {
    "calculate_normalized_difference_inplace": (2, ()),
    "calculate_ratio_inplace": (2, ()),
    "calculate_adjusted_difference_inplace": (2, (0.5,)),
    "calculate_evi_inplace": (3, (2.5, 6.0, 7.5, 1.0)),
}
SENTINEL = np.uint32(0x7FC0DEAD).view(np.float32)


def call(name, arrays):
    nbands, scalars = INPLACE[name]
    return getattr(kelvane, name)(*arrays[:nbands], *scalars, arrays[nbands])


def make(shapes):
    """uint16 bands for all shapes but the last, a sentinel-filled float32 output for the last."""
    rng = np.random.default_rng(7)
    bands = [rng.integers(0, 65536, s, dtype=np.uint16) for s in shapes[:-1]]
    return bands + [np.full(shapes[-1], SENTINEL, np.float32)]


def message(i, expected, got):
    return f"Shape mismatch at index {i}: expected [{', '.join(map(str, expected))}], got [{', '.join(map(str, got))}]"


def expect_mismatch(name, arrays, i):
    before = [a.copy() for a in arrays]
    with pytest.raises(ValueError) as info:
        call(name, arrays)
    assert info.value.args == (message(i, arrays[0].shape, arrays[i].shape),)
    for a, b in zip(arrays, before):  # bands and output untouched
        assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("name", INPLACE)
@pytest.mark.parametrize("ref,other", [((3, 4), (4, 3)), ((3, 4), (3, 5)), ((0, 5), (5, 0)), ((1, 1), (1, 0))])
def test_single_offender_is_named_by_its_index(name, ref, other):
    n = INPLACE[name][0] + 1
    for i in range(1, n):
        shapes = [ref] * n
        shapes[i] = other
        expect_mismatch(name, make(shapes), i)


@pytest.mark.parametrize("name", INPLACE)
def test_only_first_mismatch_reported(name):
    n = INPLACE[name][0] + 1
    for first in range(1, n):
        shapes = [(6, 7)] * first + [(6 + k, 7) for k in range(1, n - first + 1)]
        expect_mismatch(name, make(shapes), first)


def test_transposed_output_names_index_2():
    arrays = make([(100, 200), (100, 200), (200, 100)])
    with pytest.raises(ValueError, match=r"^Shape mismatch at index 2: expected \[100, 200\], got \[200, 100\]$"):
        call("calculate_normalized_difference_inplace", arrays)


def test_evi_output_alone_differs_is_index_3():
    expect_mismatch("calculate_evi_inplace", make([(5, 9)] * 3 + [(9, 5)]), 3)


@pytest.mark.parametrize("name", INPLACE)
@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_equal_empty_shapes_pass(name, shape):
    arrays = make([shape] * (INPLACE[name][0] + 1))
    assert call(name, arrays) is None


@pytest.mark.parametrize("name", INPLACE)
def test_mismatch_reported_before_read_only_output_refused(name):
    n = INPLACE[name][0] + 1
    arrays = make([(4, 4)] * (n - 1) + [(4, 5)])
    arrays[-1].flags.writeable = False
    expect_mismatch(name, arrays, n - 1)


@pytest.mark.parametrize("a_shape,b_shape", [((3, 4), (4, 3)), ((0, 5), (5, 0)), ((2, 3), (2, 4))])
def test_allocating_function_reports_band_b_as_index_1(a_shape, b_shape):
    a, b = np.ones(a_shape, np.uint16), np.ones(b_shape, np.uint16)
    with pytest.raises(ValueError) as info:
        kelvane.calculate_normalized_difference(a, b)
    assert info.value.args == (message(1, a_shape, b_shape),)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (3, 7)])
def test_allocating_function_returns_c_float32_of_band_a_shape(shape):
    a = np.asfortranarray(np.full(shape, 3, np.uint16))
    b = np.full(shape, 1, np.uint16)[::-1]
    out = kelvane.calculate_normalized_difference(a, b)
    assert type(out) is np.ndarray and out.dtype == np.float32 and out.shape == shape
    assert out.flags.c_contiguous and out.flags.writeable
    assert np.all(out == 0.5)

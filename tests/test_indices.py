"""Index functions bit for bit against the float32 reference, over layouts, shapes and edge values."""
import ctypes
import itertools
import random

import numpy as np
import pytest

import kelvane
import reference as ref
from layouts import LAYOUT_NAMES, make_layout

SENTINEL = np.uint32(0x7FC0DEAD).view(np.float32)
EVI_COEFFS = (2.5, 6.0, 7.5, 1.0)
# Defaults whose products and sums round, so that a fused or reordered operation shows up.
EVI_INEXACT = (2.5, 6.1, 7.3, 0.9)

# name -> (function, number of bands, default scalars, reference(bands, scalars))
FUNCS = {
    "nd": (kelvane.calculate_normalized_difference_inplace, 2, (), lambda b, p: ref.nd(*b)),
    "ratio": (kelvane.calculate_ratio_inplace, 2, (), lambda b, p: ref.ratio(*b)),
    "adjusted": (kelvane.calculate_adjusted_difference_inplace, 2, (0.3,), lambda b, p: ref.adjusted_difference(*b, *p)),
    "evi": (kelvane.calculate_evi_inplace, 3, EVI_INEXACT, lambda b, p: ref.evi(*b, *p)),
}


def run(name, bands, out, params=None):
    fn, _, default, _ = FUNCS[name]
    assert fn(*bands, *(default if params is None else params), out) is None


def expected(name, bands, params=None):
    _, _, default, reference = FUNCS[name]
    return reference([np.asarray(b) for b in bands], default if params is None else params)


def sample_bands(shape, n, seed=0):
    """Full-range samples mixed with zeros, 65535 and small values (zero and negative denominators)."""
    rng = np.random.default_rng(seed)
    bands = []
    for _ in range(n):
        pick = rng.integers(0, 4, shape)
        full, small = rng.integers(0, 65536, shape), rng.integers(0, 16, shape)
        bands.append(np.select([pick == 0, pick == 1, pick == 2], [full, small, 0], 65535).astype(np.uint16))
    return bands


def check(name, shape, out_layout, band_layouts, params=None, seed=0):
    values = sample_bands(shape, FUNCS[name][1], seed)
    bands = [make_layout(v, lay) for v, lay in zip(values, band_layouts)]
    out = make_layout(np.full(shape, SENTINEL, np.float32), out_layout)
    run(name, bands, out, params)
    ref.assert_bits_equal(out, expected(name, values, params))
    for band, v in zip(bands, values):
        assert np.array_equal(band, v)  # inputs unchanged


def _combinations():
    cases = [(f, o, (b,) * FUNCS[f][1]) for f in FUNCS for o in LAYOUT_NAMES for b in LAYOUT_NAMES]
    rng = random.Random(20240611)
    for f in FUNCS:
        product = list(itertools.product(LAYOUT_NAMES, repeat=FUNCS[f][1] + 1))
        cases += [(f, c[-1], c[:-1]) for c in rng.sample(product, 24)]
    return cases


@pytest.mark.parametrize(
    "name,out_layout,band_layouts", _combinations(), ids=lambda x: x if isinstance(x, str) else "-".join(x)
)
def test_layout_combinations(name, out_layout, band_layouts):
    check(name, (33, 65), out_layout, band_layouts)


@pytest.mark.parametrize("name", FUNCS)
@pytest.mark.parametrize("shape", [(1, 1), (1, 37), (37, 1), (7, 13), (33, 65), (0, 5), (5, 0), (301, 517)])
def test_shapes(name, shape):
    for layout in LAYOUT_NAMES:
        check(name, shape, layout, (layout,) * FUNCS[name][1], seed=shape[0])
    check(name, shape, "F", ("C",) * FUNCS[name][1])  # no common contiguity, row-major lean


@pytest.mark.parametrize("a_layout,b_layout", list(itertools.product(LAYOUT_NAMES, repeat=2)))
def test_allocating_normalized_difference(a_layout, b_layout):
    for shape in [(33, 65), (1, 9), (0, 3)]:
        a, b = sample_bands(shape, 2, seed=3)
        out = kelvane.calculate_normalized_difference(make_layout(a, a_layout), make_layout(b, b_layout))
        assert out.flags.c_contiguous
        ref.assert_bits_equal(out, ref.nd(a, b))


def _handler_name(array):
    multiarray = getattr(np, "_core", getattr(np, "core", None)).multiarray
    return multiarray.get_handler_name(array)


@pytest.mark.parametrize("then", ["free", "resize", "fail", "keep", "too_big"])
def test_allocating_results_reuse_only_freed_memory(then):
    """Large results hand their memory to the next result of their size once freed, and to nothing else."""
    shape = (1024, 1024)  # 4 MiB of floats: large enough to be kept
    a, b = sample_bands(shape, 2, seed=5)
    first = kelvane.calculate_normalized_difference(a, b)
    assert _handler_name(first) == "kelvane_outputs"
    first[...] = np.nan  # what a reused buffer would show if a pixel were left unwritten
    address = first.ctypes.data
    if then == "free":
        del first
    elif then == "resize":
        first.resize((2048, 1024), refcheck=False)
        del first
    elif then == "fail":
        del first
        with pytest.raises(ValueError):
            kelvane.calculate_normalized_difference(a, b[:, :-1])
    elif then == "too_big":  # NumPy refuses a result of 2**63 bytes before asking for memory
        huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint16), shape=(2**31, 2**30), strides=(0, 0))
        with pytest.raises(BaseException) as failure:
            kelvane.calculate_normalized_difference(huge, huge)
        assert (type(failure.value).__name__, str(failure.value)) == ("PanicException", "Python API call failed")
    second = kelvane.calculate_normalized_difference(b, a)
    ref.assert_bits_equal(second, ref.nd(b, a))
    if then in ("free", "fail"):
        assert second.ctypes.data == address
    if then == "keep":
        assert (np.isnan(first)).all() and not np.shares_memory(first, second)
    assert _handler_name(np.empty(shape, np.float32)) != "kelvane_outputs"


EDGE_VALUES = [
    ("nd", (0, 0), None, 0.0),
    ("nd", (3, 1), None, 0.5),
    ("nd", (1000, 3000), None, -0.5),
    ("nd", (5, 5), None, 0.0),
    ("nd", (65535, 0), None, 1.0),
    ("nd", (0, 1), None, -1.0),
    ("nd", (0, 65535), None, -1.0),
    ("ratio", (0, 0), None, 0.0),
    ("ratio", (1, 0), None, 10000000000.0),
    ("ratio", (2, 0), None, 20000000000.0),
    ("ratio", (65535, 0), None, 655350000779264.0),
    ("ratio", (3, 2), None, 1.5),
    ("ratio", (0, 65535), None, 0.0),
    ("adjusted", (3, 1), (0.5,), 0.6666667),
    ("adjusted", (0, 0), (0.5,), 0.0),
    ("adjusted", (2, 0), (-2.0,), -20000000000.0),
    ("adjusted", (1, 1), (-2.0,), -0.0),
    ("evi", (3000, 1000, 500), EVI_COEFFS, 0.9521996),
    ("evi", (0, 0, 0), EVI_COEFFS, 0.0),
    ("evi", (14, 0, 2), EVI_COEFFS, 349999988736.0),
    ("evi", (1000, 500, 533), EVI_COEFFS, 357.14288),
    ("evi", (1000, 500, 600), EVI_COEFFS, -2.5050101),
]


@pytest.mark.parametrize("name,samples,params,value", EDGE_VALUES)
def test_edge_values(name, samples, params, value):
    # 3 x 5 pixels: contiguous runs of four lanes plus a tail, and a strided output
    bands = [np.full((3, 5), s, np.uint16) for s in samples]
    want = np.full((3, 5), value, np.float32)
    ref.assert_bits_equal(expected(name, bands, params), want)
    for layout in ("C", "stepped"):
        out = make_layout(np.full((3, 5), SENTINEL, np.float32), layout)
        run(name, bands, out, params)
        ref.assert_bits_equal(out, want)


SCALARS = [
    ("adjusted", (float("nan"),)),
    ("adjusted", (float("inf"),)),
    ("adjusted", (float("-inf"),)),
    ("adjusted", (-1.0,)),
    ("adjusted", (-2.0,)),
    ("adjusted", (-0.0,)),
    ("adjusted", (0.1,)),
    ("adjusted", (1e39,)),
    ("adjusted", (-65535.5,)),
    ("adjusted", (0.5,)),  # multiples of 1/2 up to 2 divide through the estimate on AVX-512
    ("adjusted", (1.5,)),
    ("adjusted", (2.0,)),
    ("adjusted", (2.5,)),
    ("evi", (float("nan"), 6.0, 7.5, 1.0)),
    ("evi", (2.5, float("nan"), 7.5, 1.0)),
    ("evi", (2.5, 6.0, float("nan"), 1.0)),
    ("evi", (2.5, 6.0, 7.5, float("nan"))),
    ("evi", (0.0, 6.0, 7.5, 1.0)),
    ("evi", (-0.0, 6.0, 7.5, 1.0)),
    ("evi", (float("inf"), 6.0, 7.5, 1.0)),
    ("evi", (-2.5, 6.0, 7.5, float("-inf"))),
    ("evi", (2.5, -6.0, 7.5, -1.0)),
    ("evi", (2.5, 6.0, -7.5, -1e39)),
    ("evi", (1.1, 0.3, 0.7, 0.1)),
]


@pytest.mark.parametrize("name,params", SCALARS)
def test_scalar_parameters(name, params):
    values = sample_bands((7, 13), FUNCS[name][1], seed=5)
    for layout in ("C", "reversed"):
        out = make_layout(np.full((7, 13), SENTINEL, np.float32), layout)
        run(name, [make_layout(v, layout) for v in values], out, params)
        ref.assert_bits_equal(out, expected(name, values, params))
        if any(np.isnan(p) for p in params):
            assert np.isnan(out).all()


def test_adjusted_difference_with_zero_l_is_normalized_difference():
    a, b = sample_bands((33, 65), 2, seed=9)
    nd, adj = np.empty((33, 65), np.float32), np.empty((33, 65), np.float32)
    kelvane.calculate_normalized_difference_inplace(a, b, nd)
    kelvane.calculate_adjusted_difference_inplace(a, b, 0.0, adj)
    ref.assert_bits_equal(adj, nd)


@pytest.mark.parametrize(
    "name,pattern", [("nd", (0, 0)), ("ratio", (0, 0)), ("adjusted", (0, 0)), ("evi", (0, 0, 1)), ("evi", (0, 1, 0)), ("evi", (0, 0, 0))]
)
def test_same_array_as_several_bands(name, pattern):
    distinct = sample_bands((9, 11), 2, seed=11)
    bands = [distinct[k] for k in pattern]
    out = np.full((9, 11), SENTINEL, np.float32)
    run(name, bands, out)
    ref.assert_bits_equal(out, expected(name, bands))
    if name == "nd":
        assert not out.view(np.uint32).any()  # +0.0 everywhere


@pytest.mark.parametrize("name", FUNCS)
def test_read_only_bands(name):
    values = sample_bands((5, 6), FUNCS[name][1], seed=2)
    bands = [make_layout(v, "F") for v in values]
    for band in bands:
        band.flags.writeable = False
    out = np.empty((5, 6), np.float32)
    run(name, bands, out)
    ref.assert_bits_equal(out, expected(name, values))


def _out_in_buffer(buf, offset, shape, strides):
    return np.ndarray(shape, np.float32, buffer=buf, offset=offset, strides=strides)


def _touched_bytes(buf, view, itemsize):
    start = view.ctypes.data - buf.ctypes.data
    rows, cols = view.shape
    element = start + np.add.outer(np.arange(rows) * view.strides[0], np.arange(cols) * view.strides[1])
    mask = np.zeros(buf.size, bool)
    for k in range(itemsize):
        mask[(element + k).ravel()] = True
    return mask


OUTPUT_PLACEMENTS = {
    # name -> (byte offset, byte strides as a function of rows and columns, reverse afterwards)
    "stepped": (8, lambda r, c: (4 * (3 * c + 2), 12), False),
    "stepped-reversed": (8, lambda r, c: (4 * (3 * c + 2), 12), True),
    "unaligned-stepped": (5, lambda r, c: (8 * c + 12, 8), False),
    "odd-strides": (3, lambda r, c: (5 * c + 3, 5), False),
    "odd-strides-reversed": (3, lambda r, c: (5 * c + 3, 5), True),
    "odd-column-major": (1, lambda r, c: (6, 6 * r + 1), False),
}


@pytest.mark.parametrize("placement", OUTPUT_PLACEMENTS)
@pytest.mark.parametrize("name", FUNCS)
def test_only_output_view_elements_written(name, placement):
    rows, cols = 11, 19
    offset, strides, reverse = OUTPUT_PLACEMENTS[placement]
    s0, s1 = strides(rows, cols)
    buf = np.full(offset + (rows - 1) * s0 + (cols - 1) * s1 + 4 + 16, 0xAB, np.uint8)
    out = _out_in_buffer(buf, offset, (rows, cols), (s0, s1))
    if reverse:
        out = out[::-1, ::-1]
    values = sample_bands((rows, cols), FUNCS[name][1], seed=4)
    run(name, values, out)
    ref.assert_bits_equal(out, expected(name, values))
    untouched = ~_touched_bytes(buf, out, 4)
    assert (buf[untouched] == 0xAB).all()


def _odd_strided_band(values, offset, s0, s1):
    rows, cols = values.shape
    buf = np.full(offset + (rows - 1) * s0 + (cols - 1) * s1 + 2 + 8, 0x5A, np.uint8)
    band = np.ndarray(values.shape, np.uint16, buffer=buf, offset=offset, strides=(s0, s1))
    band[...] = values
    return band


@pytest.mark.parametrize("name", FUNCS)
@pytest.mark.parametrize("strides", [(3 * 19 + 5, 3), (2 * 19 + 1, 2), (5, 5 * 11 + 3)])
def test_band_byte_strides_not_multiple_of_element_size(name, strides):
    values = sample_bands((11, 19), FUNCS[name][1], seed=6)
    bands = [_odd_strided_band(v, 1, *strides) for v in values]
    bands[-1] = _odd_strided_band(values[-1][::-1, ::-1].copy(), 1, *strides)[::-1, ::-1]
    out = np.full((11, 19), SENTINEL, np.float32)
    run(name, bands, out)
    ref.assert_bits_equal(out, expected(name, values))
    for band, v in zip(bands, values):
        assert np.array_equal(band, v)


def _large_across(shape, bands_fortran, run_floats, seed):
    """Bands in one orientation and an output view in the other, large enough for streaming
    stores, whose first element is not aligned and whose runs are `run_floats` floats apart."""
    rows, cols = shape
    bands = sample_bands(shape, 3, seed=seed)
    bands = [np.asfortranarray(x) if bands_fortran else x for x in bands]
    if bands_fortran:  # row-major output: rows of run_floats floats, starting 3 elements in
        out = np.full((rows, run_floats), SENTINEL, np.float32)[:, 3 : 3 + cols]
    else:  # column-major output: columns of run_floats floats, starting 3 elements in
        out = np.full((run_floats, cols), SENTINEL, np.float32, order="F")[3 : 3 + rows, :]
    return bands, out


@pytest.mark.parametrize("name", ["nd", "evi"])
@pytest.mark.parametrize("bands_fortran", [False, True])
@pytest.mark.parametrize("run_floats", [2608, 2607])  # runs a multiple of 64 bytes apart, and not
def test_large_output_across_the_bands(name, bands_fortran, run_floats):
    shape = (2601, 2603)[:: -1 if bands_fortran else 1]  # more than 24 MiB of output
    bands, out = _large_across(shape, bands_fortran, run_floats, seed=11)
    bands = bands[: FUNCS[name][1]]
    parent = out.base
    run(name, bands, out)
    ref.assert_bits_equal(out, expected(name, bands))
    # Nothing around the view was written.
    around = parent.copy()
    around[(slice(None), slice(3, 3 + shape[1])) if bands_fortran else (slice(3, 3 + shape[0]), slice(None))] = SENTINEL
    assert np.array_equal(around.view(np.uint32), np.full(parent.shape, SENTINEL).view(np.uint32))


def _shared_memory_views(rows, cols):
    """A uint16 band and a float32 output over the same bytes, through two buffer objects, so
    that no hold sees them share memory; both reversed, with a second band reversed too."""
    raw = (ctypes.c_byte * (4 * rows * cols))()
    address = ctypes.addressof(raw)
    band = np.frombuffer((ctypes.c_uint16 * (rows * cols)).from_address(address), np.uint16)
    out = np.frombuffer((ctypes.c_float * (rows * cols)).from_address(address), np.float32)
    band[...] = sample_bands((1, rows * cols), 1, seed=12)[0].ravel()
    other = sample_bands((rows, cols), 1, seed=13)[0]
    return raw, band.reshape(rows, cols)[::-1, ::-1], other[::-1, ::-1], out.reshape(rows, cols)[::-1, ::-1]


ND_PROGRAM = kelvane.compile_expr([{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
                                    {"type": "sub"}, {"type": "push_band", "index": 0},
                                    {"type": "push_band", "index": 1}, {"type": "add"}, {"type": "div"}], 2)


@pytest.mark.parametrize("through", ["index", "program"])
@pytest.mark.parametrize("rows, cols", [(7, 37), (64, 48)])
def test_reversed_output_sharing_a_band_follows_the_walk(rows, cols, through):
    # Every view steps backwards; the output overwrites band samples that later pixels read,
    # so only the row-by-row walk (each row first column to last) defines the result.
    memory, a, b, out = _shared_memory_views(rows, cols)
    expect = np.empty((rows, cols), np.float32)
    for r in range(rows):
        for c in range(cols):
            expect[r, c] = ref.nd(a[r : r + 1, c : c + 1].copy(), b[r : r + 1, c : c + 1])[0, 0]
            out[r, c] = expect[r, c]
    memory, a, b, out = _shared_memory_views(rows, cols)  # the views do not keep `memory` alive
    if through == "index":
        run("nd", [a, b], out)
    else:
        kelvane.execute_expr_inplace(ND_PROGRAM, [a, b], out)
    ref.assert_bits_equal(out, expect)


@pytest.mark.parametrize("through", ["nd", "evi", "program"])
@pytest.mark.parametrize("cols", [16, 17, 257, 600])
def test_every_other_sample_over_long_rows(through, cols):
    # Bands and outputs that are [:, ::2] slices, rows longer than a group and than a chunk;
    # each view's last element ends its buffer.
    name = "nd" if through == "program" else through
    values = sample_bands((3, cols), FUNCS[name][1], seed=cols)
    bands = [make_layout(v, "every_other") for v in values]
    for out_layout in ("C", "every_other"):
        out = make_layout(np.full((3, cols), SENTINEL, np.float32), out_layout)
        if through == "program":
            kelvane.execute_expr_inplace(ND_PROGRAM, bands, out)
        else:
            run(name, bands, out)
        ref.assert_bits_equal(out, expected(name, values))
        if out_layout == "every_other":
            assert (out.base[:, 1::2].view(np.uint32) == SENTINEL.view(np.uint32)).all()


@pytest.mark.parametrize("through", ["nd", "evi", "program"])
@pytest.mark.parametrize("out_every_other", [False, True])
def test_every_other_sample_into_a_large_output(through, out_every_other):
    # More than 24 MiB of output (streamed), rows starting at every offset within a group;
    # an output of every other float leaves the floats in between as they were.
    name = "nd" if through == "program" else through
    shape = (2049, 3077)
    values = sample_bands(shape, FUNCS[name][1], seed=5)
    bands = [make_layout(v, "every_other") for v in values]
    if out_every_other:
        out = np.full((shape[0], 2 * shape[1] + 1), SENTINEL, np.float32)[:, 1::2]
        untouched = out.base[:, 0::2]
    else:
        out = np.full((shape[0], shape[1] + 2), SENTINEL, np.float32)[:, 1:-1]  # rows 3079 floats apart
        untouched = out.base[:, [0, -1]]
    if through == "program":
        kelvane.execute_expr_inplace(ND_PROGRAM, bands, out)
    else:
        run(name, bands, out)
    ref.assert_bits_equal(out, expected(name, values))
    assert (untouched.view(np.uint32) == SENTINEL.view(np.uint32)).all()

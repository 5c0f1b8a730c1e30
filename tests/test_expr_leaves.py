"""Arithmetic on bands and constants that the evaluator computes inside the
operation reading it (leaves), next to the shapes that must not be fused: the
bits must be those of evaluating every pixel, whatever the bands' layouts."""
import numpy as np
import pytest

import kelvane
from reference import assert_bits_equal, evaluate, op, push_band as b, push_scalar as s
from layouts import make_layout

PROGRAMS = {
    # two leaves of two bands under one division: the same bands, the same bands
    # swapped, other bands
    "nd": [b(0), b(1), op("sub"), b(0), b(1), op("add"), op("div")],
    "nd_swapped": [b(0), b(1), op("sub"), b(1), b(0), op("mul"), op("div")],
    "two_pairs": [b(0), b(0), op("mul"), b(2), b(1), op("sub"), op("add")],
    # leaves with constants on either side, beside a band and a slot
    "band_constant": [b(0), s(6.0), b(1), op("mul"), op("add"), b(2), s(-7.5), op("mul"), op("sub"),
                      b(0), b(1), op("sub"), op("div")],
    "constant_first": [s(1.0), b(2), op("div"), b(0), s(0.5), op("sub"), op("mul")],
    # a leaf under each unary operation
    "unary": [b(0), b(1), op("sub"), op("abs"), op("sqrt"), b(2), s(3.0), op("mul"), op("neg"), op("add")],
    # a leaf of two bands beside a leaf with a constant: one of them stays a slot
    "mixed_pair": [b(0), b(1), op("mul"), b(2), s(2.0), op("add"), op("div")],
    # a leaf read by pow, and one whose value is the result
    "pow_reader": [b(0), b(1), op("sub"), s(2.0), op("pow")],
    "leaf_result": [b(2), b(0), op("div")],
    # the same band on both sides, a leaf left under the result
    "same_band": [b(1), b(1), op("sub"), b(0), b(1), op("mul")],
}


LAYOUT_CASES = [
    (("C", "C", "C"), "C"),
    (("C", "C", "C"), "F"),            # tiles along the bands, transposed on the way out
    (("F", "F", "F"), "F"),            # tiles down the columns
    (("reversed", "C", "C"), "C"),     # a band read backwards is never part of a leaf
    (("C", "stepped", "C"), "C"),      # nor one copied into a slot first
    (("unaligned", "C", "transposed"), "C"),
    (("every_other",) * 3, "C"),       # every other sample of every band: read in place as well
    (("every_other",) * 3, "every_other"),
    (("every_other", "every_other", "C"), "C"),  # of some bands only: those go to slots
]


def sample_bands(rng, shape):
    return [np.where(rng.random(shape) < 0.2, rng.integers(0, 3, shape), rng.integers(0, 65536, shape))
            .astype(np.uint16) for _ in range(3)]


def run_in_layouts(expr, program, bands, band_layouts, out_layout):
    expected, sign_free = evaluate(program, bands, bands[0].shape)
    out = make_layout(np.full(bands[0].shape, np.nan, np.float32), out_layout)
    views = [make_layout(x, how) for x, how in zip(bands, band_layouts)]
    kelvane.execute_expr_inplace(expr, views, out)
    assert_bits_equal(out, expected, sign_free)


@pytest.mark.parametrize("name", PROGRAMS)
@pytest.mark.parametrize("band_layouts, out_layout", LAYOUT_CASES)
def test_leaves_give_the_bits_of_every_pixel(name, band_layouts, out_layout):
    bands = sample_bands(np.random.default_rng(11), (37, 45))
    program = PROGRAMS[name]
    run_in_layouts(kelvane.compile_expr(program, 3), program, bands, band_layouts, out_layout)


@pytest.mark.parametrize("name", PROGRAMS)
def test_one_program_in_turn_over_every_layout(name):
    """A compiled program keeps the plan of calls whose bands are read forwards
    along the tiles; calls in other layouts, in any order, must not use it."""
    rng = np.random.default_rng(12)
    program = PROGRAMS[name]
    expr = kelvane.compile_expr(program, 3)
    cases = LAYOUT_CASES + LAYOUT_CASES[::-1]
    for (band_layouts, out_layout), shape in zip(cases, [(37, 45), (1, 1), (16, 16), (3, 200)] * 4):
        run_in_layouts(expr, program, sample_bands(rng, shape), band_layouts, out_layout)

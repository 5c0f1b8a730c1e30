"""Random band-math programs run through kelvane and through the NumPy reference evaluator, compared bit for bit."""
import numpy as np
import pytest

import kelvane
from reference import (
    DENOM_EPSILON, assert_bits_equal, evaluate, op, push_band as b, push_scalar as s, random_program,
)
from layouts import layouts, out_layouts

PROGRAMS_PER_SEED = 10


def random_bands(rng, count, shape):
    bands = []
    for _ in range(count):
        extra = rng.choice([0, 0, 1, 3], size=2)  # a band may be larger than the output
        band_shape = (shape[0] + extra[0], shape[1] + extra[1])
        full = rng.integers(0, 65536, band_shape)
        small = rng.integers(0, 5, band_shape)  # zeros and equal samples: zero divisors and differences
        bands.append(np.where(rng.random(band_shape) < 0.5, full, small).astype(np.uint16))
    return bands


def pick_layout(rng, variants):
    return variants[rng.integers(len(variants))][1]


def run_and_compare(program, bands, shape, rng):
    expected, sign_free = evaluate(program, bands, shape)
    expr = kelvane.compile_expr(program, len(bands))
    in_layout = [pick_layout(rng, list(layouts(band))) for band in bands]
    out = pick_layout(rng, list(out_layouts(shape)))
    kelvane.execute_expr_inplace(expr, in_layout, out)
    assert_bits_equal(out, expected, sign_free)


@pytest.mark.parametrize("seed", range(30))
def test_random_programs(seed):
    rng = np.random.default_rng(1000 + seed)
    for i in range(PROGRAMS_PER_SEED):
        num_bands = int(rng.integers(1, 5))
        shape = (int(rng.integers(1, 8)), int(rng.integers(1, 8)))
        max_depth = 64 if i == 0 else None  # every seed reaches the full stack once
        leftovers = int(rng.choice([1, 1, 1, 2, 5]))
        program = random_program(rng, num_bands, max_depth=max_depth, leftovers=leftovers)
        try:
            run_and_compare(program, random_bands(rng, num_bands, shape), shape, rng)
        except AssertionError as exc:
            raise AssertionError(f"program {i} of seed {seed}: {program}\n{exc}") from None


INF, NAN = float("inf"), float("nan")
EPS = float(DENOM_EPSILON)

SPECIAL_PROGRAMS = {
    "huge_product": [s(1e30), s(1e30), op("mul")],
    "huge_sum_then_sub": [s(3.4e38), s(3.4e38), op("add"), s(3.4e38), op("sub")],
    "inf_minus_inf": [s(1e30), s(1e30), op("mul"), s(1e30), s(1e30), op("mul"), op("sub")],
    "zero_times_inf": [s(0), s(1e40), op("mul")],
    "neg_zero_times_inf": [s(-0.0), s(INF), op("mul")],
    "inf_div_inf": [s(INF), s(-INF), op("div")],
    "nan_minus_neg_nan": [s(NAN), s(NAN), op("neg"), op("sub")],
    "nan_neg_sqrt": [s(NAN), op("neg"), op("sqrt")],
    "subnormal_quotient": [s(1e-45), s(3), op("div")],
    "subnormal_sum": [s(1e-40), s(-1e-40), op("add")],
    "pow_neg_cube_root": [s(-8), s(1), s(3), op("div"), op("pow")],
    "pow_zero_minus_one": [s(0), s(-1), op("pow")],
    "pow_neg_zero_minus_one": [s(-0.0), s(-1), op("pow")],
    "pow_nan_zero": [s(NAN), s(0), op("pow")],
    "pow_nan_neg_zero": [s(NAN), s(-0.0), op("pow")],
    "pow_one_nan": [s(1), s(NAN), op("pow")],
    "pow_minus_one_inf": [s(-1), s(INF), op("pow")],
    "pow_minus_inf_three": [s(-INF), s(3), op("pow")],
    "pow_overflow": [s(2), s(128), op("pow")],
    "pow_underflow": [s(2), s(-150), op("pow")],
    "pow_half_inf": [s(0.5), s(-INF), op("pow")],
    "pow_band_band": [b(0), b(1), s(4096), op("div"), op("pow")],
    "pow_band_negative_frac": [b(0), op("neg"), s(0.5), op("pow")],
    "div_by_minus_epsilon": [b(0), s(-EPS), op("div")],
    "div_by_tiny": [b(0), s(1e-30), op("div"), b(1), op("mul")],
    "sqrt_of_difference": [b(0), b(1), op("sub"), op("sqrt"), op("abs")],
    # divisions of whole numbers: a numerator that may be -0, a divisor of 0 alone, a sum past 2^17
    "whole_minus_zero_numerator": [b(0), b(0), op("sub"), op("neg"), b(0), b(1), op("add"), op("div")],
    "whole_neg_zero_scalar_numerator": [s(-0.0), b(1), op("div")],
    "whole_by_zero": [b(0), b(1), op("sub"), s(0), op("div")],
    "whole_past_largest": [b(0), b(1), op("add"), b(0), op("add"), b(1), s(3), op("mul"), op("div")],
    # ... and of halves and quarters: SAVI's, one whose divisor may be 0, one scaled past 2^18
    "halves_savi": [b(0), b(1), op("sub"), b(0), b(1), op("add"), s(0.5), op("add"), op("div"), s(1.5), op("mul")],
    "halves_by_zero": [b(0), s(0.5), op("mul"), b(1), op("div")],
    "halves_savi_product_first": [s(1), s(0.5), op("add"), b(0), b(1), op("sub"), op("mul"), b(0), b(1), op("add"),
                                  s(0.5), op("add"), op("div")],
    "whole_minus_zero_product": [b(0), b(1), op("sub"), s(0), op("mul"), b(0), b(1), op("add"), op("div")],
    "quarters_past_largest": [b(0), b(1), op("sub"), b(0), b(1), op("add"), s(0.25), op("add"), op("div")],
}

# What the C library's powf must give (Annex F) for the reference itself to be trusted.
ANNEX_F = {
    "pow_zero_minus_one": INF, "pow_neg_zero_minus_one": -INF, "pow_nan_zero": 1.0, "pow_nan_neg_zero": 1.0,
    "pow_one_nan": 1.0, "pow_minus_one_inf": 1.0, "pow_minus_inf_three": -INF, "pow_overflow": INF,
    "pow_half_inf": INF, "inf_minus_inf": NAN, "zero_times_inf": NAN, "pow_neg_cube_root": NAN,
}


@pytest.mark.parametrize("name", SPECIAL_PROGRAMS)
def test_special_values(name):
    program = SPECIAL_PROGRAMS[name]
    rng = np.random.default_rng(len(name))
    bands = random_bands(rng, 2, (3, 4))
    if name in ANNEX_F:
        value = evaluate(program, bands, (1, 1))[0][0, 0]
        assert np.isnan(value) if np.isnan(ANNEX_F[name]) else value == ANNEX_F[name]
        assert np.signbit(value) == np.signbit(ANNEX_F[name]) or np.isnan(value)
    for _, out in out_layouts((3, 4)):
        expected, sign_free = evaluate(program, bands, (3, 4))
        kelvane.execute_expr_inplace(kelvane.compile_expr(program, 2), bands, out)
        assert_bits_equal(out, expected, sign_free)

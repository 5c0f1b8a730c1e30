"""Programs that call powf with one band as their only input, run over enough
pixels (a 512 x 512 grid, or smaller grids adding up to it) that the module
evaluates those parts once per sample value, keeps the tables with the
compiled program and looks the results up: the bits must be those of
evaluating every pixel."""
import threading

import numpy as np
import pytest

import kelvane
from reference import assert_bits_equal, evaluate, op, push_band as b, push_scalar as s

SHAPE = (512, 512)

PROGRAMS = {
    "gamma": [b(0), s(1 / 65535), op("mul"), s(1 / 2.2), op("pow")],
    "sqrt_plus_pow": [b(0), b(1), op("sub"), op("abs"), op("sqrt"), b(2), s(0.001), op("mul"), s(2.2), op("pow"),
                      op("add")],
    "nested_pow": [b(1), s(3.0), op("pow"), s(-0.5), op("pow"), b(0), op("add")],
    "band_in_both_operands": [b(0), b(0), s(1e-4), op("mul"), op("pow")],
    "two_bands_two_tables": [b(0), s(0.5), op("pow"), b(1), s(0.25), op("pow"), op("div")],
    # negative bases with fractional exponents (NaN), zero to a negative power (inf), huge results
    "special_values": [b(2), s(30000.0), op("sub"), s(0.5), op("pow"), b(2), s(0.0), op("mul"), s(-1.0), op("pow"),
                       op("add"), b(2), s(9.0), op("pow"), op("mul")],
    "pow_under_other_bands": [b(0), b(1), b(2), s(1.5), op("pow"), op("mul"), op("sub"), op("neg")],
    "constant_pow_times_band": [s(2.0), s(10.0), op("pow"), b(0), op("mul")],
}


def every_sample_value(rng, shape):
    """A band holding each of the 65536 sample values, shuffled and repeated."""
    values = np.arange(shape[0] * shape[1]) % 65536
    return rng.permutation(values).astype(np.uint16).reshape(shape)


def layouts_of(band, how):
    if how == "c":
        return band
    if how == "reversed":
        return np.ascontiguousarray(band[::-1, ::-1])[::-1, ::-1]
    if how == "stepped":
        wide = np.zeros((band.shape[0], 2 * band.shape[1]), np.uint16)
        wide[:, ::2] = band
        return wide[:, ::2]
    raise ValueError(how)


@pytest.mark.parametrize("name", PROGRAMS)
@pytest.mark.parametrize("bands_layout, out_order", [("c", "C"), ("c", "F"), ("reversed", "C"), ("stepped", "F")])
def test_tabulated_powf_matches_every_pixel(name, bands_layout, out_order):
    rng = np.random.default_rng(7)
    bands = [every_sample_value(rng, SHAPE) for _ in range(3)]
    program = PROGRAMS[name]
    expected, sign_free = evaluate(program, bands, SHAPE)
    out = np.full(SHAPE, np.nan, np.float32, order=out_order)
    kelvane.execute_expr_inplace(kelvane.compile_expr(program, 3), [layouts_of(x, bands_layout) for x in bands], out)
    assert_bits_equal(out, expected, sign_free)


def test_tables_only_where_worth_it_give_the_same_bits():
    """A grid just below the size where tables start, and one just above it."""
    rng = np.random.default_rng(8)
    program = PROGRAMS["sqrt_plus_pow"]
    for shape in [(511, 512), (512, 513)]:
        bands = [every_sample_value(rng, shape) for _ in range(3)]
        expected, sign_free = evaluate(program, bands, shape)
        out = np.empty(shape, np.float32)
        kelvane.execute_expr_inplace(kelvane.compile_expr(program, 3), bands, out)
        assert_bits_equal(out, expected, sign_free)


@pytest.mark.parametrize("name", ["sqrt_plus_pow", "nested_pow", "two_bands_two_tables", "special_values"])
def test_kept_tables_serve_later_calls_of_any_size_and_layout(name):
    """Small calls that add up to the threshold build the tables; later calls,
    tiny or transposed, look them up."""
    rng = np.random.default_rng(9)
    program = PROGRAMS[name]
    expr = kelvane.compile_expr(program, 3)
    shape = (64, 64)  # 64 calls of 4096 pixels reach 512 x 512
    for _ in range(70):
        bands = [every_sample_value(rng, shape) for _ in range(3)]
        out = np.empty(shape, np.float32)
        kelvane.execute_expr_inplace(expr, bands, out)
        assert_bits_equal(out, *evaluate(program, bands, shape))
    for shape, order, how in [((1, 1), "C", "c"), ((16, 16), "C", "c"), ((100, 300), "F", "c"),
                              ((256, 256), "C", "stepped"), ((256, 256), "C", "reversed")]:
        bands = [every_sample_value(rng, shape) for _ in range(3)]
        out = np.full(shape, np.nan, np.float32, order=order)
        kelvane.execute_expr_inplace(expr, [layouts_of(x, how) for x in bands], out)
        assert_bits_equal(out, *evaluate(program, bands, shape))


def test_threads_racing_to_build_the_tables_all_get_the_right_bits():
    program = PROGRAMS["two_bands_two_tables"]
    expr = kelvane.compile_expr(program, 3)
    rng = np.random.default_rng(10)
    bands = [every_sample_value(rng, SHAPE) for _ in range(3)]
    expected, sign_free = evaluate(program, bands, SHAPE)
    outs = [np.empty(SHAPE, np.float32) for _ in range(6)]
    start = threading.Barrier(len(outs))

    def run(out):
        start.wait()
        kelvane.execute_expr_inplace(expr, bands, out)

    threads = [threading.Thread(target=run, args=(out,)) for out in outs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for out in outs:
        assert_bits_equal(out, expected, sign_free)

"""execute_expr_inplace: stack-machine semantics, failures, what a failure leaves in the output, reuse and leaks."""
import os
import sys
import threading

import numpy as np
import pytest

import kelvane
from reference import (
    DENOM_EPSILON, assert_bits_equal, assert_only_view_changed, bits, evaluate, op, push_band as b,
    push_scalar as s, snapshot_memory,
)
from layouts import layouts, out_layouts

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the resident size from /proc")

SENTINEL = 0x7FC5A5A5  # a quiet NaN no program below can produce
ND = [b(0), b(1), op("sub"), b(0), b(1), op("add"), op("div")]


def sentinel_out(shape, order="C"):
    return np.full(shape, SENTINEL, np.uint32, order=order).view(np.float32)


def bands_2(shape=(6, 7), seed=0):
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 65536, shape).astype(np.uint16)
    c = rng.integers(0, 4, shape).astype(np.uint16)  # small values: zeros, equal pairs, zero sums
    return np.where(rng.random(shape) < 0.5, a, c).astype(np.uint16), c


def execute(program, bands, out, num_bands=None):
    expr = kelvane.compile_expr(program, len(bands) if num_bands is None else num_bands)
    assert kelvane.execute_expr_inplace(expr, bands, out) is None


def expect_panic(expr, bands, out, message):
    with pytest.raises(BaseException) as info:
        kelvane.execute_expr_inplace(expr, bands, out)
    exc = info.value
    assert (type(exc).__module__, type(exc).__name__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(exc, Exception)
    assert exc.args == (message,)


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def slot(position):
    """An out-of-range stack slot as the unsigned 64-bit word it is printed as."""
    return position % 2**64


def f32bits(x):
    return int(np.float32(x).view(np.uint32))


with np.errstate(all="ignore"):
    NAN_0_DIV_0 = int(bits(np.float32(0) / np.float32(0)))
    NAN_SQRT_NEG = int(bits(np.sqrt(np.float32(-2))))

CONSTANT_PROGRAMS = {
    "empty": ([], 0),
    "bottom_not_top": ([s(2), s(3)], f32bits(2)),
    "bottom_after_ops": ([s(2), s(3), s(4), op("add")], f32bits(2)),
    "div_by_zero": ([s(1), s(0), op("div")], f32bits(1e10)),
    "div_order": ([s(1), s(4), op("div")], f32bits(0.25)),
    "div_by_minus_epsilon": ([s(1), s(-float(DENOM_EPSILON)), op("div")], f32bits(np.inf)),
    "zero_div_minus_epsilon": ([s(0), s(-float(DENOM_EPSILON)), op("div")], NAN_0_DIV_0),
    "sqrt_negative": ([s(-2), op("sqrt")], NAN_SQRT_NEG),
    "sqrt_neg_zero": ([s(-0.0), op("sqrt")], 0x80000000),
    "neg_zero": ([s(0), op("neg")], 0x80000000),
    "abs_neg_zero": ([s(-0.0), op("abs")], 0),
    "abs": ([s(-3), op("abs")], f32bits(3)),
    "neg_nan": ([s(float("nan")), op("neg")], 0xFFC00000),
    "abs_nan": ([s(float("nan")), op("neg"), op("abs")], 0x7FC00000),
    "pow_base_first": ([s(2), s(10), op("pow")], f32bits(1024)),
    "sub_order": ([s(10), s(4), op("sub")], f32bits(6)),
    "mul_add": ([s(3), s(0.5), op("mul"), s(-1), op("add")], f32bits(0.5)),
}


@pytest.mark.parametrize("name", CONSTANT_PROGRAMS)
def test_constant_program(name):
    program, expected = CONSTANT_PROGRAMS[name]
    out = sentinel_out((3, 5))
    execute(program, [], out)
    assert (bits(out) == expected).all(), hex(bits(out)[0, 0])


@pytest.mark.parametrize("name,program,formula", [
    ("sub", [b(0), b(1), op("sub")], lambda A, B: A - B),
    ("div", [b(0), b(1), op("div")], lambda A, B: A / (B + DENOM_EPSILON)),
    ("mixed", [b(1), s(2), op("mul"), b(0), op("add"), op("sqrt"), op("neg")], lambda A, B: -np.sqrt(B * 2 + A)),
    ("empty", [], lambda A, B: np.zeros_like(A)),
])
def test_band_program(name, program, formula):
    a, c = bands_2()
    out = sentinel_out(a.shape)
    execute(program, [a, c], out)
    with np.errstate(all="ignore"):
        expected = formula(a.astype(np.float32), c.astype(np.float32)).astype(np.float32)
    assert_bits_equal(out, expected)


def test_normalized_difference_program_matches_index_function():
    a, c = bands_2((33, 47), seed=3)
    a[0, :4], c[0, :4] = [0, 5, 65535, 0], [0, 5, 0, 1]
    out, want = sentinel_out(a.shape), sentinel_out(a.shape)
    execute(ND, [a, c], out)
    kelvane.calculate_normalized_difference_inplace(a, c, want)
    assert_bits_equal(out, want)


def test_64_pushes_and_63_adds():
    a, c = bands_2((4, 5))
    program = [b(i % 2) if i % 3 else s(i * 1.5) for i in range(64)] + [op("add")] * 63
    out = sentinel_out(a.shape)
    execute(program, [a, c], out)
    assert_bits_equal(out, evaluate(program, [a, c], out.shape)[0])


@pytest.mark.parametrize("program", [
    [s(1)] * 65,
    [b(0)] * 65,
    [s(1)] * 64 + [op("add"), b(0), s(2)],
], ids=["scalars", "bands", "after_add"])
def test_stack_overflow_writes_nothing(program, capfd):
    a, _ = bands_2()
    out = sentinel_out(a.shape)
    expect_panic(kelvane.compile_expr(program, 1), [a], out, oob(64, 64))
    assert (bits(out) == SENTINEL).all()
    assert oob(64, 64) in capfd.readouterr().err


# A two-operand kind reads a (slot d - 2) before b (slot d - 1); a one-operand kind reads slot d - 1.
@pytest.mark.parametrize("program,position", [
    ([op("add")], -2),
    ([op("pow")], -2),
    ([op("div")], -2),
    ([s(1), op("add")], -1),
    ([b(0), op("sub")], -1),
    ([op("neg")], -1),
    ([op("abs")], -1),
    ([op("sqrt")], -1),
    ([s(1), s(2), op("mul"), op("mul")], -1),
    ([b(0), op("sqrt"), op("div")], -1),
])
def test_stack_underflow_writes_nothing(program, position, capfd):
    a, _ = bands_2()
    out = sentinel_out(a.shape)
    expect_panic(kelvane.compile_expr(program, 1), [a], out, oob(64, slot(position)))
    assert (bits(out) == SENTINEL).all()


@pytest.mark.parametrize("num_bands,program,message", [
    (2, [b(2)], oob(2, 2)),
    (2, [b(0), b(7), op("add")], oob(2, 7)),
    (1, [b(4294967295)], oob(1, 4294967295)),
    (0, [b(0)], oob(0, 0)),
    (1, [b(0)] * 64 + [b(3)], oob(1, 3)),  # the band position is checked before the stack depth
    (1, [op("add"), b(1)], oob(64, slot(-2))),  # the first failing instruction decides
])
def test_band_position_out_of_range_writes_nothing(num_bands, program, message, capfd):
    a, _ = bands_2()
    out = sentinel_out(a.shape)
    expect_panic(kelvane.compile_expr(program, num_bands), [a] * num_bands, out, message)
    assert (bits(out) == SENTINEL).all()


def test_sample_read_is_checked_before_stack_depth(capfd):
    out = sentinel_out((2, 2))
    expect_panic(kelvane.compile_expr([s(0)] * 64 + [b(0)], 1), [np.ones((1, 0), np.uint16)], out,
                 "ndarray: index out of bounds")
    assert (bits(out) == SENTINEL).all()


@pytest.mark.parametrize("small_shape", [(10, 19), (9, 20), (3, 25), (0, 0), (1, 1), (10, 0)])
@pytest.mark.parametrize("small_index", [0, 1])
def test_band_smaller_than_output(small_shape, small_index, capfd):
    rng = np.random.default_rng(7)
    full = rng.integers(0, 65536, (10, 20)).astype(np.uint16)
    small = rng.integers(0, 65536, small_shape).astype(np.uint16)
    bands = [full, small] if small_index else [small, full]
    program = [b(1), s(0.5), op("add"), b(0), op("mul"), op("sqrt")]
    rows, cols = min(10, small_shape[0]), min(20, small_shape[1])
    expected = evaluate(program, bands, (rows, cols))[0]
    expr = kelvane.compile_expr(program, 2)
    for name, out in out_layouts((10, 20)):
        before, memory = bits(out).copy(), snapshot_memory(out)
        expect_panic(expr, bands, out, "ndarray: index out of bounds")
        written = bits(out) != before
        assert not written[rows:, :].any() and not written[:, cols:].any(), name
        assert (bits(out)[:rows, :cols][written[:rows, :cols]] == bits(expected)[written[:rows, :cols]]).all(), name
        assert_only_view_changed(out, memory)


def test_larger_bands_use_their_top_left_region():
    rng = np.random.default_rng(8)
    big = rng.integers(0, 65536, (100, 100)).astype(np.uint16)
    wide = rng.integers(0, 65536, (10, 300)).astype(np.uint16)
    program = [b(0), b(1), op("div"), b(0), op("add")]
    out = sentinel_out((10, 20))
    execute(program, [big, wide], out)
    assert_bits_equal(out, evaluate(program, [big[:10, :20], wide[:10, :20]], (10, 20))[0])


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
@pytest.mark.parametrize("program,num_bands,band_shape", [
    (ND, 2, (3, 3)),
    ([b(5)], 1, (3, 3)),
    ([op("add")], 1, (3, 3)),
    ([s(1)] * 65, 0, (3, 3)),
    ([b(0)], 1, (0, 0)),
], ids=["nd", "band_position", "underflow", "overflow", "empty_band"])
def test_empty_output_evaluates_nothing(shape, program, num_bands, band_shape):
    bands = [np.ones(band_shape, np.uint16)] * num_bands
    out = np.empty(shape, np.float32)
    assert kelvane.execute_expr_inplace(kelvane.compile_expr(program, num_bands), bands, out) is None
    with pytest.raises(ValueError) as info:
        kelvane.execute_expr_inplace(kelvane.compile_expr(program, num_bands + 1), bands, out)
    assert info.value.args == ("Band count mismatch.",)


def _read_only(out):
    out.flags.writeable = False
    return out


@pytest.mark.parametrize("num_bands,count", [(2, 3), (2, 1), (1, 0), (0, 1), (0, 2)])
@pytest.mark.parametrize("program", [[], [s(1)], ND], ids=["empty", "constant", "nd"])
@pytest.mark.parametrize("output", ["writeable", "read_only", "shares_band_memory"])
def test_band_count_mismatch_comes_before_holds(num_bands, count, program, output, capfd):
    buf = np.full((4, 8), 0xA5A5, np.uint16)
    out = {"writeable": lambda: sentinel_out((4, 4)), "read_only": lambda: _read_only(sentinel_out((4, 4))),
           "shares_band_memory": lambda: buf.view(np.float32)}[output]()
    before = bits(out).copy()
    with pytest.raises(ValueError) as info:
        kelvane.execute_expr_inplace(kelvane.compile_expr(program, num_bands), [buf] * count, out)
    assert info.value.args == ("Band count mismatch.",)
    assert (bits(out) == before).all()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("output,message", [
    ("read_only", "called `Result::unwrap()` on an `Err` value: NotWriteable"),
    ("shares_band_memory", "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"),
])
def test_hold_refusal_writes_nothing(output, message, capfd):
    buf = np.full((4, 8), 0xA5A5, np.uint16)
    out = _read_only(sentinel_out((4, 4))) if output == "read_only" else buf.view(np.float32)
    before = bits(out).copy()
    expr = kelvane.compile_expr(ND, 2)
    expect_panic(expr, [buf, buf], out, message)
    assert (bits(out) == before).all()
    fresh = sentinel_out((4, 8))  # the band holds were released
    kelvane.execute_expr_inplace(expr, [buf, buf], fresh)
    assert (fresh == 0).all()


@pytest.mark.parametrize("bands", [[], ()], ids=["list", "tuple"])
def test_no_bands_constant_program(bands):
    out = sentinel_out((5, 3))
    execute([s(7.5)], bands, out, num_bands=0)
    assert (bits(out) == f32bits(7.5)).all()


def test_same_array_several_times():
    a, _ = bands_2()
    program = [b(0), b(1), op("sub"), b(2), b(0), op("mul"), op("add")]
    out = sentinel_out(a.shape)
    execute(program, [a, a, a], out)
    assert_bits_equal(out, evaluate(program, [a, a, a], a.shape)[0])


def test_every_layout_of_bands_and_output():
    a, c = bands_2((5, 7), seed=11)
    wide = np.random.default_rng(12).integers(0, 65536, (6, 9)).astype(np.uint16)
    program = [b(0), b(1), op("sub"), b(2), op("div"), b(1), s(0.5), op("pow"), op("mul"), op("neg"), op("sqrt")]
    expected, free = evaluate(program, [a, c, wide], a.shape)
    band_variants = [list(layouts(x)) for x in (a, c, wide)]
    n = len(band_variants[0])
    for shift in range(n):  # every layout of every band, in several combinations
        for i in range(n):
            bands = [band_variants[j][(i + j * shift) % n][1] for j in range(3)]
            for _, out in out_layouts(a.shape):
                memory = snapshot_memory(out)
                kelvane.execute_expr_inplace(kelvane.compile_expr(program, 3), bands, out)
                assert_bits_equal(out, expected, free)
                assert_only_view_changed(out, memory)


def _band_ending_a_readable_page(values, step):
    """`values` in a view taking every `step`-th sample of its rows, whose last sample is the last
    readable byte pair before a page that cannot be read: reading past it faults."""
    import ctypes
    import mmap

    rows, cols = values.shape
    width = step * (cols - 1) + 1
    size = rows * width * 2
    readable = -(-size // mmap.PAGESIZE) * mmap.PAGESIZE
    memory = mmap.mmap(-1, readable + mmap.PAGESIZE)
    guard = ctypes.addressof(ctypes.c_char.from_buffer(memory, readable))
    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.mprotect(ctypes.c_void_p(guard), ctypes.c_size_t(mmap.PAGESIZE), 0) == 0, ctypes.get_errno()
    base = np.frombuffer(memory, np.uint16, rows * width, readable - size).reshape(rows, width)
    band = base[:, ::step]
    band[...] = values
    return band


@pytest.mark.skipif(sys.platform == "win32", reason="protects a page through the C library's mprotect")
@pytest.mark.parametrize("step", [1, 2])
@pytest.mark.parametrize("shape", [(1, 37), (3, 16), (5, 33), (64, 31)])
@pytest.mark.parametrize("out_step", [1, 2])
def test_bands_ending_before_an_unreadable_page(step, shape, out_step):
    a, c = bands_2(shape, seed=sum(shape))
    program = ND + [b(1), s(3.0), op("mul"), op("add"), op("abs")]
    expected = evaluate(program, [a, c], shape)[0]
    bands = [_band_ending_a_readable_page(x, step) for x in (a, c)]
    out = np.zeros((shape[0], shape[1] * out_step), np.float32)[:, ::out_step]
    for _ in range(2):  # the first call makes the program's code, the second runs it again
        execute(program, bands, out)
        assert_bits_equal(out, expected)


@pytest.mark.parametrize("start", [0, 1, 5], ids=["aligned", "shifted_1", "shifted_5"])
def test_streamed_output_every_row_start(start):
    # 2600 x 2600 floats pass the size from which outputs are streamed; in rows of 2605 floats
    # each row's first whole vector is somewhere else, and more so from a start of 1 or 5.
    shape = (2600, 2600)
    a, c = bands_2(shape, seed=7)
    program = ND + [b(1), s(3.0), op("mul"), op("add")]
    expected = evaluate(program, [a, c], shape)[0]
    memory = np.zeros((shape[0], shape[1] + 5), np.float32)
    out = memory[:, start:start + shape[1]]
    snapshot = snapshot_memory(out)
    execute(program, [a, c], out)
    assert_bits_equal(out, expected)
    assert_only_view_changed(out, snapshot)


def test_compiled_expr_reused_after_failures(capfd):
    a, c = bands_2((9, 11))
    expr = kelvane.compile_expr(ND, 2)
    failing = kelvane.compile_expr([s(1), op("sub")], 2)
    expect_panic(expr, [a[:5], c], sentinel_out(a.shape), "ndarray: index out of bounds")
    expect_panic(expr, [a, c], _read_only(sentinel_out(a.shape)),
                 "called `Result::unwrap()` on an `Err` value: NotWriteable")
    with pytest.raises(ValueError):
        kelvane.execute_expr_inplace(expr, [a], sentinel_out(a.shape))
    for _ in range(2):  # a failing program fails the same way every time
        expect_panic(failing, [a, c], sentinel_out(a.shape), oob(64, slot(-1)))
    out = sentinel_out(a.shape)
    kelvane.execute_expr_inplace(expr, [a, c], out)
    assert_bits_equal(out, evaluate(ND, [a, c], a.shape)[0])


def test_one_compiled_expr_from_four_threads():
    a, c = bands_2((96, 130), seed=5)
    program = ND + [b(0), op("sqrt"), op("mul")]
    expr = kelvane.compile_expr(program, 2)
    expected = evaluate(program, [a, c], a.shape)[0]
    barrier, errors = threading.Barrier(4), []

    def worker(order):
        try:
            barrier.wait()
            for _ in range(25):
                out = sentinel_out(a.shape, order)
                kelvane.execute_expr_inplace(expr, [a, c], out)
                assert_bits_equal(out, expected)
        except BaseException as exc:  # noqa: BLE001 - reported on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=("CF"[i % 2],)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@linux_only
@pytest.mark.skipif("KELVANE_UNDER_SANITIZER" in os.environ, reason="sanitizers hold freed memory back")
def test_failing_calls_leak_nothing(capfd):
    a, c = bands_2((2, 2))
    tiny = a[:1, :1]
    nd = kelvane.compile_expr(ND, 2)
    exprs = [nd, kelvane.compile_expr([b(5)], 2), kelvane.compile_expr([s(1)] * 65, 2),
             kelvane.compile_expr([s(1), op("add")], 2)]

    def fresh_out():  # a view of a fresh 16 KiB buffer: a leaked reference keeps the buffer alive
        return np.full((32, 128), 1.0, np.float32)[:2, :2]

    def shared_out():
        buf = np.zeros((2, 4), np.uint16)
        return [buf, buf], buf.view(np.float32)

    calls = [
        lambda: kelvane.execute_expr_inplace(nd, [a], fresh_out()),
        lambda: kelvane.execute_expr_inplace(nd, [a, c], _read_only(fresh_out())),
        lambda: kelvane.execute_expr_inplace(nd, *shared_out()),
        lambda: kelvane.execute_expr_inplace(exprs[1], [a, c], fresh_out()),
        lambda: kelvane.execute_expr_inplace(nd, [tiny, c], fresh_out()),
        lambda: kelvane.execute_expr_inplace(exprs[2], [a, c], fresh_out()),
        lambda: kelvane.execute_expr_inplace(exprs[3], [a, c], fresh_out()),
    ]

    def loop(n):
        for i in range(n):
            try:
                calls[i % len(calls)]()
            except BaseException:  # noqa: BLE001 - every call here is meant to fail
                pass
            else:
                raise AssertionError(f"call {i % len(calls)} did not fail")

    loop(2100)
    refs = [sys.getrefcount(x) for x in (a, c, tiny, *exprs)]
    rss = _rss_bytes()
    loop(20000)
    grown = _rss_bytes() - rss
    assert [sys.getrefcount(x) for x in (a, c, tiny, *exprs)] == refs
    assert grown < 24 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB over 20000 failing calls"
    capfd.readouterr()
    out = sentinel_out((2, 2))
    kelvane.execute_expr_inplace(nd, [a, c], out)
    assert_bits_equal(out, evaluate(ND, [a, c], (2, 2))[0])


@pytest.mark.parametrize("bands_fortran", [False, True])
@pytest.mark.parametrize("run_floats", [2608, 2607])  # runs a multiple of 64 bytes apart, and not
def test_large_output_across_the_bands(bands_fortran, run_floats):
    # More than 24 MiB of output in the other orientation than the bands, its first element
    # not aligned.
    rows, cols = (2603, 2601) if bands_fortran else (2601, 2603)
    a, c = bands_2((rows, cols), seed=5)
    if bands_fortran:
        a, c = np.asfortranarray(a), np.asfortranarray(c)
        parent = sentinel_out((rows, run_floats))
        out = parent[:, 3 : 3 + cols]
    else:
        parent = sentinel_out((run_floats, cols), order="F")
        out = parent[3 : 3 + rows, :]
    before = parent.copy()
    execute(ND, [a, c], out)
    A, B = a.astype(np.float32), c.astype(np.float32)
    with np.errstate(all="ignore"):
        assert_bits_equal(out, (A - B) / ((A + B) + DENOM_EPSILON))
    before[(slice(None), slice(3, 3 + cols)) if bands_fortran else (slice(3, 3 + rows), slice(None))] = out
    assert np.array_equal(parent.view(np.uint32), before.view(np.uint32))

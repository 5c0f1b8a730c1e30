"""kelvane_indices: formulas, the catalogue, nodata, scale and offset, against a NumPy float32
evaluator of the syntax tree written independently of the layer (one rounded operation per node)."""

import ast
import builtins
import math
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("kelvane")
ki = pytest.importorskip("kelvane_indices")

from reference import DENOM_EPSILON, powf  # noqa: E402
from layouts import LAYOUT_NAMES, make_layout  # noqa: E402

SHAPE = (37, 53)


# ---------------------------------------------------------------------------------------------
# The reference: walks Python's syntax tree of the formula, one float32 operation per node.

def _band_value(sample, scale, offset):
    x = np.asarray(sample).astype(np.float32)
    if scale is not None:
        x = x * np.float32(scale)
    if offset is not None:
        x = x + np.float32(offset)
    return x


def reference(formula, values, scale=None, offset=None, nodata=None):
    """float32 grid of `formula`; `values` maps names to uint arrays or numbers."""
    def per_band(setting, name):
        return setting.get(name) if isinstance(setting, dict) else setting

    def walk(node):
        if isinstance(node, ast.Expression):
            return walk(node.body)
        if isinstance(node, ast.Constant):
            with np.errstate(over="ignore"):
                return np.float32(float(node.value))
        if isinstance(node, ast.Name):
            value = values[node.id]
            if isinstance(value, np.ndarray) and value.ndim == 2:
                return _band_value(np.ma.getdata(value), per_band(scale, node.id), per_band(offset, node.id))
            with np.errstate(over="ignore"):
                return np.float32(float(value))
        if isinstance(node, ast.UnaryOp):
            x = walk(node.operand)
            return -x if isinstance(node.op, ast.USub) else x
        if isinstance(node, ast.Call):
            x = walk(node.args[0])
            return np.sqrt(x) if node.func.id == "sqrt" else np.abs(x)
        a, b = walk(node.left), walk(node.right)
        if isinstance(node.op, ast.Add):
            return a + b
        if isinstance(node.op, ast.Sub):
            return a - b
        if isinstance(node.op, ast.Mult):
            return a * b
        if isinstance(node.op, ast.Div):
            return a / (b + DENOM_EPSILON)
        return powf(a, b)

    tree = ast.parse(formula.strip(), mode="eval")
    with np.errstate(all="ignore"):
        result = np.broadcast_to(np.asarray(walk(tree), np.float32), _shape_of(values)).copy()
    read = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name)}
    for name in read & set(values):
        value = values[name]
        if not (isinstance(value, np.ndarray) and value.ndim == 2):
            continue
        v = per_band(nodata, name)
        if v is not None:
            result[np.asarray(value) == v] = np.nan
        result[np.ma.getmaskarray(value)] = np.nan
    return result


def _shape_of(values):
    return next(v.shape for v in values.values() if isinstance(v, np.ndarray) and v.ndim == 2)


def assert_same(got, want):
    """Bit for bit where the reference is a number; NaN where it is NaN (NaN bits may differ)."""
    got, want = np.asarray(got, np.float32), np.asarray(want, np.float32)
    assert got.shape == want.shape
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan), f"NaN at {np.argwhere(np.isnan(got) != nan)[:3].tolist()}"
    g, w = got.view(np.uint32)[~nan], want.view(np.uint32)[~nan]
    if not np.array_equal(g, w):
        k = int(np.argmax(g != w))
        raise AssertionError(f"{int((g != w).sum())} pixels differ; first got {got[~nan][k]!r} want {want[~nan][k]!r}")


@pytest.fixture(scope="module")
def scene():
    rng = np.random.default_rng(17)
    bands = {name: rng.integers(0, 10000, size=SHAPE, dtype=np.uint16) for name in ("N", "R", "G", "B")}
    bands["N"][0, :4] = bands["R"][0, :4] = 0          # zero denominators
    bands["G"][1, :3] = 65535
    return bands


# ---------------------------------------------------------------------------------------------
# Random formulas of every construct: the tree is generated, printed with Python's own minimal
# parentheses (ast.unparse), and the reference evaluates the generated tree, so precedence and
# associativity of the printed text are checked too.

LEAF_NAMES = ("N", "R", "G", "B", "k")
LITERALS = (0, 1, 2, 0.5, 3, 10000, 1e-4, 0.1, 1e30, 2.5, 7)


def random_tree(rng, depth):
    if depth == 0 or rng.random() < 0.25:
        if rng.random() < 0.6:
            return ast.Name(id=str(rng.choice(LEAF_NAMES)), ctx=ast.Load())
        return ast.Constant(value=LITERALS[rng.integers(len(LITERALS))])
    kind = rng.integers(9)
    if kind < 5:
        op = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.Pow)[kind]()
        return ast.BinOp(left=random_tree(rng, depth - 1), op=op, right=random_tree(rng, depth - 1))
    if kind < 7:
        op = (ast.USub, ast.UAdd)[kind - 5]()
        return ast.UnaryOp(op=op, operand=random_tree(rng, depth - 1))
    func = ("sqrt", "abs")[kind - 7]
    return ast.Call(func=ast.Name(id=func, ctx=ast.Load()), args=[random_tree(rng, depth - 1)], keywords=[])


@pytest.mark.parametrize("seed", range(40))
def test_random_formulas_match_the_reference(scene, seed):
    rng = np.random.default_rng(seed)
    tree = ast.Expression(body=random_tree(rng, 5))
    text = ast.unparse(ast.fix_missing_locations(tree))
    values = dict(scene, k=-1.75)
    got = ki.evaluate(text, values, out=np.empty(SHAPE, np.float32))  # out: some formulas read no band
    assert_same(got, reference(text, values))


@pytest.mark.parametrize("formula", [
    "-N ** 2", "(-N) ** 2", "2 ** 3 ** 2", "(2 ** 3) ** 2", "N - R - G", "N - (R - G)", "N / R / G",
    "+N", "-(-N)", "sqrt(abs(N - R))", "N * 1e-4 + 0.1", "1 / 3 * N", "N ** -1", "N ** 0.5",
    "  (N - R) / (N + R)", "(N-R)/(N+R)", "N + 16777217", "R * k",
])
def test_precedence_and_literals(scene, formula):
    values = dict(scene, k=0.1)
    assert_same(ki.evaluate(formula, values, out=np.empty(SHAPE, np.float32)), reference(formula, values))


# ---------------------------------------------------------------------------------------------
# Scale, offset, nodata, uint8 widening, masked arrays, layouts.

@pytest.mark.parametrize("scale, offset, nodata", [
    (1e-4, None, None), (None, -0.1, None), (1e-4, -0.1, None), (2.75e-5, -0.2, None),
    ({"N": 1e-4}, {"R": 5.0}, None), (None, None, 0), (None, None, {"R": 0}), (1e-4, -0.1, 0),
    (None, None, 65535), (None, None, -9999), (None, None, 0.5), (None, None, {"B": 0}),
])
@pytest.mark.parametrize("formula", ["(N - R) / (N + R)", "N / R", "2.5 * (N - R) / (N + 6 * R - 7.5 * G + 1)"])
def test_scale_offset_nodata(scene, formula, scale, offset, nodata):
    got = ki.evaluate(formula, scene, scale=scale, offset=offset, nodata=nodata)
    assert_same(got, reference(formula, scene, scale, offset, nodata))
    if nodata is not None:  # every other pixel is the unmasked call's, bit for bit
        plain = ki.evaluate(formula, scene, scale=scale, offset=offset)
        keep = ~np.isnan(got)
        assert np.array_equal(got[keep].view(np.uint32), plain[keep].view(np.uint32))


def test_nodata_keeps_negative_zero_and_nan(scene):
    n = np.array([[5, 5, 7, 0]], np.uint16)
    r = np.array([[5, 0, 7, 3]], np.uint16)
    got = ki.evaluate("-(N - R) * 0 + (N - R) / (N - R)", N=n, R=r, nodata=7)
    want = reference("-(N - R) * 0 + (N - R) / (N - R)", {"N": n, "R": r}, nodata=7)
    assert_same(got, want)
    neg = ki.evaluate("-(N - R) * 0", N=n, R=r, nodata=3)
    assert neg.view(np.uint32)[0, 0] == 0x80000000 and np.isnan(neg[0, 3])
    # Ten bands whose differences from nodata multiply past float32's range: masked only where one holds it.
    ten = {f"b{k}": np.array([[65535, 65535, 65535]], np.uint16) for k in range(10)}
    ten["b7"] = np.array([[65535, 0, 65535]], np.uint16)
    ten["b9"] = np.array([[65535, 65535, 1]], np.uint16)
    got = ki.evaluate(" + ".join(ten), ten, nodata={**{k: 0 for k in ten}, "b9": 1})
    assert not np.isnan(got[0, 0]) and np.isnan(got[0, 1:]).all()


@pytest.mark.parametrize("dtype", [np.uint8, np.bool_, np.dtype(">u2")])
def test_narrow_and_swapped_bands_are_widened_exactly(scene, dtype):
    small = (scene["N"] % 256).astype(dtype)
    values = dict(scene, N=small)
    got = ki.evaluate("(N - R) / (N + R) + N", values, nodata={"N": 0})
    assert_same(got, reference("(N - R) / (N + R) + N", {**values, "N": small.astype(np.uint16)}, nodata={"N": 0}))


def test_masked_arrays_are_honoured(scene):
    n = np.ma.masked_array(scene["N"], mask=np.zeros(SHAPE, bool))
    n.mask[3, :7] = True
    r = np.ma.masked_equal(scene["R"], scene["R"][5, 5])
    got = ki.evaluate("(N - R) / (N + R)", N=n, R=r, nodata={"N": 0})
    assert_same(got, reference("(N - R) / (N + R)", {"N": n, "R": r}, nodata={"N": 0}))
    assert np.isnan(got[3, :7]).all() and np.isnan(got[5, 5])
    plain = ki.evaluate("(N - R) / (N + R)", N=scene["N"], R=scene["R"])
    keep = ~np.isnan(got)
    assert np.array_equal(got[keep].view(np.uint32), plain[keep].view(np.uint32))
    xr = pytest.importorskip("xarray")
    with pytest.raises(ValueError, match="mask would be lost"):
        ki.evaluate("N / R", N=n, R=xr.DataArray(scene["R"]))
    # A masked array whose mask is empty is an ordinary band.
    assert_same(ki.evaluate("N / R", N=np.ma.masked_array(scene["N"]), R=scene["R"]), reference("N / R", scene))


@pytest.mark.parametrize("layout", LAYOUT_NAMES)
def test_every_layout(scene, layout):
    formula = "(N - R) / (N + R) * k + sqrt(G)"
    values = {name: make_layout(band, layout) for name, band in scene.items()}
    out = make_layout(np.zeros(SHAPE, np.float32), layout)
    result = ki.evaluate(formula, values, out=out, k=1.5, scale=1e-4, nodata={"N": 0})
    assert result is out
    assert_same(out, reference(formula, dict(scene, k=1.5), scale=1e-4, nodata={"N": 0}))
    for name, band in values.items():  # bands are read in place, never written
        assert np.array_equal(band, scene[name])


@pytest.mark.parametrize("shape", [(7,), (3, 5, 7), (2, 1, 3, 4), (0, 5)])
def test_any_number_of_dimensions(shape, layout="transposed"):
    rng = np.random.default_rng(len(shape))
    values = {name: rng.integers(0, 9, size=shape, dtype=np.uint16) for name in "NR"}
    values["R"] = values["R"].T.copy().T  # not C-contiguous: reshaped with a copy
    out = np.zeros(shape[::-1], np.float32).T  # no 2-D view of it exists: filled through a copy
    formula = "2 * (N - R) / (N + R) + sqrt(N)"
    result = ki.evaluate(formula, values, out=out, nodata={"R": 3})
    assert result is out and out.shape == shape
    flat = {k: v.reshape(1, -1) for k, v in values.items()}
    assert_same(out.reshape(1, -1), reference(formula, flat, nodata={"R": 3}))


def test_fixed_index_shortcut_gives_the_program_bits(scene):
    import kelvane

    for formula in ("(N - R) / (N + R)", "N / R"):
        got = ki.evaluate(formula, scene)
        assert_same(got, reference(formula, scene))
        prog = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "div"}]
        if "+" in formula:
            prog = prog[:2] + [{"type": "sub"}] + prog[:2] + [{"type": "add"}, {"type": "div"}]
        out = np.empty(SHAPE, np.float32)
        kelvane.execute_expr_inplace(kelvane.compile_expr(prog, 2), [scene["N"], scene["R"]], out)
        assert np.array_equal(got.view(np.uint32), out.view(np.uint32))


# ---------------------------------------------------------------------------------------------
# The catalogue, every entry, on the real Sentinel-2 scene of the demo, in reflectance.

@pytest.fixture(scope="module")
def sentinel2():
    pytest.importorskip("scipy")
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    import demo

    try:
        bands = demo.load_sample()
    except demo.DemoError as exc:
        pytest.skip(str(exc))
    demo.align(bands)
    names = {"blue": "B", "green": "G", "red": "R", "nir": "N", "swir1": "S1", "swir2": "S2"}
    return {names[k]: b.data for k, b in bands.items()}


def test_catalogue_is_complete_and_read_only():
    from kelvane_indices.catalogue import CATALOGUE_TOTAL, LEFT_OUT

    assert len(ki.catalogue) + len(LEFT_OUT) == CATALOGUE_TOTAL >= 250
    evi = ki.catalogue["EVI"]
    assert (evi.formula, evi.bands, dict(evi.constants)) == (
        "g * (N - R) / (N + C1 * R - C2 * B + L)", ("N", "R", "B"), {"g": 2.5, "C1": 6.0, "C2": 7.5, "L": 1.0})
    with pytest.raises(TypeError):
        ki.catalogue["NDVI"] = evi
    assert [e.short_name for e in ki.search("burn")][:1]


def test_every_catalogue_index_on_the_real_scene(sentinel2):
    scene_bands = list(sentinel2.values())
    failures = []
    for name, entry in ki.catalogue.items():
        values = {}
        for k, symbol in enumerate(entry.bands):  # bands the scene lacks stand in for each other
            values[symbol] = sentinel2.get(symbol, scene_bands[k % len(scene_bands)])
        for symbol, default in entry.constants.items():
            values[symbol] = 0.7 + 0.1 * len(values) if default is None else default
        got = ki.compute_index(name, values, scale=1e-4)
        want = reference(entry.formula, values, scale=1e-4)
        try:
            assert_same(got, want)
        except AssertionError as exc:
            failures.append(f"{name}: {exc}")
    assert not failures, failures[:5]


def test_compute_index_defaults_overrides_lists_and_sensors(scene):
    n, r, b = scene["N"], scene["R"], scene["B"]
    evi = "g * (N - R) / (N + C1 * R - C2 * B + L)"
    base = {"N": n, "R": r, "B": b, "g": 2.5, "C1": 6.0, "C2": 7.5, "L": 1.0}
    assert_same(ki.compute_index("EVI", N=n, R=r, B=b), reference(evi, base))
    assert_same(ki.compute_index("EVI", {"N": n, "R": r, "B": b}, constants={"L": 10000}),
                reference(evi, dict(base, L=10000)))
    assert_same(ki.compute_index("evi", N=n, R=r, B=b, g=3), reference(evi, dict(base, g=3)))
    both = ki.compute_index(["NDVI", "EVI"], N=n, R=r, B=b)
    assert list(both) == ["NDVI", "EVI"]
    s2 = ki.compute_index("EVI", {"B08": n, "B04": r, "B02": b}, sensor="sentinel-2", scale={"B08": 1e-4})
    assert_same(s2, reference(evi, base, scale={"N": 1e-4}))
    l8 = ki.compute_index("NDVI", sensor="landsat-8", SR_B5=n, SR_B4=r, scale=2.75e-5, offset=-0.2)
    assert_same(l8, reference("(N - R)/(N + R)", {"N": n, "R": r}, 2.75e-5, -0.2))


# ---------------------------------------------------------------------------------------------
# Errors: each names what is wrong and what to do, in one line.

@pytest.mark.parametrize("formula, error, fragment", [
    ("N.real", ValueError, "attribute access at column 1"),
    ("N[0]", ValueError, "subscript"),
    ("exp(N)", ValueError, "call of 'exp'"),
    ("__import__('os').system('true')", ValueError, "not allowed"),
    ("N > R", ValueError, "comparison"),
    ("lambda: N", ValueError, "lambda"),
    ("N if R else G", ValueError, "conditional"),
    ("N // R", ValueError, "'//'"),
    ("N ^ 2", ValueError, "use ** for powers"),
    ("sqrt(N, R)", ValueError, "one argument"),
    ("sqrt(x=N)", ValueError, "one argument"),
    ("'N'", ValueError, "literal 'N'"),
    ("True + N", ValueError, "literal True"),
    ("2j * N", ValueError, "literal 2j"),
    ("N +", ValueError, "not an expression"),
    ("N = 1", ValueError, "not an expression"),
    ("N\x00", ValueError, "formula"),
    ("(" * 300 + "N" + ")" * 300, ValueError, "formula"),
    ("   N.x", ValueError, "column 4"),
    ("1" + "0" * 400 + " * N", ValueError, "too large for float32"),
    (b"N", TypeError, "string"),
    (None, TypeError, "string"),
])
def test_formulas_outside_the_grammar(scene, formula, error, fragment):
    with pytest.raises(error) as info:
        ki.evaluate(formula, scene)
    assert fragment is None or fragment in str(info.value)
    assert "\n" not in str(info.value)


def test_stack_depth_is_checked_before_running(scene):
    def nested(levels):  # right-nested: one more stack slot per level
        return "(N - " * levels + "N" + ")" * levels

    assert_same(ki.evaluate(nested(63), scene), reference(nested(63), scene))  # 64 slots fit
    with pytest.raises(ValueError, match="needs 65 stack slots"):
        ki.evaluate(nested(64), scene)
    long_chain = " + ".join(["N"] * 500)  # left-nested: a deep tree, a shallow stack
    assert ki.evaluate(long_chain, scene)[0, 5] == 500 * float(scene["N"][0, 5])
    with pytest.raises(ValueError, match="cannot be parsed"):  # beyond what Python's parser takes
        ki.evaluate(" + ".join(["N"] * 100000), scene)


u16 = np.zeros(SHAPE, np.uint16)


@pytest.mark.parametrize("kwargs, error, fragment", [
    ({"N": u16}, ValueError, "reads 'R', which has no value"),
    ({"N": u16.astype(np.int16), "R": u16}, TypeError, "band 'N' is int16"),
    ({"N": u16.astype(np.float32), "R": u16}, TypeError, "scale="),
    ({"N": u16.astype(np.uint32), "R": u16}, TypeError, "band 'N' is uint32"),
    ({"N": u16, "R": u16[:5]}, ValueError, "'N' (37, 53) and 'R' (5, 53) differ in shape"),
    ({"N": u16[None], "R": u16}, ValueError, "select one band of 'N' first"),
    ({"N": u16, "R": np.stack([u16, u16])}, ValueError, "select one band of 'R' first"),
    ({"N": [[1, 2]], "R": u16}, TypeError, "symbol 'N' is list"),
    ({"N": "B08.tif", "R": u16}, TypeError, "symbol 'N' is str"),
    ({"N": True, "R": u16}, TypeError, "symbol 'N' is bool"),
    ({"N": u16, "R": u16, "out": np.empty(SHAPE, np.float64)}, TypeError, "out is float64"),
    ({"N": u16, "R": u16, "out": np.empty((2, 2), np.float32)}, ValueError, "out has shape (2, 2)"),
    ({"N": u16, "R": u16, "scale": "0.0001"}, TypeError, "scale for band 'N'"),
    ({"N": u16, "R": u16, "nodata": {"R": "none"}}, TypeError, "nodata for band 'R'"),
])
def test_wrong_inputs(kwargs, error, fragment):
    with pytest.raises(error) as info:
        ki.evaluate("(N - R) / (N + R)", **kwargs)
    assert fragment in str(info.value)


def test_read_only_output():
    out = np.empty(SHAPE, np.float32)
    out.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        ki.evaluate("N + 1", N=u16, out=out)


def test_formula_of_constants_needs_out():
    with pytest.raises(ValueError, match="pass out="):
        ki.evaluate("1 + 2")
    out = ki.evaluate("1 + 2 * k", out=np.empty((2, 3), np.float32), k=4)
    assert (out == 9).all()


@pytest.mark.parametrize("index, kwargs, error, fragment", [
    ("NDVJ", {}, ValueError, "did you mean NDVI"),
    ("EVI", {"N": u16, "R": u16}, ValueError, "needs band 'B' (Blue)"),
    ("NIRvP", {"N": u16, "R": u16}, ValueError, "constant 'PAR'"),
    ("NDVI", {"sensor": "sentinel-3", "N": u16, "R": u16}, ValueError, "unknown sensor"),
    (["NDVI", "EVI"], {"N": u16, "R": u16, "B": u16, "out": np.empty(SHAPE, np.float32)}, TypeError, "one index"),
    (42, {}, TypeError, "'NDVI'"),
])
def test_compute_index_errors(index, kwargs, error, fragment):
    with pytest.raises(error) as info:
        ki.compute_index(index, **kwargs)
    assert fragment in str(info.value)


# ---------------------------------------------------------------------------------------------
# The parser never evaluates anything, whatever the text; the cache skips parsing.

def test_random_text_only_raises_value_or_type_errors():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    real_compile = builtins.compile

    def only_syntax_trees(source, filename, mode, flags=0, *args, **kwargs):
        assert flags & ast.PyCF_ONLY_AST, "a formula must never be compiled to code"
        return real_compile(source, filename, mode, flags, *args, **kwargs)

    def never(*args, **kwargs):
        raise AssertionError("a formula must never be executed")

    alphabet = st.sampled_from(list("NRGBk0123456789.+-*/()e _,[]:'\"=<>!@%^&|~\\lambda sqrtabs_import\n\t\x00"))
    grid = {name: np.ones((2, 2), np.uint16) for name in "NRGB"}

    @hypothesis.settings(max_examples=400, deadline=None, derandomize=True)
    @hypothesis.given(st.one_of(st.text(alphabet, max_size=40), st.text(max_size=20)))
    def check(text):
        saved = builtins.compile, builtins.eval, builtins.exec
        builtins.compile, builtins.eval, builtins.exec = only_syntax_trees, never, never
        try:
            ki.evaluate(text, grid, k=1.0, out=np.empty((2, 2), np.float32))
        except (ValueError, TypeError):
            pass
        finally:
            builtins.compile, builtins.eval, builtins.exec = saved

    check()


def test_programs_are_cached(scene, monkeypatch):
    from kelvane_indices import _grammar

    ki.evaluate("(N - R) / (N + R + k)", scene, k=2.0)
    calls = []
    real_parse = _grammar.parse
    monkeypatch.setattr(_grammar, "parse", lambda text: calls.append(text) or real_parse(text))
    for _ in range(3):
        ki.evaluate("(N - R) / (N + R + k)", scene, k=2.0)
    assert calls == []
    # Keys tell -0.0 from 0.0 and NaN from NaN: a different constant is a different program.
    pos = ki.evaluate("N * 0 * k", scene, k=0.0)
    neg = ki.evaluate("N * 0 * k", scene, k=-0.0)
    assert pos.view(np.uint32)[2, 2] == 0 and neg.view(np.uint32)[2, 2] == 0x80000000
    assert math.isnan(ki.evaluate("N * k", scene, k=math.nan)[0, 0])

"""The type stub: mypy accepts correct calls of every function and rejects wrong ones."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

STUBS = Path(__file__).resolve().parent.parent / "stubs"

GOOD = """
    from typing import TYPE_CHECKING

    import numpy as np
    from numpy.typing import NDArray

    import kelvane

    if TYPE_CHECKING:
        from kelvane import _Instruction

    a: NDArray[np.uint16] = np.zeros((4, 6), dtype=np.uint16)
    b = np.ones((4, 6), dtype=np.uint16)[:, ::-1]
    out = np.empty((4, 6), dtype=np.float32)

    kelvane.calculate_normalized_difference_inplace(a, b, out)
    kelvane.calculate_ratio_inplace(band_a=a, band_b=b, out_buffer=out)
    kelvane.calculate_adjusted_difference_inplace(a, b, 0.5, out)
    kelvane.calculate_evi_inplace(a, b, a, 2.5, 6, np.float32(7.5), l=10000, out_buffer=out)
    fresh: NDArray[np.float32] = kelvane.calculate_normalized_difference(a, b)

    program: "list[_Instruction]" = [
        {"type": "push_band", "index": 0},
        {"type": "push_scalar", "value": 2},
        {"type": "pow"},
        {"type": "sqrt"},
    ]
    expr: kelvane.CompiledExpr = kelvane.compile_expr(program, 1)
    kelvane.execute_expr_inplace(expr, [a], out)
    inline = kelvane.compile_expr(({"type": "push_band", "index": 1}, {"type": "neg"}), num_bands=2)
    kelvane.execute_expr_inplace(expr=inline, bands=(a, b), out_buffer=fresh)
    names: list[str] = kelvane.__all__

    import kelvane_indices as ki

    ndvi = ki.evaluate("(N - R) / (N + R)", {"N": a, "R": b}, nodata=0, scale={"N": 1e-4}, out=out)
    several = ki.compute_index(["NDVI", "EVI"], N=a, R=b, B=a, sensor="sentinel-2", constants={"L": 0.5})
    entry: ki.IndexEntry = ki.catalogue["NDVI"]
    formula: str = entry.formula
    symbols: tuple[str, ...] = ki.symbols(formula) + entry.bands
    found: list[ki.IndexEntry] = ki.search("burn")
"""

# One wrong use per line; each line must get an error of the given mypy code.
BAD = {
    "float64 band": ("kelvane.calculate_normalized_difference_inplace(f64, u16, out)", "arg-type"),
    "float64 band, allocating": ("kelvane.calculate_normalized_difference(u16, f64)", "arg-type"),
    "float64 output": ("kelvane.calculate_ratio_inplace(u16, u16, f64)", "arg-type"),
    "missing out_buffer": ("kelvane.calculate_ratio_inplace(u16, u16)", "call-arg"),
    "missing l": ("kelvane.calculate_adjusted_difference_inplace(u16, u16, out)", "call-arg"),
    "missing coefficient": ("kelvane.calculate_evi_inplace(u16, u16, u16, 2.5, 6, 7.5, out_buffer=out)", "call-arg"),
    "missing num_bands": ("kelvane.compile_expr([{'type': 'add'}])", "call-arg"),
    "str scalar": ("kelvane.calculate_adjusted_difference_inplace(u16, u16, '0.5', out)", "arg-type"),
    "float count": ("kelvane.compile_expr([], 2.0)", "arg-type"),
    "unknown op": ("kelvane.compile_expr([{'type': 'square_root'}], 1)", "list-item"),
    "push_band without index": ("kelvane.compile_expr([{'type': 'push_band'}], 1)", "list-item"),
    "single band, not a sequence": ("kelvane.execute_expr_inplace(kelvane.compile_expr([], 1), u16, out)", "arg-type"),
    "instructions as expr": ("kelvane.execute_expr_inplace([{'type': 'add'}], [u16], out)", "arg-type"),
    "constructor": ("kelvane.CompiledExpr()", "call-arg"),
    "no such attribute": ("kelvane.PanicException", "attr-defined"),
    "formula not a string": ("ki.evaluate(42, N=u16)", "arg-type"),
    "scale as text": ("ki.evaluate('N', N=u16, scale='0.1')", "arg-type"),
    "catalogue is read-only": ("ki.catalogue['X'] = ki.catalogue['NDVI']", "index"),
    "entry is frozen": ("ki.catalogue['NDVI'].formula = 'N'", "misc"),
    "no such function": ("ki.evaluate_index('NDVI')", "attr-defined"),
}

BAD_PREAMBLE = """
    import numpy as np
    import kelvane
    import kelvane_indices as ki

    f64 = np.zeros((4, 6), dtype=np.float64)
    u16 = np.zeros((4, 6), dtype=np.uint16)
    out = np.empty((4, 6), dtype=np.float32)
"""


def run_mypy(paths, cache_dir, *extra):
    env = dict(os.environ, MYPYPATH=str(STUBS))
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
           "--cache-dir", str(cache_dir), *extra, *map(str, paths)]
    return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=240)


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """One mypy run over the good script and a script of wrong uses, one per line."""
    root = tmp_path_factory.mktemp("typing")
    good = root / "good.py"
    good.write_text(textwrap.dedent(GOOD))
    bad = root / "bad.py"
    preamble = textwrap.dedent(BAD_PREAMBLE)
    first = preamble.count("\n") + 1
    bad.write_text(preamble + "".join(f"{code}  # {name}\n" for name, (code, _) in BAD.items()))
    lines = {name: first + i for i, name in enumerate(BAD)}
    proc = run_mypy([good, bad], root / ".mypy_cache")
    errors = {}
    for m in re.finditer(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", proc.stdout, re.M):
        errors.setdefault((Path(m[1]).name, int(m[2])), set()).add(m[3])
    return proc, errors, lines


def test_correct_calls_pass(mypy_report):
    proc, errors, _ = mypy_report
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr  # 2 would be a crash or bad usage
    good_errors = [line for line in proc.stdout.splitlines() if Path(line.split(":")[0]).name == "good.py"]
    assert not good_errors, proc.stdout
    assert "Cannot find implementation or library stub" not in proc.stdout


@pytest.mark.parametrize("case", list(BAD))
def test_wrong_calls_fail(mypy_report, case):
    proc, errors, lines = mypy_report
    expected_code = BAD[case][1]
    assert expected_code in errors.get(("bad.py", lines[case]), set()), proc.stdout


def test_stub_matches_runtime_module(tmp_path):
    """stubtest compares the stub's names and parameters with the imported module."""
    pytest.importorskip("kelvane")
    allow = tmp_path / "allowlist.txt"
    # The stub gives CompiledExpr an unsatisfiable __init__ so that type checkers refuse to
    # construct it; the runtime class refuses in its constructor slot instead.
    allow.write_text("kelvane.CompiledExpr.__init__\n")
    env = dict(os.environ, MYPYPATH=str(STUBS))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kelvane", "--allowlist", str(allow),
                           "--ignore-unused-allowlist",
                           "--mypy-config-file", os.devnull],
                          env=env, capture_output=True, text=True, timeout=240)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_installed_stub_is_found(tmp_path):
    """With kelvane installed, mypy finds its stub without MYPYPATH (PEP 561 lookup)."""
    pytest.importorskip("kelvane")
    script = tmp_path / "uses_installed.py"
    script.write_text("import numpy as np\nimport kelvane\n"
                      "kelvane.calculate_ratio_inplace(np.zeros((1, 1)), np.zeros((1, 1), np.uint16), 1)\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    cmd = [sys.executable, "-m", "mypy", "--no-error-summary", "--show-error-codes",
           "--cache-dir", str(tmp_path / ".mypy_cache"), str(script)]
    proc = subprocess.run(cmd, env=env, cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert "import-not-found" not in proc.stdout and "import-untyped" not in proc.stdout, proc.stdout
    codes = re.findall(r"\[([\w-]+)\]$", proc.stdout, re.M)
    assert codes == ["arg-type", "arg-type"], proc.stdout

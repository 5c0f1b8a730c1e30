"""A smoke test of every function of the kelvane module, bit for bit against
the NumPy float32 reference of tests/reference.py: for an interpreter that
runs the module where the suite is too slow to run (Debian's arm64 Python
under qemu-user, see tools/aarch64_python_smoke.sh). Each function on a small
grid and on one large enough for the pool, on C- and Fortran-ordered outputs
and every-other-sample bands; band math with every operation. Prints the
number of checks and exits 1 at the first difference."""
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kelvane  # noqa: E402
import reference as ref  # noqa: E402

rng = np.random.default_rng(11)
checks = 0


def same(got, want, nan_sign_free=None):
    global checks
    ref.assert_bits_equal(got, want, nan_sign_free)
    checks += 1


def bands_of(shape, count, every_other):
    wide = (shape[0], shape[1] * 2) if every_other else shape
    out = []
    for _ in range(count):
        a = rng.integers(0, 65536, size=wide, dtype=np.uint16)
        a[rng.random(wide) < 0.05] = 0  # zero denominators
        out.append(a[:, ::2] if every_other else a)
    return out


def output(shape, order):
    return np.full(shape, np.nan, dtype=np.float32, order=order)


for shape in ((7, 37), (520, 512)):  # the calling thread's, then the pool's
    for order in ("C", "F"):
        for every_other in (False, True):
            a, b, c = bands_of(shape, 3, every_other)
            out = output(shape, order)
            kelvane.calculate_normalized_difference_inplace(a, b, out)
            same(out, ref.nd(a, b))
            kelvane.calculate_ratio_inplace(a, b, out)
            same(out, ref.ratio(a, b))
            kelvane.calculate_adjusted_difference_inplace(a, b, 5000.0, out)
            same(out, ref.adjusted_difference(a, b, 5000.0))
            kelvane.calculate_evi_inplace(a, b, c, 2.5, 6.0, 7.5, 10000.0, out)
            same(out, ref.evi(a, b, c, 2.5, 6.0, 7.5, 10000.0))
            same(kelvane.calculate_normalized_difference(a, b), ref.nd(a, b))
            # Every operation, then random programs (tables, leaves, NaNs and infinities).
            programs = [[ref.push_band(0), ref.push_band(1), ref.op("sub"), ref.push_band(2), ref.op("mul"),
                         ref.push_scalar(3.5), ref.op("add"), ref.push_band(1), ref.op("div"), ref.op("neg"),
                         ref.op("abs"), ref.op("sqrt"), ref.push_scalar(0.75), ref.op("pow")]]
            programs += [ref.random_program(rng, 3) for _ in range(6)]
            if shape[0] * shape[1] > 4096:
                # The reference's powf is a C call per pixel: the pool's grid runs the rest.
                programs = [p for p in programs if all(i["type"] != "pow" for i in p)]
            for program in programs:
                out = output(shape, order)
                kelvane.execute_expr_inplace(kelvane.compile_expr(program, 3), [a, b, c], out)
                want, nan_sign_free = ref.evaluate(program, [a, b, c], shape)
                same(out, want, nan_sign_free)

print(f"{checks} checks passed on {sys.platform} {np.__version__}")

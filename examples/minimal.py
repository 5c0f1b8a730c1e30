#!/usr/bin/env python3
"""The smallest tour of kelvane: compile a band-math program, then call every function once."""

from typing import TYPE_CHECKING, Callable, Dict, List, Optional

import numpy as np

import kelvane

if TYPE_CHECKING:
    from kelvane import _Instruction  # exists for type checkers only

# A band-math program is a postfix list of instruction dicts: here (b0 - b1) / (b0 + b1).
ndvi_program: "List[_Instruction]" = [
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "sub"},
    {"type": "push_band", "index": 0},
    {"type": "push_band", "index": 1},
    {"type": "add"},
    {"type": "div"},
]
expr: Optional[kelvane.CompiledExpr]
try:
    expr = kelvane.compile_expr(ndvi_program, 2)
except NotImplementedError as exc:
    expr = None
    print(f"compile_expr: not available in this build ({exc})")
else:
    print("compile_expr ->", type(expr).__name__, f"(module {type(expr).__module__!r}),",
          f"{len(ndvi_program)} instructions for 2 bands")
print("kelvane exports:", ", ".join(kelvane.__all__))

nir = np.array([[3000, 2500], [1200, 0]], dtype=np.uint16)
red = np.array([[1000, 2000], [1100, 0]], dtype=np.uint16)
blue = np.array([[500, 800], [900, 0]], dtype=np.uint16)
out = np.empty(nir.shape, dtype=np.float32)

calls: "Dict[str, Callable[[], Optional[np.ndarray]]]" = {
    "calculate_normalized_difference(nir, red)":
        lambda: kelvane.calculate_normalized_difference(nir, red),
    "calculate_normalized_difference_inplace(nir, red, out)":
        lambda: kelvane.calculate_normalized_difference_inplace(nir, red, out),
    "calculate_ratio_inplace(nir, red, out)":
        lambda: kelvane.calculate_ratio_inplace(nir, red, out),
    "calculate_adjusted_difference_inplace(nir, red, 0.5, out)":
        lambda: kelvane.calculate_adjusted_difference_inplace(nir, red, 0.5, out),
    "calculate_evi_inplace(nir, red, blue, 2.5, 6, 7.5, 10000, out)":
        lambda: kelvane.calculate_evi_inplace(nir, red, blue, 2.5, 6.0, 7.5, 10000.0, out),
}
if expr is not None:
    compiled = expr
    calls["execute_expr_inplace(expr, [nir, red], out)"] = \
        lambda: kelvane.execute_expr_inplace(compiled, [nir, red], out)

print("\nbands: nir", nir.tolist(), " red", red.tolist(), " blue", blue.tolist())
for label, call in calls.items():
    try:
        result = call()
    except NotImplementedError as exc:
        print(f"{label}: not available in this build ({exc})")
        continue
    shown = result if result is not None else out
    print(f"{label}:\n    {np.array2string(shown, precision=7, separator=', ', prefix='    ')}")

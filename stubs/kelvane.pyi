"""Per-pixel band arithmetic over 2-D NumPy arrays: uint16 bands in, float32 out.

Numeric contract (every function):

* Each uint16 sample converts to float32 exactly. Scalar parameters (``l``, ``g``, ``c1``,
  ``c2`` and band-math constants) are rounded once to the nearest float32.
* Every operation is one IEEE-754 single-precision operation, rounded (to nearest, ties to
  even) before the next, in the order each function documents. There is no fused
  multiply-add and no double-precision intermediate.
* Every denominator of the fixed indices, and the divisor of the band-math ``div``, gets
  ``DENOM_EPSILON`` added: the float32 nearest to 1e-10 (bit pattern 0x2EDBE6FF,
  1.000000013351432e-10 as a double). Once the rest of the denominator is at least about
  0.004 in magnitude it vanishes in rounding, so any denominator of whole-number band values
  >= 1 gives the plain quotient; a zero denominator gives ``x / DENOM_EPSILON``, never an
  infinity or NaN.
* Nothing is clamped and nothing is tested: negative, zero or NaN denominators produce what
  IEEE arithmetic produces, and the call still succeeds.
* Results are bit-identical whatever the memory layout of the arrays (C, Fortran, strided,
  reversed) and the number of worker threads: a NumPy float32 computation of the same
  operations in the same order gives the same bits.

Errors (every function):

* ``TypeError``: wrong or missing arguments ("compile_expr() missing 1 required positional
  argument: 'num_bands'"), or an argument of the wrong kind, with the parameter named:
  "argument 'band_a': 'ndarray' object cannot be converted to 'PyArray<T, D>'" for a band
  that is not a 2-D native uint16 array (float64, int16, big-endian, 1-D, a list ...) or an
  output that is not a 2-D native float32 array.
* ``ValueError``: the module's own checks: "Shape mismatch at index i: expected [r, c], got
  [r, c]" (index 0 is the first band, the output is last), "Band count mismatch.", "Unknown
  op: <name>".
* ``OverflowError``: a negative count or one above 4294967295.
* ``PanicException``: an internal failure, including a refused hold: the output array is
  read-only ("called `Result::unwrap()` on an `Err` value: NotWriteable") or an array is in
  use by another call in a conflicting way ("... AlreadyBorrowed"), and band-math programs
  that read a band out of range or under-/overflow their stack. It derives from
  ``BaseException``, not ``Exception``, so ``except Exception`` does not catch it. It is not
  an attribute of this module; its ``__module__`` is "pyo3_runtime". Catch it with::

      try:
          kelvane.calculate_ratio_inplace(a, b, out)
      except BaseException as exc:
          if type(exc).__name__ != "PanicException":
              raise
          ...

After any failure the module stays usable. Failures of arguments, shapes, band counts and
holds happen before any output element is written.

Threads: every computing function releases the interpreter lock while it computes on a
process-wide pool of worker threads (one per available processor). While a call runs its
bands are held read-only and its output exclusively; a call that would write an array another
call reads or writes, or read one that another call writes, fails at once with
``PanicException`` (AlreadyBorrowed) instead of waiting.
"""

from collections.abc import Sequence
from typing import Literal, NoReturn, SupportsFloat, SupportsIndex, TypedDict, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "calculate_normalized_difference_inplace",
    "calculate_ratio_inplace",
    "calculate_adjusted_difference_inplace",
    "calculate_evi_inplace",
    "calculate_normalized_difference",
    "compile_expr",
    "execute_expr_inplace",
    "CompiledExpr",
]

# Instruction dictionaries of compile_expr, one TypedDict per form. These names exist only for
# type checkers (kelvane has no such attributes at run time): import them under
# ``if typing.TYPE_CHECKING:`` or use them in string annotations.

class _PushBand(TypedDict):
    """Push the sample of band ``index`` (0 = first array of ``bands``) as float32."""

    type: Literal["push_band"]
    index: SupportsIndex

class _PushScalar(TypedDict):
    """Push the constant ``value``, rounded once to float32 (beyond range: +-inf)."""

    type: Literal["push_scalar"]
    value: SupportsFloat | SupportsIndex

class _Binary(TypedDict):
    """Pop b (top) and a (below it), push a op b. ``div`` computes a / (b + DENOM_EPSILON);
    ``pow`` is the C library's powf(a, b)."""

    type: Literal["add", "sub", "mul", "div", "pow"]

class _Unary(TypedDict):
    """Replace the top value x: ``neg`` flips its sign bit, ``abs`` clears it, ``sqrt`` is the
    correctly rounded float32 square root (NaN for negative x)."""

    type: Literal["neg", "abs", "sqrt"]

_Instruction = _PushBand | _PushScalar | _Binary | _Unary

@final
class CompiledExpr:
    """A band-math program compiled by ``compile_expr``: immutable, reusable by any number of
    calls and threads at once. It has no constructor (calling the class raises ``TypeError``
    "No constructor defined for CompiledExpr"), no attributes, cannot be subclassed and cannot
    be pickled: ship the instruction list and compile where it runs. Its ``__module__`` is
    "builtins"."""

    # Unsatisfiable on purpose: instances come only from compile_expr.
    def __init__(self, __no_constructor: NoReturn) -> None: ...

def calculate_normalized_difference_inplace(
    band_a: NDArray[np.uint16],
    band_b: NDArray[np.uint16],
    out_buffer: NDArray[np.float32],
) -> None:
    """Write the normalized difference (a - b) / (a + b) of two bands into ``out_buffer``.

    Per pixel, in float32: ``(A - B) / ((A + B) + DENOM_EPSILON)``. Values lie in [-1, 1];
    both samples 0 give +0.0. NDVI is (nir, red), NDWI (green, nir), NBR (nir, swir2).

    All three arrays must be 2-D with one shape (``band_a``'s is the reference); the bands
    native uint16, the output native float32 and writeable. Any strides are accepted and
    nothing is copied; the same array may be passed as both bands.

    Raises ``TypeError`` for an argument of the wrong kind, ``ValueError`` "Shape mismatch at
    index 1|2: ..." (1 = band_b, 2 = out_buffer), ``PanicException`` (a BaseException) with
    NotWriteable for a read-only output or AlreadyBorrowed when another running call holds
    an array in a conflicting way.
    """

def calculate_ratio_inplace(
    band_a: NDArray[np.uint16],
    band_b: NDArray[np.uint16],
    out_buffer: NDArray[np.float32],
) -> None:
    """Write the simple ratio a / b of two bands into ``out_buffer``.

    Per pixel, in float32: ``A / (B + DENOM_EPSILON)``. For b >= 1 this is the correctly
    rounded a / b; b = 0 gives a * 1e10 (0.0 for a = 0), never an infinity.

    Arrays and errors as for ``calculate_normalized_difference_inplace``.
    """

def calculate_adjusted_difference_inplace(
    band_a: NDArray[np.uint16],
    band_b: NDArray[np.uint16],
    l: SupportsFloat | SupportsIndex,
    out_buffer: NDArray[np.float32],
) -> None:
    """Write the adjusted difference, SAVI's form, of two bands into ``out_buffer``.

    Per pixel, in float32, with l rounded once to float32 and k = 1 + l:
    ``((A - B) / (((A + B) + l) + DENOM_EPSILON)) * k``; the quotient is rounded before it is
    scaled. ``l = 0`` gives exactly the normalized difference.

    ``l`` is in the units of the bands, and so is the scale k = 1 + l. For reflectance-scaled
    digital numbers (reflectance x 10000) SAVI's L = 0.5 is l = 5000, and the result must
    then be multiplied by 1.5 / 5001 to get SAVI.

    Raises ``TypeError`` also when ``l`` is not a number (``OverflowError`` for an int too
    large for a float); otherwise as ``calculate_normalized_difference_inplace``.
    """

def calculate_evi_inplace(
    nir: NDArray[np.uint16],
    red: NDArray[np.uint16],
    blue: NDArray[np.uint16],
    g: SupportsFloat | SupportsIndex,
    c1: SupportsFloat | SupportsIndex,
    c2: SupportsFloat | SupportsIndex,
    l: SupportsFloat | SupportsIndex,
    out_buffer: NDArray[np.float32],
) -> None:
    """Write the enhanced vegetation index of three bands into ``out_buffer``.

    Per pixel, in float32, each step rounded before the next (the coefficients rounded once):
    ``((N - R) / ((((N + c1*R) - c2*Bl) + l) + DENOM_EPSILON)) * g``. The usual coefficients
    are g = 2.5, c1 = 6, c2 = 7.5, l = 1 for reflectance; for digital numbers scaled by
    10000, l = 10000 (g, c1, c2 are ratios and stay). No coefficient has a default.
    Denominators near or below zero are not clamped.

    Shapes are checked in the order nir, red (index 1), blue (2), out_buffer (3). Errors as
    for ``calculate_adjusted_difference_inplace``.
    """

def calculate_normalized_difference(
    band_a: NDArray[np.uint16],
    band_b: NDArray[np.uint16],
) -> NDArray[np.float32]:
    """Return the normalized difference of two bands as a new C-ordered float32 array.

    Same values as ``calculate_normalized_difference_inplace``; the result has ``band_a``'s
    shape, so only ``band_b`` can mismatch ("Shape mismatch at index 1: ...").
    """

def compile_expr(
    instructions: Sequence[_Instruction],
    num_bands: SupportsIndex,
) -> CompiledExpr:
    """Compile a postfix (reverse Polish) band-math program for ``execute_expr_inplace``.

    Each instruction is a dict with a "type" key: "push_band" (with "index"), "push_scalar"
    (with "value"), "add", "sub", "mul", "div", "pow", "neg", "abs" or "sqrt". Operands come
    before their operation, the first pushed is the left operand. ``num_bands`` is the number
    of bands the program will be run with (0 to 4294967295). Other keys are ignored.

    Example, (b0 - b1) / (b0 + b1)::

        [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
         {"type": "sub"},
         {"type": "push_band", "index": 0}, {"type": "push_band", "index": 1},
         {"type": "add"}, {"type": "div"}]

    Only names are checked here: stack depth and band indices are checked when the program
    runs. Raises ``ValueError`` "Unknown op: <name>" for a type text that is not one of the
    ten (exact, case-sensitive); the lookup's own ``KeyError`` for a missing "type", "index"
    or "value"; ``TypeError`` for a non-str "type", a non-integer "index", a "value" that is
    not a number, or an ``instructions`` that is a str or not a sequence; ``OverflowError``
    for a negative or too large count or index.
    """

def execute_expr_inplace(
    expr: CompiledExpr,
    bands: Sequence[NDArray[np.uint16]],
    out_buffer: NDArray[np.float32],
) -> None:
    """Run a compiled program at every pixel of ``out_buffer``, reading ``bands`` by position.

    A 64-slot float32 stack machine per pixel; the result is the bottom stack value (for a
    well-formed program, its only value); an empty program writes +0.0. ``div`` adds
    DENOM_EPSILON to the divisor, so it equals plain float32 division for any divisor of
    magnitude >= 2**-8 and gives a * 1e10 for a divisor of 0.

    The grid is ``out_buffer``'s shape; bands are not compared with it: each must be at least
    as large (a larger band contributes its top-left part). ``len(bands)`` must equal the
    program's ``num_bands`` (else ``ValueError`` "Band count mismatch.").

    Raises ``TypeError`` for arguments of the wrong kind; ``PanicException`` (a BaseException)
    for a refused hold, a band index out of range or a stack under- or overflow ("index out of
    bounds: the len is ... but the index is ..."; nothing written), or a band smaller than the
    output ("ndarray: index out of bounds"; pixels inside it may already be written).
    """

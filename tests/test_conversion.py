"""Conversion of each kind of argument, with the exact refusals callers see."""
import collections
import ctypes
import fractions
import operator
import warnings

import numpy as np
import pytest

import kelvane

U2, F4, F8 = np.uint16, np.float32, np.zeros((2, 3))
ND, EVI, EXEC = (kelvane.calculate_normalized_difference_inplace, kelvane.calculate_evi_inplace,
                 kelvane.execute_expr_inplace)


def capi_error(name, restype, obj):
    """(type, message) of what a CPython conversion function raises for obj."""
    fn = getattr(ctypes.pythonapi, name)
    fn.restype, fn.argtypes = restype, [ctypes.py_object]
    try:
        fn(obj)
    except BaseException as e:  # noqa: BLE001
        return type(e), str(e)
    return None


def float_error(obj):
    return capi_error("PyFloat_AsDouble", ctypes.c_double, obj)


def ulonglong_error(obj):
    return capi_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, operator.index(obj))


def count_error(obj):
    """(type, message) of an unsigned 32-bit count's refusal before any prefix, or None."""
    error = capi_error("PyNumber_Index", ctypes.py_object, obj)
    if error is None and 2**32 <= operator.index(obj) < 2**64:
        return OverflowError, "out of range integral type conversion attempted"
    return error or ulonglong_error(obj)


def refused(exc_type, message, fn, *args):
    with pytest.raises(exc_type) as info:
        fn(*args)
    assert type(info.value) is exc_type and info.value.args == (message,)
    return info.value


def band(shape=(2, 3)):
    return np.zeros(shape, U2)


def out(shape=(2, 3)):
    return np.zeros(shape, F4)


def expr0():
    return kelvane.compile_expr([], 0)


def not_array(param, obj):
    return f"argument '{param}': '{type(obj).__qualname__}' object cannot be converted to 'PyArray<T, D>'"


def short_id(x):
    """A stable, one-line test id for any parameter value."""
    if isinstance(x, np.ndarray):
        return f"{type(x).__name__}{x.shape}{x.dtype.str}"
    text = " ".join(repr(x).split())
    if " at 0x" in text:
        return type(x).__name__
    return text if len(text) <= 40 else text[:37] + "..."


def with_qualname(name):
    cls = type("Anything", (), {})
    cls.__qualname__ = name
    return cls()


class Index:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"

    def __index__(self):
        return self.value


class Float:
    __init__, __repr__ = Index.__init__, Index.__repr__

    def __float__(self):
        return self.value


class TypeErrorSub(TypeError):
    pass


class Raiser:
    """Yields `after` bands, then raises exc; raises it from __float__ and __index__ too."""

    def __init__(self, exc, after=0):
        self.exc, self.after = exc, after

    def __float__(self):
        raise self.exc
    __index__ = __float__

    def __len__(self):
        return self.after + 1

    def __getitem__(self, i):
        if i < self.after:
            return band()
        raise self.exc


class IterRaiser(Raiser):
    def __iter__(self):
        raise self.exc


# --- band and output arrays -------------------------------------------------------

def bad_arrays(dtype, other):
    return [[[0, 1], [2, 3]], np.zeros(4, dtype), np.zeros((2, 2, 2), dtype), np.array(0, dtype),
            dtype(0), np.zeros((2, 2), other), np.zeros((2, 2), np.int16),
            np.zeros((2, 2), np.dtype(dtype).newbyteorder(">")),
            np.ma.masked_array(np.zeros((2, 2), other)), None, with_qualname("Outer.Inner")]


BAND_POSITIONS = {
    "band_a": lambda x: ND(x, band(), out()),
    "band_b": lambda x: ND(band(), x, out()),
    "red": lambda x: EVI(band(), x, band(), 1, 1, 1, 1, out()),
    "allocating band_b": lambda x: kelvane.calculate_normalized_difference(band(), x),
    "bands": lambda x: EXEC(expr0(), [band(), x], out()),
}


@pytest.mark.parametrize("position", BAND_POSITIONS)
@pytest.mark.parametrize("x", bad_arrays(U2, np.float64), ids=short_id)
def test_band_refused(position, x):
    refused(TypeError, not_array(position.split()[-1], x), BAND_POSITIONS[position], x)


@pytest.mark.parametrize("x", bad_arrays(F4, U2) + [np.zeros((2, 2))], ids=short_id)
def test_output_refused(x):
    refused(TypeError, not_array("out_buffer", x), ND, band(), band(), x)
    refused(TypeError, not_array("out_buffer", x), EXEC, expr0(), [], x)


def test_unreadable_type_name():
    refused(TypeError, "argument 'band_a': '<failed to extract type name>' object cannot be "
            "converted to 'PyArray<T, D>'", ND, with_qualname("\ud800"), band(), out())


def layouts(dtype, rows=3, cols=4):
    """{name: (2-D array of shape rows x cols, the array that owns its memory)}"""
    c, t, big = np.zeros((rows, cols), dtype), np.zeros((cols, rows), dtype), np.zeros((2 * rows, 3 * cols), dtype)
    unaligned = np.frombuffer(bytearray(c.nbytes + 1), dtype, c.size, offset=1).reshape(rows, cols)
    readonly = c.copy()
    readonly.flags.writeable = False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        matrix = np.matrix(c.copy())
    masked = np.ma.masked_array(c.copy(), mask=np.eye(rows, cols, dtype=bool))
    zr, zc = np.zeros((0, cols), dtype), np.zeros((rows, 0), dtype)
    return {"c": (c, c), "fortran": (np.asfortranarray(c),) * 2, "transposed": (t.T, t),
            "reversed": (c[::-1, ::-1], c), "stepped": (big[::2, 1::3], big),
            "unaligned": (unaligned, unaligned), "readonly": (readonly, readonly),
            "native-order": (np.zeros((rows, cols), np.dtype(dtype).newbyteorder("=")),) * 2,
            "matrix": (matrix, matrix), "masked": (masked, masked.data),
            "zero-rows": (zr, zr), "zero-cols": (zc, zc)}


@pytest.mark.parametrize("key", list(layouts(U2)))
def test_band_accepted(key):
    # parameters convert in order: an error naming a later parameter means x passed
    x = layouts(U2)[key][0]
    refused(TypeError, not_array("band_b", None), ND, x, None, out())
    refused(TypeError, not_array("out_buffer", None), ND, x, x, None)
    refused(TypeError, "argument 'g': must be real number, not NoneType", EVI, x, x, x, None, 1, 1, 1, out())
    refused(TypeError, not_array("out_buffer", None), EXEC, expr0(), [x, x, x], None)


@pytest.mark.parametrize("key", [k for k in layouts(F4) if k != "readonly"])
def test_output_accepted(key):
    target, owner = layouts(F4)[key]
    owner[...] = np.nan
    try:
        ND(band(target.shape), band(target.shape), target)
    except NotImplementedError as e:
        assert str(e) == "not built yet"
        return
    # zero bands give +0.0 at every element of the view and nowhere else
    assert np.all(np.asarray(np.ma.getdata(target)) == 0)
    assert np.count_nonzero(owner == 0) == target.size


# --- float scalars and unsigned counts -------------------------------------------------

@pytest.mark.parametrize("value", [0.5, 1e39, -1e39, -1.0, -1, True, 10**38, float("nan"), np.float64(0.25),
                                   np.float32(2), np.uint16(3), Float(0.5), Index(3), fractions.Fraction(1, 3),
                                   "0.5", None, 1j, [1.0], Float("x"), Index(2.0), 10**400], ids=short_id)
@pytest.mark.parametrize("param", ["g", "c1", "c2", "l"])
def test_float_scalar(param, value):
    error = float_error(value)
    if error is None:  # accepted: conversion goes on to out_buffer
        error = TypeError, not_array("out_buffer", None)
    elif error[0] is TypeError:
        error = TypeError, f"argument '{param}': {error[1]}"
    scalars = {**dict(g=1.0, c1=1.0, c2=1.0, l=1.0), param: value}
    refused(*error, EVI, band(), band(), band(), *scalars.values(), None)


@pytest.mark.parametrize("value", [0, True, False, 2**32 - 1, np.uint32(5), np.int8(3), np.uint64(2**32 - 1),
                                   Index(7), 2.0, "2", None, np.float64(2.0), Index("2"), [1], -1, -2**70, 2**64,
                                   2**100, Index(-1), np.int64(-5), 2**32, 2**64 - 1, np.uint64(2**32),
                                   Index(2**40)], ids=short_id)
def test_unsigned_count(value):
    error = count_error(value)
    if error is None:
        assert type(kelvane.compile_expr([], value)) is kelvane.CompiledExpr
    elif error[0] is TypeError:
        refused(TypeError, "argument 'num_bands': " + error[1], kelvane.compile_expr, [], value)
    else:
        refused(*error, kelvane.compile_expr, [], value)


# --- sequences and compiled expressions ---------------------------------------------------

SEQ_POSITIONS = {"instructions": lambda x: kelvane.compile_expr(x, 0),
                 "bands": lambda x: EXEC(expr0(), x, None)}


@pytest.mark.parametrize("param", SEQ_POSITIONS)
@pytest.mark.parametrize("value, msg", [
    ("abc", "Can't extract `str` to `Vec`"), ("", "Can't extract `str` to `Vec`"),
    (type("Str", (str,), {})("abc"), "Can't extract `str` to `Vec`"),
    ({0: 1}, "'dict' object cannot be converted to 'Sequence'"),
    (collections.OrderedDict(), "'OrderedDict' object cannot be converted to 'Sequence'"),
    ({1, 2}, "'set' object cannot be converted to 'Sequence'"),
    ((x for x in []), "'generator' object cannot be converted to 'Sequence'"),
    (iter([]), "'list_iterator' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
], ids=short_id)
def test_sequence_refused(param, value, msg):
    refused(TypeError, f"argument '{param}': {msg}", SEQ_POSITIONS[param], value)


class BadLength(Raiser):
    def __len__(self):
        raise RuntimeError("length is only a hint")


@pytest.mark.parametrize("value", [[], (), range(0), b"", np.array([], dtype=object),
                                   collections.UserList(), Raiser(IndexError()), BadLength(IndexError())],
                         ids=short_id)
def test_empty_sequences_accepted(value):
    assert type(kelvane.compile_expr(value, 0)) is kelvane.CompiledExpr
    refused(TypeError, not_array("out_buffer", None), EXEC, expr0(), value, None)


class LyingLength:
    """A sequence of `items` whose __len__ returns `length` (or raises it, if an exception)."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __repr__(self):
        return f"LyingLength({len(self.items)} items, len={self.length!r})"

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def sequence_outcome(param, items, make):
    """What a call makes of the sequence `make(items)` in `param`: the output's bits or the exception."""
    bands = [np.arange(6, dtype=U2).reshape(2, 3) + k for k in range(3)]
    program = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 2}, {"type": "div"}]
    result = np.full((2, 3), 7.0, F4)
    try:
        if param == "instructions":
            EXEC(kelvane.compile_expr(make(items), 3), bands, result)
        else:
            EXEC(kelvane.compile_expr(program, len(items)), make(items), result)
    except BaseException as e:  # noqa: BLE001
        return type(e), e.args
    return result.view(np.uint32).tolist()


SEQUENCE_ITEMS = {
    "instructions": {"empty": [], "one": [{"type": "push_band", "index": 1}],
                     "program": [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 3.0},
                                 {"type": "pow"}, {"type": "sqrt"}],
                     "unknown op": [{"type": "push_band", "index": 0}, {"type": "bogus"}]},
    "bands": {"empty": [], "one": [band()],
              "three": [np.arange(6, dtype=U2).reshape(2, 3) + k for k in range(3)],
              "not an array": [band(), [1]]},
}


# A length is only a hint: what __len__ says (true, huge, negative, too large for
# an index, or a failure) changes nothing; the items iterated decide.
@pytest.mark.parametrize("length", [None, 2**63 - 1, 2**40, -1, 2**64, RuntimeError("lying length")],
                         ids=short_id)
@pytest.mark.parametrize("param, items", [(p, i) for p, cases in SEQUENCE_ITEMS.items() for i in cases])
def test_length_of_a_sequence_is_only_a_hint(param, items, length):
    items = SEQUENCE_ITEMS[param][items]
    honest = sequence_outcome(param, items, list)
    lying = sequence_outcome(param, items, lambda x: LyingLength(x, len(x) if length is None else length))
    assert lying == honest


@pytest.mark.parametrize("bands", [(band(), band()), [band()] * 3, Raiser(IndexError(), after=2)], ids=short_id)
def test_band_sequences_accepted(bands):
    refused(TypeError, not_array("out_buffer", None), EXEC, expr0(), bands, None)


def test_bands_item_refused_without_position():
    refused(TypeError, not_array("bands", [1]), EXEC, expr0(), [band(), band(), [1]], out())
    refused(TypeError, not_array("bands", 97), EXEC, expr0(), b"a", out())


@pytest.mark.parametrize("kind", [Raiser, IterRaiser])
@pytest.mark.parametrize("param", SEQ_POSITIONS)
@pytest.mark.parametrize("exc", [TypeError("boom"), ValueError("boom"), TypeErrorSub("boom"),
                                 KeyError("boom"), RuntimeError()], ids=short_id)
def test_iteration_errors(kind, param, exc):
    if type(exc) is TypeError:
        refused(TypeError, f"argument '{param}': boom", SEQ_POSITIONS[param], kind(exc, after=1))
    else:
        with pytest.raises(type(exc)) as info:
            SEQ_POSITIONS[param](kind(exc, after=1))
        assert info.value is exc


@pytest.mark.parametrize("value", [None, [], kelvane.CompiledExpr, kelvane.compile_expr], ids=short_id)
def test_expr_refused(value):
    refused(TypeError, f"argument 'expr': '{type(value).__qualname__}' object cannot be converted "
            "to 'CompiledExpr'", EXEC, value, [], out())


# --- the argument error itself ------------------------------------------------------------

def test_argument_error_chaining():
    err = refused(TypeError, not_array("band_a", None), ND, None, band(), out())
    assert err.__cause__ is None and err.__suppress_context__
    inner = TypeError("inner")
    inner.__cause__ = root = KeyError("root")
    err = refused(TypeError, "argument 'instructions': inner", kelvane.compile_expr, IterRaiser(inner), 0)
    assert err is not inner and err.__cause__ is root and err.__suppress_context__


@pytest.mark.parametrize("param, call", [
    ("l", lambda obj: kelvane.calculate_adjusted_difference_inplace(band(), band(), obj, out())),
    ("num_bands", lambda obj: kelvane.compile_expr([], obj)),
    (None, lambda obj: kelvane.compile_expr([{"type": "push_scalar", "value": obj}], 0)),
    (None, lambda obj: kelvane.compile_expr([{"type": "push_band", "index": obj}], 0)),
], ids=["float", "count", "value", "index"])
@pytest.mark.parametrize("exc", [TypeError("nope"), TypeErrorSub("sub"), ValueError("val"),
                                 ZeroDivisionError()], ids=short_id)
def test_errors_raised_inside_a_conversion(param, call, exc):
    if type(exc) is TypeError and param:
        refused(TypeError, f"argument '{param}': nope", call, Raiser(exc))
        return
    with pytest.raises(type(exc)) as info:
        call(Raiser(exc))
    assert info.value is exc


# --- order of conversion ------------------------------------------------------------------

@pytest.mark.parametrize("call, exc_type, msg", [
    (lambda: ND(None, 5, "x"), TypeError, not_array("band_a", None)),
    (lambda: ND(band(), F8, "x"), TypeError, not_array("band_b", F8)),
    # every argument converts before shapes are compared
    (lambda: ND(band((2, 3)), band((5, 7)), F8), TypeError, not_array("out_buffer", F8)),
    (lambda: kelvane.calculate_normalized_difference(None, None), TypeError, not_array("band_a", None)),
    (lambda: kelvane.calculate_ratio_inplace(band(), band((1, 1)), F8), TypeError, not_array("out_buffer", F8)),
    (lambda: EVI(band(), band(), F8, "g", None, None, None, None), TypeError, not_array("blue", F8)),
    (lambda: EVI(band(), band(), band(), "g", None, None, None, None), TypeError,
     "argument 'g': must be real number, not str"),
    (lambda: EVI(band(), band(), band(), 1, 1, "c2", 10**400, None), TypeError,
     "argument 'c2': must be real number, not str"),
    (lambda: EVI(band(), band(), band(), 10**400, "c1", 1, 1, None), OverflowError, float_error(10**400)[1]),
    (lambda: EVI(band(), band(), band(), 1, 1, 1, "l", F8), TypeError, "argument 'l': must be real number, not str"),
    (lambda: kelvane.compile_expr("abc", -1), TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
    (lambda: kelvane.compile_expr([{"type": "bogus"}], -1), OverflowError, ulonglong_error(-1)[1]),
    (lambda: kelvane.compile_expr([{}], "x"), TypeError,
     "argument 'num_bands': 'str' object cannot be interpreted as an integer"),
    (lambda: EXEC(None, "abc", None), TypeError,
     "argument 'expr': 'NoneType' object cannot be converted to 'CompiledExpr'"),
    (lambda: EXEC(expr0(), "abc", None), TypeError, "argument 'bands': Can't extract `str` to `Vec`"),
])
def test_first_failing_parameter_reported(call, exc_type, msg):
    refused(exc_type, msg, call)

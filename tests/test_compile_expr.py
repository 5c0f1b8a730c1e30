"""compile_expr: instruction dictionaries into a CompiledExpr, and every way an item is refused."""
import collections
import collections.abc
import decimal
import fractions

import numpy as np
import pytest

import kelvane
from test_conversion import Float, Index, count_error, float_error, short_id, ulonglong_error

ALL_KINDS = [{"type": "push_band", "index": 0}, {"type": "push_scalar", "value": 1.5}] + [
    {"type": t} for t in ("add", "sub", "mul", "div", "pow", "neg", "abs", "sqrt")]
NDVI = [{"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "sub"},
        {"type": "push_band", "index": 0}, {"type": "push_band", "index": 1}, {"type": "add"},
        {"type": "div"}]


def compiles(instructions, num_bands=1):
    assert type(kelvane.compile_expr(instructions, num_bands)) is kelvane.CompiledExpr


def raises_unchanged(exc_type, message, instructions, num_bands=1):
    with pytest.raises(exc_type) as info:
        kelvane.compile_expr(instructions, num_bands)
    assert type(info.value) is exc_type and info.value.args == (message,)


class Recorder(collections.abc.Mapping):
    """A mapping that is not a dict and records every key it is asked for."""

    def __init__(self, **items):
        self.items, self.seen = items, []

    def __getitem__(self, key):
        self.seen.append(key)
        return self.items[key]

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


# --- what compiles ---------------------------------------------------------------------

@pytest.mark.parametrize("instructions, num_bands", [
    *[([item], 1) for item in ALL_KINDS], *[((item,) * 3, 1) for item in ALL_KINDS],
    ([], 0), ((), 0), (ALL_KINDS, 1), (NDVI, 2), (tuple(NDVI), 2), (NDVI, 2**32 - 1),
    (np.array(NDVI, dtype=object), 2),
    # nothing about the program as a whole is checked here
    ([{"type": "add"}], 0), ([{"type": "push_band", "index": 7}], 2),
    ([{"type": "push_band", "index": 0}] * 100, 0),
    # keys a kind does not use are ignored, whatever their values
    ([{"type": "add", "index": -5, "value": None}], 1),
    ([{"type": "push_band", "index": 0, "value": "not a number"}], 1),
    ([{"type": "push_scalar", "value": 1.0, "index": -1}], 1),
    ([{"type": "neg", 0: 1, None: 2, "extra": object()}], 1),
    # any object that answers a lookup of "type" is an item
    ([collections.OrderedDict(type="push_band", index=0), collections.UserDict(type="abs"),
      collections.defaultdict(int, type="push_band"), Recorder(type="push_scalar", value=3)], 1),
    ([{"type": type("Str", (str,), {})("neg")}], 1),
    *[([{"type": "push_band", "index": i}], 1)
      for i in (True, 2**32 - 1, np.uint32(7), np.int64(5), Index(3))],
    *[([{"type": "push_scalar", "value": v}], 1)
      for v in (1, True, -1.0, 1e40, -1e40, 10**300, float("nan"), np.float32(2), np.int16(-2), Index(4),
                Float(0.5), fractions.Fraction(1, 3), decimal.Decimal("0.1"))],
])
def test_programs_compile(instructions, num_bands):
    compiles(instructions, num_bands)


@pytest.mark.parametrize("kind, looked_up", [("add", ["type"]), ("sqrt", ["type"]),
                                             ("push_band", ["type", "index"]),
                                             ("push_scalar", ["type", "value"])])
def test_only_needed_keys_looked_up(kind, looked_up):
    item = Recorder(type=kind, index=0, value=2.0, other=1)
    compiles([item])
    assert item.seen == looked_up


# --- refusals, all raised as they are, without an argument name -------------------------

@pytest.mark.parametrize("text", ["ADD", "Add", " add", "add ", "square_root", "", "add\x00",
                                  "push-band", "pushband", "\u00e4dd", "+"])
def test_unknown_op(text):
    raises_unchanged(ValueError, "Unknown op: " + text, [{"type": text}])


@pytest.mark.parametrize("item, key", [
    ({}, "type"), ({"kind": "add"}, "type"), ({"Type": "add"}, "type"),
    ({"type": "push_band"}, "index"), ({"type": "push_band", "value": 0}, "index"),
    ({"type": "push_scalar"}, "value"), ({"type": "push_scalar", "index": 1.0}, "value"),
], ids=short_id)
def test_missing_key(item, key):
    raises_unchanged(KeyError, key, [item])


@pytest.mark.parametrize("item", [5, None, object(), [1, 2], ("type", "add"), "type"], ids=short_id)
def test_item_not_subscriptable_by_str(item):
    with pytest.raises(TypeError) as info:
        item["type"]
    raises_unchanged(TypeError, str(info.value), [item])


def test_lookup_error_passes_through_unchanged():
    class Odd:
        def __getitem__(self, key):
            raise self.exc
    for exc in (LookupError("x"), TypeError("y"), RuntimeError()):
        item = Odd()
        item.exc = exc
        with pytest.raises(type(exc)) as info:
            kelvane.compile_expr([item], 0)
        assert info.value is exc


@pytest.mark.parametrize("value", [5, None, b"add", ["add"], 1.5], ids=short_id)
def test_type_not_a_str(value):
    raises_unchanged(TypeError, f"'{type(value).__qualname__}' object cannot be converted to 'PyString'",
                     [{"type": value}])


def test_type_not_encodable():
    with pytest.raises(UnicodeEncodeError):
        kelvane.compile_expr([{"type": "add\ud800"}], 0)


@pytest.mark.parametrize("index", [-1, -2**63, 2**64, Index(-3), 2**32, 2**64 - 1, np.uint64(2**33),
                                   "0", 1.0, None, np.float32(1), Index("1")], ids=short_id)
def test_index_refused(index):
    raises_unchanged(*count_error(index), [{"type": "push_band", "index": index}])


@pytest.mark.parametrize("value", ["1.5", None, 1j, [1.0], 10**400], ids=short_id)
def test_value_refused(value):
    raises_unchanged(*float_error(value), [{"type": "push_scalar", "value": value}])


# --- which failure is reported ------------------------------------------------------------

@pytest.mark.parametrize("instructions, exc_type, message", [
    (NDVI[:3] + [{"type": "bogus"}, {}], ValueError, "Unknown op: bogus"),
    ([{}, {"type": "bogus"}], KeyError, "type"),
    ([{"type": "neg"}, {"type": 1}, {"type": "bogus"}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ([{"type": "push_band", "index": -1}, {"type": "x"}], OverflowError, ulonglong_error(-1)[1]),
    ([{"type": "Neg"}, {"type": "push_band", "index": 2**32}], ValueError, "Unknown op: Neg"),
    ("push_band", TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
    ({"type": "add"}, TypeError, "argument 'instructions': 'dict' object cannot be converted to 'Sequence'"),
])
def test_first_failure_wins(instructions, exc_type, message):
    raises_unchanged(exc_type, message, instructions)


def test_items_examined_only_when_reached():
    later = Recorder(type="add")
    raises_unchanged(ValueError, "Unknown op: mul ", [{"type": "mul "}, later])
    for bad_count in (2**32, "1"):
        with pytest.raises((OverflowError, TypeError)):
            kelvane.compile_expr([later], bad_count)
    assert later.seen == []

"""Parameter dicts: the classification of values (bool, then int, then float,
then str), keys, dict rules, and dicts that change while they are read."""

import math
import struct

import numpy as np
import pytest

import tessary_core as tc
from blob_builder import blob, string, u8, u32
from freed_text import fresh, take_freed_memory

BAD_VALUE = "param values must be int, float, bool, or str"


def stored(value):
    """The value as the store keeps it, read back through the node view."""
    s = tc.GraphStore()
    i = s.add_source("x", {"k": value})
    return s.nodes()[i]["params"]["k"]


def same_node(a, b):
    s = tc.GraphStore()
    return s.add_source("x", {"k": a}) == s.add_source("x", {"k": b})


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Float:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        return 2.5


def test_classification_of_builtin_values():
    cases = [(True, bool, True), (False, bool, False), (1, int, 1), (-(2**63), int, -(2**63)),
             (2**63 - 1, int, 2**63 - 1), (1.0, float, 1.0), ("1", str, "1"), ("", str, "")]
    for value, kind, back in cases:
        got = stored(value)
        assert type(got) is kind and got == back, value
    # True is a Bool, never the Int 1; 1 and 1.0 are different values too.
    assert not same_node(True, 1)
    assert not same_node(1, 1.0)
    assert not same_node(1, "1")


def test_ints_beyond_64_bits_become_floats_until_they_overflow_a_double():
    assert stored(2**70) == float(2**70) and type(stored(2**70)) is float
    assert type(stored(2**63)) is float
    assert type(stored(-(2**63) - 1)) is float
    with pytest.raises(TypeError, match=f"^{BAD_VALUE}$"):
        stored(10**400)


def test_float_identity_is_by_canonical_bits():
    assert not same_node(0.0, -0.0)
    assert same_node(float("nan"), -float("nan"))
    assert math.isnan(stored(float("nan")))
    assert stored(float("inf")) == float("inf")


def test_objects_are_classified_by_their_slots_in_rule_order():
    assert type(stored(Index(5))) is int and stored(Index(5)) == 5
    assert type(stored(Float(2.5))) is float and stored(Float(2.5)) == 2.5
    # __index__ beyond 64 bits: not an Int, but it still gives a double.
    assert stored(Index(2**70)) == float(2**70)
    # A failing __index__ moves on to __float__.
    assert stored(Raises(ValueError("no"))) == 2.5
    # Subclasses follow the rules of their base type's slots.

    class MyInt(int):
        pass

    class MyFloat(float):
        pass

    class MyStr(str):
        pass

    assert type(stored(MyInt(3))) is int and stored(MyInt(3)) == 3
    assert type(stored(MyFloat(0.5))) is float
    assert stored(MyStr("s")) == "s" and type(stored(MyStr("s"))) is str

    class StrWithIndex(str):
        def __index__(self):
            return 9

    assert stored(StrWithIndex("s")) == 9  # the int rule comes before the str rule


def test_numpy_scalars():
    assert type(stored(np.int64(-4))) is int and stored(np.int64(-4)) == -4
    assert type(stored(np.uint64(2**64 - 1))) is float
    assert type(stored(np.float32(0.5))) is float and stored(np.float32(0.5)) == 0.5
    assert type(stored(np.float64(0.25))) is float
    assert stored(np.str_("t")) == "t"


def test_values_of_other_types_are_refused():
    for value in (None, [1], (1,), {"a": 1}, b"x", object(), 1j, Raises(ValueError("x")).__index__):
        with pytest.raises(TypeError) as e:
            stored(value)
        assert str(e.value) == BAD_VALUE
        assert e.value.__cause__ is None


def test_interrupts_and_memory_errors_inside_conversions_are_not_swallowed():
    # A failing __index__ with an ordinary error moves on to __float__
    # (above); these three end the conversion instead.
    for exc in (KeyboardInterrupt, SystemExit, MemoryError):
        with pytest.raises(exc):
            stored(Raises(exc()))


def test_keys_must_be_str_and_params_a_dict():
    s = tc.GraphStore()
    with pytest.raises(TypeError) as e:
        s.add_source("x", {1: 1})
    assert str(e.value) == "'int' object is not an instance of 'str'"
    with pytest.raises(TypeError, match="^'None' is not an instance of 'str'$"):
        s.add_source("x", {None: 1})
    for params in ([], [("k", 1)], "k=1", 0, {"k"}):
        with pytest.raises(TypeError) as e:
            s.add_source("x", params)
        assert str(e.value) == "params must be a dict or None"
    assert s.node_count() == 0


def test_dict_subclasses_and_order_independence():
    class D(dict):
        def items(self):
            raise AssertionError("read through the dict itself")

    s = tc.GraphStore()
    a = s.add_source("x", {"b": 1, "a": 2})
    assert s.add_source("x", D(a=2, b=1)) == a
    assert list(s.nodes()[a]["params"]) == ["a", "b"]  # sorted by key bytes


def test_resizing_the_dict_during_conversion_is_an_internal_fault():
    class Grow:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            self.d["zz"] = 0
            return 1

    s = tc.GraphStore()
    d = {}
    d["a"] = Grow(d)
    with pytest.raises(tc.PanicException) as e:
        s.add_source("x", d)
    assert str(e.value) == "dictionary changed size during iteration"
    assert s.node_count() == 0
    assert s.add_source("y") == 0  # the store is still usable


def test_replacing_keys_during_conversion_is_an_internal_fault():
    class Swap:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            del self.d["a"]
            self.d["b"] = 2
            return 1

    s = tc.GraphStore()
    d = {}
    d["a"] = Swap(d)
    with pytest.raises(tc.PanicException) as e:
        s.add_source("x", d)
    assert str(e.value) == "dictionary keys changed during iteration"
    assert s.node_count() == 0


def test_a_value_that_drops_itself_from_the_dict_stays_alive_while_converted():
    class SelfDropping:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            self.d["a"] = 0  # same size, same keys: allowed; drops the dict's reference to self
            del self.d
            raise ValueError("not an int")

        def __float__(self):
            return 2.5  # only reachable on a live object

    d = {}
    d["a"] = SelfDropping(d)
    assert stored_from(d) == {"a": 2.5}
    assert d == {"a": 0}


class Refill:
    """An int-like value whose conversion empties its dict, dropping every key and str value
    read before it, reuses their memory, and refills the dict to its old size (allowed: the
    reading ends before it would see the new entries)."""

    def __init__(self, d, value):
        self.d, self.value, self.ran = d, value, False

    def __index__(self):
        d, self.d = self.d, None
        size = len(d)
        d.clear()
        self.junk = take_freed_memory()
        for i in range(size):
            d[fresh(f"new{i}")] = fresh(f"value{i}")
        self.ran = True
        return self.value


def test_text_read_before_a_value_empties_its_dict_stays_intact():
    for key, text in [("path", "/data/rows/17.parquet"), ("ключ", "значение, долгое")]:
        for add in (lambda s, p: s.add_source("rows", p), lambda s, p: s.add_op("f", [0], p),
                    lambda s, p: s.add_exchange([0], p)):
            s = tc.GraphStore()
            s.add_source("base")
            d = {fresh(key): fresh(text), fresh("first"): 1.5}
            refill = Refill(d, 7)
            d[fresh("zz")] = refill
            i = add(s, d)
            assert refill.ran and "zz" not in d
            assert add(s, {key: text, "first": 1.5, "zz": 7}) == i
            assert s.node_count() == 2


def stored_from(params):
    s = tc.GraphStore()
    i = s.add_source("x", params)
    return s.nodes()[i]["params"]


def test_view_of_a_map_with_duplicate_keys_keeps_the_last_value():
    # Equal keys cannot come from a dict, but a blob may hold them; both stay in the map.
    raw_params = u32(2) + string("a") + u8(0) + struct.pack("<q", 2) + string("a") + u8(0) + \
        struct.pack("<q", 1)
    store = tc.GraphStore.deserialize(blob([u8(0) + string("x") + raw_params]))
    assert store.nodes()[0]["params"] == {"a": 1}
    assert store.serialize().count(string("a")) == 2

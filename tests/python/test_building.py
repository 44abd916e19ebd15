"""GraphStore construction and the five add_* methods: ids, hash-consing,
input checks, conversion order and the store left unchanged by failures."""

import numpy as np
import pytest

import tessary_core as tc
from freed_text import fresh, take_freed_memory

DESC = {"kind": "model", "content_hash": "h", "framework": "fw", "version": "1", "io_schema": "s"}


def test_ids_are_dense_and_equal_nodes_share_one():
    s = tc.GraphStore()
    assert s.node_count() == 0
    a = s.add_source("rows")
    assert (a, s.add_source("rows", None), s.add_source("rows", {}), s.add_source(name="rows")) \
        == (0, 0, 0, 0)
    b = s.add_source("rows", {"n": 1})
    op = s.add_op("add", [a, b])
    assert (b, op) == (1, 2)
    assert s.add_op("add", [a, b], None) == op
    assert s.add_op("add", [b, a]) == 3  # input order matters
    assert s.add_op("add", [a, a]) != s.add_op("add", [a])  # so do repetitions
    red = s.add_reduction("add", [a, b])
    assert red not in (op, 3)  # a reduction is not an op with the same fields
    assert s.add_reduction(name="add", inputs=[a, b], params={}) == red
    assert s.node_count() == 7


def test_every_kind_returns_an_int_id():
    s = tc.GraphStore()
    src = s.add_source("x")
    ids = [
        s.add_op("neg", [src]),
        s.add_reduction("sum", [src], {"axis": 0}),
        s.add_external(DESC, [src]),
        s.add_exchange([src], {"by": "k"}),
    ]
    assert ids == [1, 2, 3, 4]
    assert all(type(i) is int for i in ids)
    assert [n["kind"] for n in s.nodes()] == ["source", "op", "reduction", "external", "exchange"]


def test_exchange_takes_any_number_of_inputs():
    s = tc.GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    none = s.add_exchange([])
    two = s.add_exchange([a, b], {"by": "k"})
    assert (none, two) == (2, 3)
    assert s.add_exchange(inputs=[], params=None) == none
    assert s.add_exchange([a, b], {"by": "j"}) == 4  # the scheme is part of the identity


def test_bad_input_id_names_the_first_offender_and_adds_nothing():
    s = tc.GraphStore()
    s.add_source("a")
    for call in (lambda: s.add_op("f", [0, 5]), lambda: s.add_reduction("r", [5]),
                 lambda: s.add_external(DESC, [5]), lambda: s.add_exchange([0, 5])):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "no node with id 5"
    with pytest.raises(ValueError, match=r"^no node with id 7$"):
        s.add_op("f", [7, 5])
    # An op cannot name itself (its own would-be id) or the largest u64.
    with pytest.raises(ValueError, match=r"^no node with id 1$"):
        s.add_op("f", [1])
    with pytest.raises(ValueError, match=r"^no node with id 18446744073709551615$"):
        s.add_op("f", [2**64 - 1])
    assert s.node_count() == 1


def test_input_sequences_of_many_shapes():
    s = tc.GraphStore()
    for name in "abc":
        s.add_source(name)
    op = s.add_op("f", [0, 1, 2])
    assert s.add_op("f", (0, 1, 2)) == op
    assert s.add_op("f", range(3)) == op
    assert s.add_op("f", np.array([0, 1, 2])) == op
    assert s.add_op("f", [np.int64(0), np.uint8(1), True + 1]) == op

    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    assert s.add_op("f", [Index(0), Index(1), Index(2)]) == op
    assert s.node_count() == 4


def test_many_inputs_and_params():
    s = tc.GraphStore()
    for name in ["a", "b", "c"]:
        s.add_source(name)
    inputs = [i % 3 for i in range(20)]
    params = {f"k{i:02}": i if i % 2 else f"v{i}" for i in reversed(range(20))}
    i = s.add_op("wide", inputs, params)
    assert s.add_op("wide", tuple(inputs), dict(sorted(params.items()))) == i
    assert s.add_op("wide", np.array(inputs), params) == i
    assert s.add_op("wide", inputs[:-1], params) != i
    node = s.nodes()[i]
    assert node["inputs"] == inputs
    assert list(node["params"].items()) == sorted(params.items())
    with pytest.raises(ValueError, match="^no node with id 5$"):
        s.add_op("wide", inputs + [5], params)


def test_inputs_converted_before_params_see_them_changed():
    class Rewrite:
        def __init__(self, d, new):
            self.d, self.new = d, new

        def __index__(self):
            self.d.clear()
            self.d.update(self.new)
            self.junk = take_freed_memory()
            return 0

    s = tc.GraphStore()
    s.add_source("x")
    d = {fresh("side"): fresh("left")}
    i = s.add_op("f", [Rewrite(d, {fresh("side"): fresh("right"), "n": 2})], d)
    assert s.add_op("f", [0], {"side": "right", "n": 2}) == i
    d = {fresh("by"): fresh("user_id")}
    j = s.add_exchange([Rewrite(d, {})], d)
    assert s.add_exchange([0]) == j
    d = {k: fresh(v) for k, v in DESC.items()}
    k = s.add_external(d, [Rewrite(d, {**DESC, "kind": fresh("other")})])
    assert s.add_external({**DESC, "kind": "other"}, [0]) == k
    assert s.node_count() == 4


def test_failed_conversions_leave_the_store_unchanged():
    s = tc.GraphStore()
    s.add_source("a")
    bad_calls = [
        lambda: s.add_op(1, [0]),
        lambda: s.add_op("f", "0"),
        lambda: s.add_op("f", [-1]),
        lambda: s.add_op("f", [0], {"k": None}),
        lambda: s.add_external({"kind": "x"}, [0]),
        lambda: s.add_exchange([0], [("k", 1)]),
    ]
    for call in bad_calls:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            call()
    assert s.node_count() == 1
    assert s.serialize() == tc.GraphStore.deserialize(s.serialize()).serialize()


def test_add_external_converts_inputs_then_descriptor_then_params():
    s = tc.GraphStore()
    with pytest.raises(TypeError, match="^argument 'inputs': Can't extract `str` to `Vec`$"):
        s.add_external(42, "x", [1])
    with pytest.raises(TypeError, match="^descriptor must be a PayloadDescriptor or dict$"):
        s.add_external(42, [], [1])
    with pytest.raises(TypeError, match="^params must be a dict or None$"):
        s.add_external(DESC, [], [1])
    # A bad id is found by the store, after every conversion succeeded.
    with pytest.raises(TypeError, match="^params must be a dict or None$"):
        s.add_external(DESC, [9], [1])
    with pytest.raises(ValueError, match="^no node with id 9$"):
        s.add_external(DESC, [9], {})


def test_name_then_inputs_then_params():
    s = tc.GraphStore()
    with pytest.raises(TypeError, match="^argument 'name': "):
        s.add_op(None, "x", [])
    with pytest.raises(TypeError, match="^argument 'inputs': "):
        s.add_op("f", "x", [])
    with pytest.raises(TypeError, match="^params must be a dict or None$"):
        s.add_op("f", [], [])


def test_strings_keep_any_unicode_and_refuse_lone_surrogates():
    s = tc.GraphStore()
    i = s.add_source("é|;=%\n\0🙂", {"ключ": "значение"})
    node = s.nodes()[i]
    assert node["name"] == "é|;=%\n\0🙂"
    assert node["params"] == {"ключ": "значение"}
    for call in (lambda: s.add_source("\ud800"), lambda: s.add_source("x", {"\udfff": 1}),
                 lambda: s.add_source("x", {"k": "\ud800"})):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert s.node_count() == 1


def test_str_subclasses_are_names():
    class Name(str):
        pass

    s = tc.GraphStore()
    assert s.add_source(Name("x")) == s.add_source("x")
    assert s.add_source("y", {Name("k"): Name("v")}) == s.add_source("y", {"k": "v"})


def test_stores_are_independent():
    a, b = tc.GraphStore(), tc.GraphStore()
    a.add_source("x")
    assert (a.node_count(), b.node_count()) == (1, 0)
    assert b.add_source("y") == 0


def test_mark_output_appends_once_and_checks_the_id():
    s = tc.GraphStore()
    with pytest.raises(ValueError) as e:
        s.mark_output(0)
    assert str(e.value) == "no node with id 0"
    x, y, z = (s.add_source(n) for n in "xyz")
    assert s.mark_output(z) is None
    s.mark_output(x)
    s.mark_output(z)  # marking again keeps the first position
    s.mark_output(np.uint8(y))
    assert s.outputs() == [z, x, y]
    assert [n["output"] for n in s.nodes()] == [True, True, True]
    with pytest.raises(ValueError) as e:
        s.mark_output(3)
    assert str(e.value) == "no node with id 3"
    with pytest.raises(OverflowError):
        s.mark_output(-1)
    with pytest.raises(TypeError) as e:
        s.mark_output("1")
    assert str(e.value).startswith("argument 'node_id': ")
    assert s.outputs() == [z, x, y]  # failures mark nothing
    s.mark_output(node_id=x)
    assert s.outputs() == [z, x, y]
    # The marks are what reduce and serialize use by default.
    assert tc.GraphStore.deserialize(s.serialize()).outputs() == [z, x, y]
    assert s.reduce()[0].outputs() == [2, 0, 1]

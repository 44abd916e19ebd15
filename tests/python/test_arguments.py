"""Argument binding (positional, keyword, missing, surplus, duplicates), the
argument-prefixed conversion errors, and id sequences."""

import collections.abc

import numpy as np
import pytest

import tessary_core as tc


def message(call):
    with pytest.raises(TypeError) as e:
        call()
    return str(e.value)


class Nested:
    class Inner:
        pass


@pytest.fixture
def store():
    s = tc.GraphStore()
    s.add_source("a")
    s.add_source("b")
    return s


def test_surplus_positional_arguments(store):
    assert message(lambda: tc.GraphStore(1)) == \
        "GraphStore.__new__() takes 0 positional arguments but 1 was given"
    assert message(lambda: tc.GraphStore(1, 2)) == \
        "GraphStore.__new__() takes 0 positional arguments but 2 were given"
    assert message(lambda: store.add_source("x", None, 3)) == \
        "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"
    assert message(lambda: store.add_op("x", [], None, 4, 5)) == \
        "GraphStore.add_op() takes from 2 to 3 positional arguments but 5 were given"
    assert message(lambda: store.serialize(None, None)) == \
        "GraphStore.serialize() takes from 0 to 1 positional arguments but 2 were given"
    assert message(lambda: tc.GraphStore.deserialize(b"", b"")) == \
        "GraphStore.deserialize() takes 1 positional arguments but 2 were given"


def test_missing_arguments(store):
    assert message(lambda: store.add_source()) == \
        "GraphStore.add_source() missing 1 required positional argument: 'name'"
    assert message(lambda: store.add_op()) == \
        "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'"
    assert message(lambda: store.add_reduction(params={})) == \
        "GraphStore.add_reduction() missing 2 required positional arguments: 'name' and 'inputs'"
    assert message(lambda: store.add_external(inputs=[])) == \
        "GraphStore.add_external() missing 1 required positional argument: 'descriptor'"
    assert message(lambda: store.add_exchange(params=None)) == \
        "GraphStore.add_exchange() missing 1 required positional argument: 'inputs'"
    assert message(lambda: tc.GraphStore.deserialize()) == \
        "GraphStore.deserialize() missing 1 required positional argument: 'data'"


def test_unknown_and_duplicate_keywords(store):
    assert message(lambda: tc.GraphStore(size=1)) == \
        "GraphStore.__new__() got an unexpected keyword argument 'size'"
    assert message(lambda: store.add_op("x", [], colour=1)) == \
        "GraphStore.add_op() got an unexpected keyword argument 'colour'"
    assert message(lambda: store.add_op("x", [], name="y")) == \
        "GraphStore.add_op() got multiple values for argument 'name'"
    assert message(lambda: store.add_op("x", [], None, params=None)) == \
        "GraphStore.add_op() got multiple values for argument 'params'"
    assert message(lambda: store.serialize(None, outputs=None)) == \
        "GraphStore.serialize() got multiple values for argument 'outputs'"
    # Binding errors come before any conversion, whatever order the keywords are in.
    assert message(lambda: store.add_op(1, "bad", params=[], bogus=0)) == \
        "GraphStore.add_op() got an unexpected keyword argument 'bogus'"
    # Surplus positionals are reported before unknown keywords and missing ones.
    assert message(lambda: store.add_source(1, 2, 3, bogus=0)) == \
        "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given"
    assert message(lambda: store.add_op(bogus=0)) == \
        "GraphStore.add_op() got an unexpected keyword argument 'bogus'"


def test_keywords_bind_in_any_order_and_by_value_not_identity(store):
    op = store.add_op("f", [0, 1], {"k": 1})
    assert store.add_op(params={"k": 1}, inputs=[0, 1], name="f") == op
    # Keyword names built at run time are not the interned literals.
    built = {"".join(["na", "me"]): "f", "".join(["in", "puts"]): [0, 1]}
    assert store.add_op(params={"k": 1}, **built) == op

    class Key(str):
        pass

    assert store.add_op(**{Key("name"): "f", Key("inputs"): [0, 1]}, params={"k": 1}) == op
    assert tc.GraphStore.deserialize(data=store.serialize()).node_count() == store.node_count()
    assert store.serialize(outputs=[1]) == store.serialize([1])


def test_no_argument_methods_refuse_arguments(store):
    for name in ("nodes", "outputs", "node_count", "to_dot"):
        with pytest.raises(TypeError):
            getattr(store, name)(1)
        with pytest.raises(TypeError):
            getattr(store, name)(x=1)


def test_conversion_type_errors_name_the_argument_and_chain_the_cause(store):
    with pytest.raises(TypeError) as e:
        store.add_op(b"name", [0])
    assert str(e.value) == "argument 'name': 'bytes' object is not an instance of 'str'"
    assert type(e.value.__cause__) is TypeError
    assert str(e.value.__cause__) == "'bytes' object is not an instance of 'str'"
    assert e.value.__suppress_context__
    assert message(lambda: store.add_source(None)) == \
        "argument 'name': 'None' is not an instance of 'str'"
    assert message(lambda: tc.GraphStore.deserialize(bytearray(b"TIR1"))) == \
        "argument 'data': 'bytearray' object is not an instance of 'bytes'"
    assert message(lambda: tc.GraphStore.deserialize(memoryview(b"TIR1"))) == \
        "argument 'data': 'memoryview' object is not an instance of 'bytes'"
    assert message(lambda: tc.GraphStore.deserialize(None)) == \
        "argument 'data': 'None' is not an instance of 'bytes'"

    # The offending type is named by its qualified name.
    assert message(lambda: store.add_source(Nested.Inner())) == \
        "argument 'name': 'Nested.Inner' object is not an instance of 'str'"


def test_str_is_refused_as_an_id_sequence_before_the_sequence_check(store):
    class Text(str):
        pass

    for text in ("0", "", Text("01")):
        with pytest.raises(TypeError) as e:
            store.add_op("f", text)
        assert str(e.value) == "argument 'inputs': Can't extract `str` to `Vec`"
        assert str(e.value.__cause__) == "Can't extract `str` to `Vec`"
    assert message(lambda: store.serialize(outputs="0")) == \
        "argument 'outputs': Can't extract `str` to `Vec`"


def test_non_sequences_are_refused(store):
    for value, name in ((3, "int"), ({0}, "set"), ({0: 0}, "dict"), (iter([0]), "list_iterator"),
                        ((i for i in [0]), "generator"), (None, None)):
        text = message(lambda: store.add_op("f", value))
        if name is None:
            assert text == "argument 'inputs': 'None' is not an instance of 'Sequence'"
        else:
            assert text == f"argument 'inputs': '{name}' object is not an instance of 'Sequence'"
    assert message(lambda: store.serialize(outputs=3)) == \
        "argument 'outputs': 'int' object is not an instance of 'Sequence'"
    assert message(lambda: store.add_exchange(1.5)) == \
        "argument 'inputs': 'float' object is not an instance of 'Sequence'"


def test_id_items_go_through_index(store):
    # Errors converting an item: TypeErrors get the prefix, overflow does not.
    assert message(lambda: store.add_op("f", [0, 1.0])) == \
        "argument 'inputs': 'float' object cannot be interpreted as an integer"
    assert message(lambda: store.add_op("f", ["0"])) == \
        "argument 'inputs': 'str' object cannot be interpreted as an integer"
    for bad in ([-1], [2**64], [np.int64(-1)]):
        with pytest.raises(OverflowError) as e:
            store.add_op("f", bad)
        assert not str(e.value).startswith("argument")
    # bytes is a sequence of small ints.
    assert store.add_op("f", b"\x00\x01") == store.add_op("f", [0, 1])


def test_generic_sequences_are_iterated_and_their_length_is_only_a_hint(store):
    class Seq(collections.abc.Sequence):
        def __init__(self, items, length):
            self.items, self.length = items, length

        def __getitem__(self, i):
            return self.items[i]

        def __len__(self):
            if isinstance(self.length, BaseException):
                raise self.length
            return self.length

        def __iter__(self):
            return iter(self.items)

    expected = store.add_op("f", [1, 0, 1])
    assert store.add_op("f", Seq([1, 0, 1], 3)) == expected
    assert store.add_op("f", Seq([1, 0, 1], RuntimeError("no len"))) == expected
    assert store.add_op("f", Seq([1, 0, 1], 2**62)) == expected  # a huge claim allocates nothing
    assert store.add_op("f", Seq([1, 0, 1], 0)) == expected
    # Only ordinary errors mean "no length": these end the call, as they
    # would from Python, and the store is unchanged.
    count = store.node_count()
    for exc in [KeyboardInterrupt(), SystemExit(3), MemoryError()]:
        with pytest.raises(type(exc)):
            store.add_op("g", Seq([1, 0], exc))
        with pytest.raises(type(exc)):
            store.reduce(outputs=Seq([0], exc))
    assert store.node_count() == count

    class BrokenIter(Seq):
        def __iter__(self):
            raise RuntimeError("cannot iterate")

    with pytest.raises(RuntimeError, match="^cannot iterate$"):
        store.add_op("f", BrokenIter([0], 1))


def test_a_list_changed_by_an_item_converts_like_iteration(store):
    class Shrink:
        def __init__(self, items):
            self.items = items

        def __index__(self):
            self.items.pop()
            return 0

    inputs = [1, 1, 1]
    inputs[0] = Shrink(inputs)
    seen = []
    reference = [1, 1, 1]
    reference[0] = Shrink(reference)
    for item in reference:
        seen.append(item.__index__() if isinstance(item, Shrink) else item)
    assert store.add_op("g", inputs) == store.add_op("g", seen)
    assert store.nodes()[-1]["inputs"] == [0, 1]

    class Drop:
        def __init__(self, items):
            self.items = items

        def __index__(self):
            self.items.clear()  # drops the list's reference to this very item
            return 1

    items = [None]
    items[0] = Drop(items)
    i = store.add_op("h", items)
    assert store.nodes()[i]["inputs"] == [1]
